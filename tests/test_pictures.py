"""Frame i is the same picture whichever way it is reached, and equals the ffmpeg tool's
own decode of frame i with deblocking skipped; a frame that cannot be produced raises."""

import random
from pathlib import Path

import pytest

import vexmira
from conftest import PICTURE_CLIPS, UNTIMED_CLIPS, expected_frames, packed_picture

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


def drop_first_video_access_unit(source: Path, target: Path) -> None:
    """Rewrites the MPEG-TS packets of the first video PES (the IDR picture with its
    parameter sets) to the null PID, so the pictures that depend on it cannot be decoded."""
    data = bytearray(source.read_bytes())
    video_pid, starts = None, 0
    for offset in range(0, len(data), 188):
        header = data[offset:offset + 4]
        pid = ((header[1] & 0x1F) << 8) | header[2]
        unit_start = header[1] & 0x40
        payload = offset + 4 + (1 + data[offset + 4] if header[3] & 0x20 else 0)
        if video_pid is None and unit_start and data[payload:payload + 4] == b"\x00\x00\x01\xe0":
            video_pid = pid
        if video_pid is not None and pid == video_pid:
            starts += 1 if unit_start else 0
            if starts == 2:
                break
            data[offset + 1] = (data[offset + 1] & 0xE0) | 0x1F
            data[offset + 2] = 0xFF
    target.write_bytes(bytes(data))


def test_frames_that_cannot_be_decoded_raise(media, tmp_path):
    path = tmp_path / "without_first_idr.ts"
    drop_first_video_access_unit(media("ts_long"), path)
    expected = expected_frames(path, "yuv420p")
    undecodable = [i for i, frame in enumerate(expected) if frame is None]
    assert undecodable and len(undecodable) < len(expected)

    session = vexmira.H264DecoderSession(str(path))
    for i in [undecodable[0], len(expected) - 1, undecodable[-1], undecodable[len(undecodable) // 2]]:
        if expected[i] is None:
            with pytest.raises(RuntimeError, match=f"^Failed to decode frame {i}$"):
                session.get_qpmap(i)
        else:
            assert packed_picture(session, i) == expected[i]
