"""Native in-memory H.264 decoder & QP/Macroblock extractor"""

import enum
from collections.abc import Iterable
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

_Deblocking: TypeAlias = Literal["skip", "exact", "on"]
_PictureType: TypeAlias = Literal["I", "P", "B", "S", "SI", "SP", "BI", "?"]

__version__: str
# The FFmpeg the module runs with, as it reports itself: "ffmpeg" (its release) and
# "libavcodec", "libavformat", "libavutil" ("major.minor.micro").
ffmpeg_version: dict[str, str]

class MbType(enum.IntEnum):
    """How a macroblock was coded, as FFmpeg's H.264 decoder reports it"""

    INTRA_4X4 = 0
    INTRA_16X16 = 1
    INTRA_PCM = 2
    SKIP = 3
    DIRECT_SKIP = 4
    DIRECT = 5
    L0 = 6
    L1 = 7
    BI = 8
    UNKNOWN = 255

class Partition(enum.IntEnum):
    """How a macroblock was divided for motion compensation; intra macroblocks P16X16"""

    P16X16 = 0
    P16X8 = 1
    P8X16 = 2
    P8X8 = 3
    UNKNOWN = 255

class H264DecoderSession:
    """Random access by frame number (presentation order) to one H.264 video file."""

    def __init__(
        self,
        path: str | bytes,
        *,
        deblocking: _Deblocking = "skip",
        motion_vectors: bool = False,
        mb_types: bool = False,
        read_ahead: int | None = None,
    ) -> None:
        """Open a video file. deblocking: "skip" (every picture before the loop filter,
        references too), "exact" (references filtered, the requested picture before its own
        filter) or "on" (filtered pictures). motion_vectors: export them for
        get_motion_vectors and get_mv_field. mb_types: capture how each macroblock was coded,
        for get_mbtype_map, get_mbtype_maps and the counts of frame_stats. read_ahead: key-frame
        intervals decoded ahead on other cores while requests move forward; None sizes it to the
        idle cores, 0 turns it off."""

    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
    @property
    def mb_cols(self) -> int: ...
    @property
    def mb_rows(self) -> int: ...
    @property
    def num_frames(self) -> int: ...
    @property
    def fps(self) -> float: ...
    @property
    def fps_num(self) -> int: ...
    @property
    def fps_den(self) -> int: ...
    @property
    def pix_fmt(self) -> str: ...
    @property
    def bytes_per_sample(self) -> int: ...
    def get_qpmap(self, frame_idx: int) -> npt.NDArray[np.int8]:
        """Get QP map for frame as (mb_rows, mb_cols) int8 array

        -1 where the decoder reported no QP. Above 8 bits the values carry FFmpeg's offset,
        QP + 6 * (bit depth - 8): 10-bit maps run to 63."""

    def get_plane_data(self, frame_idx: int, plane: int) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """Get raw plane data (h, stride) for nodeblock frame"""

    def get_chroma_qp_offset(self, frame_idx: int) -> tuple[int, int]:
        """Get PPS chroma QP offsets (cb_offset, cr_offset) for frame"""

    def get_frame_type(self, frame_idx: int) -> _PictureType:
        """Get the picture type of frame: 'I', 'P', 'B' (or 'S', 'SI', 'SP', 'BI')"""

    def is_key_frame(self, frame_idx: int) -> bool:
        """Whether decoding can start at frame"""

    def get_motion_vectors(self, frame_idx: int) -> npt.NDArray[np.void]:
        """Get motion vectors of frame as a structured array, one row per block and direction:
        source (int32), w, h (uint8), src_x, src_y, dst_x, dst_y (int16), motion_x, motion_y
        (int32), motion_scale (uint16), flags (uint64)"""

    def get_mv_field(self, frame_idx: int) -> npt.NDArray[np.int16]:
        """Get motion vectors of frame per 4x4 block as (2, 2, mb_rows*4, mb_cols*4) int16
        array: [past, future][x, y][row][column], quarter pixels"""

    def get_mbtype_map(self, frame_idx: int) -> npt.NDArray[np.void]:
        """Get how each macroblock of frame was coded as a (mb_rows, mb_cols) structured array:
        type (uint8, a vexmira.MbType), partition (uint8, a vexmira.Partition), interlaced
        (bool), on the grid of get_qpmap. MbType.UNKNOWN and Partition.UNKNOWN everywhere in a
        picture the decoder reported damaged, as get_qpmap gives -1 there. RuntimeError for a
        session opened without mb_types=True, and where FFmpeg printed no types for the picture
        (another library replaced FFmpeg's log callback)."""

    def copy_plane_to_ptr(self, frame_idx: int, plane: int, dst_ptr: int, dst_stride: int) -> None:
        """Copy plane data directly into destination pointer and stride (zero Python overhead)"""

    def get_qpmaps(self, frames: Iterable[int] | None = None, threads: int = 0) -> npt.NDArray[np.int8]:
        """QP maps of many frames (every frame when frames is None) as one (len(frames), mb_rows,
        mb_cols) int8 array, decoded on `threads` parallel decoders (0: every usable core)"""

    def get_mbtype_maps(self, frames: Iterable[int] | None = None, threads: int = 0) -> npt.NDArray[np.void]:
        """Macroblock types of many frames (every frame when frames is None) as one
        (len(frames), mb_rows, mb_cols) structured array like get_mbtype_map's, decoded on
        `threads` parallel decoders (0: every usable core)"""

    def get_planes(
        self, frames: Iterable[int], plane: int, threads: int = 0
    ) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """Picture area of one plane of many frames as one (len(frames), rows, columns) array,
        decoded on `threads` parallel decoders (0: every usable core)"""

    def frame_stats(self, threads: int = 0, *, frames: Iterable[int] | None = None) -> dict[str, npt.NDArray[Any]]:
        """One row per frame (every frame when frames is None) as a dict of equal-length
        arrays: frame, pts, time, pict_type, key_frame, pkt_size, qp_mean, qp_min, qp_max,
        chroma_qp_offset_cb, chroma_qp_offset_cr, decoded; with mb_types=True also mb_intra,
        mb_skip, mb_direct, mb_inter (int32 counts of intra, P/B skip, B direct and
        motion-coded macroblocks, -1 for a frame without types)"""

    def key_frame_intervals(self) -> npt.NDArray[np.int32]:
        """First frame of each run of frames decoded from the same key packet, ascending"""
