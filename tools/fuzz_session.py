"""Fuzzes vexmira with atheris: each input is a request plan followed by a file. The file is
opened, and the plan asks for a few frames with the frame methods in the order it says: the
four that decode, and the three that read the frame's syntax without decoding.

Usage:
  fuzz_session.py --seconds N [--workdir DIR]   fuzz for N seconds
  fuzz_session.py --replay [--workdir DIR]      run every seed and corpus input once, and no more
  fuzz_session.py INPUT ...                     run these inputs once, to reproduce a crash

Fuzzing starts from a seed corpus of small clips made with the ffmpeg tool (DIR/seeds) and
keeps the inputs that reach new code in DIR/corpus. The only code the fuzzer sees covered is
this script's: with a sanitizer runtime preloaded it sees none, as that runtime takes over
the coverage hooks. So make fuzz fuzzes the normal build, with this script's coverage
steering it, and then replays everything it kept against the sanitizer build.

Rules: opening raises only a documented RuntimeError or MemoryError, or gives a session; a
frame request returns or raises only a documented error; a returned QP map and plane fit the
frame; a syntax map has the QP map's grid and QP range where it was parsed, and levels and
residual planes agree in size; copy_plane_to_ptr writes nothing outside the destination it is given; and a frame
asked for twice gives the same picture both times. An input that breaks one, crashes the
module, trips a sanitizer or hangs is written to DIR/crashes and ends the run with a report.
"""

import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

import atheris
import numpy as np

import vexmira

MAX_REQUESTS = 8
# One byte for the number of requests, then three for each: frame, method, plane.
METHODS = 7
PLAN_SIZE = 1 + 3 * MAX_REQUESTS
GUARD = 64
SENTINEL = 0x5A

OPENING_ERRORS = re.compile(
    r"Cannot open input video: .* \(.+\)|Cannot find stream info in: .*|No video stream found in: .*"
    r"|No decoder for codec .+ in: .*|Cannot open codec: .+|No video packets found in: .*"
    r"|No video frames found in: .*", re.DOTALL)

# What the syntax methods raise for a frame whose packet cannot be reached or whose syntax
# cannot be rebuilt (NotImplementedError for inter prediction is documented apart).
SYNTAX_ERRORS = re.compile(
    r"No packet holds frame \d+|The packet of frame \d+ cannot be read|The demuxer cannot be brought to packet \d+"
    r"|The demuxer lost track on the way to packet \d+|The frame's syntax could not be read: nothing to rebuild"
    r"|Field pictures and MBAFF frames are not rebuilt")

SEED_CLIP = "testsrc2=size=32x32:rate=25,trim=end_frame=10"
SEED_CODEC = ["-c:v", "libx264", "-preset", "ultrafast", "-bf", "2", "-g", "5", "-keyint_min", "5",
              "-sc_threshold", "0", "-pix_fmt", "yuv420p"]
REPEAT_EVERY_FIFTH = r"setts=pts=if(eq(mod(N\,5)\,3)\,PREV_OUTPTS\,PTS)"
DROP_EVERY_FOURTH = r"setts=pts=if(eq(mod(N\,4)\,2)\,NOPTS\,PTS)"
# Each seed is the concatenation of its parts, each the 32x32 clip encoded with these
# options after SEED_CODEC's.
SEEDS = {
    "closed_gop.mp4": [[]],
    "closed_gop.mkv": [[]],
    "closed_gop.ts": [[]],
    # Files whose packets carry no timestamps, or only some: frames are numbered from the
    # bitstream.
    "closed_gop.h264": [[]],
    "open_gop.264": [["-x264-params", "open-gop=1"]],
    "closed_gop.avi": [[]],
    "closed_gop.mpg": [["-f", "vob"]],
    "open_gop.mp4": [["-x264-params", "open-gop=1"]],
    "ten_bit.mp4": [["-pix_fmt", "yuv420p10le"]],
    "chroma_444.mkv": [["-pix_fmt", "yuv444p", "-x264-params", "chroma-qp-offset=-3"]],
    "no_bframes.mp4": [["-bf", "0"]],
    "repeated_timestamps.mkv": [["-bsf:v", REPEAT_EVERY_FIFTH]],
    "missing_timestamps.ts": [["-bsf:v", DROP_EVERY_FOURTH]],
    "size_change.ts": [[], ["-vf", "scale=48:32", "-output_ts_offset", "1"]],
}


