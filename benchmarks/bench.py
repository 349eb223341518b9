"""Speed and memory of vexmira against the decoder's own limit and against the readers a user
would pick instead. Every figure is printed beside a reference measured in the same run;
each is the median of several repetitions. With --baseline, the patterns the frame cache is
for are timed on an earlier build as well (make bench BASELINE=<git ref> builds one).
Usage: python benchmarks/bench.py [--repeat N] [--baseline DIR] [--sections NAME ...]"""

import argparse
import json
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import time
from dataclasses import asdict, dataclass
from pathlib import Path

import numpy as np

import batch_bench
import corpus_bench
import loop_bench
import media
import peers
import rebuild_bench
import syntax_bench
import vexmira
import view_bench

ROOT = Path(__file__).resolve().parent.parent
TOOLS = ROOT / "build" / "bench" / "native"
RESULTS = ROOT / "build" / "bench" / "results.json"
RANDOM_TARGETS = 200
LIMIT_TARGETS = 100
SEED = 1234
SECTIONS = ["sequential", "random", "limit", "patterns", "user-loops", "opening", "memory", "peers", "batch",
            "prediction", "loop", "corpus", "view", "syntax", "rebuild"]
# With deblocking="exact" every requested reference picture is decoded again from its key
# frame, so reading in order costs more the further a frame lies from its key frame: the
# first frames of the clip's one interval are measured, not all 250.
EXACT_SEQUENTIAL_FRAMES = 100


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
    # The lowest and highest of the pairwise ratios behind `ratio`: how far repetitions spread.
    spread: tuple[float, float] | None = None


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


def native_run(tool, path, *options):
    """Frames (or packets, or targets) of one run of the native tool, its seconds and its
    processor seconds."""
    frames, seconds, processor_seconds = subprocess.run([str(tool), *options, str(path)], check=True,
                                                        capture_output=True, text=True).stdout.split()
    return int(frames), float(seconds), float(processor_seconds)


def native_rate(tool, path, repeat, *options):
    """Frames (or packets) per second of the native tool, median over repetitions."""
    rates = []
    for _ in range(repeat):
        frames, seconds, _ = native_run(tool, path, *options)
        rates.append(frames / seconds)
    return statistics.median(rates), frames


def ffmpeg_tool_rate(path, frames, repeat):
    command = ["ffmpeg", "-nostdin", "-loglevel", "error", "-threads", "0", "-skip_loop_filter", "all",
               "-i", str(path), "-f", "null", "-"]
    return frames / median_seconds(lambda: subprocess.run(command, check=True), repeat)


def paired_row(section, measurement, values, references, target, minimum=None, maximum=None, unit="fps"):
    """Medians of values and references, and the median of their ratios taken pair by pair:
    each pair is measured back to back, so a machine that slows down for a while slows both."""
    ratios = [value / reference for value, reference in zip(values, references)]
    ratio = statistics.median(ratios)
    met = (minimum is None or ratio >= minimum) and (maximum is None or ratio <= maximum)
    return Row(section, measurement, statistics.median(values), statistics.median(references), unit, ratio,
               target, met, (min(ratios), max(ratios)))


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
        start, start_processor = time.perf_counter(), time.process_time()
        for i in range(frames):
            read(session, i)
        rates.append((frames / (time.perf_counter() - start), frames / (time.process_time() - start_processor)))
    return rates


