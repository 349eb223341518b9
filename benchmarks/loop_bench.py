"""The simple forward loop with and without read-ahead, QP maps alone and with pictures,
against the decoder's bare loop on one thread and with FFmpeg's frame threads; two such loops
in two processes at once, where the cores are all taken, with and without it."""

import statistics
import subprocess
import sys
import time
from pathlib import Path

import media
import vexmira

LOOP = Path(__file__).with_name("simple_loop.py")
# A session's cache, the snapshots read ahead and the decoders' own pictures: the bound the
# README states for the loop that reads pictures with read-ahead.
CACHE_PICTURES = 64
READ_AHEAD_BYTES = 256 << 20
DECODER_PICTURES = 18


def loop_run(what, path, read_ahead):
    """(frames per second, per processor second, peak RSS growth) of one loop in a fresh interpreter."""
    result = subprocess.run([sys.executable, str(LOOP), what, str(path), str(read_ahead)], check=True,
                            capture_output=True, text=True)
    rate, processor_rate, growth = result.stdout.split()
    return float(rate), float(processor_rate), int(growth)


def two_loops_rate(what, path, read_ahead, frames):
    """Frames per second of two loops started together in two processes, over both."""
    start = time.perf_counter()
    children = [subprocess.Popen([sys.executable, str(LOOP), what, str(path), str(read_ahead)],
                                 stdout=subprocess.DEVNULL) for _ in range(2)]
    for child in children:
        if child.wait() != 0:
            raise subprocess.CalledProcessError(child.returncode, child.args)
    return 2 * frames / (time.perf_counter() - start)


def rows(bench, tool, repeat):
    path = media.clip("720p_60s")
    single, threaded = [], []
    loops = {(what, ahead): [] for what in ("qp", "planes") for ahead in ("auto", 0)}
    growth = []
    for _ in range(repeat):
        rate, frames = bench.native_rate(tool, path, 1)
        single.append(rate)
        threaded.append(bench.native_rate(tool, path, 1, "--frame-threads")[0])
        for (what, ahead), rates in loops.items():
            run = loop_run(what, path, ahead)
            rates.append(run[0])
            if (what, ahead) == ("planes", "auto"):
                growth.append(run[2])
    two = {ahead: [] for ahead in ("auto", 0)}
    for _ in range(repeat):
        for ahead, rates in two.items():
            rates.append(two_loops_rate("qp", path, ahead, frames))
    name = f"720p, {vexmira.H264DecoderSession(str(path)).key_frame_intervals().size} intervals"
    frame_bytes = 1280 * 720 * 3 // 2
    bound = (CACHE_PICTURES + 3 * DECODER_PICTURES) * frame_bytes + READ_AHEAD_BYTES
    mib = 1 << 20
    result = [
        bench.paired_row("loop", f"{name}: get_qpmap loop, read-ahead / bare loop", loops["qp", "auto"], single,
                         ">= 1.6", minimum=1.6),
        bench.paired_row("loop", "  get_qpmap loop, read_ahead=0 / bare loop", loops["qp", 0], single, ">= 0.95",
                         minimum=0.95),
        bench.paired_row("loop", "get_plane_data 0-2 loop, read-ahead / FFmpeg frame threads", loops["planes", "auto"],
                         threaded, ">= 1.0", minimum=1.0),
        bench.paired_row("loop", "  get_plane_data 0-2 loop, read_ahead=0 / bare loop", loops["planes", 0], single,
                         ">= 0.90", minimum=0.90),
        bench.paired_row("loop", "two processes' get_qpmap loops at once: read-ahead / none (fps)", two["auto"],
                         two[0], ">= 0.95", minimum=0.95),
        bench.Row("loop", "pictures loop with read-ahead: peak RSS growth (MiB)", statistics.median(growth) / mib,
                  bound / mib, "MiB", statistics.median(growth) / bound, "<= 1 (64 + 3x18 pictures + 256 MiB)",
                  statistics.median(growth) <= bound),
    ]
    short = media.clip("1080p_10s")
    ahead, plain = [], []
    for _ in range(repeat):
        plain.append(loop_run("qp", short, 0)[0])
        ahead.append(loop_run("qp", short, "auto")[0])
    result.append(bench.paired_row("loop", "1080p, one interval: get_qpmap loop, read-ahead / none", ahead, plain,
                                   ">= 0.97", minimum=0.97))
    return result
