"""FFmpeg's messages reach Python's logging, logger "vexmira.ffmpeg", each naming its file and
frame: an unconfigured program sees them on stderr in that form, never FFmpeg's raw lines;
what the decoder says of an open GOP's leading pictures, decoded only to be dropped, is debug."""

import logging
import random
import subprocess
import sys
import time

import pytest

import vexmira
from oracle import ffprobe
from tool_runs import tool_output

LOGGER = "vexmira.ffmpeg"


def tool_errors(path) -> set[str]:
    """What the ffmpeg tool's decoder says of the file, without its "[h264 @ 0x...]" prefix."""
    log = tool_output(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-threads", "1", "-i", str(path),
                       "-f", "null", "-"]).stderr
    return {line.split("] ", 1)[1] for line in log.splitlines() if line.startswith("[h264 @ ")}


def test_a_damaged_frame_logs_the_decoders_errors_with_file_and_frame(undecodable, caplog):
    path, u = undecodable
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    session = vexmira.H264DecoderSession(str(path), read_ahead=0)
    assert session.is_damaged(u)
    starts = session.key_frame_intervals().tolist() + [session.num_frames]
    interval = next(range(a, b) for a, b in zip(starts, starts[1:]) if a <= u < b)
    records = [r for r in caplog.records if r.name == LOGGER and r.levelno >= logging.WARNING]
    expected = tool_errors(path)
    assert expected and {r.getMessage().split("] ", 1)[-1].split(": ", 1)[-1] for r in records} <= expected
    assert {r.path for r in records} == {str(path)}
    # The frame the decoder makes nothing of and those predicted from it, or none (the
    # opening's scan).
    decoding = [r for r in records if r.frame is not None]
    assert u in {r.frame for r in decoding} and {r.frame for r in decoding} <= set(interval)
    assert all(r.getMessage().startswith(f"{path} frame {r.frame}: [h264] ") for r in decoding)


def test_an_unconfigured_program_sees_them_on_stderr_in_that_form(undecodable):
    path, u = undecodable
    child = subprocess.run([sys.executable, "-c", "import sys, vexmira\n"
                            "s = vexmira.H264DecoderSession(sys.argv[1])\n"
                            "s.get_qpmaps(undecodable='mark', threads=2)\n", str(path)],
                           capture_output=True, text=True, check=True)
    lines = child.stderr.splitlines()
    assert lines and all(line.startswith(f"{path}") for line in lines), child.stderr
    assert any(line.startswith(f"{path} frame {u}: [h264] ") for line in lines)


@pytest.mark.parametrize("clip", ["mp4_open_gop", "ts_open_gop"])
def test_leading_pictures_of_an_open_gop_are_debug(media, clip, caplog):
    caplog.set_level(logging.DEBUG, logger=LOGGER)
    session = vexmira.H264DecoderSession(str(media(clip)), read_ahead=0)
    order = random.Random(3).sample(range(session.num_frames), session.num_frames)
    for frame in order[:30]:
        session.get_qpmap(frame)
    session.get_qpmaps(order[30:40], threads=2)
    assert [r.getMessage() for r in caplog.records if r.levelno > logging.DEBUG] == []
    # The leading pictures, by the packets: after a key packet in the file, before it in
    # time; and the pictures decoded with them, before the key picture comes out (the
    # decoder's reorder delay: the next few packets).
    packets = ffprobe(media(clip), "-show_entries", "packet=pts_time,flags")["packets"]
    frame_of = {time: i for i, time in enumerate(sorted(float(p["pts_time"]) for p in packets))}
    leading, with_leading = set(), set()
    for k, packet in enumerate(packets):
        if "K" in packet["flags"] and k > 0:
            following = [frame_of[float(p["pts_time"])] for p in packets[k + 1:k + 5]]
            key = frame_of[float(packet["pts_time"])]
            leading |= {frame for frame in following if frame < key}
            with_leading |= set(following)
    # Searching an MPEG-TS file for a timestamp reads packets through FFmpeg's parser, which
    # may complain of parameter sets it has not seen: of the file, at debug level, of no frame.
    debug = {r.frame for r in caplog.records if r.name == LOGGER and r.frame is not None}
    assert debug & leading, "the decoder said something of the leading pictures"
    assert debug <= with_leading


def test_a_files_messages_are_logged_by_calls_on_that_file_only(undecodable, media, caplog):
    """What the read-ahead's decoders say of a damaged frame waits for the next call on that
    file; calls on another file, in whatever thread, never log it as theirs."""
    path, u = undecodable
    caplog.set_level(logging.WARNING, logger=LOGGER)
    damaged = vexmira.H264DecoderSession(str(path), read_ahead=2)
    other = vexmira.H264DecoderSession(str(media("mp4_long")), read_ahead=0)
    starts = damaged.key_frame_intervals().tolist()
    damaged_interval = max(start for start in starts if start <= u)
    # A forward loop through the interval before, far enough from its end that the caller's
    # own decoder never reaches a packet of the damaged one, and just long enough (nine
    # requests) to start the read-ahead. That may reach the damaged frame while the loop
    # still runs, or only during the calls on the other file; either way those log nothing.
    before = max(start for start in starts if start < damaged_interval)
    loop = range(before + 8, before + 17)
    assert loop[-1] < damaged_interval - 4
    for frame in loop:
        damaged.get_qpmap(frame)
    logged_before = len(caplog.records)
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        other.get_qpmap(0)
        time.sleep(0.05)
    assert [r.getMessage() for r in caplog.records[logged_before:]] == []
    # On a loaded machine the read-ahead may reach the damaged frame only later: each call
    # on the file logs what its decoders said by then.
    deadline = time.monotonic() + 60
    while True:
        damaged.get_qpmap(loop[-1])
        if u in {r.frame for r in caplog.records if r.path == str(path)} or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    assert u in {r.frame for r in caplog.records if r.path == str(path)}
