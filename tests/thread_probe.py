"""Run as a child process by the thread tests, through probe(): threads that ask one file for
frames, either sharing one session or with a session each, check every answer against the
ffmpeg tool's, and print the problems they found as a JSON list. A crash or a hang ends only
this process, and probe() fails the test that started it with the child's output.

Usage: thread_probe.py VIDEO EXPECTED shared|own|ahead THREADS REQUESTS SEED
EXPECTED is a pickle of (pictures, qp_maps, offsets): for each frame its three planes packed
one after the other, its QP map as nested lists, and the PPS's chroma offsets. Thread n asks
for REQUESTS frames chosen by the seed SEED + n: random ones and a run of consecutive ones.
"ahead" shares one session that reads two intervals ahead, and its thread 0 asks for every
frame in order instead, as a simple loop does.
"""

import json
import os
import pickle
import random
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import vexmira
from oracle import packed_picture, plane_sizes

# Sanitizer builds run several times slower; make sanitize stretches the limit.
TIMEOUT = 120 * float(os.environ.get("VEXMIRA_TIMEOUT_SCALE", "1"))


def requests(seed: int, num_frames: int, count: int) -> list[int]:
    rng = random.Random(seed)
    run = min(10, count)
    start = rng.randrange(num_frames - run)
    frames = rng.sample(range(num_frames), count - run) + list(range(start, start + run))
    rng.shuffle(frames)
    return frames


def copied_luma(session, index: int) -> bytes:
    columns, rows = plane_sizes(session.width, session.height, session.pix_fmt)[0]
    buffer = np.zeros((rows, columns), np.uint8)
    session.copy_plane_to_ptr(index, 0, buffer.ctypes.data, columns)
    return buffer.tobytes()


def frame_problems(session, index: int, expected) -> list[str]:
    pictures, qp_maps, offsets = expected
    problems = []
    if packed_picture(session, index) != pictures[index]:
        problems.append(f"frame {index}: picture")
    if copied_luma(session, index) != pictures[index][:session.width * session.height]:
        problems.append(f"frame {index}: copied luma")
    if session.get_qpmap(index).tolist() != qp_maps[index]:
        problems.append(f"frame {index}: QP map")
    if session.get_chroma_qp_offset(index) != offsets:
        problems.append(f"frame {index}: chroma offsets")
    return problems


def run_threads(count: int, work) -> list[str]:
    """Starts the threads together and gathers their problems, exceptions included."""
    problems: list[str] = []
    barrier = threading.Barrier(count)

    def thread_main(number):
        barrier.wait()
        try:
            problems.extend(work(number))
        except Exception as error:  # noqa: BLE001 - reported as a problem of that thread
            problems.append(f"thread {number}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=thread_main, args=(number,)) for number in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return problems


def main(path: str, expected_file: str, sharing: str, threads: str, count: str, seed: str) -> None:
    with open(expected_file, "rb") as file:
        expected = pickle.load(file)
    options = {"read_ahead": 2} if sharing == "ahead" else {}
    shared = vexmira.H264DecoderSession(path, **options) if sharing != "own" else None

    def work(number):
        session = shared or vexmira.H264DecoderSession(path)
        frames = (range(session.num_frames) if sharing == "ahead" and number == 0
                  else requests(int(seed) + number, session.num_frames, int(count)))
        return [problem for index in frames for problem in frame_problems(session, index, expected)]

    print(json.dumps(run_threads(int(threads), work)))


def probe(path: Path, expected, folder: Path, sharing: str, threads: int, count: int, seed: int) -> list[str]:
    """The child's problems; fails the test with the child's output if it crashed or hung."""
    __tracebackhide__ = True  # the expected pictures would fill the report
    expected_file = folder / "expected.pickle"
    expected_file.write_bytes(pickle.dumps(expected))
    command = [sys.executable, "-X", "faulthandler", __file__, str(path), str(expected_file), sharing,
               str(threads), str(count), str(seed)]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIMEOUT:.0f} s: the threads hang on {path.name}")
    if result.returncode != 0:
        pytest.fail(f"the child process ended with status {result.returncode}:\n{result.stderr[-3000:]}")
    return json.loads(result.stdout)


if __name__ == "__main__":
    main(*sys.argv[1:])