class Broken(AssertionError):
    """A rule the module broke; atheris reports it with the input that caused it."""


def make_seeds(folder: Path) -> None:
    folder.mkdir(parents=True, exist_ok=True)
    plan = bytes([7, 0, 0, 0, 3, 1, 1, 9, 3, 2, 200, 2, 2, 1, 4, 0, 8, 5, 0, 2, 6, 0]).ljust(PLAN_SIZE, b"\0")
    with tempfile.TemporaryDirectory() as scratch:
        for name, parts in SEEDS.items():
            clip = Path(scratch) / name
            content = plan
            for options in parts:
                subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                SEED_CLIP, *SEED_CODEC, *options, str(clip)], check=True)
                content += clip.read_bytes()
            (folder / name).write_bytes(content)


def frame_number(selector: int, num_frames: int) -> int:
    """Mostly frames of the file, sometimes just past either end."""
    if selector >= 250:
        return num_frames + selector - 252
    return selector % num_frames


def expect_allowed_error(error: Exception, index: int, num_frames: int) -> None:
    message = str(error)
    if not 0 <= index < num_frames:
        if not (isinstance(error, IndexError) and message == f"Frame index out of bounds: {index}"):
            raise Broken(f"frame {index} of {num_frames}: {type(error).__name__}: {message}") from error
    elif isinstance(error, IndexError):
        if not message.startswith("Invalid plane index"):
            raise Broken(f"frame {index}: IndexError: {message}") from error
    elif isinstance(error, RuntimeError):
        if message != f"Failed to decode frame {index}" and not SYNTAX_ERRORS.fullmatch(message):
            raise Broken(f"frame {index}: RuntimeError: {message}") from error
    elif not isinstance(error, (ValueError, MemoryError)):
        raise Broken(f"frame {index}: {type(error).__name__}: {message}") from error


def check_qp_map(session, index: int) -> None:
    qp_map = session.get_qpmap(index)
    if qp_map.ndim != 2 or qp_map.dtype != np.int8:
        raise Broken(f"frame {index}: QP map {qp_map.dtype} of shape {qp_map.shape}")
    if qp_map.size and (qp_map.min() < -1 or qp_map.max() > 63):
        raise Broken(f"frame {index}: QP values {qp_map.min()}..{qp_map.max()}")


def check_plane(session, index: int, plane: int, seen: dict) -> None:
    data = session.get_plane_data(index, plane)
    expected_dtype = np.uint16 if data.dtype == np.uint16 else np.uint8
    if data.ndim != 2 or data.dtype != expected_dtype:
        raise Broken(f"frame {index} plane {plane}: {data.dtype} of shape {data.shape}")
    digest = hashlib.sha256(data.tobytes()).hexdigest() + str(data.shape)
    if seen.setdefault((index, plane), digest) != digest:
        raise Broken(f"frame {index} plane {plane}: another picture than the first time")


def check_offsets(session, index: int) -> None:
    offsets = session.get_chroma_qp_offset(index)
    if len(offsets) != 2 or not all(-12 <= offset <= 12 for offset in offsets):
        raise Broken(f"frame {index}: chroma offsets {offsets}")


def check_syntax(session, index: int) -> None:
    syntax = session.get_mb_syntax(index)
    if syntax.shape != (session.mb_rows, session.mb_cols):
        raise Broken(f"frame {index}: syntax of shape {syntax.shape}")
    qp = syntax["qp"][syntax["parsed"]]
    if qp.size and (qp.min() < 0 or qp.max() > 63):
        raise Broken(f"frame {index}: parsed QP values {qp.min()}..{qp.max()}")


