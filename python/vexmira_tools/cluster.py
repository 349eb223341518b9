"""vexmira-stats on a Dask cluster: one task per file plans it, then one task per range. Tasks
take and return plain values (resolved paths, ranges, arrays, FFmpeg's messages); a worker
keeps the sessions of the last few files it read, so that it opens each file once however
many of its ranges it reads."""

import logging
from collections.abc import Iterator
from contextlib import contextmanager

from distributed import Client, LocalCluster, WorkerPlugin, as_completed

from vexmira_tools.errors import ClusterUnavailable
from vexmira_tools.interrupts import ignored_by_processes_started, interrupts_checked, wait_checked
from vexmira_tools.planner import Progress, Task, results_in_order
from vexmira_tools.plans import FilePlan, FileResult
from vexmira_tools.units import plan_file, read_range


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
            client.register_plugin(QuietWorkerLogs(), name="vexmira-quiet-worker-logs")
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


class QuietWorkerLogs(WorkerPlugin):
    """silence_logs reaches the scheduler and the nannies, which run in this process, but not
    the worker processes. As the cluster closes, a worker whose heartbeat is in flight when the
    scheduler goes logs an error with its traceback, a race of Dask's own shutdown. What goes
    wrong in a worker still reaches the run: a task's exception, or KilledWorker when the
    process dies. Registered as a plugin, it applies to a worker its nanny restarts as well."""

    def setup(self, worker) -> None:
        logging.getLogger("distributed").setLevel(logging.CRITICAL)


def run_on_dask(client: Client, videos: list[str], threads: int, range_frames: int, progress: Progress,
                table: str = "frames", stream: int | None = None) -> Iterator[FileResult]:
    """Each file's result in the order given, as the one-process run gives them. Every file's
    plan is submitted at once, then every range."""
    with interrupts_checked() as check:
        yield from results_in_order(videos, DaskExecutor(client, threads, range_frames, table, check, stream),
                                    progress, len(videos))


class DaskExecutor:
    """Plans and ranges as tasks of a cluster; a Ctrl-C is looked for while waiting."""

    def __init__(self, client: Client, threads: int, range_frames: int, table: str, check,
                 stream: int | None = None):
        self.client, self.threads, self.range_frames, self.table = client, threads, range_frames, table
        self.stream = stream
        self.check = check
        self.tasks: dict = {}
        self.pending = as_completed()

    def plan(self, paths: list[str]) -> None:
        futures = self.client.map(plan_file, paths, range_frames=self.range_frames, table=self.table,
                                  stream=self.stream, pure=False)
        self.submitted(futures, [(path, None) for path in paths])

    def read(self, plan: FilePlan, first: int, end: int) -> None:
        future = self.client.submit(read_range, plan.path, first, end, self.threads, table=self.table,
                                    stream=self.stream, pure=False)
        self.submitted([future], [(plan.path, first)])

    def submitted(self, futures: list, tasks: list[Task]) -> None:
        for future, task in zip(futures, tasks):
            self.tasks[future] = task
            self.pending.add(future)

    def finished(self) -> list[tuple[Task, object]]:
        wait_checked(self.pending.has_ready, self.check)
        future = next(self.pending)
        return [(self.tasks.pop(future), future.result())]

    def forget(self, path: str) -> None:
        pass
