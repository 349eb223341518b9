"""Every macroblock's syntax read from the packets against the decoder that decodes them:
the types the ffmpeg tool's own log prints (through a session with mb_types=True), the QP
map it exports, and the encoder's first-pass statistics; then damaged slices."""

import random

import numpy as np
import pytest

import vexmira
from conftest import SYNTAX_RECIPES

MbType = vexmira.MbType
DIRECT = [MbType.DIRECT, MbType.DIRECT_SKIP]
CLIPS = [*SYNTAX_RECIPES, "h264_raw_baseline"]
SLICES = {"mp4_cavlc_slices": 4, "mp4_cabac_slices": 4}


@pytest.fixture(scope="module")
def decoded(media):
    """Each clip's macroblock types and QP maps of every frame, from decoding it."""
    made = {}

    def of(clip):
        if clip not in made:
            with vexmira.H264DecoderSession(media(clip), mb_types=True) as session:
                made[clip] = session.get_mbtype_maps(threads=1), session.get_qpmaps(threads=1)
        return made[clip]
    return of


@pytest.mark.parametrize("clip", CLIPS)
def test_every_frame_in_random_order_parses_as_the_decoder_decodes(media, decoded, clip):
    types, qps = decoded(clip)
    with vexmira.H264DecoderSession(media(clip)) as session:
        frames = list(range(session.num_frames))
        random.Random(clip).shuffle(frames)
        for frame in frames:
            syntax = session.get_mb_syntax(frame)
            expected = types[frame]
            # A slice that drifts by a bit fails to end at its trailing bits or leaves
            # macroblocks of the picture unread.
            assert syntax["parsed"].all(), frame
            assert (syntax["type"] == expected["type"]).all(), frame
            assert (syntax["interlaced"] == expected["interlaced"]).all(), frame
            # Direct prediction's partition follows the co-located picture, not the syntax.
            shown = ~np.isin(expected["type"], DIRECT)
            assert (syntax["partition"][shown] == expected["partition"][shown]).all(), frame
            assert (syntax["qp"] == qps[frame]).all(), frame
            assert len(np.unique(syntax["slice"])) == SLICES.get(clip, 1), frame