def check_levels(session, index: int, residual: bool) -> None:
    """Levels, or the residual rebuilt from them: three 2-D planes of whole macroblocks (none
    for a frame of which nothing could be read)."""
    planes = session.get_residual(index) if residual else session.get_coefficients(index)
    expected = np.int16 if residual else np.int32
    if len(planes) != 3 or any(plane.ndim != 2 or plane.dtype != expected for plane in planes):
        raise Broken(f"frame {index}: planes {[(plane.dtype, plane.shape) for plane in planes]}")
    if planes[0].shape[0] % 16 or planes[0].shape[1] % 16:
        raise Broken(f"frame {index}: luma of {planes[0].shape}, not whole macroblocks")


def check_copy(session, index: int, plane: int) -> None:
    """Copies into a buffer sized from the session's facts, with guard bytes around it."""
    row = max(session.width, 0) * session.bytes_per_sample
    size = row * max(session.height, 0)
    buffer = np.full(size + 2 * GUARD, SENTINEL, np.uint8)
    try:
        session.copy_plane_to_ptr(index, plane, buffer.ctypes.data + GUARD, row)
    finally:
        if (buffer[:GUARD] != SENTINEL).any() or (buffer[GUARD + size:] != SENTINEL).any():
            raise Broken(f"frame {index} plane {plane}: copy_plane_to_ptr wrote outside the destination")


def note_session(session) -> None:
    """Branches and loop trips that depend on what the file turned out to be. The fuzzer sees
    the coverage of this script's Python code only, not of the module or FFmpeg, so this is
    what makes it keep a mutated file that opens differently from those it has."""
    for _ in range(min(session.num_frames, 300)):
        pass
    for _ in range(min(session.mb_cols * session.mb_rows, 300)):
        pass
    if session.bytes_per_sample == 2:
        pass
    if session.pix_fmt.startswith("yuv444"):
        pass
    elif not session.pix_fmt.startswith("yuv420"):
        pass


def request(session, plan: bytes, seen: dict) -> None:
    num_frames = session.num_frames
    answered = 0
    for step in range(min(plan[0], MAX_REQUESTS)):
        frame_selector, method, plane = plan[1 + 3 * step:4 + 3 * step]
        index = frame_number(frame_selector, num_frames)
        plane %= 4
        try:
            if method % METHODS == 0:
                check_qp_map(session, index)
            elif method % METHODS == 1:
                check_plane(session, index, plane, seen)
            elif method % METHODS == 2:
                check_offsets(session, index)
            elif method % METHODS == 3:
                check_copy(session, index, plane)
            elif method % METHODS == 4:
                check_syntax(session, index)
            else:
                check_levels(session, index, method % METHODS == 6)
            answered += 1
        except Broken:
            raise
        except Exception as error:  # noqa: BLE001 - judged against the documented errors
            expect_allowed_error(error, index, num_frames)
    # As in note_session: inputs whose frames decode count apart from those whose do not.
    for _ in range(answered):
        pass


def open_session(path: str):
    try:
        return vexmira.H264DecoderSession(path)
    except MemoryError:
        return None
    except RuntimeError as error:
        if not OPENING_ERRORS.fullmatch(str(error)):
            raise Broken(f"opening: RuntimeError: {error}") from error
        return None


class Target:
    def __init__(self, input_path: Path):
        self.input_path = str(input_path)

    def __call__(self, data: bytes) -> None:
        if len(data) <= PLAN_SIZE:
            return
        with open(self.input_path, "wb") as file:
            file.write(data[PLAN_SIZE:])
        session = open_session(self.input_path)
        if session is not None and session.num_frames > 0:
            note_session(session)
            request(session, data[:PLAN_SIZE], {})


def scratch_folder(workdir: Path) -> Path:
    shared_memory = Path("/dev/shm")
    return Path(tempfile.mkdtemp(dir=shared_memory if shared_memory.is_dir() else workdir))


