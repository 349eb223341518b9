"""QP maps and macroblock types taken from the parse instead of decoding: equal to the
decoder's wherever the parse reads the whole picture, and decoded where it cannot."""

import random

import numpy as np
import pytest

import vexmira
from media import CASES, SYNTAX_RECIPES

MbType = vexmira.MbType
# With pictures cropped at the left and top and MBAFF frames of 240 lines, whose coded
# macroblocks and the maps' cells are not one to one.
CLIPS = [*(name for name in SYNTAX_RECIPES if not name.endswith("_truncated")), "h264_field_pictures",
         "h264_crop_left_top", "mp4_crop_top_8", "mp4_mbaff_320x240"]
# Slices cut short, bits flipped, bytes overwritten: pictures the decoder conceals.
DAMAGED = ["h264_cavlc_truncated", "h264_cabac_truncated", "h264_flipped_slice_bits_7", "mp4_damaged_slices_1"]


def decoded_maps(path):
    with vexmira.H264DecoderSession(path, mb_types=True) as session:
        return session.get_qpmaps(threads=1), session.get_mbtype_maps(threads=1)


def shuffled(session, seed):
    frames = list(range(session.num_frames))
    random.Random(seed).shuffle(frames)
    return frames


@pytest.mark.parametrize("clip", CLIPS)
def test_the_parse_gives_the_decoders_maps_of_every_frame(media, clip):
    qps, types = decoded_maps(media(clip))
    with vexmira.H264DecoderSession(media(clip)) as plain, \
            vexmira.H264DecoderSession(media(clip), mb_types=True) as typed:
        for frame in shuffled(plain, clip):
            assert (plain.get_qpmap(frame, source="parse") == qps[frame]).all(), frame
            assert (plain.get_qpmap(frame, source="auto") == qps[frame]).all(), frame
            parsed = plain.get_mbtype_map(frame)
            direct = np.isin(parsed["type"], [MbType.DIRECT, MbType.DIRECT_SKIP])
            assert (parsed["type"] == types[frame]["type"]).all(), frame
            assert (parsed["interlaced"] == types[frame]["interlaced"]).all(), frame
            assert (parsed["partition"][~direct] == types[frame]["partition"][~direct]).all(), frame
            assert (parsed["partition"][direct] == vexmira.Partition.UNKNOWN).all(), frame
            assert (typed.get_mbtype_map(frame, source="auto") == types[frame]).all(), frame


@pytest.mark.parametrize("clip", DAMAGED)
def test_where_the_parse_falls_short_auto_gives_the_decoders_answer(media, tmp_path, clip):
    path = CASES[clip].make(media, tmp_path) if clip in CASES else media(clip)
    qps, types = decoded_maps(path)
    short = 0
    with vexmira.H264DecoderSession(path, mb_types=True) as session:
        for frame in shuffled(session, clip):
            parsed = session.get_qpmap(frame, source="parse")
            # A macroblock the parse reads has the decoder's QP, unless the decoder gave up
            # on the whole picture.
            read = parsed >= 0
            assert (parsed[read] == qps[frame][read]).all() or (qps[frame] == -1).all(), frame
            short += int(not read.all())
            assert (session.get_qpmap(frame, source="auto") == qps[frame]).all(), frame
            assert (session.get_mbtype_map(frame, source="auto") == types[frame]).all(), frame
    assert short > 0


def test_a_source_other_than_the_three_and_types_decoded_without_capture_are_refused(media):
    with vexmira.H264DecoderSession(media("mp4_cabac")) as session:
        with pytest.raises(ValueError, match='source must be "decode", "parse" or "auto"'):
            session.get_qpmap(0, source="guess")
        for source in ("decode", "auto"):
            with pytest.raises(RuntimeError, match="mb_types=True"):
                session.get_mbtype_map(0, source=source)


@pytest.mark.parametrize("clip", ["mpg_mpeg2"])
def test_other_codecs_are_decoded_where_auto_is_asked_for(media, clip):
    with vexmira.H264DecoderSession(media(clip)) as session:
        for frame in (0, session.num_frames // 2):
            assert (session.get_qpmap(frame, source="parse") == -1).all()
            assert (session.get_qpmap(frame, source="auto") == session.get_qpmap(frame)).all()
