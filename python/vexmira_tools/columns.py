"""The table's columns: their names, types and order, what one file's rows repeat about it,
and the assembly of one file's rows from the frame_stats of its ranges. The README's
"Columns" defines each."""

import os
import re
from typing import Any

import numpy as np

# The file, what it is (repeated on each of its rows, so that a corpus of mixed formats reads
# as one table), then frame_stats' columns. A run in which no file opens still writes them all.
FILE_COLUMNS = {"file": "str", "codec": "str", "pix_fmt": "str", "bit_depth": "int8", "width": "int32",
                "height": "int32", "fps": "float64"}
FRAME_COLUMNS = {"frame": "int32", "pts": "int64", "time": "float64", "pict_type": "str", "key_frame": "bool",
                 "pkt_size": "int64", "qp_mean": "float64", "qp_min": "int8", "qp_max": "int8",
                 "chroma_qp_offset_cb": "int32", "chroma_qp_offset_cr": "int32", "decoded": "bool",
                 "damaged": "bool"}
COLUMNS = {**FILE_COLUMNS, **FRAME_COLUMNS}
# With --mb-types, after them: the macroblocks of each kind ("Columns of --mb-types").
MB_TYPE_COLUMNS = {"mb_intra": "int32", "mb_skip": "int32", "mb_direct": "int32", "mb_inter": "int32"}
# With --syntax, in their place: syntax_stats' columns, read without decoding ("Columns of --syntax").
SYNTAX_COLUMNS = {"frame": "int32", "pts": "int64", "time": "float64", "pict_type": "str", "key_frame": "bool",
                  "pkt_size": "int64", "qp_mean": "float64", "qp_min": "int8", "qp_max": "int8",
                  **MB_TYPE_COLUMNS, "parsed": "bool", "bits_header": "int64", "bits_prediction": "int64",
                  "bits_residual": "int64", "nonzero_coefficients": "int64", "qp_mean_coded": "float64",
                  "sub8x8_share": "float64"}
# With --residual, after them: each plane's residual energy.
RESIDUAL_COLUMNS = {"residual_energy_y": "float64", "residual_energy_cb": "float64", "residual_energy_cr": "float64"}
# What a run's table holds: "frames", frame_stats' columns; "mb_types", with their counts of
# macroblock kinds; "syntax", syntax_stats' columns; "residual", with the residual's energy.
TABLES = {"frames": COLUMNS, "mb_types": {**COLUMNS, **MB_TYPE_COLUMNS}, "syntax": {**FILE_COLUMNS, **SYNTAX_COLUMNS},
          "residual": {**FILE_COLUMNS, **SYNTAX_COLUMNS, **RESIDUAL_COLUMNS}}

# FFmpeg names a format of more than 8 bits by its depth and byte order: yuv420p10le, gray12le,
# p010le. Formats without such a suffix store 8-bit samples.
DEPTH_IN_NAME = re.compile(r"(?:p|gray)0?(\d+)(?:le|be)$")


def path_text(path: str) -> str:
    """A path as the table's `file` names it: valid text that tells every path apart. A name
    that is UTF-8 and has no backslash is itself; in any other, each byte that is not UTF-8
    is written \\xNN (the backslash escape Python prints for it) and a backslash itself \\\\,
    so that a name holding those characters cannot be taken for another."""
    raw = os.fsencode(path)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is not None and "\\" not in text:
        return text
    return raw.replace(b"\\", b"\\\\").decode("utf-8", errors="backslashreplace")


# What marks "no value" in frame_stats' and syntax_stats' arrays, written as a null in the
# tables: -1 counts, sums and QP extremes, NaN mean QP, and what a frame not decoded (or of
# which no slice header was read) has no picture to say.
ABSENT_AS_MINUS_ONE = ("qp_min", "qp_max", "mb_intra", "mb_skip", "mb_direct", "mb_inter", "bits_header",
                       "bits_prediction", "bits_residual", "nonzero_coefficients")
ABSENT_AS_NAN = ("qp_mean", "qp_mean_coded", "sub8x8_share", *RESIDUAL_COLUMNS)
PICTURE_COLUMNS = ("pict_type", "key_frame", "chroma_qp_offset_cb", "chroma_qp_offset_cr", "damaged")


def absent(table: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """For each column of the table that can lack a value, where it does (True)."""
    no_picture = ~table["decoded"] if "decoded" in table else table["pict_type"] == ""
    masks = {name: table[name] == -1 for name in ABSENT_AS_MINUS_ONE if name in table}
    masks.update({name: np.isnan(table[name]) for name in ABSENT_AS_NAN if name in table})
    masks.update({name: no_picture for name in PICTURE_COLUMNS if name in table})
    return masks


def table_columns(table: str) -> dict[str, str]:
    """The columns of a run's table (a key of TABLES), in order."""
    return TABLES[table]


def bit_depth(pix_fmt: str, bytes_per_sample: int) -> int:
    """Bits per sample of a pixel format, from its name; -1 where the name does not tell."""
    if match := DEPTH_IN_NAME.search(pix_fmt):
        return int(match.group(1))
    return 8 if bytes_per_sample == 1 else -1


def file_facts(session) -> dict[str, Any]:
    """What one file is, for the FILE_COLUMNS beside each of its rows. The one place that
    says it: a fact the session learns to report is added here and there."""
    return {"codec": session.codec, "pix_fmt": session.pix_fmt,
            "bit_depth": bit_depth(session.pix_fmt, session.bytes_per_sample),
            "width": session.width, "height": session.height, "fps": session.fps}


def repeated(value, rows: int, kind: str) -> np.ndarray:
    # NumPy would cut a string to the length its dtype "str" leaves unset.
    return np.full(rows, value) if kind == "str" else np.full(rows, value, dtype=kind)


def check_columns(stats: dict[str, np.ndarray], frame_columns: dict[str, str]) -> None:
    """frame_stats (or syntax_stats) must give the frame columns and their types: a column it
    gains or changes is to be defined here and in the README's table first, not written unseen."""
    if set(stats) != set(frame_columns):
        raise RuntimeError(f"the session gave the columns {sorted(stats)}; the table defines {sorted(frame_columns)}")
    for name, kind in frame_columns.items():
        dtype = stats[name].dtype
        if dtype != np.dtype(kind) and not (kind == "str" and dtype.kind == "U"):
            raise RuntimeError(f"the session gave {name} as {dtype}; the table defines it as {kind}")


def file_table(path: str, facts: dict[str, Any], table: str,
               ranges: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """The rows of one whole file, from the frame_stats (or syntax_stats) of its ranges in frame
    order, with the file's path and facts on each row, in the columns' order."""
    frame_columns = {name: kind for name, kind in table_columns(table).items() if name not in FILE_COLUMNS}
    for part in ranges:
        check_columns(part, frame_columns)
    rows = sum(len(part["frame"]) for part in ranges)
    values = {"file": path_text(path), **facts}
    rows_of = {name: repeated(values[name], rows, kind) for name, kind in FILE_COLUMNS.items()}
    for name, kind in frame_columns.items():
        rows_of[name] = np.concatenate([np.array([], dtype=kind)] + [part[name] for part in ranges])
    return rows_of
