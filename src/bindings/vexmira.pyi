"""Native in-memory H.264 decoder & QP/Macroblock extractor"""

import enum
import os
from collections.abc import Iterable
from fractions import Fraction
from types import TracebackType
from typing import Literal, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt
from vexmira_tools import FrameStats, SyntaxStats

_Deblocking: TypeAlias = Literal["skip", "exact", "on"]
_MapSource: TypeAlias = Literal["decode", "parse", "auto"]
_PictureType: TypeAlias = Literal["I", "P", "B", "S", "SI", "SP", "BI", "?"]
_QpScale: TypeAlias = Literal["h264", "mpeg2"]
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Frames: TypeAlias = Iterable[SupportsIndex] | SupportsIndex | None
_Undecodable: TypeAlias = Literal["raise", "mark"]

__version__: str
# The FFmpeg the module runs with, as it reports itself: "ffmpeg" (its release) and
# "libavcodec", "libavformat", "libavutil" ("major.minor.micro").
ffmpeg_version: dict[str, str]

def usable_cores() -> int:
    """The processors this process may run on: its affinity mask (which taskset or a
    container's cpuset narrows), at least 1. Batch methods with threads=0 run that many
    decoders; read_ahead=None runs one fewer beside the caller's."""


class PredictionNotBuilt(NotImplementedError):
    """get_prediction or get_motion_field of a frame that needs what is not built (see get_prediction)."""


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
    """Random access by frame number (presentation order) to one H.264 video file.

    Per frame: the QP map, the picture planes, the chroma QP offsets, the picture type,
    whether the decoder reported damage, and motion vectors. Other codecs that FFmpeg
    decodes open too: codec names the stream's, qp_scale what its QP maps measure.
    Opening reads the file once to number its frames. close(), or leaving a with block,
    lets go of the file at once; a session pickles as its path and options, and
    unpickling opens the file again at that path."""

    def __init__(
        self,
        path: _Path,
        *,
        deblocking: _Deblocking = "skip",
        motion_vectors: bool = False,
        mb_types: bool = False,
        read_ahead: int | None = None,
        stream: int | None = None,
    ) -> None:
        """Open a video file. deblocking: "skip" (every picture before the loop filter,
        references too), "exact" (references filtered, the requested picture before its own
        filter) or "on" (filtered pictures). motion_vectors: export them for
        get_motion_vectors and get_mv_field. mb_types: capture how each macroblock was coded,
        for get_mbtype_map, get_mbtype_maps and the counts of frame_stats. read_ahead: key-frame
        intervals decoded ahead on other cores while requests move forward; None sizes it to the
        idle cores, 0 turns it off. stream: the video stream to open, by its index as ffprobe
        numbers the file's streams; None opens the first video stream that is not an attached
        picture (cover art). A missing index, or one of another kind of stream, raises
        ValueError listing the file's streams.

        path: str, bytes or os.PathLike, given to FFmpeg as the bytes os.fsencode makes of
        it, so that a file name that is not valid UTF-8 opens as bytes and as the str
        os.listdir gives for it; error messages name it as os.fsdecode does."""

    @property
    def width(self) -> int:
        """Picture width in pixels, as the decoder's pictures have it."""

    @property
    def height(self) -> int:
        """Picture height in pixels, as the decoder's pictures have it."""

    @property
    def mb_cols(self) -> int:
        """Columns of the QP map: 16x16 blocks across the picture, (width + 15) // 16."""

    @property
    def mb_rows(self) -> int:
        """Rows of the QP map: 16x16 blocks down the picture, (height + 15) // 16."""

    @property
    def num_frames(self) -> int:
        """Frames of the file, numbered 0..num_frames-1 in presentation order: the pictures
        FFmpeg's decoder outputs."""

    @property
    def fps(self) -> float:
        """Frames per second the file declares: the stream's average rate, else its base
        rate (a raw stream's timing information, else FFmpeg's 25), else 24."""

    @property
    def fps_num(self) -> int:
        """Numerator of fps as a fraction."""

    @property
    def fps_den(self) -> int:
        """Denominator of fps as a fraction."""

    @property
    def pix_fmt(self) -> str:
        """FFmpeg's pixel format of the decoded pictures: 'yuv420p', 'yuv420p10le'..."""

    @property
    def bytes_per_sample(self) -> int:
        """Bytes per sample of the planes: 1 up to 8 bits, 2 above."""

    @property
    def stream_index(self) -> int:
        """Index of the video stream opened, as ffprobe numbers the file's streams."""

    @property
    def codec(self) -> str:
        """FFmpeg's name of the video stream's codec, as ffprobe's codec_name gives it:
        'h264', 'hevc', 'mpeg2video', 'mpeg4'..."""

    @property
    def qp_scale(self) -> _QpScale | None:
        """What the values of this codec's QP maps measure, as FFmpeg's decoder exports them:
        'h264', H.264's QP (0..51, plus 6 * (bit depth - 8) above 8 bits); 'mpeg2', MPEG-2's
        quantiser_scale (1..112; MPEG-1, MPEG-4 Part 2, H.263 and their kin code 1..31,
        exported doubled: 2..62); None where FFmpeg exports no per-block QP for the codec
        (HEVC, AV1, VP9, lossless codecs...) and every map is -1."""

    @property
    def time_base(self) -> Fraction:
        """The unit of frame_stats' pts, in seconds: pts * time_base is the frame's time. The
        stream's time base where timestamps number the frames; one frame, 1 / fps, where the
        frames are numbered from the bitstream, whose pts are the frame numbers."""

    @property
    def declared_duration(self) -> float | None:
        """The video stream's duration in seconds as the container declares it: Matroska's
        DURATION tag of the track, else what the header gives the stream or the file (an
        MP4's track, a Matroska segment, an AVI header). None where the container declares
        none and FFmpeg would only estimate one (MPEG-TS, raw streams)."""

    @property
    def declared_frames(self) -> int | None:
        """The video stream's packet count as the container's index declares it (an MP4's
        sample table, an AVI header); None where it declares none."""

    @property
    def truncated(self) -> bool:
        """Whether the file ends before its container says it does: the last packet is
        shorter than the container's index makes it, the index lists packets the file does
        not hold (declared_frames), the packets end more than two frames before
        declared_duration, or an MPEG-TS file ends inside one of its fixed-size packets."""

    @property
    def closed(self) -> bool:
        """Whether close() has been called."""

    def close(self) -> None:
        """Let go of the file, the decoder and the cached frames at once. Every method raises
        RuntimeError afterwards; the properties stay readable. Closing again does nothing."""

    def __enter__(self) -> "H264DecoderSession":
        """The session itself, which leaving the with block closes."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        """close() the session; an exception raised in the with block goes on."""

    # Pickling: the path, as bytes, and the options; unpickling opens the file again.
    def __getstate__(self) -> tuple[bytes, str, bool, bool, int | None, int]: ...
    def __setstate__(self, state: tuple[bytes, str, bool, bool, int | None, int], /) -> None: ...

    def get_qpmap(self, frame_idx: SupportsIndex, *, source: _MapSource = "decode") -> npt.NDArray[np.int8]:
        """Get QP map for frame as (mb_rows, mb_cols) int8 array

        On the codec's scale (qp_scale): -1 where the decoder reported no QP, everywhere in
        a picture it reported damaged, and for codecs without QP export. Above 8 bits H.264
        values carry FFmpeg's offset, QP + 6 * (bit depth - 8): 10-bit maps run to 63.

        source: "decode" decodes the frame (from its key frame on); "parse" reads each
        macroblock's QP from the frame's own packet without decoding (as get_mb_syntax's qp),
        -1 where a macroblock could not be parsed (damage, a coding the parser refuses, a frame
        without slices of its own); "auto" takes the parse where it read every macroblock of
        the picture, which then equals the decoder's map, and decodes otherwise, so that a
        damaged or concealed picture gets the decoder's answer. H.264 only for "parse"."""

    def get_plane_data(
        self, frame_idx: SupportsIndex, plane: SupportsIndex
    ) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """Get raw plane data of frame as a (rows, stride) array

        uint8, uint16 above 8 bits; each row keeps the decoder's padding past the picture's
        width. The picture is the one the session's deblocking mode gives: "skip", decoded
        with the loop filter skipped, references too; "exact", the picture before its own
        loop filter, predicted from filtered references; "on", the filtered picture."""

    def get_chroma_qp_offset(self, frame_idx: SupportsIndex) -> tuple[int, int]:
        """Get PPS chroma QP offsets (cb_offset, cr_offset) for frame

        (0, 0) for codecs other than H.264."""

    def get_frame_type(self, frame_idx: SupportsIndex) -> _PictureType:
        """Get the picture type of frame: 'I', 'P', 'B' (or 'S', 'SI', 'SP', 'BI')

        '?' where the decoder gives the picture no type: FFmpeg's decoders of some codecs
        (lossless and intra-only ones, for instance) leave it unset."""

    def is_key_frame(self, frame_idx: SupportsIndex) -> bool:
        """Whether decoding can start at frame

        FFmpeg's key flag: for H.264 an IDR picture or a recovery point, not every I
        picture."""

    def is_damaged(self, frame_idx: SupportsIndex) -> bool:
        """Whether the decoder reported frame damaged

        FFmpeg's error flags or corrupt flag on the picture: it concealed data that was
        missing or broken (a cut or damaged file) with a guess. Such a frame's QP map is
        -1 everywhere. True as well for a frame the decoder makes no picture of, whose other
        frame methods raise RuntimeError."""

    def get_motion_vectors(self, frame_idx: SupportsIndex) -> npt.NDArray[np.void]:
        """Get motion vectors of frame as a structured array, one row per block and
        direction

        source (int32), w, h (uint8), src_x, src_y, dst_x, dst_y (int16), motion_x, motion_y
        (int32), motion_scale (uint16), flags (uint64)"""

    def get_mv_field(self, frame_idx: SupportsIndex) -> npt.NDArray[np.int16]:
        """Get motion vectors of frame per 4x4 block as (2, 2, mb_rows*4, mb_cols*4) int16
        array: [past, future][x, y][row][column], quarter pixels"""

    def get_mbtype_map(self, frame_idx: SupportsIndex, *, source: _MapSource | None = None) -> npt.NDArray[np.void]:
        """Get how each macroblock of frame was coded as a (mb_rows, mb_cols) structured
        array: type (uint8, a vexmira.MbType), partition (uint8, a vexmira.Partition),
        interlaced (bool)

        On the grid of get_qpmap. source: "decode" takes the types the decoder prints while it
        decodes the frame: MbType.UNKNOWN and Partition.UNKNOWN everywhere in a picture the
        decoder reported damaged, as get_qpmap gives -1 there; RuntimeError where FFmpeg
        printed no types for the picture (another library replaced FFmpeg's log callback).
        "parse" reads them from the frame's own packet without decoding, as get_mb_syntax
        does: the decoder's types wherever a macroblock is parsed, UNKNOWN where it is not
        (damage, a coding the parser refuses); the partition of direct prediction, which
        follows the co-located picture, is Partition.UNKNOWN. "auto" takes the parse where it
        read every macroblock and none uses direct prediction, and decodes otherwise. None:
        "decode" in a session opened with mb_types=True, else "parse". "decode" and "auto"
        raise RuntimeError in a session opened without mb_types=True."""

    def get_mb_syntax(self, frame_idx: SupportsIndex) -> npt.NDArray[np.void]:
        """Get the syntax of each macroblock of frame, read from its packet without decoding, as a (mb_rows, mb_cols) structured array

        On the grid of get_qpmap. type, partition, interlaced: as get_mbtype_map gives them
        (partition is Partition.UNKNOWN for direct prediction, which follows the co-located
        picture); mb_type: the coded value for its slice's kind, -1 skipped; sub_mb_type (4):
        of 8x8-partitioned macroblocks, else -1; transform_8x8 (bool); intra_modes (16): each
        4x4 block's luma prediction mode in raster order, -1 for inter; chroma_mode: -1 for
        inter; ref_idx (2 lists x 4 8x8 blocks): -1 where the list is unused; mvd (2 lists x
        16 4x4 blocks x (x, y)); cbp: CodedBlockPatternLuma + 16 * CodedBlockPatternChroma,
        -1 skipped and I_PCM; qp_delta; qp: as get_qpmap gives it; slice: the slice's number in
        the picture; parsed: False from where a slice cannot be read on (damage, or a coding the
        parser refuses); bits_header (skip run, mb_type, sub types, transform flag, cbp, QP
        delta), bits_prediction (intra modes, reference indices, motion vector differences)
        and bits_residual (coefficients; I_PCM samples): a skip run's bits go to the macroblock
        coded after it, or to the last it skips where it ends the slice.

        The parser reads frames, field pictures and MBAFF frames coded with CAVLC or CABAC (a
        field macroblock pair's top macroblock in the pair's upper row); slice groups (FMO),
        SI/SP slices, redundant pictures, data partitions and the extension units of SVC and
        MVC are refused: their macroblocks are not parsed (parsed False, type MbType.UNKNOWN,
        qp -1). With CABAC a macroblock's bits are the arithmetic decoder's
        positions before and after it, each element's share the bits its renormalisations read;
        the first macroblock of a slice also holds the alignment and the decoder's first 9 bits,
        the last the bits up to the stop bit, so that a slice's macroblocks sum to its data."""

    def get_coefficients(
        self, frame_idx: SupportsIndex
    ) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.int32], npt.NDArray[np.int32]]:
        """Get the quantised levels of frame, read from its packet without decoding, as three int32 arrays (luma, Cb, Cr) at the coded picture's size

        Each block's levels sit at their places in the block, the scan undone (the field scan
        in field macroblocks, whose rows are every other line of the frame); levels coded
        apart from their blocks (Intra 16x16 luma DC, chroma DC) sit at each block's [0, 0].
        For example, an Intra 16x16 macroblock at the top left whose luma DC levels are 5, -1
        (the first two of the zig-zag scan) and whose block at column 1 of row 0 codes one AC
        level 2 after its DC: luma[0, 0] == 5, luma[0, 4] == -1 (the DC of the block at
        column 1), luma[0, 5] == 2. An I_PCM macroblock's places hold its samples. Chroma planes
        are empty for monochrome streams; the arrays cover the coded picture, cropping undone."""

    def get_residual(
        self, frame_idx: SupportsIndex
    ) -> tuple[npt.NDArray[np.int16], npt.NDArray[np.int16], npt.NDArray[np.int16]]:
        """Get the residual of frame, rebuilt from its syntax without decoding, as three int16 arrays (luma, Cb, Cr) at the coded picture's size

        The levels of get_coefficients scaled (the scaling matrices in force, each macroblock's
        QP, chroma QP from its offsets) and inverse-transformed (4x4 and 8x8, the Intra 16x16
        luma DC and chroma DC transforms), or in lossless macroblocks taken as they are, as the
        decoder adds them to its prediction: for a frame get_prediction rebuilds,
        clip(get_prediction(frame_idx)[p] + get_residual(frame_idx)[p]) is the picture before
        the loop filter. Zero in skipped macroblocks. A frame of two field pictures gives the top
        field's residual on the even rows and the bottom field's on the odd ones. Chroma arrays
        are empty for monochrome streams; in an MBAFF frame a field macroblock's residual lies
        on its pair's rows of its field."""

    def get_prediction(
        self, frame_idx: SupportsIndex
    ) -> tuple[npt.NDArray[np.uint8] | npt.NDArray[np.uint16], npt.NDArray[np.uint8] | npt.NDArray[np.uint16],
               npt.NDArray[np.uint8] | npt.NDArray[np.uint16]]:
        """Get the prediction of an I, P or B frame, rebuilt from its syntax and its reference frames, as three arrays (luma, Cb, Cr) of the picture's sample type at the coded picture's size

        Intra blocks predicted as their intra mode says from the samples beside them as rebuilt
        before the loop filter (prediction plus residual, macroblock by macroblock), with Intra
        8x8's reference filtering and constrained_intra_pred's rule; an I_PCM macroblock's
        prediction is its coded samples and its residual zero. Inter blocks predicted from the
        reference frames their list 0 and list 1 indices name (the lists initialised, list 0
        of a P slice by frame number, a B slice's by picture order count, and modified as the
        slice says, over the references the decoded reference marking leaves), as the decoder
        holds it (decoded with the loop filter on, whatever the session's mode, on its coded
        planes, edges repeated), with the block's vector of get_motion_field: quarter-sample
        luma and eighth-sample chroma interpolation; two lists' samples averaged, or weighted
        explicitly or implicitly as the picture asks. A frame of two field pictures is rebuilt
        field by field, each field a picture of its own predicted from reference fields (every
        other row of a reference frame; the second field may name the first), the top field on
        the even rows and the bottom field on the odd ones. PredictionNotBuilt for what is not
        built: direct prediction in an MBAFF frame from a pair of field pictures, or in a field
        picture from a frame coded as a frame; temporal direct prediction from the first field
        of the frame being decoded; fields after a field's long-term memory management."""

    def get_motion_field(self, frame_idx: SupportsIndex) -> npt.NDArray[np.void]:
        """Get the motion of each 4x4 block of a P or B frame, predicted from the syntax without decoding, as a (4 * coded mb rows, 4 * coded mb columns) structured array

        mv (2 lists x (x, y), int16, quarter samples), ref_idx (2 lists, -1 where unused,
        intra blocks too) and ref_poc (2 lists, int32, the picture order count of the picture
        the index names in its slice's list, -1 where unused) and direct (bool, the block's
        motion derived by B direct prediction rather than coded): each partition's vector
        of each list it uses predicted from the same list's vectors of its neighbours (median,
        the 16x8 and 8x16 directional rules, P_Skip) plus its coded difference, sub-8x8
        partitions at their own blocks; direct-mode blocks (B_Skip, B_Direct_16x16,
        B_Direct_8x8) spatial or temporal as the slice says, from the motion of the
        co-located picture (list 1's first), read and built for the purpose. In a frame of two
        field pictures each field's motion is in field units, a field's macroblock row r on
        the array's macroblock row 2r (top field) or 2r + 1 (bottom field), where get_mb_syntax
        puts it. PredictionNotBuilt as for get_prediction."""

    def get_residuals(
        self, frames: _Frames = None, *, threads: SupportsIndex | None = None
    ) -> tuple[npt.NDArray[np.int16], npt.NDArray[np.int16], npt.NDArray[np.int16]]:
        """The residuals of many frames (every frame when frames is None) as three int16 arrays (luma, Cb, Cr) of shape (len(frames), rows, columns), rebuilt without decoding on `threads` readers (None or 0: every usable core)

        Each frame's planes as get_residual gives them. The frames must share one coded size:
        ValueError names the first that does not. A frame get_residual refuses (one no packet
        holds) raises its RuntimeError. Frames are
        independent: each reader reads a run of them in file order, rebuilding each as it
        reads it. Ctrl-C ends the batch as it ends the decoding batches."""

    def get_motion_fields(
        self, frames: _Frames = None, *, threads: SupportsIndex | None = None
    ) -> npt.NDArray[np.void]:
        """The motion fields of many P or B frames (every frame when frames is None) as one (len(frames), 4 * coded mb rows, 4 * coded mb columns) structured array like get_motion_field's, built without decoding on `threads` readers (None or 0: every usable core)

        A frame get_motion_field refuses (PredictionNotBuilt, or one no packet holds) raises
        its error; frames must share one coded size (ValueError). Ctrl-C ends the batch
        as it ends the decoding batches."""

    def get_mb_syntaxes(
        self, frames: Iterable[SupportsIndex] | None = None, *, threads: int | None = None
    ) -> npt.NDArray[np.void]:
        """The syntax of many frames (every frame when frames is None) as one (len(frames), mb_rows, mb_cols) structured array like get_mb_syntax's, read without decoding on `threads` readers (None: every usable core)

        Frames are independent: each reader reads a run of them in file order, from the key
        packet before its first frame (for the parameter sets in force)."""

    def syntax_stats(
        self, frames: _Frames = None, *, threads: SupportsIndex | None = None, residual: bool = False
    ) -> SyntaxStats:
        """One row per frame (every frame when frames is None) as a dict of equal-length arrays (a SyntaxStats), read from the frames' syntax without decoding on `threads` readers (None or 0: every usable core)

        frame (int32), pts (int64, in time_base units), time (float64, seconds), pict_type,
        key_frame (bool), pkt_size (int64, bytes), qp_mean (float64), qp_min, qp_max (int8),
        mb_intra, mb_skip, mb_direct, mb_inter (int32): frame_stats' columns of the same names,
        as a session opened with mb_types=True gives them, here from the syntax: pict_type is
        FFmpeg's for the kind of the frame's first slice, key_frame its key flag (an IDR
        picture, or a recovery point SEI message with recovery_frame_cnt 0); the QP columns and
        the counts are over the macroblocks read. Then parsed (bool): every macroblock of the
        frame was read; bits_header, bits_prediction, bits_residual (int64): the sums of
        get_mb_syntax's bits of its macroblocks (slice headers are not counted);
        nonzero_coefficients (int64): the nonzero quantised levels of all its blocks, the
        separately coded DC levels included; qp_mean_coded (float64): the mean QP of the
        macroblocks that code a QP of their own (an mb_qp_delta: Intra 16x16 macroblocks and
        those with a nonzero coded block pattern); sub8x8_share (float64): of the 8x8 blocks
        of the macroblocks read (four each), the share whose motion is coded in partitions
        smaller than 8x8 (8x4, 4x8, 4x4 sub-macroblocks; direct ones not counted).

        With residual=True, also residual_energy_y, residual_energy_cb, residual_energy_cr
        (float64): per plane, the mean of the squares of get_residual's samples over the
        plane's coded area, in squared sample units at the stream's bit depth; the frames are
        then read with their coefficients and each residual rebuilt, which takes longer.

        What marks "no value": pict_type '' and key_frame False where no slice header of the
        frame was read; qp_mean and sub8x8_share NaN, qp_min and qp_max -1, the counts, bits
        and nonzero_coefficients -1 where no macroblock was read (a coding the parser refuses,
        such as slice groups, or damage); qp_mean_coded NaN where no macroblock read codes a
        QP; a residual energy NaN for a plane the stream does not have (monochrome) and for
        every plane of a frame whose residual get_residual does not give (not read whole).
        A damaged slice is counted up to where it stops making sense: read parsed with the
        others.

        frames as get_qpmaps takes them. Frames are independent: each reader reads a run of
        them in file order. Ctrl-C ends the batch as it ends the decoding batches."""

    def copy_plane_to_ptr(
        self, frame_idx: SupportsIndex, plane: SupportsIndex, dst_ptr: SupportsIndex, dst_stride: SupportsIndex
    ) -> None:
        """Copy plane data directly into destination pointer and stride (zero Python
        overhead)

        The plane's picture area, get_plane_data(frame_idx, plane)[:, :columns], one row
        every dst_stride bytes. ValueError for a frame of another size or pixel format than
        the session's."""

    def get_qpmaps(
        self, frames: _Frames = None, *, threads: SupportsIndex = 0, undecodable: _Undecodable = "raise"
    ) -> npt.NDArray[np.int8]:
        """QP maps of many frames (every frame when frames is None) as one (len(frames),
        mb_rows, mb_cols) int8 array, decoded on `threads` parallel decoders (0: every usable
        core)

        frames: None, an iterable of frame numbers, or one frame number (a batch of one).
        A frame the decoder makes no picture of raises RuntimeError; with
        undecodable="mark" it gets a damaged picture's map, -1 everywhere, and the rest
        come back. Batch methods open the file again by its path: RuntimeError where it is
        gone or has changed since the session opened it."""

    def get_mbtype_maps(
        self, frames: _Frames = None, *, threads: SupportsIndex = 0, undecodable: _Undecodable = "raise"
    ) -> npt.NDArray[np.void]:
        """Macroblock types of many frames (every frame when frames is None) as one
        (len(frames), mb_rows, mb_cols) structured array like get_mbtype_map's, decoded on
        `threads` parallel decoders (0: every usable core)

        frames and undecodable as get_qpmaps takes them; a marked frame's cells are
        MbType.UNKNOWN. Batch methods open the file again by its path: RuntimeError where
        it is gone or has changed since the session opened it."""

    def get_planes(
        self, frames: _Frames, plane: SupportsIndex, *, threads: SupportsIndex = 0
    ) -> npt.NDArray[np.uint8] | npt.NDArray[np.uint16]:
        """Picture area of one plane of many frames as one (len(frames), rows, columns)
        array, decoded on `threads` parallel decoders (0: every usable core)

        frames as get_qpmaps takes them. Batch methods open the file again by its path:
        RuntimeError where it is gone or has changed since the session opened it."""

    def frame_stats(self, frames: _Frames = None, *, threads: SupportsIndex = 0) -> FrameStats:
        """One row per frame (every frame when frames is None) as a dict of equal-length
        arrays (a FrameStats)

        frame (int32), pts (int64, in time_base units), time (float64, seconds), pict_type
        (as get_frame_type; '' for a frame not decoded), key_frame (bool), pkt_size (int64,
        bytes), qp_mean (float64), qp_min, qp_max (int8), chroma_qp_offset_cb,
        chroma_qp_offset_cr (int32), decoded, damaged (bool); with mb_types=True also
        mb_intra, mb_skip, mb_direct, mb_inter (int32 counts of intra, P/B skip, B direct
        and motion-coded macroblocks).

        What marks "no value": qp_mean NaN, qp_min and qp_max -1 where the frame has no QP
        (not decoded, damaged, or a codec without QP export); the mb_* counts -1 for a
        frame without types (not decoded, damaged, or a codec other than H.264); pict_type
        ''; key_frame False and the chroma offsets 0 for a frame not decoded; damaged is
        False for a frame not decoded, so read it with decoded.
        vexmira_tools.frame_stats_frame(stats) makes a pandas DataFrame of it with these
        as missing values (nullable dtypes).

        frames as get_qpmaps takes them. Batch methods open the file again by its path:
        RuntimeError where it is gone or has changed since the session opened it."""

    def key_frame_intervals(self) -> npt.NDArray[np.int32]:
        """First frame of each run of frames decoded from the same key packet, ascending:
        frame ranges cut there decode no key-frame interval twice"""
