"""The batch methods and vexmira-stats against the decoder's bare loop, FFmpeg's own frame
threads, the fastest single-threaded PyAV recipe and a one-process run, pair by pair."""

import os
import random
import resource
import statistics
import tempfile
import time
from pathlib import Path

import media
import peers
import pyav_recipe
import vexmira

RANDOM_FRAMES = 100
SCALING_THREADS = [1, 2, 4]
# An H.264 decoder holds at most 16 reference pictures, the one it decodes and one on its way out.
DECODER_PICTURES = 18
CACHE_PICTURES = 64


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def whole_file_rate(path, threads):
    """Frames per second of wall time and per second of this process's CPU time: on a
    machine whose cores are taken by others the first cannot grow with threads, while the
    second shows what the parallel decoders cost in work."""
    session = vexmira.H264DecoderSession(str(path))
    start, start_cpu = time.perf_counter(), cpu_seconds()
    session.get_qpmaps(threads=threads)
    return session.num_frames / (time.perf_counter() - start), session.num_frames / (cpu_seconds() - start_cpu)


def whole_file_rows(bench, tool, path, repeat):
    """Each repetition: the single-thread loop, the frame-threads loop, then the batches."""
    single, frame_threads = [], []
    rates, work = ({threads: [] for threads in SCALING_THREADS} for _ in range(2))
    for _ in range(repeat):
        single.append(bench.native_rate(tool, path, 1)[0])
        frame_threads.append(bench.native_rate(tool, path, 1, "--frame-threads")[0])
        for threads in SCALING_THREADS:
            rate, per_cpu_second = whole_file_rate(path, threads)
            rates[threads].append(rate)
            work[threads].append(per_cpu_second)
    name = f"{Path(path).stem}, {vexmira.H264DecoderSession(str(path)).key_frame_intervals().size} intervals"
    rows = [bench.paired_row("batch", f"{name}: get_qpmaps threads=2 vs bare loop", rates[2], single, ">= 1.8",
                             minimum=1.8),
            bench.paired_row("batch", "get_qpmaps threads=2 vs bare loop, FFmpeg frame threads", rates[2],
                             frame_threads, ">= 1.3", minimum=1.3),
            bench.paired_row("batch", "get_qpmaps threads=1 vs bare loop", rates[1], single, ">= 0.97",
                             minimum=0.97)]
    for threads in SCALING_THREADS[1:]:
        for figures, what in ((rates, "fps"), (work, "frames per CPU-second")):
            row = bench.paired_row("batch", f"scaling, {what}: threads={threads} vs threads=1", figures[threads],
                                   figures[1], "")
            row.met = None
            rows.append(row)
    return rows


def random_frames_rows(bench, path, repeat):
    if not peers.PyAV.available():
        return [bench.Row("batch", "PyAV: not installed (pip install '.[bench]')", float("nan"))]
    session = vexmira.H264DecoderSession(str(path))
    targets = random.Random(bench.SEED).sample(range(session.num_frames), RANDOM_FRAMES)
    theirs, ours = [], []
    for _ in range(repeat):
        theirs.append(pyav_recipe.random_qp_maps(path, targets)[0])
        session = vexmira.H264DecoderSession(str(path))
        start = time.perf_counter()
        session.get_qpmaps(targets)
        ours.append(time.perf_counter() - start)
    return [bench.paired_row("batch", f"{RANDOM_FRAMES} random QP maps: PyAV recipe s / get_qpmaps s", theirs, ours,
                             ">= 1.8", minimum=1.8, unit="s")]


def stats_seconds(arguments):
    from vexmira_tools.stats import main
    with tempfile.TemporaryDirectory() as folder:
        start = time.perf_counter()
        main([*arguments, "-o", str(Path(folder) / "stats.parquet")])
        return time.perf_counter() - start


def dask_rows(bench, repeat):
    """The cluster is started once, as a running one would be, and its start-up shown apart."""
    from distributed import LocalCluster
    files = [str(path) for path in media.corpus(8)]
    environment = dict(os.environ)
    start = time.perf_counter()
    try:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
            started = time.perf_counter() - start
            one, cluster_runs = [], []
            for _ in range(repeat):
                one.append(stats_seconds([*files, "--threads", "1"]))
                cluster_runs.append(stats_seconds([*files, "--dask", cluster.scheduler_address]))
    finally:
        # The cluster leaves its workers' settings in this process's environment, among them
        # MALLOC_TRIM_THRESHOLD_=65536, which keeps glibc from reusing freed arrays: every later
        # measurement's child would inherit them (a pictures loop then runs at 0.7 instead of
        # 0.84 of the bare loop).
        os.environ.clear()
        os.environ.update(environment)
    return [bench.paired_row("batch", "vexmira-stats, 8 files: 1 process s / 2 Dask workers s", one,
                             cluster_runs, ">= 1.7", minimum=1.7, unit="s"),
            bench.Row("batch", "  local cluster start-up, not in the pair above (s)", started, unit="s")]


def memory_rows(bench, path):
    figures = bench.probe("batch", path)
    mib = 1 << 20
    allowance = (CACHE_PICTURES + 2 * DECODER_PICTURES) * figures["picture_bytes"]
    return [bench.Row("batch", "1080p whole-file get_qpmaps threads=2: peak RSS growth (MiB)",
                      figures["growth"] / mib, allowance / mib, "MiB", figures["growth"] / allowance,
                      "<= 1 (64 + 2x18 pictures)", figures["growth"] <= allowance)]


def rows(bench, tool, repeat):
    long, big = media.clip("360p_60s"), media.clip("1080p_10s")
    return (whole_file_rows(bench, tool, long, repeat) + random_frames_rows(bench, long, repeat)
            + dask_rows(bench, repeat) + memory_rows(bench, big))
