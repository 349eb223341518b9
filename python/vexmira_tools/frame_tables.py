"""Per-frame tables of whole files, cut into ranges of key-frame intervals: the units of work
that one process runs in a loop and a Dask cluster runs as tasks. Everything here takes and
returns plain, picklable values (paths, frame ranges, dicts of NumPy arrays)."""

import re
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import vexmira

# Ranges of about this many frames: enough to keep a decoder busy, few enough per file that a
# long file spreads over several workers and the progress bar moves.
DEFAULT_RANGE_FRAMES = 1000
# Every range's task opens the file, which reads all of it once without decoding (about 1 %
# of decoding it): a file is cut into no more ranges than this, so that those reads stay a
# few percent of the work however long the file.
MAX_RANGES_PER_FILE = 8

# The table's columns and their types, in order: the file, what it is (repeated on each of its
# rows, so that a corpus of mixed formats reads as one table), then frame_stats' columns. A
# run in which no file opens still writes them all. The README's "Columns" defines each.
FILE_COLUMNS = {"file": "str", "pix_fmt": "str", "bit_depth": "int8", "width": "int32", "height": "int32",
                "fps": "float64"}
FRAME_COLUMNS = {"frame": "int32", "pts": "int64", "time": "float64", "pict_type": "str", "key_frame": "bool",
                 "pkt_size": "int64", "qp_mean": "float64", "qp_min": "int8", "qp_max": "int8",
                 "chroma_qp_offset_cb": "int32", "chroma_qp_offset_cr": "int32", "decoded": "bool"}
COLUMNS = {**FILE_COLUMNS, **FRAME_COLUMNS}

# FFmpeg names a format of more than 8 bits by its depth and byte order: yuv420p10le, gray12le,
# p010le. Formats without such a suffix store 8-bit samples.
DEPTH_IN_NAME = re.compile(r"(?:p|gray)0?(\d+)(?:le|be)$")


def bit_depth(pix_fmt: str, bytes_per_sample: int) -> int:
    """Bits per sample of a pixel format, from its name; -1 where the name does not tell."""
    if match := DEPTH_IN_NAME.search(pix_fmt):
        return int(match.group(1))
    return 8 if bytes_per_sample == 1 else -1


def file_facts(session) -> dict[str, Any]:
    """What one file is, for the FILE_COLUMNS beside each of its rows. The one place that
    says it: a fact the session learns to report (its codec) is added here and there."""
    return {"pix_fmt": session.pix_fmt, "bit_depth": bit_depth(session.pix_fmt, session.bytes_per_sample),
            "width": session.width, "height": session.height, "fps": session.fps}


@dataclass
class FilePlan:
    """The frame ranges of one file and what it is, or why it could not be opened."""
    path: str
    frames: int = 0
    ranges: list[tuple[int, int]] = field(default_factory=list)
    facts: dict[str, Any] = field(default_factory=dict)
    error: str | None = None


def frame_ranges(interval_starts, frames: int, range_frames: int) -> list[tuple[int, int]]:
    """[first, end) ranges that begin where a key-frame interval begins, each but the last of
    at least range_frames frames and of at least a MAX_RANGES_PER_FILE-th of the file."""
    range_frames = max(range_frames, -(-frames // MAX_RANGES_PER_FILE))
    ranges, first = [], 0
    for start in [int(start) for start in interval_starts] + [frames]:
        if start - first >= range_frames or (start == frames and start > first):
            ranges.append((first, start))
            first = start
    return ranges


def plan_file(path: str, range_frames: int = DEFAULT_RANGE_FRAMES) -> FilePlan:
    try:
        session = vexmira.H264DecoderSession(path)
    except Exception as error:  # noqa: BLE001 - a file that does not open is reported, not fatal
        return FilePlan(path, error=f"{type(error).__name__}: {error}")
    return FilePlan(path, session.num_frames,
                    frame_ranges(session.key_frame_intervals(), session.num_frames, range_frames),
                    file_facts(session))


def range_stats(path: str, first: int, end: int, threads: int = 1, session=None) -> dict[str, np.ndarray]:
    """frame_stats of frames first..end-1, opening the file unless a session of it is given."""
    session = session or vexmira.H264DecoderSession(path)
    return session.frame_stats(threads, frames=range(first, end))


def empty_table() -> dict[str, np.ndarray]:
    return {name: np.array([], dtype=kind) for name, kind in COLUMNS.items()}


def repeated(value, rows: int, kind: str) -> np.ndarray:
    # NumPy would cut a string to the length its dtype "str" leaves unset.
    return np.full(rows, value) if kind == "str" else np.full(rows, value, dtype=kind)


def check_columns(stats: dict[str, np.ndarray]) -> None:
    """frame_stats must give the FRAME_COLUMNS and their types: a column it gains or changes
    is to be defined here and in the README's table first, not written unseen."""
    if set(stats) != set(FRAME_COLUMNS):
        raise RuntimeError(f"frame_stats gave the columns {sorted(stats)}; the table defines {sorted(FRAME_COLUMNS)}")
    for name, kind in FRAME_COLUMNS.items():
        dtype = stats[name].dtype
        if dtype != np.dtype(kind) and not (kind == "str" and dtype.kind == "U"):
            raise RuntimeError(f"frame_stats gave {name} as {dtype}; the table defines it as {kind}")


def file_table(plan: FilePlan, ranges: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """The rows of one whole file, from the frame_stats of its ranges in frame order, with the
    file's path and facts on each row, in the COLUMNS' order."""
    for part in ranges:
        check_columns(part)
    rows = sum(len(part["frame"]) for part in ranges)
    values = {"file": plan.path, **plan.facts}
    table = {name: repeated(values[name], rows, kind) for name, kind in FILE_COLUMNS.items()}
    for name, kind in FRAME_COLUMNS.items():
        table[name] = np.concatenate([np.array([], dtype=kind)] + [part[name] for part in ranges])
    return table


@dataclass
class FileResult:
    """One file's whole table, or why it was skipped."""
    path: str
    table: dict[str, np.ndarray] | None = None
    error: str | None = None
