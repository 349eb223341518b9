"""vexmira-stats FILE_OR_DIR... -o out.parquet|out.csv [--threads N] [--dask local|tcp://HOST:PORT] [--resume]
       [--mb-types | --syntax [--residual]] [--stream INDEX] [--quiet]
       vexmira-stats --yuview FILE -o out.csv [--frames A:B] [--layers qp,types,partitions,fields,motion,bits]

Writes one row per frame of every video file found (folders are searched for files with a
video suffix), with the file's path and format on each row, to Parquet or CSV, file by file
as each completes, and beside it a file table (out.files.parquet or out.files.csv) of one row
per file: what its container declares, whether it is cut short, its damaged frames, FFmpeg's
warnings about it, or why it was skipped. A file that does not open is reported on stderr
and skipped; FFmpeg's warnings are shown with the file they concern, and the run ends with
one line: files, damaged, truncated, skipped. Ctrl-C keeps the files completed so far, and
--resume continues from them. Exit status: 0 when every file was read, 1 when some were
skipped or none was found, 2 for bad arguments or an output that cannot be written, 130 when
interrupted."""

import argparse
import importlib.util
import os
import re
import sys
from contextlib import nullcontext
from pathlib import Path

from vexmira_tools.columns import table_columns
from vexmira_tools.file_table import file_table_path, summary
from vexmira_tools.plans import DEFAULT_RANGE_FRAMES, IN_PROCESS_RANGE_FRAMES
from vexmira_tools.inputs import find_videos
from vexmira_tools.interrupts import interrupt_deferred
from vexmira_tools.errors import ClusterUnavailable, OutputError
from vexmira_tools.run_record import RunRecord

PROGRAM = "vexmira-stats"
SCHEDULER_ADDRESS = re.compile(r"[a-z][a-z0-9+.-]*://[^/\s]+")
FRAME_SLICE = re.compile(r"-?\d*:-?\d*")


def say(message: str) -> None:
    from tqdm import tqdm
    tqdm.write(f"{PROGRAM}: {message}", file=sys.stderr)


def frames_text(text: str) -> str:
    if not FRAME_SLICE.fullmatch(text):
        raise argparse.ArgumentTypeError(f"--frames takes A:B, either side may be left out or negative, not {text!r}")
    return text


def with_frames_joined(argv: list[str]) -> list[str]:
    """--frames -3: as --frames=-3:, which argparse would otherwise take for an option."""
    joined, rest = [], iter(argv)
    for argument in rest:
        following = next(rest, None) if argument == "--frames" else None
        joined.append(argument if following is None else f"--frames={following}")
    return joined


