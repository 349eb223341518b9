"""vexmira-stats on a Dask cluster: one task per file to plan it, then one per frame range.
Tasks take and return plain values; nothing is kept on the workers between tasks."""

from contextlib import contextmanager

from distributed import Client, LocalCluster, as_completed

from vexmira_tools.frame_tables import plan_file, range_stats


@contextmanager
def connect(address: str):
    """'local': two single-threaded worker processes on this machine, shut down afterwards;
    otherwise the address of a running scheduler, whose cluster is left as it is."""
    if address == "local":
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            yield client
    else:
        with Client(address) as client:
            yield client


def run_on_dask(address: str, videos: list[str], threads: int, range_frames: int, bar, mb_types: bool = False):
    """The parts of the table in file and frame order, and the files skipped with their errors,
    as the one-process run gives them. Ranges are submitted as soon as their file is planned."""
    order = {path: number for number, path in enumerate(videos)}
    parts, skipped, ranges = {}, {}, {}
    with connect(address) as client:
        pending = as_completed(client.map(plan_file, videos, range_frames=range_frames, pure=False))
        for future in pending:
            if future in ranges:
                key = ranges.pop(future)
                parts[key] = future.result()
                bar.update(len(parts[key]["frame"]))
                continue
            plan = future.result()
            if plan.error:
                skipped[plan.path] = plan.error
                continue
            bar.total += plan.frames
            bar.refresh()
            for first, end in plan.ranges:
                task = client.submit(range_stats, plan.path, first, end, threads, mb_types=mb_types, pure=False)
                ranges[task] = (order[plan.path], first, plan.path)
                pending.add(task)
    return ([(key[2], parts[key]) for key in sorted(parts)],
            [(path, skipped[path]) for path in dict.fromkeys(videos) if path in skipped])
