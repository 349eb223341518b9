"""Per-frame tables of whole files, cut into ranges of key-frame intervals: the units of work
that one process runs on a pool of threads and a Dask cluster runs as tasks. What a task takes
and returns is plain and picklable (paths, frame ranges, dicts of NumPy arrays)."""

import os
import re
import threading
from collections import OrderedDict
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import vexmira

# Ranges of about this many frames: enough to keep a decoder busy, few enough per file that a
# long file spreads over several workers and the progress bar moves. A Dask task costs more
# than a range read in this process, so the cluster's ranges are longer.
DEFAULT_RANGE_FRAMES = 1000
IN_PROCESS_RANGE_FRAMES = 250
# A worker of a cluster opens the file of a range it has not read before, which reads all of
# it once without decoding (about 1 % of decoding it): a file is cut into no more ranges than
# this, so that those reads stay a few percent of the work however long the file.
MAX_RANGES_PER_FILE = 8
# Sessions a process keeps between tasks, the most recently used: a cluster's worker that
# reads several ranges of a file opens it once.
SESSIONS_KEPT = 4

# The table's columns and their types, in order: the file, what it is (repeated on each of its
# rows, so that a corpus of mixed formats reads as one table), then frame_stats' columns. A
# run in which no file opens still writes them all. The README's "Columns" defines each.
FILE_COLUMNS = {"file": "str", "codec": "str", "pix_fmt": "str", "bit_depth": "int8", "width": "int32",
                "height": "int32", "fps": "float64"}
FRAME_COLUMNS = {"frame": "int32", "pts": "int64", "time": "float64", "pict_type": "str", "key_frame": "bool",
                 "pkt_size": "int64", "qp_mean": "float64", "qp_min": "int8", "qp_max": "int8",
                 "chroma_qp_offset_cb": "int32", "chroma_qp_offset_cr": "int32", "decoded": "bool",
                 "damaged": "bool"}
COLUMNS = {**FILE_COLUMNS, **FRAME_COLUMNS}
# With --mb-types, after them: the macroblocks of each kind ("Columns of --mb-types").
MB_TYPE_COLUMNS = {"mb_intra": "int32", "mb_skip": "int32", "mb_direct": "int32", "mb_inter": "int32"}


