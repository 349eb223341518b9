"""What H264DecoderSession.frame_stats and syntax_stats return, as typed mappings, and
frame_stats' result as a pandas DataFrame whose missing values are pandas' own."""

from typing import TYPE_CHECKING, NotRequired, TypedDict

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd


# The annotations are strings so that importing this needs neither NumPy nor pandas; the
# NotRequired around them stays visible at run time.
class _FrameColumns(TypedDict):
    """The columns every per-frame table has: which frame, its packet and its QP."""

    frame: "npt.NDArray[np.int32]"
    pts: "npt.NDArray[np.int64]"
    time: "npt.NDArray[np.float64]"
    pict_type: "npt.NDArray[np.str_]"
    key_frame: "npt.NDArray[np.bool_]"
    pkt_size: "npt.NDArray[np.int64]"
    qp_mean: "npt.NDArray[np.float64]"
    qp_min: "npt.NDArray[np.int8]"
    qp_max: "npt.NDArray[np.int8]"


class FrameStats(_FrameColumns):
    """One equal-length NumPy array per column, one row per frame; what marks "no value" in
    each column is in H264DecoderSession.frame_stats' docstring."""

    chroma_qp_offset_cb: "npt.NDArray[np.int32]"
    chroma_qp_offset_cr: "npt.NDArray[np.int32]"
    decoded: "npt.NDArray[np.bool_]"
    damaged: "npt.NDArray[np.bool_]"
    mb_intra: NotRequired["npt.NDArray[np.int32]"]
    mb_skip: NotRequired["npt.NDArray[np.int32]"]
    mb_direct: NotRequired["npt.NDArray[np.int32]"]
    mb_inter: NotRequired["npt.NDArray[np.int32]"]


class SyntaxStats(_FrameColumns):
    """What H264DecoderSession.syntax_stats returns: one equal-length NumPy array per column,
    one row per frame, read from the frames' syntax without decoding; what marks "no value" in
    each column is in its docstring."""

    mb_intra: "npt.NDArray[np.int32]"
    mb_skip: "npt.NDArray[np.int32]"
    mb_direct: "npt.NDArray[np.int32]"
    mb_inter: "npt.NDArray[np.int32]"
    parsed: "npt.NDArray[np.bool_]"
    bits_header: "npt.NDArray[np.int64]"
    bits_prediction: "npt.NDArray[np.int64]"
    bits_residual: "npt.NDArray[np.int64]"
    nonzero_coefficients: "npt.NDArray[np.int64]"
    qp_mean_coded: "npt.NDArray[np.float64]"
    sub8x8_share: "npt.NDArray[np.float64]"
    residual_energy_y: NotRequired["npt.NDArray[np.float64]"]
    residual_energy_cb: NotRequired["npt.NDArray[np.float64]"]
    residual_energy_cr: NotRequired["npt.NDArray[np.float64]"]


_DTYPES = {"frame": "Int32", "pts": "Int64", "time": "Float64", "pict_type": "string", "key_frame": "boolean",
           "pkt_size": "Int64", "qp_mean": "Float64", "qp_min": "Int8", "qp_max": "Int8",
           "chroma_qp_offset_cb": "Int32", "chroma_qp_offset_cr": "Int32", "decoded": "boolean",
           "damaged": "boolean", "mb_intra": "Int32", "mb_skip": "Int32", "mb_direct": "Int32", "mb_inter": "Int32"}
# Columns whose value says nothing for a frame that was not decoded.
_PICTURE_COLUMNS = ("pict_type", "key_frame", "chroma_qp_offset_cb", "chroma_qp_offset_cr", "damaged")
_QP_COLUMNS = ("qp_min", "qp_max")
_MB_COLUMNS = ("mb_intra", "mb_skip", "mb_direct", "mb_inter")


def frame_stats_frame(stats: FrameStats) -> "pd.DataFrame":
    """frame_stats' columns as a pandas DataFrame with nullable dtypes (Int8, Int32, Int64,
    Float64, boolean, string), each "no value" a missing value: qp_* and mb_* where -1,
    qp_mean where NaN, and the picture's columns (pict_type, key_frame, the chroma offsets,
    damaged) of a frame not decoded. Needs pandas."""
    import pandas as pd

    frame = pd.DataFrame({name: pd.array(values, dtype=_DTYPES[name]) for name, values in stats.items()})
    not_decoded = ~frame["decoded"]
    for name in _PICTURE_COLUMNS:
        frame[name] = frame[name].mask(not_decoded)
    for name in _QP_COLUMNS + _MB_COLUMNS:
        if name in frame:
            frame[name] = frame[name].mask(frame[name] == -1)
    return frame