def sequential_rows(tool, path, repeat):
    limits, limits_processor, runs = [], [], []
    for _ in range(repeat):
        frames, seconds, processor_seconds = native_run(tool, path)
        limits.append(frames / seconds)
        limits_processor.append(frames / processor_seconds)
        runs.append(sequential_runs(path))
    qp_maps, planes, copies = ([rate[0] for rate in rates] for rates in zip(*runs))
    qp_maps_processor = [run[0][1] for run in runs]
    return limits, [paired_row("sequential", "get_qpmap, every frame", qp_maps, limits, ">= 0.95", minimum=0.95),
                    paired_row("sequential", "get_qpmap, every frame, processor time", qp_maps_processor,
                               limits_processor, ">= 0.95", minimum=0.95),
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


def module_random_qp_maps(path, targets):
    """Seconds and processor seconds of get_qpmap for every target, on a fresh session."""
    session = vexmira.H264DecoderSession(str(path))
    start, start_processor = time.perf_counter(), time.process_time()
    for target in targets:
        session.get_qpmap(target)
    return time.perf_counter() - start, time.process_time() - start_processor


def limit_rows(tool, path, repeat):
    """Random single frames against the least work that produces them and against PyAV's
    fastest recipe, all three one after the other in every repetition. Rates are targets per
    second, of the clock and of the processor (which other work on the machine inflates less)."""
    targets = random_targets(len(media.decode_counts(path)))[:LIMIT_TARGETS]
    listed = ",".join(map(str, targets))
    runs = {"limit": [], "PyAV": [], "module": []}
    for _ in range(repeat):
        _, seconds, processor_seconds = native_run(tool, path, "--random-targets", listed)
        runs["limit"].append((seconds, processor_seconds))
        if peers.PyAV.available():
            runs["PyAV"].append(peers.PyAV.random_access_least_work(path, targets))
        runs["module"].append(module_random_qp_maps(path, targets))
    rates = {name: [[len(targets) / seconds for seconds in run] for run in zip(*times)]
             for name, times in runs.items() if times}
    label = f"{LIMIT_TARGETS} targets, 720p"
    rows = [Row("limit", f"{label}: least work, seconds", statistics.median(t for t, _ in runs["limit"]), unit="s")]
    for clock, kind in ((0, "clock"), (1, "processor")):
        module = rates["module"][clock]
        rows.append(paired_row("limit", f"{label}: module get_qpmap / least work, {kind} (targets/s)", module,
                               rates["limit"][clock], ">= 0.95", minimum=0.95, unit="1/s"))
        if "PyAV" in rates:
            rows.append(paired_row("limit", f"{label}: module / PyAV {peers.PyAV.version().split()[0]} recipe, "
                                   f"{kind}", module, rates["PyAV"][clock], ">= 1.05", minimum=1.05, unit="1/s"))
    return rows


def pattern_rate(pattern, path, baseline=None):
    """Requests per second (frames per second for a sequential pass) of one pattern in a fresh
    interpreter, on the module it imports: this build's, or the one in `baseline`."""
    environment = dict(os.environ)
    if baseline:
        environment["PYTHONPATH"] = str(baseline)
    result = subprocess.run([sys.executable, str(Path(__file__).parent / "patterns.py"), pattern, str(path)],
                            check=True, capture_output=True, text=True, env=environment)
    return [float(rate) for rate in result.stdout.split()]


def pattern_rows(paths, baseline, repeat):
    """Each pattern on this build, paired with the same on the baseline run right before: as
    fast as the baseline, within 3 %."""
    rows = []
    for pattern, clip in (("reverse", "720p"), ("scrub", "720p"), ("sequential-qp", "1080p"),
                          ("sequential-planes", "1080p"), ("random-qp", "720p"), ("random-planes", "720p")):
        before, after = [], []
        for _ in range(repeat):
            if baseline:
                before.append(pattern_rate(pattern, paths[clip], baseline))
            after.append(pattern_rate(pattern, paths[clip]))
        if not baseline:
            rows.append(Row("patterns", f"{clip} {pattern}, clock / processor (1/s)",
                            statistics.median(a[0] for a in after), statistics.median(a[1] for a in after), "1/s"))
            continue
        for clock, kind in ((0, "clock"), (1, "processor")):
            rows.append(paired_row("patterns", f"{clip} {pattern}, {kind}: after / before (1/s)",
                                   [a[clock] for a in after], [b[clock] for b in before], ">= 0.97", minimum=0.97,
                                   unit="1/s"))
    return rows


def tool_processor_seconds(path):
    """The processor time of the ffmpeg tool's one-thread decode of the file."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-threads", "1", "-skip_loop_filter", "all",
                    "-i", str(path), "-f", "null", "-"], check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime


def user_loop_rows(repeat):
    """Two loops users walk into, each paired with its reference measured right before it,
    per processor second: each frame's QP map then its luma plane, against the luma loop
    alone, over x264's 250-frame intervals; and the luma loop over a stream of recovery
    points (intra refresh), against the ffmpeg tool's one-thread decode of it. Target: at
    most 1.3 times the reference's processor time."""
    rows = []
    one_interval = media.clip("720p_12s")
    loops, references = [], []
    for _ in range(repeat):
        references.append(pattern_rate("sequential-luma", one_interval)[1])
        loops.append(pattern_rate("sequential-qp-then-luma", one_interval)[1])
    rows.append(paired_row("user-loops", "720p: QP map then luma plane of each frame / luma plane alone, per "
                           "processor second (fps)", loops, references, ">= 0.77", minimum=1 / 1.3))
    refresh = media.intra_refresh()
    frames = vexmira.H264DecoderSession(str(refresh)).num_frames
    loops, references = [], []
    for _ in range(repeat):
        references.append(frames / tool_processor_seconds(refresh))
        loops.append(pattern_rate("sequential-luma", refresh)[1])
    rows.append(paired_row("user-loops", "480x272 intra refresh: luma plane of each frame / ffmpeg tool -threads 1, "
                           "per processor second (fps)", loops, references, ">= 0.77", minimum=1 / 1.3))
    return rows


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


def decoded_opening_rows(tool, name, path, repeat):
    """Opening a file that is numbered by decoding it costs that decode, on top of the scan."""
    constructions, decodes = [], []
    for _ in range(repeat):
        frames_per_second, frames = native_rate(tool, path, 1)
        decodes.append(1000 * frames / frames_per_second)
        constructions.append(1000 * median_seconds(lambda: vexmira.H264DecoderSession(str(path)), 3))
    return [paired_row("opening", f"{name}, numbered by decoding: construction vs bare decode loop", constructions,
                       decodes, "cost", unit="ms")]


def probe(mode, path):
    """Runs a memory probe in a fresh interpreter, so that its figures are its own."""
    result = subprocess.run([sys.executable, str(Path(__file__).parent / "memory_probe.py"), mode, str(path)],
                            check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


def memory_rows(path):
    read = probe("read-all", path)
    read_qp = probe("read-all-qp", path)
    churn = probe("churn", path)
    mib = 1 << 20
    return [Row("memory", "peak RSS growth reading every frame's luma (MiB)", read["growth"] / mib,
                read["cache_bytes"] / mib, "MiB", read["growth"] / read["cache_bytes"],
                "about 1 (64 snapshots)"),
            Row("memory", "peak RSS growth reading every QP map (MiB), in frames", read_qp["growth"] / mib,
                read_qp["frame_bytes"] / mib, "MiB", read_qp["growth"] / read_qp["frame_bytes"],
                "<= 16", met=read_qp["growth"] <= 16 * read_qp["frame_bytes"]),
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


def qp_maps_per_cpu_second(path, **options):
    """Decoding runs on the calling thread, so the process's CPU time is its cost, however
    busy the other cores are."""
    session = vexmira.H264DecoderSession(str(path), **options)
    start = time.process_time()
    for i in range(session.num_frames):
        session.get_qpmap(i)
    return session.num_frames / (time.process_time() - start)


def motion_vector_rows(path, repeat):
    plain, exported = [], []
    for _ in range(repeat):
        plain.append(qp_maps_per_cpu_second(path))
        exported.append(qp_maps_per_cpu_second(path, motion_vectors=True))
    return [paired_row("options", "1080p get_qpmap in order, motion_vectors=True vs off (CPU fps)", exported,
                       plain, ">= 0.98", minimum=0.98)]


def mb_type_rows(path, repeat):
    """What capturing macroblock types costs: the decoder prints them as text (FFmpeg 5.1 one
    character per call) and the module reads the text back. The ratio is the cost; a session
    captures them only when asked (mb_types=True)."""
    plain, captured = [], []
    for _ in range(repeat):
        plain.append(qp_maps_per_cpu_second(path))
        captured.append(qp_maps_per_cpu_second(path, mb_types=True))
    return [paired_row("options", "1080p get_qpmap in order, mb_types=True vs off (CPU fps)", captured, plain,
                       ">= 0.98", minimum=0.98)]


def luma_seconds(path, targets, deblocking):
    session = vexmira.H264DecoderSession(str(path), deblocking=deblocking)
    start = time.perf_counter()
    for target in targets:
        session.get_plane_data(target, 0)
    return time.perf_counter() - start


def cost_row(measurement, path, targets, repeat):
    """Seconds with deblocking="exact" against "skip", the same requests; the ratio is the
    cost, for which there is no target."""
    exact, skip = [], []
    for _ in range(repeat):
        skip.append(luma_seconds(path, targets, "skip"))
        exact.append(luma_seconds(path, targets, "exact"))
    row = paired_row("options", measurement, exact, skip, "cost", unit="s")
    row.met = None
    return row


def exact_deblocking_rows(path_sequential, path_random, repeat):
    return [cost_row(f"exact vs skip deblocking: 1080p frames 0-{EXACT_SEQUENTIAL_FRAMES - 1} in order (s)",
                     path_sequential, range(EXACT_SEQUENTIAL_FRAMES), repeat),
            cost_row(f"exact vs skip deblocking: 360p, {RANDOM_TARGETS} random frames (s)", path_random,
                     random_targets(len(media.decode_counts(path_random))), repeat)]


def print_table(rows):
    print(f"{'':2}{'measurement':<62}{'module':>11}{'reference':>11}{'ratio':>8}  {'spread':<13}  {'target':<10}")
    section = None
    for row in rows:
        if row.section != section:
            section = row.section
            print(f"{section}")
        reference = "" if row.reference is None else f"{row.reference:11.2f}"
        ratio = "" if row.ratio is None else f"{row.ratio:8.3f}"
        spread = "" if row.spread is None else f"{row.spread[0]:.3f}-{row.spread[1]:.3f}"
        met = "" if row.met is None else ("met" if row.met else "MISSED")
        print(f"  {row.measurement:<62}{row.value:11.2f}{reference:>11}{ratio:>8}  {spread:<13}  {row.target:<10}{met}")


def machine():
    model = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                  if line.startswith("model name")), platform.processor())
    ffmpeg = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    return {"cpu": model, "cores": os.cpu_count(), "python": platform.python_version(), "ffmpeg": ffmpeg,
            "date": time.strftime("%Y-%m-%d %H:%M")}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeat", type=int, default=3, help="repetitions of every measurement (median)")
    parser.add_argument("--baseline", type=Path, help="folder holding an earlier build of the module")
    parser.add_argument("--sections", nargs="+", choices=SECTIONS, default=SECTIONS, help="what to measure")
    args = parser.parse_args()

    tool = build_native_tools()
    big, long, mid = media.clip("1080p_10s"), media.clip("360p_60s"), media.clip("720p_12s")
    about = machine()
    print(f"{about['cpu']}, {about['cores']} cores; {about['ffmpeg']}; Python {about['python']}\n")

    rows = []
    if "sequential" in args.sections:
        limits, sequential = sequential_rows(tool, big, args.repeat)
        frames = vexmira.H264DecoderSession(str(big)).num_frames
        rows += [Row("limit", "1080p: bare decode loop with the module's settings (fps)", statistics.median(limits),
                     unit="fps"),
                 Row("limit", "1080p: ffmpeg tool, -threads 0 -skip_loop_filter all (fps)",
                     ffmpeg_tool_rate(big, frames, args.repeat), unit="fps")]
    if "random" in args.sections:
        limits_long, random_rows = random_access_rows(tool, long, args.repeat)
        rows.append(Row("limit", "360p: bare decode loop with the module's settings (fps)",
                        statistics.median(limits_long), unit="fps"))
    if "limit" in args.sections:
        rows += limit_rows(tool, mid, args.repeat)
    if "sequential" in args.sections:
        rows += sequential
    if "random" in args.sections:
        rows += random_rows
        rows += random_access_rows(tool, media.raw_copy(long), args.repeat, "raw .h264: ", counts_from=long)[1]
    if "patterns" in args.sections:
        rows += pattern_rows({"720p": mid, "1080p": big}, args.baseline, args.repeat)
    if "user-loops" in args.sections:
        rows += user_loop_rows(args.repeat)
    if "opening" in args.sections:
        rows += opening_rows(tool, {"1080p": big, "360p": long}, args.repeat)
        rows += opening_rows(tool, {"1080p raw .h264": media.raw_copy(big), "360p raw .h264": media.raw_copy(long)},
                             args.repeat, limit=1.5)
        rows += decoded_opening_rows(tool, "360p MPEG-2 PS", media.mpeg2_program_stream("360p_60s"), args.repeat)
    if "memory" in args.sections:
        rows += memory_rows(big)
    if "peers" in args.sections:
        rows += peer_rows(long, big, args.repeat)
    if "batch" in args.sections:
        rows += batch_bench.rows(sys.modules[__name__], tool, args.repeat)
    if "prediction" in args.sections:
        rows += motion_vector_rows(big, 2 * args.repeat + 1)
        rows += mb_type_rows(big, 2 * args.repeat + 1)
        rows += exact_deblocking_rows(big, long, args.repeat)
    if "loop" in args.sections:
        rows += loop_bench.rows(sys.modules[__name__], tool, args.repeat)
    if "corpus" in args.sections:
        rows += corpus_bench.rows(sys.modules[__name__], tool, args.repeat)
    if "view" in args.sections:
        rows += view_bench.rows(sys.modules[__name__], args.repeat)
    if "syntax" in args.sections:
        rows += syntax_bench.rows(sys.modules[__name__], tool, args.repeat)
    if "rebuild" in args.sections:
        rows += rebuild_bench.rows(sys.modules[__name__], tool, args.repeat)

    print_table(rows)
    RESULTS.parent.mkdir(parents=True, exist_ok=True)
    RESULTS.write_text(json.dumps({"machine": about, "rows": [asdict(row) for row in rows]}, indent=2))
    print(f"\nwritten to {RESULTS.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
