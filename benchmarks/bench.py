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


def ratio_row(section, measurement, value, reference, target, minimum=None, maximum=None, unit="fps"):
    ratio = value / reference
    met = (minimum is None or ratio >= minimum) and (maximum is None or ratio <= maximum)
    return Row(section, measurement, value, reference, unit, ratio, target, met)


def sequential_rows(path, limit, repeat):
    probe = vexmira.H264DecoderSession(str(path))
    frames = probe.num_frames
    buffers = [np.empty((rows, probe.width if plane == 0 else (probe.width + 1) // 2), np.uint8)
               for plane, rows in enumerate([probe.height, (probe.height + 1) // 2, (probe.height + 1) // 2])]
    del probe

    def qp_maps():
        session = vexmira.H264DecoderSession(str(path))
        start = time.perf_counter()
        for i in range(frames):
            session.get_qpmap(i)
        return time.perf_counter() - start

    def planes():
        session = vexmira.H264DecoderSession(str(path))
        start = time.perf_counter()
        for i in range(frames):
            for plane in range(3):
                session.get_plane_data(i, plane)
        return time.perf_counter() - start

    def copies():
        session = vexmira.H264DecoderSession(str(path))
        start = time.perf_counter()
        for i in range(frames):
            for plane, buffer in enumerate(buffers):
                session.copy_plane_to_ptr(i, plane, buffer.ctypes.data, buffer.strides[0])
        return time.perf_counter() - start

    def rate(run):
        return frames / statistics.median(run() for _ in range(repeat))

    return [ratio_row("sequential", "get_qpmap, every frame", rate(qp_maps), limit, ">= 0.95", minimum=0.95),
            ratio_row("sequential", "get_plane_data 0-2, every frame", rate(planes), limit, ">= 0.90",
                      minimum=0.90),
            ratio_row("sequential", "copy_plane_to_ptr 0-2, every frame", rate(copies), limit, ">= 0.95",
                      minimum=0.95)]


def random_targets(frames):
    generator = random.Random(SEED)
    return [generator.randrange(frames) for _ in range(RANDOM_TARGETS)]


def summarise_latencies(latencies):
    """Mean and 95th percentile of one run's per-frame latencies, in milliseconds."""
    return 1000 * statistics.mean(latencies), 1000 * float(np.percentile(latencies, 95))


def random_access_rows(path, limit, repeat):
    counts = media.decode_counts(path)
    targets = random_targets(len(counts))
    ideal = sum(counts[t] for t in targets) / limit

    def run():
        session = vexmira.H264DecoderSession(str(path))
        latencies = []
        for target in targets:
            start = time.perf_counter()
            session.get_plane_data(target, 0)
            latencies.append(time.perf_counter() - start)
        return latencies

    runs = [run() for _ in range(repeat)]
    total = statistics.median(sum(r) for r in runs)
    mean, p95 = (statistics.median(values) for values in zip(*(summarise_latencies(r) for r in runs)))
    return [Row("random", f"mean ms per frame ({RANDOM_TARGETS} targets)", mean, unit="ms"),
            Row("random", "95th percentile ms per frame", p95, unit="ms"),
            ratio_row("random", "efficiency: decode-from-key time at the limit / measured", ideal, total,
                      ">= 1.0", minimum=1.0, unit="s")], runs


def opening_rows(tool, paths, repeat):
    rows = []
    for name, path in paths.items():
        construct = median_seconds(lambda: vexmira.H264DecoderSession(str(path)), repeat)
        packets_per_second, packets = native_rate(tool, path, repeat, "--demux-only")
        demux = packets / packets_per_second
        row = ratio_row("opening", f"{name}: construction vs demux-only pass", construct * 1000, demux * 1000,
                        "<= 1.2", maximum=1.2, unit="ms")
        rows.append(row)
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


def peer_rows(path_random, path_sequential, module_random_runs, module_sequential_rate, repeat):
    rows = []
    counts = media.decode_counts(path_random)
    targets = random_targets(len(counts))
    module_total = statistics.median(sum(r) for r in module_random_runs)
    for reader in peers.READERS:
        if not reader.available():
            rows.append(Row("peers", f"{reader.name}: not installed (pip install '.[bench]')", float("nan")))
            continue
        total = statistics.median(reader.random_access(path_random, targets) for _ in range(repeat))
        rows.append(ratio_row("peers", f"{reader.name} {reader.version()}: random access, module speed-up",
                              total, module_total, ">= 1.5", minimum=1.5, unit="s"))
        runs = [reader.sequential_pictures(path_sequential) for _ in range(repeat)]
        rate = runs[0][0] / statistics.median(seconds for _, seconds in runs)
        rows.append(ratio_row("peers", f"{reader.name}: sequential pictures, module speed-up",
                              module_sequential_rate, rate, ">= 1.0", minimum=1.0))
    return rows


def print_table(rows):
    print(f"{'':2}{'measurement':<62}{'module':>11}{'reference':>11}{'ratio':>8}  {'target':<10}")
    section = None
    for row in rows:
        if row.section != section:
            section = row.section
            print(f"{section}")
        reference = "" if row.reference is None else f"{row.reference:11.2f}"
        ratio = "" if row.ratio is None else f"{row.ratio:8.2f}"
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

    limit, frames = native_rate(tool, big, args.repeat)
    limit_long, _ = native_rate(tool, long, args.repeat)
    rows = [Row("limit", "1080p: bare decode loop with the module's settings (fps)", limit, unit="fps"),
            Row("limit", "1080p: ffmpeg tool, -threads 0 -skip_loop_filter all (fps)",
                ffmpeg_tool_rate(big, frames, args.repeat), unit="fps"),
            Row("limit", "360p: bare decode loop with the module's settings (fps)", limit_long, unit="fps")]
    sequential = sequential_rows(big, limit, args.repeat)
    random_rows, random_runs = random_access_rows(long, limit_long, args.repeat)
    rows += sequential + random_rows
    rows += opening_rows(tool, {"1080p": big, "360p": long}, args.repeat)
    rows += memory_rows(big)
    rows += peer_rows(long, big, random_runs, sequential[1].value, args.repeat)

    print_table(rows)
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(json.dumps({"machine": about, "rows": [asdict(row) for row in rows]}, indent=2))
    print(f"\nwritten to {RESULTS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
