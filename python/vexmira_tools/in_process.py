"""vexmira-stats in this process: the units of every file, (file, range of key-frame
intervals), on a pool of threads with a decoder each, so that a folder of short clips keeps
every core busy as a long file does. Every file is planned first, its session closed again
so that a large folder holds no more files open than it reads; the first of its ranges to be
read opens it once more (which reads it without decoding, about 1 % of decoding it), and
its other ranges share that session. A few files per thread are read ahead of the output."""

import threading
from collections.abc import Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait

import numpy as np

import vexmira
from vexmira_tools.messages import messages_taken
from vexmira_tools.planner import Progress, Task, results_in_order
from vexmira_tools.plans import FilePlan, FileResult, open_file
from vexmira_tools.units import read_range

# Files read at once, per thread: enough that a thread finds a range to read while the others
# finish theirs, few enough that the sessions held open stay a handful.
FILES_PER_THREAD = 2


def run_in_process(videos: list[str], threads: int, range_frames: int, progress: Progress,
                   table: str = "frames", stream: int | None = None) -> Iterator[FileResult]:
    """Each file's result in the order given. Every range is read on one decoder; `threads`
    (0: every usable core) ranges are read at once, of whichever files they belong to."""
    workers = threads or vexmira.usable_cores()
    pool = ThreadPoolExecutor(workers, thread_name_prefix="vexmira-stats")
    try:
        yield from results_in_order(videos, ThreadExecutor(pool, range_frames, table, stream), progress,
                                    workers * FILES_PER_THREAD)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class ThreadExecutor:
    """Plans and ranges as tasks of a pool of threads; a file's session, opened by the first
    of its ranges, is kept until the file's result is given."""

    def __init__(self, pool: ThreadPoolExecutor, range_frames: int, table: str, stream: int | None = None):
        self.pool, self.range_frames, self.table, self.stream = pool, range_frames, table, stream
        self.sessions: dict[str, vexmira.H264DecoderSession] = {}
        self.opening: dict[str, threading.Lock] = {}
        self.lock = threading.Lock()
        self.pending: dict[Future, Task] = {}

    def plan(self, paths: list[str]) -> None:
        for path in paths:
            self.pending[self.pool.submit(self.open, path)] = (path, None)

    def open(self, path: str) -> FilePlan:
        plan, session = open_file(path, self.range_frames, None, self.table, stream=self.stream)
        if session is not None:
            session.close()
        return plan

    def read(self, plan: FilePlan, first: int, end: int) -> None:
        self.pending[self.pool.submit(self.read_range, plan.path, first, end)] = (plan.path, first)

    def read_range(self, path: str, first: int, end: int) -> tuple[dict[str, np.ndarray], list[str]]:
        # What FFmpeg says while opening the file again its plan said already, and the file's
        # result keeps each message once; but a call on the file may log what another task's
        # decoders said of it meanwhile, which must not be lost with the repeats.
        with messages_taken(path) as opening:
            session = self.session_of(path)
        stats, messages = read_range(path, first, end, 1, session, self.table)
        return stats, opening + messages

    def session_of(self, path: str) -> vexmira.H264DecoderSession:
        with self.lock:
            opening = self.opening.setdefault(path, threading.Lock())
        with opening:
            if path not in self.sessions:
                self.sessions[path] = vexmira.H264DecoderSession(path, mb_types=self.table == "mb_types",
                                                                 stream=self.stream)
            return self.sessions[path]

    def finished(self) -> list[tuple[Task, object]]:
        done, _ = wait(self.pending, return_when=FIRST_COMPLETED)
        return [(self.pending.pop(future), future.result()) for future in done]

    def forget(self, path: str) -> None:
        with self.lock:
            self.sessions.pop(path, None)
            self.opening.pop(path, None)
