"""vexmira-stats FILE_OR_DIR... -o out.parquet|out.csv [--threads N] [--dask local|tcp://HOST:PORT] [--resume]
       [--mb-types | --syntax] [--stream INDEX]
       vexmira-stats --yuview FILE -o out.csv [--frames A:B]

Writes one row per frame of every video file found (folders are searched for files with a
video suffix), with the file's path and format on each row, to Parquet or CSV, file by file
as each completes. A file that does not open is reported on stderr and skipped. Ctrl-C keeps
the files completed so far, and --resume continues from them. Exit status: 0 when every file
was read, 1 when some were skipped or none was found, 2 for bad arguments or an output that
cannot be written, 130 when interrupted."""

import argparse
import importlib.util
import os
import re
import sys
from contextlib import nullcontext
from pathlib import Path

from vexmira_tools.columns import table_columns
from vexmira_tools.plans import DEFAULT_RANGE_FRAMES, IN_PROCESS_RANGE_FRAMES
from vexmira_tools.inputs import find_videos
from vexmira_tools.interrupts import interrupt_deferred
from vexmira_tools.errors import ClusterUnavailable, OutputError
from vexmira_tools.run_record import RunRecord

PROGRAM = "vexmira-stats"
SCHEDULER_ADDRESS = re.compile(r"[a-z][a-z0-9+.-]*://[^/\s]+")


def say(message: str) -> None:
    from tqdm import tqdm
    tqdm.write(f"{PROGRAM}: {message}", file=sys.stderr)


def progress_bar():
    """Frames done, rate and time left, on stderr when it is a terminal."""
    from tqdm import tqdm
    return tqdm(total=0, unit="frame", file=sys.stderr, disable=not sys.stderr.isatty(), dynamic_ncols=True)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__.split("\n\n")[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="vexmira-stats --yuview FILE -o out.csv [--frames A:B] writes one "
                                            "file's QP, macroblock types and motion vectors as a YUView statistics "
                                            "file")
    parser.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    parser.add_argument("-o", "--output", required=True, type=Path, help="out.parquet or out.csv")
    parser.add_argument("--threads", type=int, default=None,
                        help="decoders at once in one process, over the ranges of every file (default: every "
                             "usable core); per task on a Dask cluster (default: 1)")
    parser.add_argument("--dask", metavar="local|tcp://HOST:PORT",
                        help="run on a local two-worker cluster, or on the cluster of that scheduler")
    parser.add_argument("--range-frames", type=int, default=None,
                        help=f"frames per unit of work; long files are cut at key-frame intervals (default: "
                             f"{IN_PROCESS_RANGE_FRAMES} in one process, {DEFAULT_RANGE_FRAMES} per Dask task)")
    parser.add_argument("--resume", action="store_true",
                        help="keep the files the output already holds complete and read only the others")
    table = parser.add_mutually_exclusive_group()
    table.add_argument("--mb-types", action="store_true",
                       help="count the macroblocks of each kind: mb_intra, mb_skip, mb_direct, mb_inter")
    table.add_argument("--syntax", action="store_true",
                       help="read each frame's syntax without decoding (H.264 only): syntax_stats' columns, with "
                            "the bits spent on headers, prediction and residual")
    parser.add_argument("--stream", type=int, default=None, metavar="INDEX",
                        help="the video stream to read in each file, by its index as ffprobe numbers them "
                             "(default: the first video stream that is not cover art)")
    args = parser.parse_args(argv)
    if args.output.suffix.lower() not in {".parquet", ".csv"}:
        parser.error("the output must end in .parquet or .csv")
    if args.threads is not None and args.threads < 0:
        parser.error("--threads must not be negative")
    if args.range_frames is not None and args.range_frames < 1:
        parser.error("--range-frames must be positive")
    if args.stream is not None and args.stream < 0:
        parser.error("--stream must not be negative")
    args.table = "syntax" if args.syntax else "mb_types" if args.mb_types else "frames"
    return args


def is_parquet(output: Path) -> bool:
    return output.suffix.lower() == ".parquet"


