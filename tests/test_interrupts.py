"""Ctrl-C during a batch method: KeyboardInterrupt long before the batch would have ended,
its worker threads gone, and the session still giving right answers."""

import os
import signal
import threading
import time
from pathlib import Path

import pytest

import vexmira
from oracle import reference_qp_maps

BATCHES = {
    "frame_stats": lambda s: s.frame_stats(threads=1),
    "get_qpmaps": lambda s: s.get_qpmaps(threads=2),
    "syntax_stats": lambda s: s.syntax_stats(threads=1),
}


@pytest.fixture(scope="module")
def long_clip(media) -> Path:
    """A clip whose full batch takes a second or more here, all P frames after the first."""
    return media("mp4_1080p_one_interval")


@pytest.fixture(scope="module")
def long_clip_maps(long_clip) -> list:
    """The tool's QP maps of the first and the last frame."""
    maps = reference_qp_maps(long_clip, 68, 120)
    return [maps[0], maps[299]]


def native_threads() -> int:
    return len(os.listdir("/proc/self/task"))


def settled_threads() -> int:
    """The thread count once it holds still for 50 ms (at most 2 s): a thread just joined may
    stay listed a moment on a loaded machine."""
    count, steady, deadline = native_threads(), 0, time.monotonic() + 2
    while steady < 5 and time.monotonic() < deadline:
        time.sleep(0.01)
        now = native_threads()
        steady, count = (steady + 1 if now == count else 0), now
    return count


def interrupted_after(call, delay: float) -> float:
    """Sends this process SIGINT `delay` seconds into `call`; the seconds until it raised."""
    def interrupt():
        time.sleep(delay)
        os.kill(os.getpid(), signal.SIGINT)
    sender = threading.Thread(target=interrupt)
    start = time.monotonic()
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        sender.join()
    return time.monotonic() - start


@pytest.mark.parametrize("method", BATCHES)
def test_ctrl_c_ends_a_batch_early_and_the_session_goes_on(long_clip, long_clip_maps, method):
    session = vexmira.H264DecoderSession(str(long_clip), read_ahead=0)
    start = time.monotonic()
    BATCHES[method](session)
    whole = time.monotonic() - start
    assert whole > 0.5, "the clip is long enough to interrupt"
    # Counted after a whole batch: a thread that a first call starts for good (the sanitizer
    # runtime's, say) is not one the interruption left behind; nor is one of its own that is
    # still on its way out.
    before = settled_threads()
    elapsed = interrupted_after(lambda: BATCHES[method](session), 0.1)
    assert elapsed < whole / 2
    # A joined thread's task may linger in /proc for a moment on a loaded machine: one the
    # interruption left behind stays.
    deadline = time.monotonic() + 5
    while native_threads() != before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert native_threads() == before
    assert session.get_qpmaps([0, 299], threads=2).tolist() == long_clip_maps