def table_columns(mb_types: bool) -> dict[str, str]:
    """The columns of a run's table, in order."""
    return {**COLUMNS, **MB_TYPE_COLUMNS} if mb_types else COLUMNS

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
    says it: a fact the session learns to report is added here and there."""
    return {"codec": session.codec, "pix_fmt": session.pix_fmt,
            "bit_depth": bit_depth(session.pix_fmt, session.bytes_per_sample),
            "width": session.width, "height": session.height, "fps": session.fps}


def qp_warning(session) -> str | None:
    """What a table of a codec without QP export must be read with."""
    if session.qp_scale is not None:
        return None
    return (f"FFmpeg exports no per-block QP for {session.codec}: qp_mean is empty and qp_min, qp_max are -1 "
            "on every row")


@dataclass
class FilePlan:
    """The frame ranges of one file and what it is, or why it could not be opened."""
    path: str
    frames: int = 0
    ranges: list[tuple[int, int]] = field(default_factory=list)
    facts: dict[str, Any] = field(default_factory=dict)
    error: str | None = None
    # The unit of the pts column ("1/90000"), for the run's record.
    time_base: str = ""
    warning: str | None = None
    # Whether its ranges count the macroblocks of each kind.
    mb_types: bool = False


def frame_ranges(interval_starts, frames: int, range_frames: int,
                 max_ranges: int | None = MAX_RANGES_PER_FILE) -> list[tuple[int, int]]:
    """[first, end) ranges that begin where a key-frame interval begins, each but the last of
    at least range_frames frames and, where max_ranges is given, of at least a max_ranges-th
    of the file."""
    if max_ranges:
        range_frames = max(range_frames, -(-frames // max_ranges))
    ranges, first = [], 0
    for start in [int(start) for start in interval_starts] + [frames]:
        if start - first >= range_frames or (start == frames and start > first):
            ranges.append((first, start))
            first = start
    return ranges


_kept_sessions: OrderedDict[tuple, vexmira.H264DecoderSession] = OrderedDict()
_kept_lock = threading.Lock()


def kept_session(path: str, mb_types: bool = False) -> vexmira.H264DecoderSession:
    """A session of the file as it is now, opened once while a few other files are read: the
    same path changed since (a persistent cluster's next run) is opened again."""
    try:
        stat = os.stat(path)
    except OSError:
        return vexmira.H264DecoderSession(path, mb_types=mb_types)
    key = (path, stat.st_mtime_ns, stat.st_size, mb_types)
    with _kept_lock:
        if key in _kept_sessions:
            _kept_sessions.move_to_end(key)
            return _kept_sessions[key]
    session = vexmira.H264DecoderSession(path, mb_types=mb_types)
    with _kept_lock:
        _kept_sessions[key] = session
        while len(_kept_sessions) > SESSIONS_KEPT:
            _kept_sessions.popitem(last=False)
    return session


def open_file(path: str, range_frames: int, max_ranges: int | None = MAX_RANGES_PER_FILE, mb_types: bool = False,
              opener=vexmira.H264DecoderSession) -> tuple[FilePlan, vexmira.H264DecoderSession | None]:
    """The file's plan and the session that read it, or the plan's error and None."""
    try:
        session = opener(path, mb_types=mb_types)
    except Exception as error:  # noqa: BLE001 - a file that does not open is reported, not fatal
        return FilePlan(path, error=f"{type(error).__name__}: {error}", mb_types=mb_types), None
    return FilePlan(path, session.num_frames,
                    frame_ranges(session.key_frame_intervals(), session.num_frames, range_frames, max_ranges),
                    file_facts(session), time_base=str(session.time_base), warning=qp_warning(session),
                    mb_types=mb_types), session


def plan_and_read_first(path: str, range_frames: int, threads: int,
                        mb_types: bool = False) -> tuple[FilePlan, dict[str, np.ndarray] | None]:
    """A cluster's first task of a file: its plan and the frame_stats of its first range, read
    with the session that planned it. A clip of one range is done in this one task."""
    plan, session = open_file(path, range_frames, MAX_RANGES_PER_FILE, mb_types, kept_session)
    if plan.error:
        return plan, None
    first, end = plan.ranges[0]
    return plan, range_stats(path, first, end, threads, session)


def range_stats(path: str, first: int, end: int, threads: int = 1, session=None,
                mb_types: bool = False) -> dict[str, np.ndarray]:
    """frame_stats of frames first..end-1, with the session given or one this process keeps,
    with the counts of macroblock types where asked."""
    session = session or kept_session(path, mb_types)
    return session.frame_stats(range(first, end), threads=threads)


def empty_table() -> dict[str, np.ndarray]:
    return {name: np.array([], dtype=kind) for name, kind in COLUMNS.items()}


def repeated(value, rows: int, kind: str) -> np.ndarray:
    # NumPy would cut a string to the length its dtype "str" leaves unset.
    return np.full(rows, value) if kind == "str" else np.full(rows, value, dtype=kind)


def check_columns(stats: dict[str, np.ndarray], frame_columns: dict[str, str]) -> None:
    """frame_stats must give the frame columns and their types: a column it gains or changes
    is to be defined here and in the README's table first, not written unseen."""
    if set(stats) != set(frame_columns):
        raise RuntimeError(f"frame_stats gave the columns {sorted(stats)}; the table defines {sorted(frame_columns)}")
    for name, kind in frame_columns.items():
        dtype = stats[name].dtype
        if dtype != np.dtype(kind) and not (kind == "str" and dtype.kind == "U"):
            raise RuntimeError(f"frame_stats gave {name} as {dtype}; the table defines it as {kind}")


def file_table(plan: FilePlan, ranges: list[dict[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """The rows of one whole file, from the frame_stats of its ranges in frame order, with the
    file's path and facts on each row, in the COLUMNS' order."""
    frame_columns = {name: kind for name, kind in table_columns(plan.mb_types).items() if name not in FILE_COLUMNS}
    for part in ranges:
        check_columns(part, frame_columns)
    rows = sum(len(part["frame"]) for part in ranges)
    values = {"file": plan.path, **plan.facts}
    table = {name: repeated(values[name], rows, kind) for name, kind in FILE_COLUMNS.items()}
    for name, kind in frame_columns.items():
        table[name] = np.concatenate([np.array([], dtype=kind)] + [part[name] for part in ranges])
    return table


@dataclass
class FileResult:
    """One file's whole table, or why it was skipped; the unit of its pts and what its rows
    must be read with, from its plan."""
    path: str
    table: dict[str, np.ndarray] | None = None
    error: str | None = None
    time_base: str = ""
    warning: str | None = None


def file_result(plan: FilePlan, ranges: list[dict[str, np.ndarray]]) -> FileResult:
    return FileResult(plan.path, file_table(plan, ranges), time_base=plan.time_base, warning=plan.warning)
