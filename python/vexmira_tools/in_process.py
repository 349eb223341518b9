"""vexmira-stats in this process: each file opened once to plan it (so that the progress bar
knows the total), then read range by range with a session of its own."""

from collections.abc import Iterator

import vexmira
from vexmira_tools.frame_tables import FileResult, file_table, plan_file, range_stats


def run_in_process(videos: list[str], threads: int, range_frames: int, bar) -> Iterator[FileResult]:
    """Each file's result as soon as it is complete, in the order given."""
    plans = [plan_file(path, range_frames) for path in videos]
    bar.total = sum(plan.frames for plan in plans)
    bar.refresh()
    for plan in plans:
        if plan.error:
            yield FileResult(plan.path, error=plan.error)
            continue
        session = vexmira.H264DecoderSession(plan.path)
        ranges = []
        for first, end in plan.ranges:
            ranges.append(range_stats(plan.path, first, end, threads, session))
            bar.update(end - first)
        yield FileResult(plan.path, file_table(plan, ranges))
