"""vexmira-stats over a folder of hundreds of short clips (one key-frame interval each), in
one process on one and on two threads and on a two-worker Dask cluster, against the decoder's
bare loop run over every file on one thread: files and frames per second."""

import statistics
import tempfile
import time
from pathlib import Path

import media
import vexmira

CLIPS = 200


def stats_seconds(arguments):
    from vexmira_tools.stats import main
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        main([*arguments, "-o", str(Path(folder) / "stats.parquet")])
        return time.perf_counter() - start


def rows(bench, tool, repeat):
    from distributed import LocalCluster
    folder = media.short_clips(CLIPS)
    files = sorted(folder.glob("*.mp4"))
    frames = sum(vexmira.H264DecoderSession(str(path)).num_frames for path in files)
    bare, one, two, cluster_runs = [], [], [], []
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        for _ in range(repeat):
            # The tool decodes every file named, one after the other.
            bare.append(bench.native_run(tool, *files)[1])
            one.append(stats_seconds([str(folder), "--threads", "1"]))
            two.append(stats_seconds([str(folder), "--threads", "2"]))
            cluster_runs.append(stats_seconds([str(folder), "--dask", cluster.scheduler_address]))

    def rate_row(measurement, seconds, references, target="", minimum=None):
        """Files per second against the reference's; the frames per second follow from them."""
        row = bench.paired_row("corpus", measurement, [CLIPS / s for s in seconds], [CLIPS / s for s in references],
                               target, minimum=minimum, unit="files/s")
        row.met = row.met if minimum is not None else None
        return row

    return [bench.Row("corpus", f"{CLIPS} clips of 4 s, 1 interval, {frames} frames: bare loop over every file, "
                      "one thread: files/s, fps", CLIPS / statistics.median(bare), frames / statistics.median(bare),
                      "files/s"),
            rate_row("vexmira-stats --threads 2 / --threads 1", two, one, ">= 1.8", minimum=1.8),
            rate_row("vexmira-stats --threads 1 / bare loop", one, bare),
            rate_row("vexmira-stats --threads 2 / bare loop", two, bare),
            rate_row("vexmira-stats on a 2-worker Dask cluster / bare loop", cluster_runs, bare)]
