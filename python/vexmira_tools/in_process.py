"""vexmira-stats in this process: the units of every file, (file, range of key-frame
intervals), on a pool of threads with a decoder each, so that a folder of short clips keeps
every core busy as a long file does. A file is opened once, by the thread that plans it, and
its ranges read with that session. Results come in the order given, each file as soon as it
and every file before it are complete; a few files per thread are read ahead of the output."""

import os
from collections.abc import Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field

from vexmira_tools.frame_tables import FilePlan, FileResult, file_result, open_file, range_stats

# Files planned or read at once, per thread: enough that a thread finds a range to read while
# the others finish theirs, few enough that the sessions held open stay a handful.
FILES_PER_THREAD = 2


@dataclass
class FileWork:
    """One file on its way through the pool: its plan and session once planned, then the
    frame_stats of its ranges as they complete."""
    plan: FilePlan | None = None
    session: object = None
    ranges: dict[int, dict] = field(default_factory=dict)


def usable_cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def run_in_process(videos: list[str], threads: int, range_frames: int, bar,
                   mb_types: bool = False, stream: int | None = None) -> Iterator[FileResult]:
    """Each file's result in the order given. Every range is read on one decoder; `threads`
    (0: every usable core) ranges are read at once, of whichever files they belong to."""
    workers = threads or usable_cores()
    pool = ThreadPoolExecutor(workers, thread_name_prefix="vexmira-stats")
    try:
        yield from Corpus(videos, range_frames, mb_types, pool, workers * FILES_PER_THREAD, bar, stream).results()
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class Corpus:
    def __init__(self, videos: list[str], range_frames: int, mb_types: bool, pool: ThreadPoolExecutor,
                 files_at_once: int, bar, stream: int | None = None):
        self.videos, self.range_frames, self.mb_types, self.pool, self.bar = videos, range_frames, mb_types, pool, bar
        self.stream = stream
        self.files_at_once = files_at_once
        self.work: dict[str, FileWork] = {}
        self.pending: dict[Future, tuple[str, int | None]] = {}
        self.next_to_plan = 0

    def results(self) -> Iterator[FileResult]:
        for path in self.videos:
            self.plan_more()
            while not self.complete(path):
                self.take_finished()
            yield self.result(self.work.pop(path))

    def plan_more(self) -> None:
        while self.next_to_plan < len(self.videos) and len(self.work) < self.files_at_once:
            path = self.videos[self.next_to_plan]
            self.next_to_plan += 1
            self.work[path] = FileWork()
            self.pending[self.pool.submit(open_file, path, self.range_frames, None, self.mb_types,
                                          stream=self.stream)] = (path, None)

    def take_finished(self) -> None:
        done, _ = wait(self.pending, return_when=FIRST_COMPLETED)
        for future in done:
            path, first = self.pending.pop(future)
            work = self.work[path]
            if first is None:
                self.planned(path, work, *future.result())
            else:
                work.ranges[first] = future.result()
                self.bar.update(len(work.ranges[first]["frame"]))

    def planned(self, path: str, work: FileWork, plan: FilePlan, session) -> None:
        work.plan, work.session = plan, session
        self.bar.total += plan.frames
        self.bar.refresh()
        for first, end in plan.ranges:
            self.pending[self.pool.submit(range_stats, path, first, end, 1, session)] = (path, first)

    def complete(self, path: str) -> bool:
        work = self.work[path]
        return work.plan is not None and len(work.ranges) == len(work.plan.ranges)

    @staticmethod
    def result(work: FileWork) -> FileResult:
        if work.plan.error:
            return FileResult(work.plan.path, error=work.plan.error)
        return file_result(work.plan, [work.ranges[first] for first, _ in work.plan.ranges])
