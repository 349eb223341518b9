"""The one planner of a run over many files, whichever executor reads them: it asks for each
file's plan, then for each of its ranges, and gives each file's result in the order given, as
soon as it and every file before it are complete, moving the progress bar as ranges arrive.
An executor decides only where the work runs: `plan(paths)` submits the plan tasks of those
files, each ending in (FilePlan, frame_stats of its first range or None when the executor
reads every range apart), `read(plan, first, end)` submits a range, and `finished()` waits for
the next completed tasks, with what each was submitted for."""

from collections.abc import Iterator
from dataclasses import dataclass, field
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


@dataclass
class FileWork:
    """One file on its way: its plan once planned, then the frame_stats of its ranges."""
    plan: FilePlan | None = None
    ranges: dict[int, dict[str, np.ndarray]] = field(default_factory=dict)

    def complete(self) -> bool:
        return self.plan is not None and len(self.ranges) == len(self.plan.ranges)


def results_in_order(videos: list[str], executor: Executor, bar, files_at_once: int) -> Iterator[FileResult]:
    """Each file's result in the order given; at most files_at_once files planned and not yet
    given, so that an interruption loses no more than those."""
    work: dict[str, FileWork] = {}
    next_to_plan = 0
    for path in videos:
        more = videos[next_to_plan:next_to_plan + files_at_once - len(work)]
        next_to_plan += len(more)
        work.update((planned, FileWork()) for planned in more)
        if more:
            executor.plan(more)
        while not work[path].complete():
            for task, value in executor.finished():
                take(task, value, work, executor, bar)
        done = work.pop(path)
        executor.forget(path)
        yield file_result(done.plan, [done.ranges[first] for first, _ in done.plan.ranges])


def take(task: Task, value, work: dict[str, FileWork], executor: Executor, bar) -> None:
    path, first = task
    if first is not None:
        work[path].ranges[first] = value
        bar.update(len(value["frame"]))
        return
    plan, first_range = value
    work[path].plan = plan
    bar.total += plan.frames
    bar.refresh()
    later = plan.ranges
    if first_range is not None:
        work[path].ranges[plan.ranges[0][0]] = first_range
        bar.update(len(first_range["frame"]))
        later = plan.ranges[1:]
    for first, end in later:
        executor.read(plan, first, end)
