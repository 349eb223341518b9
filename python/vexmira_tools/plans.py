"""A file cut into ranges of key-frame intervals, the unit of work that one process reads on
a pool of threads and a Dask cluster runs as tasks, and the whole file's result."""

from dataclasses import dataclass, field
from typing import Any

import numpy as np

import vexmira
from vexmira_tools.columns import file_facts, file_table
from vexmira_tools.file_table import read_file_row, session_extent, skipped_file_row
from vexmira_tools.messages import in_frame_order, messages_taken

# Ranges of about this many frames: enough to keep a decoder busy, few enough per file that a
# long file spreads over several workers and the progress bar moves. A Dask task costs more
# than a range read in this process, so the cluster's ranges are longer.
DEFAULT_RANGE_FRAMES = 1000
IN_PROCESS_RANGE_FRAMES = 250
# A worker of a cluster opens the file of a range it has not read before, which reads all of
# it once without decoding (about 1 % of decoding it): a file is cut into no more ranges than
# this, so that those reads stay a few percent of the work however long the file.
MAX_RANGES_PER_FILE = 8


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
    # What its ranges read: a key of columns.TABLES.
    table: str = "frames"
    # The index of the video stream read; None: the first.
    stream: int | None = None
    # What the container declares and whether the file holds it all, for the file table.
    extent: dict[str, Any] = field(default_factory=dict)
    # FFmpeg's warnings and errors while it was opened.
    messages: list[str] = field(default_factory=list)


@dataclass
class FileResult:
    """One file's whole table, or why it was skipped; the unit of its pts and what its rows
    must be read with, from its plan; its row of the file table, and FFmpeg's messages."""
    path: str
    table: dict[str, np.ndarray] | None = None
    error: str | None = None
    time_base: str = ""
    warning: str | None = None
    file_row: dict[str, Any] = field(default_factory=dict)
    messages: list[str] = field(default_factory=list)


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


def qp_warning(session) -> str | None:
    """What a table of a codec without QP export must be read with."""
    if session.qp_scale is not None:
        return None
    return (f"FFmpeg exports no per-block QP for {session.codec}: qp_mean is empty and qp_min, qp_max are -1 "
            "on every row")


def open_file(path: str, range_frames: int, max_ranges: int | None = MAX_RANGES_PER_FILE, table: str = "frames",
              opener=vexmira.H264DecoderSession,
              stream: int | None = None) -> tuple[FilePlan, vexmira.H264DecoderSession | None]:
    """The file's plan and the session that read it, or the plan's error and None."""
    with messages_taken(path) as messages:
        try:
            session = opener(path, mb_types=table == "mb_types", stream=stream)
        except Exception as error:  # noqa: BLE001 - a file that does not open is reported, not fatal
            return FilePlan(path, error=f"{type(error).__name__}: {error}", table=table, stream=stream,
                            messages=messages), None
    return FilePlan(path, session.num_frames,
                    frame_ranges(session.key_frame_intervals(), session.num_frames, range_frames, max_ranges),
                    file_facts(session), time_base=str(session.time_base), warning=qp_warning(session),
                    table=table, stream=stream, extent=session_extent(session), messages=messages), session


def file_result(plan: FilePlan, ranges: list[dict[str, np.ndarray]], messages: list[str]) -> FileResult:
    """The file's result from the frame_stats of its ranges in frame order, or its plan's
    error; messages: FFmpeg's, from its opening on, each once (every reader of the file has a
    demuxer of its own, which repeats what the opening's said of the container), by frame."""
    messages = in_frame_order(plan.path, messages)
    if plan.error:
        return FileResult(plan.path, error=plan.error, file_row=skipped_file_row(plan.path, plan.error, messages),
                          messages=messages)
    rows = file_table(plan.path, plan.facts, plan.table, ranges)
    return FileResult(plan.path, rows, time_base=plan.time_base, warning=plan.warning,
                      file_row=read_file_row(plan.path, plan.extent, rows, plan.facts["fps"], messages),
                      messages=messages)
