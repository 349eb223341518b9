"""Frame i is the same picture whichever way it is reached, and equals the ffmpeg tool's
own decode of frame i with deblocking skipped; a frame that cannot be produced raises."""

import math
import random
from pathlib import Path

import pytest

import vexmira
from damage import refer_to_missing_parameter_set
from media import PICTURE_CLIPS, UNTIMED_CLIPS
from oracle import expected_frames, packed_picture, reference_qp_maps

ORDERS = {
    "sequential": lambda n: list(range(n)),
    "reverse": lambda n: list(range(n))[::-1],
    "random": lambda n: random.Random(7).sample(range(n), n),
}


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("clip", PICTURE_CLIPS + UNTIMED_CLIPS)
def test_every_frame_equals_the_reference_decode(media, reference_pictures, clip, order):
    expected = reference_pictures(clip)
    session = vexmira.H264DecoderSession(str(media(clip)))
    assert session.num_frames == len(expected)
    assert all(frame is not None for frame in expected), "the reference decodes every frame"
    mismatches = [i for i in ORDERS[order](session.num_frames) if packed_picture(session, i) != expected[i]]
    assert mismatches == []


@pytest.mark.parametrize("clip", ["mp4_long", "mkv_long", "ts_long", "mp4_open_gop", "mkv_open_gop", "ts_open_gop",
                                  "ts_long_gop", "h264_raw_open_gop", "h264_raw_idr_periods", "avi", "mpg"])
def test_each_frame_from_a_fresh_session(media, reference_pictures, clip):
    # Nothing cached and nothing decoded before: every request seeks from scratch, so the
    # last frames, an open GOP's leading pictures and MPEG-TS's seeking are all on their own.
    expected = reference_pictures(clip)
    path = str(media(clip))
    mismatches = [i for i in range(len(expected))
                  if packed_picture(vexmira.H264DecoderSession(path), i) != expected[i]]
    assert mismatches == []


def jumps_then_scrub(n):
    """Every frame by a request far from the one before, forwards and backwards, which skips
    the pictures nothing references well before it; then a scrub, which finds them cached."""
    stride = 37
    assert math.gcd(stride, n) == 1
    scrub = list(range(n // 2 - 1, n // 2 - 9, -1)) + list(range(n // 2 - 8, n // 2 + 9))
    return [(i * stride) % n for i in range(n)] + scrub


@pytest.mark.parametrize("clip", ["mp4_long_gop", "ts_long_gop", "mp4_open_gop", "mkv_long"])
def test_frames_reached_past_skipped_pictures_equal_the_reference(media, reference_pictures, clip):
    # QP maps and pictures each in a session of their own: a request for the pixels of a
    # frame whose QP map alone was asked for decodes it once more, and from close by.
    expected = reference_pictures(clip)
    path = media(clip)
    session = vexmira.H264DecoderSession(str(path))
    expected_maps = reference_qp_maps(path, session.mb_rows, session.mb_cols)
    order = jumps_then_scrub(session.num_frames)
    assert [i for i in order if session.get_qpmap(i).tolist() != expected_maps[i]] == []
    session = vexmira.H264DecoderSession(str(path))
    assert [i for i in order if packed_picture(session, i) != expected[i]] == []


def test_frames_that_cannot_be_decoded_raise(media, tmp_path):
    # A picture in the middle that the decoder cannot make keeps its frame, by its timestamp,
    # and raises; the pictures predicted from it are concealed.
    path = tmp_path / "missing_pps.mp4"
    refer_to_missing_parameter_set(media("mp4_long"), path, 30)
    expected = expected_frames(path, "yuv420p")
    undecodable = [i for i, frame in enumerate(expected) if frame is None]
    assert len(undecodable) == 1

    session = vexmira.H264DecoderSession(str(path))
    assert session.num_frames == len(expected) == 100
    for i in [undecodable[0], len(expected) - 1, undecodable[0] - 1, undecodable[0] + 1]:
        if expected[i] is None:
            with pytest.raises(RuntimeError, match=f"^Failed to decode frame {i}$"):
                session.get_qpmap(i)
        else:
            assert packed_picture(session, i) == expected[i]