def missing_extra(args) -> str | None:
    """The pyproject extra that a module this run needs comes from, if it is not installed."""
    needed = ["tqdm"] + (["pyarrow"] if is_parquet(args.output) else [])
    needed += ["distributed"] if args.dask else []
    if any(importlib.util.find_spec(module) is None for module in needed):
        return "dask" if args.dask else "stats"
    return None


def output_problem(output: Path) -> str | None:
    """Why the output (and what is written beside it) could not be written, found before any
    file is read."""
    folder = output.parent
    if not folder.is_dir():
        return f"cannot write {output}: there is no folder {folder}"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"cannot write {output}: the folder {folder} is not writable"
    beside = output.with_name(output.name + (".parts" if is_parquet(output) else ".json"))
    if output.is_dir():
        return f"cannot write {output}: it is a folder"
    if beside.exists() and beside.is_dir() != is_parquet(output):
        return f"cannot write {output}: {beside}, which the run writes beside it, is in the way"
    return None


def dask_problem(address: str | None) -> str | None:
    if address is None or address == "local" or SCHEDULER_ADDRESS.fullmatch(address):
        return None
    return f"--dask takes 'local' or a scheduler's address such as tcp://host:8786, not {address!r}"


def open_output(output: Path, record: RunRecord, resume: bool, table: str):
    if is_parquet(output):
        from vexmira_tools.parquet_output import ParquetOutput
        return ParquetOutput(output, record, resume, table_columns(table))
    from vexmira_tools.csv_output import CsvOutput
    return CsvOutput(output, record, resume, table_columns(table))


def cluster_of(args):
    """The Dask client of the run, connected before the output is touched; none in one process."""
    if not args.dask:
        return nullcontext()
    from vexmira_tools.cluster import connect
    return connect(args.dask)


def file_results(client, videos: list[str], args, bar):
    if client is None:
        from vexmira_tools.in_process import run_in_process
        return run_in_process(videos, args.threads or 0, args.range_frames or IN_PROCESS_RANGE_FRAMES, bar,
                              args.table, args.stream)
    from vexmira_tools.cluster import run_on_dask
    return run_on_dask(client, videos, args.threads or 1, args.range_frames or DEFAULT_RANGE_FRAMES, bar,
                       args.table, args.stream)


def write_results(results, output) -> None:
    """Each file's rows, or its failure, recorded whole before the next."""
    for result in results:
        with interrupt_deferred():
            if result.error:
                output.note_skipped(result.path, result.error)
            else:
                output.write_file(result.path, result.table, result.time_base)
        if result.error:
            say(f"skipped {result.path}: {result.error}")
        elif result.warning:
            say(f"warning: {result.path}: {result.warning}")


def run(args) -> int:
    inputs = find_videos(args.inputs)
    for path, reason in inputs.ignored.items():
        say(f"ignored {path}: {reason}")
    with cluster_of(args) as client:
        record = RunRecord(ignored=inputs.ignored)
        try:
            output = open_output(args.output, record, args.resume, args.table)
        except OutputError as error:
            say(str(error))
            return 2
        todo = [path for path in inputs.videos if path not in record.files]
        if args.resume and len(todo) < len(inputs.videos):
            say(f"resuming: {len(inputs.videos) - len(todo)} files already complete in {args.output}")
        finished = False
        try:
            with progress_bar() as bar:
                write_results(file_results(client, todo, args, bar), output)
            finished = True
        finally:
            with interrupt_deferred():
                output.finish(finished, inputs.videos)
    if not inputs.videos:
        say("no video files found")
    return 1 if record.skipped or not inputs.videos else 0


def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if "--yuview" in argv:
        from vexmira_tools.yuview import main as yuview_main
        return yuview_main(argv)
    args = parse_arguments(argv)
    if extra := missing_extra(args):
        print(f"{PROGRAM}: this run needs the {extra} extra: pip install 'vexmira[{extra}]'", file=sys.stderr)
        return 1
    if problem := output_problem(args.output) or dask_problem(args.dask):
        say(problem)
        return 2
    try:
        return run(args)
    except ClusterUnavailable as error:
        say(str(error))
        return 1
    except KeyboardInterrupt:
        say(f"interrupted: {args.output} holds the files completed so far; --resume continues")
        return 130


if __name__ == "__main__":
    sys.exit(main())
