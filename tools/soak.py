"""Leak check: opens and drops 1,000 sessions, then makes 20,000 frame calls on one session,
and prints the process's resident memory and open file descriptors before and after each.
Both stay flat when nothing leaks; the script exits non-zero when either grows past its
allowance.

Usage: soak.py [--sessions N] [--calls N]
"""

import argparse
import gc
import os
import random
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

import vexmira

# Longer than the frame cache, with several key-frame intervals, so that calls seek, decode
# forward and hit the cache.
CLIP = ["-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25,trim=end_frame=150", "-c:v", "libx264",
        "-preset", "veryfast", "-bf", "3", "-g", "24", "-pix_fmt", "yuv420p"]
# Allocators keep freed memory for reuse and grow in steps; growth below this is noise.
RSS_ALLOWANCE_KIB = 4096
WARM_UP = 50


def resident_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def measure() -> tuple[int, int]:
    gc.collect()
    return resident_kib(), open_descriptors()


def open_and_drop(path: str, count: int) -> None:
    for _ in range(count):
        session = vexmira.H264DecoderSession(path)
        session.get_qpmap(session.num_frames // 2)
        del session


def frame_calls(session, count: int, seed: int) -> None:
    rng = random.Random(seed)
    buffer = np.empty((session.height, session.width), np.uint8)
    for call in range(count):
        index = rng.randrange(session.num_frames)
        kind = call % 4
        if kind == 0:
            session.get_qpmap(index)
        elif kind == 1:
            session.get_plane_data(index, call % 3)
        elif kind == 2:
            session.get_chroma_qp_offset(index)
        else:
            session.copy_plane_to_ptr(index, 0, buffer.ctypes.data, buffer.strides[0])


def report(name: str, before: tuple[int, int], after: tuple[int, int], per: int, unit: str) -> bool:
    rss_growth, fd_growth = after[0] - before[0], after[1] - before[1]
    flat = rss_growth <= RSS_ALLOWANCE_KIB and fd_growth <= 0
    print(f"{name}:")
    print(f"  RSS  {before[0]:8d} KiB -> {after[0]:8d} KiB  ({rss_growth:+d} KiB, "
          f"{rss_growth * 1024 / per:+.1f} bytes per {unit})")
    print(f"  fds  {before[1]:8d}     -> {after[1]:8d}      ({fd_growth:+d})")
    print(f"  {'flat' if flat else 'GROWING'}")
    return flat


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sessions", type=int, default=1000)
    parser.add_argument("--calls", type=int, default=20000)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        path = str(Path(folder) / "soak.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *CLIP, path], check=True)

        # The first sessions and calls settle the libraries' one-time allocations.
        open_and_drop(path, WARM_UP)
        before = measure()
        open_and_drop(path, options.sessions)
        sessions_flat = report(f"open and drop {options.sessions} sessions", before, measure(),
                               options.sessions, "session")

        session = vexmira.H264DecoderSession(path)
        frame_calls(session, WARM_UP * 10, seed=1)
        before = measure()
        frame_calls(session, options.calls, seed=2)
        calls_flat = report(f"{options.calls} frame calls on one session", before, measure(), options.calls, "call")
    sys.exit(0 if sessions_flat and calls_flat else 1)


if __name__ == "__main__":
    main()
