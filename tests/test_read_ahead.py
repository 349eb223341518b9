"""Read-ahead: while requests move forward, a session decodes the key-frame intervals after
the caller's on decoders of its own. Every answer is the ffmpeg tool's for its frame (its
decode without deblocking, its QP debug output, the PPS), in every order of requests and
whatever the number of decoders, and the decoders' threads end with the session."""

import hashlib
import json
import os
import subprocess
import sys
import time

import pytest

import vexmira
from media import QP_REFERENCE_CLIPS
from oracle import expected_frames, packed_picture, pps_chroma_offsets, reference_qp_maps

# Several key-frame intervals each: closed and open GOPs, three containers and raw streams
# whose frames are numbered from the bitstream, IDR periods of different lengths.
CLIPS = ["mp4_long", "ts_open_gop", "mp4_qp_busy", "mkv_long", "h264_raw_open_gop", "h264_raw_idr_periods"]


def every_frame(n):
    return [(i, "both") for i in range(n)]


# Requests as (frame, what): "qp" asks for the QP map and offsets, "picture" for the planes,
# "both" for the one and then the other, as a loop that reads both does.
ORDERS = {
    "every frame": every_frame,
    "QP maps, then pictures from the middle on": lambda n: [(i, "qp") for i in range(n // 2)]
    + [(i, "picture") for i in range(n // 2, n)],
    "every third frame": lambda n: [(i, "both") for i in range(0, n, 3)],
    "forward, back a long way, forward": lambda n: every_frame(n)[:2 * n // 3] + every_frame(n)[n // 5:],
    "forward, then far ahead": lambda n: every_frame(n)[:n // 3] + every_frame(n)[n - 12:],
}


@pytest.fixture(scope="module")
def reference(media, reference_pictures):
    """Pictures, PPS chroma offsets and, for the clips whose every map the ffmpeg tool's QP
    debug output gives, QP maps (None for the others)."""
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            session = vexmira.H264DecoderSession(str(path), read_ahead=0)
            qp_maps = reference_qp_maps(path, session.mb_rows, session.mb_cols) if clip in QP_REFERENCE_CLIPS else None
            made[clip] = (reference_pictures(clip), qp_maps, pps_chroma_offsets(path))
        return made[clip]
    return of


def wrong_answers(session, requests, expected) -> list[str]:
    pictures, qp_maps, offsets = expected
    wrong = []
    for frame, what in requests:
        if what != "picture":
            if qp_maps is not None and session.get_qpmap(frame).tolist() != qp_maps[frame]:
                wrong.append(f"frame {frame}: QP map")
            if session.get_chroma_qp_offset(frame) != offsets:
                wrong.append(f"frame {frame}: chroma offsets")
        if what != "qp" and packed_picture(session, frame) != pictures[frame]:
            wrong.append(f"frame {frame}: picture")
    return wrong


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("read_ahead", [1, 3])
@pytest.mark.parametrize("clip", CLIPS)
def test_read_ahead_gives_the_reference_answers(media, reference, clip, read_ahead, order):
    session = vexmira.H264DecoderSession(str(media(clip)), read_ahead=read_ahead)
    assert wrong_answers(session, ORDERS[order](session.num_frames), reference(clip)) == []


@pytest.mark.parametrize("mode", ["exact", "on"])
def test_read_ahead_of_other_deblocking_modes_reads_the_same_qp_maps(media, reference, mode):
    """Decoders that run ahead over whole intervals cannot give "exact" pictures; QP maps
    and offsets are the same in every mode, and read ahead all the same."""
    session = vexmira.H264DecoderSession(str(media("mp4_long")), deblocking=mode, read_ahead=2)
    requests = [(i, "qp") for i in range(session.num_frames)]
    assert wrong_answers(session, requests, reference("mp4_long")) == []


@pytest.mark.parametrize("value", [-1, -5])
def test_negative_read_ahead_is_refused(media, value):
    with pytest.raises(ValueError, match=f"^read_ahead must be None or a count of decoders, not {value}$"):
        vexmira.H264DecoderSession(str(media("mp4")), read_ahead=value)


# The process's threads before opening, while a forward loop reads ahead, and once the
# session is gone: in a fresh interpreter, so that the count is the session's own. NumPy,
# whose arrays the session returns, starts threads of its own when it is first imported.
THREADS = """
import gc, json, os, sys, time
import numpy
import vexmira

def threads():
    return len(os.listdir("/proc/self/task"))

def settled():
    # A thread just joined may stay listed a moment on a loaded machine; one left running stays.
    count, steady, waited = threads(), 0, 0
    while steady < 5 and waited < 200:
        time.sleep(0.01)
        now = threads()
        steady, count, waited = (steady + 1 if now == count else 0), now, waited + 1
    return count

before = threads()
session = vexmira.H264DecoderSession(sys.argv[1], read_ahead=int(sys.argv[2]))
for i in range(int(sys.argv[3])):
    session.get_qpmap(i)
during = threads()
del session
gc.collect()
print(json.dumps([before, during, settled()]))
"""


@pytest.mark.parametrize("ending", ["del session", "session.close()"])
@pytest.mark.parametrize("frames", [30, 100])
def test_read_ahead_threads_end_with_the_session(media, frames, ending):
    """Dropped or closed in the middle of the file, while decoders are still at work or wait
    for room, and at its end."""
    script = THREADS.replace("del session", ending)
    result = subprocess.run([sys.executable, "-c", script, str(media("mp4_long")), "2", str(frames)],
                            check=True, capture_output=True, text=True, timeout=120)
    before, during, after = json.loads(result.stdout)
    assert during == before + 3
    assert after == before


def test_read_ahead_off_starts_no_thread(media):
    result = subprocess.run([sys.executable, "-c", THREADS, str(media("mp4_long")), "0", "100"],
                            check=True, capture_output=True, text=True, timeout=120)
    before, during, after = json.loads(result.stdout)
    assert before == during == after


@pytest.mark.parametrize("change", ["deleted", "another file put in its place"])
def test_read_ahead_reads_the_file_the_session_opened(media, reference, tmp_path, change):
    """The decoders that run ahead open the file again by its path; where that path no longer
    leads to the file the session opened, the session's own decoder, which still holds it,
    reads every frame."""
    path = tmp_path / "clip.mp4"
    path.write_bytes(media("mp4_long").read_bytes())
    session = vexmira.H264DecoderSession(path, read_ahead=2)
    if change == "deleted":
        path.unlink()
    else:
        replaced = tmp_path / "replacement.mp4"
        replaced.write_bytes(media("mp4_qp_busy").read_bytes())
        os.replace(replaced, path)
    requests = [(i, "both") for i in range(session.num_frames)]
    assert wrong_answers(session, requests, reference("mp4_long")) == []


# Frames the interval the caller is in may deliver beyond its last request whatever the
# budget, as docs/api.md promises.
REACH = 32


def picture_bytes_at_most(session) -> int:
    """What one snapshot with pixels holds at most, from the picture's size alone: 4:2:0
    planes whose rows FFmpeg pads to at most 128 bytes (64 for chroma), the QP map, and the
    record."""
    def padded(size, to):
        return -(-size // to) * to
    chroma = padded((session.width + 1) // 2, 64) * ((session.height + 1) // 2)
    return padded(session.width, 128) * session.height + 2 * chroma + session.mb_cols * session.mb_rows + 4096


def settled_bytes_held(session) -> int:
    """The bytes the read-ahead holds once they hold still for 300 ms (at most 10 s): its
    decoder has gone as far as the budget lets it."""
    held, steady, deadline = session._read_ahead_diagnostics()["bytes_held"], 0, time.monotonic() + 10
    while steady < 30 and time.monotonic() < deadline:
        time.sleep(0.01)
        now = session._read_ahead_diagnostics()["bytes_held"]
        steady, held = (steady + 1 if now == held else 0), now
    return held


def test_a_small_budget_bounds_what_read_ahead_holds(media, monkeypatch):
    """A budget of three 1080p pictures, set for tests through VEXMIRA_READ_AHEAD_BUDGET, and
    a forward loop over two intervals of 48 frames that pauses 16 frames before the second
    and at its first: within the budget while the caller's own decoder reads the first, up to
    REACH pictures more in the interval the caller is in, and every picture the ffmpeg tool's."""
    path = media("mp4_1080p")
    expected = [hashlib.md5(picture).digest() for picture in expected_frames(path, "yuv420p")]
    picture = picture_bytes_at_most(vexmira.H264DecoderSession(str(path), read_ahead=0))
    budget = 3 * picture
    monkeypatch.setenv("VEXMIRA_READ_AHEAD_BUDGET", str(budget))
    session = vexmira.H264DecoderSession(str(path), read_ahead=1)
    assert session.key_frame_intervals().tolist() == [0, 48]
    wrong, held = [], {}
    for frame in range(session.num_frames):
        if hashlib.md5(packed_picture(session, frame)).digest() != expected[frame]:
            wrong.append(frame)
        if frame in (32, 48):
            held[frame] = settled_bytes_held(session)
    diagnostics = session._read_ahead_diagnostics()
    assert wrong == []
    assert diagnostics["byte_budget"] == budget
    assert diagnostics["frames_taken"] == 48
    assert budget / 2 < held[32] <= budget
    assert held[48] <= budget + REACH * picture
    assert budget + REACH * picture / 2 < held[48] <= diagnostics["peak_bytes_held"] <= budget + (REACH + 1) * picture


def test_a_read_ahead_budget_that_is_no_count_of_bytes_is_refused(media, monkeypatch):
    monkeypatch.setenv("VEXMIRA_READ_AHEAD_BUDGET", "64M")
    with pytest.raises(ValueError, match="^VEXMIRA_READ_AHEAD_BUDGET must be a count of bytes, not 64M$"):
        vexmira.H264DecoderSession(str(media("mp4")))