HARNESS = [frame_number, expect_allowed_error, check_qp_map, check_plane, check_offsets, check_syntax, check_levels,
           check_copy, note_session, request, open_session, Target.__call__]


def fuzz(libfuzzer_arguments: list[str], workdir: Path) -> None:
    """Runs atheris in this process; libFuzzer ends the process when it is done."""
    for function in HARNESS:
        atheris.instrument_func(function)
    target = Target(scratch_folder(workdir) / "input")
    atheris.Setup([sys.argv[0], *libfuzzer_arguments], target)
    atheris.Fuzz()


def summary(log: str) -> list[str]:
    """libFuzzer's totals and whatever went wrong, without FFmpeg's complaints about the
    damaged inputs, which make up most of the log."""
    ffmpeg_line = re.compile(r"^\[[\w:.-]+ @ (0x)?[0-9a-f]+\] ")
    wanted = re.compile(r"^(#\d+\s+(INITED|DONE)|stat::|Done \d+ runs|INFO: seed corpus)")
    failing = re.compile(r"^(==\d+==|Traceback|\s+File |[A-Za-z.]*(Error|Broken)|SUMMARY|.*runtime error|"
                         r"MS: |artifact_prefix|Test unit written|Base64:|\s+#\d+ 0x)")
    return [line for line in log.splitlines()
            if not ffmpeg_line.match(line) and (wanted.match(line) or failing.match(line))]


def run_logged(libfuzzer_arguments: list[str], workdir: Path, log: Path) -> int:
    """Runs libFuzzer in a child process that writes to the log, then prints the summary."""
    crashes = workdir / "crashes"
    crashes.mkdir(parents=True, exist_ok=True)
    arguments = [*libfuzzer_arguments, "-timeout=60", "-rss_limit_mb=8192", "-max_len=65536",
                 "-print_final_stats=1", f"-artifact_prefix={crashes}{os.sep}"]
    with open(log, "w") as output:
        status = subprocess.run([sys.executable, __file__, "--workdir", str(workdir), "--libfuzzer", *arguments],
                                stdout=output, stderr=subprocess.STDOUT).returncode
    print("\n".join(summary(log.read_text(errors="replace"))))
    print(f"full log: {log}; inputs that broke a rule: {crashes} ({len(list(crashes.iterdir()))} files)")
    return status


def run_campaign(seconds: int, workdir: Path) -> int:
    seeds, corpus = workdir / "seeds", workdir / "corpus"
    make_seeds(seeds)
    corpus.mkdir(parents=True, exist_ok=True)
    # The seeds cover no more of this script than one another, and would be dropped otherwise.
    return run_logged([str(corpus), str(seeds), f"-max_total_time={seconds}", "-keep_seed=1"],
                      workdir, workdir / "fuzz.log")


def replay(workdir: Path) -> int:
    """Runs every input of the seed corpus and the kept corpus once, and fuzzes no further.
    The seeds are made anew, as the campaign makes them, so that a replay needs no campaign
    before it (CI runs none: there the seeds are all there is) and never runs the seeds of an
    older version of this script."""
    seeds, corpus = workdir / "seeds", workdir / "corpus"
    make_seeds(seeds)
    corpus.mkdir(parents=True, exist_ok=True)
    return run_logged([str(corpus), str(seeds), "-runs=0"], workdir, workdir / "replay.log")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, default=300)
    parser.add_argument("--workdir", type=Path, default=Path("build/fuzz"))
    parser.add_argument("--replay", action="store_true")
    parser.add_argument("--libfuzzer", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    parser.add_argument("inputs", nargs="*", type=Path)
    options = parser.parse_args()

    workdir = options.workdir.resolve()
    workdir.mkdir(parents=True, exist_ok=True)
    if options.libfuzzer is not None:
        fuzz(options.libfuzzer, workdir)
    elif options.inputs:
        fuzz(["-runs=1", *map(str, options.inputs)], workdir)
    elif options.replay:
        sys.exit(replay(workdir))
    else:
        sys.exit(run_campaign(options.seconds, workdir))


if __name__ == "__main__":
    main()
