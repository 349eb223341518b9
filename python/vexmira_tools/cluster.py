"""vexmira-stats on a Dask cluster: one task per file plans it and reads its first frame range
(a short clip's only one), then one task per further range. Tasks take and return plain
values (resolved paths, ranges, arrays); a worker keeps the sessions of the last few files it
read, so that it opens each file once however many of its ranges it reads."""

import logging
from collections.abc import Iterator
from contextlib import contextmanager

from distributed import Client, LocalCluster, as_completed

from vexmira_tools.errors import ClusterUnavailable
from vexmira_tools.interrupts import ignored_by_processes_started, interrupts_checked, wait_checked
from vexmira_tools.frame_tables import FilePlan, FileResult, file_result, plan_and_read_first, range_stats


@contextmanager
def connect(address: str):
    """'local': two single-threaded worker processes on this machine, shut down afterwards;
    otherwise the address of a running scheduler, whose cluster is left as it is."""
    try:
        if address == "local":
            # The scheduler's web server on a free port: the usual 8787 may be another cluster's.
            with ignored_by_processes_started():
                # Tasks cancelled by an interruption would each log a warning.
                cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                                       silence_logs=logging.ERROR)
            client = Client(cluster)
        else:
            cluster, client = None, Client(address)
    except OSError as error:
        first_line = (str(error) or type(error).__name__).splitlines()[0]
        raise ClusterUnavailable(f"cannot reach the Dask scheduler at {address}: {first_line}") from None
    try:
        yield client
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def run_on_dask(client: Client, videos: list[str], threads: int, range_frames: int, bar,
                mb_types: bool = False, stream: int | None = None) -> Iterator[FileResult]:
    """Each file's result in the order given, as the one-process run gives them: a file that
    completes before those ahead of it waits for them. Ranges are submitted as soon as their
    file is planned."""
    plans: dict[str, FilePlan] = {}
    got: dict[str, dict[int, dict]] = {}
    ready: dict[str, FileResult] = {}
    following = iter(videos)
    next_path = next(following, None)
    ranges = {}
    pending = as_completed(client.map(plan_and_read_first, videos, range_frames=range_frames, threads=threads,
                                      mb_types=mb_types, stream=stream, pure=False))
    with interrupts_checked() as check:
        while not pending.is_empty():
            wait_checked(pending.has_ready, check)
            future = next(pending)
            if future in ranges:
                path, first = ranges.pop(future)
                got[path][first] = future.result()
                bar.update(len(got[path][first]["frame"]))
            else:
                plan, first_range = future.result()
                path = plan.path
                plans[path], got[path] = plan, {}
                bar.total += plan.frames
                bar.refresh()
                if plan.error:
                    ready[path] = FileResult(path, error=plan.error)
                else:
                    got[path][plan.ranges[0][0]] = first_range
                    bar.update(len(first_range["frame"]))
                for first, end in plan.ranges[1:]:
                    task = client.submit(range_stats, path, first, end, threads, mb_types=mb_types, stream=stream,
                                         pure=False)
                    ranges[task] = (path, first)
                    pending.add(task)
            if path not in ready and len(got[path]) == len(plans[path].ranges):
                ready[path] = file_result(plans[path], [got[path][first] for first, _ in plans[path].ranges])
                del got[path]
            while next_path in ready:
                yield ready.pop(next_path)
                next_path = next(following, None)
