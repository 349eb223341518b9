"""Speed and memory of vexmira against the decoder's own limit and against the readers a user
would pick instead. Every figure is printed beside a reference measured in the same run;
each is the median of several repetitions. Usage: python benchmarks/bench.py [--repeat N]"""

import argparse
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

import media
import peers
import vexmira

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "build" / "bench" / "native"
RESULTS = ROOT / "build" / "bench" / "results.json"
RANDOM_TARGETS = 200
SEED = 1234


@dataclass
class Row:
    section: str
    measurement: str
    value: float
    reference: float | None = None
    unit: str = ""
    ratio: float | None = None
    target: str = ""
    met: bool | None = None


def median_seconds(run, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def build_native_tools():
    bin_dir = Path(sys.executable).parent
    configure = [str(bin_dir / "cmake"), "-S", str(ROOT), "-B", str(TOOLS), "-G", "Ninja",
                 f"-DCMAKE_MAKE_PROGRAM={bin_dir / 'ninja'}", "-DVEXMIRA_NATIVE_TOOLS=ON",
                 "-DCMAKE_BUILD_TYPE=Release"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([str(bin_dir / "cmake"), "--build", str(TOOLS), "--target", "decoder_limit"],
                   check=True, capture_output=True)
    return TOOLS / "benchmarks" / "decoder_limit"


def native_rate(tool, path, repeat, *options):
    """Frames (or packets) per second of the native tool, median over repetitions."""
    rates = []
    for _ in range(repeat):
        frames, seconds = subprocess.run([str(tool), *options, str(path)], check=True, capture_output=True,
                                         text=True).stdout.split()
        rates.append(int(frames) / float(seconds))
    return statistics.median(rates), int(frames)


def ffmpeg_tool_rate(path, frames, repeat):
    command = ["ffmpeg", "-nostdin", "-loglevel", "error", "-threads", "0", "-skip_loop_filter", "all",
               "-i", str(path), "-f", "null", "-"]
    return frames / median_seconds(lambda: subprocess.run(command, check=True), repeat)


def paired_row(section, measurement, values, references, target, minimum=None, maximum=None, unit="fps"):
    """Medians of values and references, and the median of their ratios taken pair by pair:
    each pair is measured back to back, so a machine that slows down for a while slows both."""
    ratio = statistics.median(value / reference for value, reference in zip(values, references))
    met = (minimum is None or ratio >= minimum) and (maximum is None or ratio <= maximum)
    return Row(section, measurement, statistics.median(values), statistics.median(references), unit, ratio,
               target, met)


def sequential_runs(path):
    """Frames per second of a fresh session read front to back three ways."""
    probe = vexmira.H264DecoderSession(str(path))
    frames = probe.num_frames
    buffers = [np.empty((rows, probe.width if plane == 0 else (probe.width + 1) // 2), np.uint8)
               for plane, rows in enumerate([probe.height, (probe.height + 1) // 2, (probe.height + 1) // 2])]
    del probe

    def qp_maps(session, i):
        session.get_qpmap(i)

    def planes(session, i):
        for plane in range(3):
            session.get_plane_data(i, plane)

    def copies(session, i):
        for plane, buffer in enumerate(buffers):
            session.copy_plane_to_ptr(i, plane, buffer.ctypes.data, buffer.strides[0])

    rates = []
    for read in (qp_maps, planes, copies):
        session = vexmira.H264DecoderSession(str(path))
        start = time.perf_counter()
        for i in range(frames):
            read(session, i)
        rates.append(frames / (time.perf_counter() - start))
    return rates


def sequential_rows(tool, path, repeat):
    limits, runs = [], []
    for _ in range(repeat):
        limits.append(native_rate(tool, path, 1)[0])
        runs.append(sequential_runs(path))
    qp_maps, planes, copies = zip(*runs)
    return limits, [paired_row("sequential", "get_qpmap, every frame", qp_maps, limits, ">= 0.95", minimum=0.95),
                    paired_row("sequential", "get_plane_data 0-2, every frame", planes, limits, ">= 0.90",
                               minimum=0.90),
                    paired_row("sequential", "copy_plane_to_ptr 0-2, every frame", copies, limits, ">= 0.95",
                               minimum=0.95)]


def random_targets(frames):
    generator = random.Random(SEED)
    return [generator.randrange(frames) for _ in range(RANDOM_TARGETS)]


def summarise_latencies(latencies):
    """Mean and 95th percentile of one run's per-frame latencies, in milliseconds."""
    return 1000 * statistics.mean(latencies), 1000 * float(np.percentile(latencies, 95))


def random_access_rows(tool, path, repeat, name="", counts_from=None):
    """Random frames against decoding each from its key packet at the bare loop's rate.
    A raw stream has no timestamps for ffprobe to order its packets by: its counts come from
    the container it was copied from."""
    counts = media.decode_counts(counts_from or path)
    targets = random_targets(len(counts))

    def run():
        session = vexmira.H264DecoderSession(str(path))
        latencies = []
        for target in targets:
            start = time.perf_counter()
            session.get_plane_data(target, 0)
            latencies.append(time.perf_counter() - start)
        return latencies

    limits, runs = [], []
    for _ in range(repeat):
        limits.append(native_rate(tool, path, 1)[0])
        runs.append(run())
    ideal = [sum(counts[t] for t in targets) / limit for limit in limits]
    measured = [sum(latencies) for latencies in runs]
    mean, p95 = (statistics.median(values) for values in zip(*(summarise_latencies(r) for r in runs)))
    return limits, [
        Row("random", f"{name}mean ms per frame ({RANDOM_TARGETS} targets)", mean, unit="ms"),
        Row("random", f"{name}95th percentile ms per frame", p95, unit="ms"),
        paired_row("random", f"{name}efficiency: decode-from-key time at the limit / measured", ideal, measured,
                   ">= 1.0", minimum=1.0, unit="s")]


def opening_rows(tool, paths, repeat, limit=1.2):
    rows = []
    for name, path in paths.items():
        constructions, demuxes = [], []
        for _ in range(repeat):
            packets_per_second, packets = native_rate(tool, path, 1, "--demux-only")
            demuxes.append(1000 * packets / packets_per_second)
            constructions.append(1000 * median_seconds(lambda: vexmira.H264DecoderSession(str(path)), 9))
        rows.append(paired_row("opening", f"{name}: construction vs demux-only pass", constructions, demuxes,
                               f"<= {limit}", maximum=limit, unit="ms"))
    return rows


def probe(mode, path):
    """Runs a memory probe in a fresh interpreter, so that its figures are its own."""
    result = subprocess.run([sys.executable, str(Path(__file__).parent / "memory_probe.py"), mode, str(path)],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def memory_rows(path):
    read = probe("read-all", path)
    churn = probe("churn", path)
    mib = 1 << 20
    return [Row("memory", "peak RSS growth reading every frame (MiB)", read["growth"] / mib,
                read["cache_bytes"] / mib, "MiB", read["growth"] / read["cache_bytes"],
                "about 1 (64 snapshots)"),
            Row("memory", "RSS growth from session 20 to 200 (MiB)", churn["growth"] / mib, unit="MiB",
                target="noise", met=churn["growth"] < 8 * mib)]


def module_random_access(path, targets):
    session = vexmira.H264DecoderSession(str(path))
    start = time.perf_counter()
    for target in targets:
        session.get_plane_data(target, 0)
    return time.perf_counter() - start


def module_sequential_pictures(path):
    session = vexmira.H264DecoderSession(str(path))
    start = time.perf_counter()
    for i in range(session.num_frames):
        for plane in range(3):
            session.get_plane_data(i, plane)
    return session.num_frames, time.perf_counter() - start


def peer_rows(path_random, path_sequential, repeat):
    """Each peer's run is paired with the module's same run, measured right after it."""
    rows = []
    targets = random_targets(len(media.decode_counts(path_random)))
    for reader in peers.READERS:
        if not reader.available():
            rows.append(Row("peers", f"{reader.name}: not installed (pip install '.[bench]')", float("nan")))
            continue
        theirs, ours = [], []
        for _ in range(repeat):
            theirs.append(reader.random_access(path_random, targets))
            ours.append(module_random_access(path_random, targets))
        rows.append(paired_row("peers", f"{reader.name} {reader.version()}: random access s, module speed-up",
                               theirs, ours, ">= 1.5", minimum=1.5, unit="s"))
        theirs, ours = [], []
        for _ in range(repeat):
            theirs.append(reader.sequential_pictures(path_sequential))
            ours.append(module_sequential_pictures(path_sequential))
        rows.append(paired_row("peers", f"{reader.name}: sequential pictures fps, module speed-up",
                               [frames / seconds for frames, seconds in ours],
                               [frames / seconds for frames, seconds in theirs], ">= 1.0", minimum=1.0))
    return rows


def print_table(rows):
    print(f"{'':2}{'measurement':<62}{'module':>11}{'reference':>11}{'ratio':>8}  {'target':<10}")
    section = None
    for row in rows:
        if row.section != section:
            section = row.section
            print(f"{section}")
        reference = "" if row.reference is None else f"{row.reference:11.2f}"
        ratio = "" if row.ratio is None else f"{row.ratio:8.3f}"
        met = "" if row.met is None else ("met" if row.met else "MISSED")
        print(f"  {row.measurement:<62}{row.value:11.2f}{reference:>11}{ratio:>8}  {row.target:<10}{met}")


def machine():
    model = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), platform.processor())
    ffmpeg = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(), "ffmpeg": ffmpeg,
            "date": time.strftime("%Y-%m-%d %H:%M")}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="repetitions of every measurement (median)")
    args = parser.parse_args()

    tool = build_native_tools()
    big, long = media.clip("1080p_10s"), media.clip("360p_60s")
    about = machine()
    print(f"{about['cpu']}, {about['cores']} cores; {about['ffmpeg']}; Python {about['python']}\n")

    limits, sequential = sequential_rows(tool, big, args.repeat)
    limits_long, random_rows = random_access_rows(tool, long, args.repeat)
    frames = vexmira.H264DecoderSession(str(big)).num_frames
    rows = [Row("limit", "1080p: bare decode loop with the module's settings (fps)", statistics.median(limits),
                unit="fps"),
            Row("limit", "1080p: ffmpeg tool, -threads 0 -skip_loop_filter all (fps)",
                ffmpeg_tool_rate(big, frames, args.repeat), unit="fps"),
            Row("limit", "360p: bare decode loop with the module's settings (fps)", statistics.median(limits_long),
                unit="fps")]
    rows += sequential + random_rows
    rows += random_access_rows(tool, media.raw_copy(long), args.repeat, "raw .h264: ", counts_from=long)[1]
    rows += opening_rows(tool, {"1080p": big, "360p": long}, args.repeat)
    rows += opening_rows(tool, {"1080p raw .h264": media.raw_copy(big), "360p raw .h264": media.raw_copy(long)},
                         args.repeat, limit=1.5)
    rows += memory_rows(big)
    rows += peer_rows(long, big, args.repeat)

    print_table(rows)
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(json.dumps({"machine": about, "rows": [asdict(row) for row in rows]}, indent=2))
    print(f"\nwritten to {RESULTS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
