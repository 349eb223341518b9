"""The units of work as functions of plain, picklable values (paths, frame ranges, dicts of
NumPy arrays), reading with the sessions this process keeps: a cluster's task, or a thread's
read of a range with the session that planned its file."""

import os
import threading
from collections import OrderedDict

import numpy as np

import vexmira
from vexmira_tools.messages import messages_taken
from vexmira_tools.plans import MAX_RANGES_PER_FILE, FilePlan, open_file

# Sessions a process keeps between tasks, the most recently used: a cluster's worker that
# reads several ranges of a file opens it once.
SESSIONS_KEPT = 4

_kept_sessions: OrderedDict[tuple, vexmira.H264DecoderSession] = OrderedDict()
_kept_lock = threading.Lock()


def kept_session(path: str, mb_types: bool = False, stream: int | None = None) -> vexmira.H264DecoderSession:
    """A session of the file as it is now, opened once while a few other files are read: the
    same path changed since (a persistent cluster's next run) is opened again."""
    try:
        stat = os.stat(path)
    except OSError:
        return vexmira.H264DecoderSession(path, mb_types=mb_types, stream=stream)
    key = (path, stat.st_mtime_ns, stat.st_size, mb_types, stream)
    with _kept_lock:
        if key in _kept_sessions:
            _kept_sessions.move_to_end(key)
            return _kept_sessions[key]
    session = vexmira.H264DecoderSession(path, mb_types=mb_types, stream=stream)
    with _kept_lock:
        _kept_sessions[key] = session
        while len(_kept_sessions) > SESSIONS_KEPT:
            _kept_sessions.popitem(last=False)
    return session


def plan_file(path: str, range_frames: int, table: str = "frames", stream: int | None = None) -> FilePlan:
    """A cluster's first task of a file: its plan, with the session that made it kept for the
    ranges this worker reads next."""
    plan, _ = open_file(path, range_frames, MAX_RANGES_PER_FILE, table, kept_session, stream)
    return plan


def range_stats(path: str, first: int, end: int, threads: int = 1, session=None,
                table: str = "frames", stream: int | None = None) -> dict[str, np.ndarray]:
    """frame_stats of frames first..end-1 of the stream, with the session given or one this
    process keeps, with the counts of macroblock types where asked."""
    session = session or kept_session(path, table == "mb_types", stream)
    if table in ("syntax", "residual"):
        return session.syntax_stats(range(first, end), threads=threads, residual=table == "residual")
    return session.frame_stats(range(first, end), threads=threads)


def read_range(path: str, first: int, end: int, threads: int = 1, session=None, table: str = "frames",
               stream: int | None = None) -> tuple[dict[str, np.ndarray], list[str]]:
    """range_stats, and the warnings and errors FFmpeg logged of the file meanwhile."""
    with messages_taken(path) as messages:
        stats = range_stats(path, first, end, threads, session, table, stream)
    return stats, messages