def add_yuview_arguments(parser: argparse.ArgumentParser) -> None:
    from vexmira_tools.yuview import LAYERS
    group = parser.add_argument_group(
        "YUView statistics", "vexmira-stats --yuview FILE -o out.csv writes one H.264 file's layers as a YUView "
                             "statistics file, which YUView draws over the video; every layer of 250 frames of "
                             "720p takes about 92 MB, which --layers and --frames make smaller")
    group.add_argument("--yuview", action="store_true", help="write FILE's layers for YUView instead of a table")
    group.add_argument("--frames", type=frames_text, metavar="A:B",
                       help="frames A to B-1, as a Python slice: 10:50, -3: (default: all)")
    group.add_argument("--layers", metavar="LAYER,...",
                       help=f"some of {','.join(LAYERS)} (default: all)")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog=PROGRAM, description=__doc__.split("\n\n")[1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("inputs", nargs="+", metavar="FILE_OR_DIR")
    parser.add_argument("-o", "--output", required=True, type=Path,
                        help="out.parquet or out.csv; with --yuview, out.csv")
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
    parser.add_argument("--residual", action="store_true",
                        help="with --syntax, also each plane's residual energy (the mean square of the residual "
                             "samples), which reads the coefficients and rebuilds each residual: slower")
    parser.add_argument("--stream", type=int, default=None, metavar="INDEX",
                        help="the video stream to read in each file, by its index as ffprobe numbers them "
                             "(default: the first video stream that is not cover art)")
    parser.add_argument("--quiet", action="store_true",
                        help="do not show FFmpeg's warnings (the file table still counts them) nor what a table of "
                             "a codec without QP is to be read with")
    add_yuview_arguments(parser)
    args = parser.parse_args(with_frames_joined(argv))
    if args.output.suffix.lower() not in ({".csv"} if args.yuview else {".parquet", ".csv"}):
        parser.error("the output of --yuview must end in .csv" if args.yuview else
                     "the output must end in .parquet or .csv")
    if args.yuview and len(args.inputs) != 1:
        parser.error("--yuview reads one file")
    if not args.yuview and (args.frames or args.layers):
        parser.error("--frames and --layers go with --yuview")
    if args.threads is not None and args.threads < 0:
        parser.error("--threads must not be negative")
    if args.range_frames is not None and args.range_frames < 1:
        parser.error("--range-frames must be positive")
    if args.stream is not None and args.stream < 0:
        parser.error("--stream must not be negative")
    if args.residual and not args.syntax:
        parser.error("--residual goes with --syntax")
    args.table = ("residual" if args.residual else "syntax") if args.syntax else "mb_types" if args.mb_types else "frames"
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
    if file_table_path(output).is_dir():
        return f"cannot write {output}: {file_table_path(output)}, where its file table goes, is a folder"
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


def file_results(client, videos: list[str], args, progress):
    if client is None:
        from vexmira_tools.in_process import run_in_process
        return run_in_process(videos, args.threads or 0, args.range_frames or IN_PROCESS_RANGE_FRAMES, progress,
                              args.table, args.stream)
    from vexmira_tools.cluster import run_on_dask
    return run_on_dask(client, videos, args.threads or 1, args.range_frames or DEFAULT_RANGE_FRAMES, progress,
                       args.table, args.stream)


def write_results(results, output, progress, quiet: bool) -> None:
    """Each file's rows, or its failure, recorded whole before the next; what FFmpeg said of
    it shown above the bar."""
    for result in results:
        with interrupt_deferred():
            if result.error:
                output.note_skipped(result.path, result.error, result.file_row)
            else:
                output.write_file(result.path, result.table, result.time_base, result.file_row)
        progress.file_written()
        if not quiet:
            for message in result.messages:
                say(message)
        if result.error:
            say(f"skipped {result.path}: {result.error}")
        elif result.warning and not quiet:
            say(f"warning: {result.path}: {result.warning}")


def run(args) -> int:
    from vexmira_tools.progress import Progress
    inputs = find_videos(args.inputs)
    for path, reason in inputs.ignored.items():
        say(f"ignored {path}: {reason}")
    with cluster_of(args) as client:
        record = RunRecord(ignored=inputs.ignored,
                           options={"mb_types": args.mb_types, "syntax": args.syntax, "residual": args.residual,
                                    "stream": args.stream})
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
            with Progress(len(todo)) as progress:
                write_results(file_results(client, todo, args, progress), output, progress, args.quiet)
            finished = True
        finally:
            with interrupt_deferred():
                output.finish(finished, inputs.videos)
    if not inputs.videos:
        say("no video files found")
    say(summary([record.file_rows[path] for path in inputs.videos if path in record.file_rows]))
    return 1 if record.skipped or not inputs.videos else 0


def main(argv=None) -> int:
    args = parse_arguments(sys.argv[1:] if argv is None else argv)
    if extra := missing_extra(args):
        print(f"{PROGRAM}: this run needs the {extra} extra: pip install 'vexmira[{extra}]'", file=sys.stderr)
        return 1
    if problem := output_problem(args.output) or dask_problem(args.dask):
        say(problem)
        return 2
    if args.yuview:
        from vexmira_tools.yuview import LAYERS, run as write_yuview
        return write_yuview(args.inputs[0], args.output, args.frames or ":", args.layers or ",".join(LAYERS))
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
