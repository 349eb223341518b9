"""vexmira-stats in this process: the units of every file, (file, range of key-frame
intervals), on a pool of threads with a decoder each, so that a folder of short clips keeps
every core busy as a long file does. A file is opened once, by the thread that plans it, and
its ranges read with that session. A few files per thread are read ahead of the output."""

from collections.abc import Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait

import vexmira
from vexmira_tools.planner import Task, results_in_order
from vexmira_tools.plans import FilePlan, FileResult, open_file
from vexmira_tools.units import range_stats

# Files planned or read at once, per thread: enough that a thread finds a range to read while
# the others finish theirs, few enough that the sessions held open stay a handful.
FILES_PER_THREAD = 2


def run_in_process(videos: list[str], threads: int, range_frames: int, bar,
                   table: str = "frames", stream: int | None = None) -> Iterator[FileResult]:
    """Each file's result in the order given. Every range is read on one decoder; `threads`
    (0: every usable core) ranges are read at once, of whichever files they belong to."""
    workers = threads or vexmira.usable_cores()
    pool = ThreadPoolExecutor(workers, thread_name_prefix="vexmira-stats")
    try:
        yield from results_in_order(videos, ThreadExecutor(pool, range_frames, table, stream), bar,
                                    workers * FILES_PER_THREAD)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class ThreadExecutor:
    """Plans and ranges as tasks of a pool of threads; each file's session, opened by the
    thread that plans it, is kept until the file's result is given."""

    def __init__(self, pool: ThreadPoolExecutor, range_frames: int, table: str, stream: int | None = None):
        self.pool, self.range_frames, self.table, self.stream = pool, range_frames, table, stream
        self.sessions: dict[str, object] = {}
        self.pending: dict[Future, Task] = {}

    def plan(self, paths: list[str]) -> None:
        for path in paths:
            self.pending[self.pool.submit(self.open, path)] = (path, None)

    def open(self, path: str) -> tuple[FilePlan, None]:
        plan, self.sessions[path] = open_file(path, self.range_frames, None, self.table, stream=self.stream)
        return plan, None

    def read(self, plan: FilePlan, first: int, end: int) -> None:
        session = self.sessions[plan.path]
        self.pending[self.pool.submit(range_stats, plan.path, first, end, 1, session, self.table)] = (plan.path, first)

    def finished(self) -> list[tuple[Task, object]]:
        done, _ = wait(self.pending, return_when=FIRST_COMPLETED)
        return [(self.pending.pop(future), future.result()) for future in done]

    def forget(self, path: str) -> None:
        self.sessions.pop(path, None)
