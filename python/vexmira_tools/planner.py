"""The one planner of a run over many files, whichever executor reads them: it plans every
file first, so that the progress bar knows the run's frames before the first is decoded, then
asks for each file's ranges and gives each file's result in the order given, as soon as it and
every file before it are complete. An executor decides only where the work runs:
`plan(paths)` submits the plan tasks of those files, each ending in a FilePlan,
`read(plan, first, end)` submits a range, ending in its frame_stats and FFmpeg's messages of
it, and `finished()` waits for the next completed tasks, with what each was submitted for."""

from collections.abc import Iterator
from dataclasses import dataclass, field
from itertools import islice
from typing import Protocol

import numpy as np

from vexmira_tools.plans import FilePlan, FileResult, file_result

# What a task was submitted for: the file, and the first frame of its range or None for its plan.
Task = tuple[str, int | None]


class Executor(Protocol):
    def plan(self, paths: list[str]) -> None: ...
    def read(self, plan: FilePlan, first: int, end: int) -> None: ...
    def finished(self) -> list[tuple[Task, object]]: ...
    def forget(self, path: str) -> None: ...


class Progress(Protocol):
    def planned(self) -> None: ...
    def reading(self, frames: int) -> None: ...
    def read(self, frames: int) -> None: ...


@dataclass
class FileWork:
    """One file being read: its plan, the frame_stats of its ranges, FFmpeg's messages of it."""
    plan: FilePlan
    ranges: dict[int, dict[str, np.ndarray]] = field(default_factory=dict)
    messages: list[str] = field(default_factory=list)

    def complete(self) -> bool:
        return len(self.ranges) == len(self.plan.ranges)


def results_in_order(videos: list[str], executor: Executor, progress: Progress,
                     files_at_once: int) -> Iterator[FileResult]:
    """Each file's result in the order given; at most files_at_once files read and not yet
    given, so that an interruption loses no more than those."""
    plans = plan_every_file(videos, executor, progress)
    progress.reading(sum(plan.frames for plan in plans.values()))
    reading: dict[str, FileWork] = {}
    upcoming = iter(videos)
    for path in videos:
        for later in islice(upcoming, files_at_once - len(reading)):
            reading[later] = FileWork(plans[later], messages=list(plans[later].messages))
            for first, end in plans[later].ranges:
                executor.read(plans[later], first, end)
        while not reading[path].complete():
            for (done_path, first), (stats, messages) in executor.finished():
                reading[done_path].ranges[first] = stats
                reading[done_path].messages += messages
                progress.read(len(stats["frame"]))
        done = reading.pop(path)
        executor.forget(path)
        yield file_result(done.plan, [done.ranges[first] for first, _ in done.plan.ranges], done.messages)


def plan_every_file(videos: list[str], executor: Executor, progress: Progress) -> dict[str, FilePlan]:
    executor.plan(videos)
    plans: dict[str, FilePlan] = {}
    while len(plans) < len(videos):
        for (path, _), plan in executor.finished():
            plans[path] = plan
            progress.planned()
    return plans
