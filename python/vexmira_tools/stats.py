"""vexmira-stats FILE_OR_DIR... -o out.parquet|out.csv [--threads N] [--dask local|tcp://HOST:PORT] [--mb-types]
       vexmira-stats --yuview FILE -o out.csv [--frames A:B]

Writes one row per frame of every H.264 file found (folders are searched for video files),
with the file's path in a `file` column, to Parquet or CSV. A file that does not open is
reported on stderr and skipped. Exit status: 0 when every file was read, 1 when some were
skipped or nothing was found, 2 for bad arguments."""

import argparse
import csv
import importlib.util
import json
import math
import sys
from pathlib import Path

import vexmira
from vexmira_tools.frame_tables import DEFAULT_RANGE_FRAMES, file_table, plan_file, range_stats

VIDEO_SUFFIXES = {".mp4", ".m4v", ".mov", ".mkv", ".ts", ".m2ts", ".mts", ".h264", ".264", ".avi", ".flv", ".3gp"}


def find_videos(inputs: list[str]) -> list[str]:
    """Files named are taken as they are; folders are searched, in name order, for files
    with a video suffix."""
    found = []
    for given in inputs:
        path = Path(given)
        if path.is_dir():
            found += sorted(str(child) for child in path.rglob("*")
                            if child.is_file() and child.suffix.lower() in VIDEO_SUFFIXES)
        else:
            found.append(str(path))
    return found


def progress_bar():
    """Frames done, rate and time left, on stderr when it is a terminal."""
    from tqdm import tqdm
    return tqdm(total=0, unit="frame", file=sys.stderr, disable=not sys.stderr.isatty(), dynamic_ncols=True)


def run_in_process(videos: list[str], threads: int, range_frames: int, bar, mb_types: bool = False):
    """Each file opened once to plan it (so that the bar knows the total), then read range
    by range with a session of its own."""
    plans = [plan_file(path, range_frames) for path in videos]
    bar.total = sum(plan.frames for plan in plans)
    bar.refresh()
    parts = []
    for plan in plans:
        if plan.error:
            continue
        session = vexmira.H264DecoderSession(plan.path, mb_types=mb_types)
        for first, end in plan.ranges:
            parts.append((plan.path, range_stats(plan.path, first, end, threads, session)))
            bar.update(end - first)
    return parts, [(plan.path, plan.error) for plan in plans if plan.error]


def decoder_identity() -> dict[str, str]:
    """The module's version and the FFmpeg it decodes with: QP tables and pictures are the
    decoder's, so they belong with the results."""
    import vexmira
    return {"vexmira": vexmira.__version__, **vexmira.ffmpeg_version}


def write_parquet(table, output: Path, skipped) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq
    arrays = pa.table(table)
    metadata = {b"vexmira.skipped": json.dumps(dict(skipped)).encode(),
                b"vexmira.decoder": json.dumps(decoder_identity()).encode()}
    pq.write_table(arrays.replace_schema_metadata(metadata), output)


def csv_value(value):
    if isinstance(value, float) and math.isnan(value):
        return ""
    return value


def write_csv(table, output: Path) -> None:
    names = list(table)
    with output.open("w", newline="") as file:
        file.write(f"# decoder: {json.dumps(decoder_identity())}\n")
        writer = csv.writer(file)
        writer.writerow(names)
        for row in zip(*(table[name].tolist() for name in names)):
            writer.writerow([csv_value(value) for value in row])


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="vexmira-stats", description=__doc__.split("\n\n")[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="vexmira-stats --yuview FILE -o out.csv [--frames A:B] writes one "
                                            "file's QP, macroblock types and motion vectors as a YUView statistics "
                                            "file")
    parser.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    parser.add_argument("-o", "--output", required=True, type=Path, help="out.parquet or out.csv")
    parser.add_argument("--threads", type=int, default=None,
                        help="decoders per file range (default: every core in one process, 1 per Dask task)")
    parser.add_argument("--dask", metavar="local|tcp://HOST:PORT",
                        help="run on a local two-worker cluster, or on the cluster of that scheduler")
    parser.add_argument("--range-frames", type=int, default=DEFAULT_RANGE_FRAMES,
                        help="frames per unit of work; long files are cut at key-frame intervals")
    parser.add_argument("--mb-types", action="store_true",
                        help="count the macroblocks of each kind: mb_intra, mb_skip, mb_direct, mb_inter")
    args = parser.parse_args(argv)
    if args.output.suffix.lower() not in {".parquet", ".csv"}:
        parser.error("the output must end in .parquet or .csv")
    if args.threads is not None and args.threads < 0:
        parser.error("--threads must not be negative")
    if args.range_frames < 1:
        parser.error("--range-frames must be positive")
    return args


def missing_extra(args) -> str | None:
    """The pyproject extra that a module this run needs comes from, if it is not installed."""
    needed = ["tqdm"] + (["pyarrow"] if args.output.suffix.lower() == ".parquet" else [])
    needed += ["distributed"] if args.dask else []
    if any(importlib.util.find_spec(module) is None for module in needed):
        return "dask" if args.dask else "stats"
    return None


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if "--yuview" in argv:
        from vexmira_tools.yuview import main as yuview_main
        return yuview_main(argv)
    args = parse_arguments(argv)
    if extra := missing_extra(args):
        print(f"vexmira-stats: this run needs the {extra} extra: pip install 'vexmira[{extra}]'", file=sys.stderr)
        return 1
    videos = find_videos(args.inputs)
    if not videos:
        print("vexmira-stats: no video files found", file=sys.stderr)
        return 1
    with progress_bar() as bar:
        if args.dask:
            from vexmira_tools.cluster import run_on_dask
            parts, skipped = run_on_dask(args.dask, videos, args.threads or 1, args.range_frames, bar, args.mb_types)
        else:
            parts, skipped = run_in_process(videos, args.threads or 0, args.range_frames, bar, args.mb_types)
    for path, error in skipped:
        print(f"vexmira-stats: skipped {path}: {error}", file=sys.stderr)
    table = file_table(parts)
    if args.output.suffix.lower() == ".parquet":
        write_parquet(table, args.output, skipped)
    else:
        write_csv(table, args.output)
    return 1 if skipped else 0


if __name__ == "__main__":
    sys.exit(main())
