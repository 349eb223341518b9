"""How each picture was predicted: its type, its key flag and its motion vectors, against
ffprobe, FFmpeg's own extract_mvs example and a clip whose motion is known."""

import random

import numpy as np
import pytest

import vexmira
from media import PAN_PIXELS_PER_FRAME
from oracle import PRINTED, example_vectors, ffprobe, presentation_timestamps


def shuffled(count: int, seed: int) -> list[int]:
    return random.Random(seed).sample(range(count), count)


def module_rows(vectors: np.ndarray) -> list[tuple[int, ...]]:
    return sorted(tuple(int(row[field]) for field in PRINTED) for row in vectors)


@pytest.mark.parametrize("clip", ["mp4", "ts", "mkv_long", "mp4_open_gop", "mp4_scene_cut"])
def test_picture_types_and_key_flags_match_ffprobe(media, clip):
    path = media(clip)
    frames = ffprobe(path, "-show_entries", "frame=pts,pict_type,key_frame")["frames"]
    expected = {int(frame["pts"]): (frame["pict_type"], bool(frame["key_frame"])) for frame in frames}
    timestamps = presentation_timestamps(path)
    session = vexmira.H264DecoderSession(str(path))
    assert session.num_frames == len(timestamps)

    got = {}
    for index in shuffled(session.num_frames, seed=len(clip)):
        got[timestamps[index]] = (session.get_frame_type(index), session.is_key_frame(index))
    assert got == expected
    assert {kind for kind, _ in got.values()} >= {"I", "P"}


@pytest.mark.parametrize("read_ahead", [None, 2])
def test_motion_vectors_match_ffmpeg_example(media, extract_mvs, read_ahead):
    """Shuffled, and in order on a session that reads two intervals ahead."""
    path = media("mp4_long")
    expected = example_vectors(extract_mvs, path)
    session = vexmira.H264DecoderSession(str(path), motion_vectors=True, read_ahead=read_ahead)

    order = shuffled(session.num_frames, seed=5) if read_ahead is None else range(session.num_frames)
    for index in order:
        vectors = session.get_motion_vectors(index)
        assert module_rows(vectors) == expected.get(index, []), f"frame {index}"
        # The header's relation between the fields the example does not print and the rest.
        assert (vectors["motion_scale"] > 0).all()
        assert (vectors["src_x"] == vectors["dst_x"] + np.trunc(vectors["motion_x"] / vectors["motion_scale"])).all()
        assert (vectors["src_y"] == vectors["dst_y"] + np.trunc(vectors["motion_y"] / vectors["motion_scale"])).all()
        if session.get_frame_type(index) == "I":
            assert len(vectors) == 0
    sources = {source for rows in expected.values() for source, *_ in rows}
    assert sources == {-1, 1}, "the clip has vectors from past and future references"


def test_vectors_of_a_pan_are_the_pan(media):
    session = vexmira.H264DecoderSession(str(media("mp4_pan")), motion_vectors=True)
    predicted = [index for index in range(session.num_frames) if session.get_frame_type(index) == "P"]
    assert len(predicted) == session.num_frames - 1
    for index in predicted:
        vectors = session.get_motion_vectors(index)
        assert len(vectors) > 0 and (vectors["source"] == -1).all()
        assert np.median(vectors["motion_x"] / vectors["motion_scale"]) == PAN_PIXELS_PER_FRAME, f"frame {index}"
        assert np.median(vectors["motion_y"]) == 0


def field_from_rows(vectors: np.ndarray, rows: int, columns: int) -> np.ndarray:
    """The dense field as the documentation describes it, block by block."""
    field = np.zeros((2, 2, rows, columns), np.int16)
    for vector in vectors.tolist():
        source, width, height, _, _, dst_x, dst_y, motion_x, motion_y, scale, _ = vector
        direction = 0 if source < 0 else 1
        quarter_x, quarter_y = motion_x * 4 // scale, motion_y * 4 // scale
        left, top = dst_x - width // 2, dst_y - height // 2
        for row in range(max(top // 4, 0), min((top + height - 1) // 4 + 1, rows)):
            for column in range(max(left // 4, 0), min((left + width - 1) // 4 + 1, columns)):
                field[direction, :, row, column] = (quarter_x, quarter_y)
    return field


@pytest.mark.parametrize("clip", ["mp4_long", "mp4_pan"])
def test_motion_field_holds_the_vectors_block_by_block(media, clip):
    session = vexmira.H264DecoderSession(str(media(clip)), motion_vectors=True)
    rows, columns = session.mb_rows * 4, session.mb_cols * 4
    moving = 0
    for index in shuffled(session.num_frames, seed=3):
        field = session.get_mv_field(index)
        assert field.dtype == np.int16 and field.shape == (2, 2, rows, columns)
        expected = field_from_rows(session.get_motion_vectors(index), rows, columns)
        np.testing.assert_array_equal(field, expected, err_msg=f"frame {index}")
        moving += bool(field.any())
    assert moving > 0


def test_motion_vectors_need_the_export(media):
    session = vexmira.H264DecoderSession(str(media("mp4")))
    for method in (session.get_motion_vectors, session.get_mv_field):
        with pytest.raises(RuntimeError, match=r"motion_vectors=True"):
            method(1)


@pytest.mark.parametrize("method", ["get_frame_type", "is_key_frame", "get_motion_vectors", "get_mv_field"])
@pytest.mark.parametrize("index", [-1, 36, 2**31 - 1])
def test_prediction_methods_refuse_frame_numbers_outside_the_file(media, method, index):
    session = vexmira.H264DecoderSession(str(media("mp4")), motion_vectors=True)
    with pytest.raises(IndexError, match=f"^Frame index out of bounds: {index} \\("):
        getattr(session, method)(index)
