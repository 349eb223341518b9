"""Pictures rebuilt from their syntax: every intra frame's prediction plus its residual,
clipped, against the decoder's own picture before its loop filter (deblocking="exact"); the
motion field against the decoder's vectors; each frame alone and in batches."""

import random

import numpy as np
import pytest

import vexmira
from media import RECONSTRUCT_RECIPES

MbType = vexmira.MbType
Partition = vexmira.Partition

INTRA_CLIPS = [name for name in RECONSTRUCT_RECIPES if "_intra_" in name]


def first_difference(rebuilt, expected, plane, chroma_shift):
    """Where the two differ first, as the macroblock (column, row) that holds it."""
    y, x = (int(v) for v in np.argwhere(rebuilt != expected)[0])
    step_x, step_y = (16, 16) if plane == 0 else (16 >> chroma_shift[0], 16 >> chroma_shift[1])
    return f"plane {plane} sample ({x}, {y}), macroblock ({x // step_x}, {y // step_y})"


def residuals_of(session, frames, access):
    """Each frame's three residual planes, one call a frame or from one batch on two readers."""
    if access == "batch":
        stacked = session.get_residuals(frames, threads=2)
        return [tuple(plane[position] for plane in stacked) for position in range(len(frames))]
    return [session.get_residual(frame) for frame in frames]


@pytest.mark.parametrize("access", ["single", "batch"])
@pytest.mark.parametrize("clip", INTRA_CLIPS)
def test_prediction_plus_residual_is_the_picture_before_the_loop_filter(media, clip, access):
    with (vexmira.H264DecoderSession(media(clip), deblocking="exact") as decoded,
          vexmira.H264DecoderSession(media(clip)) as session):
        frames = list(range(session.num_frames))
        random.Random(clip).shuffle(frames)
        bit_depth = 10 if "10bit" in clip else 8
        planes = 1 if "gray" in clip else 3
        chroma_shift = (0, 0) if "444" in clip else (1, 0) if "422" in clip else (1, 1)
        for frame, residual in zip(frames, residuals_of(session, frames, access)):
            prediction = session.get_prediction(frame)
            for plane in range(planes):
                expected = decoded.get_plane_data(frame, plane)
                rows, columns = prediction[plane].shape
                assert expected.shape[0] == rows and residual[plane].shape == (rows, columns)
                rebuilt = np.clip(prediction[plane].astype(np.int32) + residual[plane], 0, (1 << bit_depth) - 1)
                expected = expected[:, :columns].astype(np.int32)
                assert (rebuilt == expected).all(), (frame, first_difference(rebuilt, expected, plane, chroma_shift))


def test_inter_frames_give_a_residual_but_no_prediction_yet(media):
    with vexmira.H264DecoderSession(media("mp4_cabac")) as session:
        types = [session.get_frame_type(i) for i in range(session.num_frames)]
        inter = types.index("P")
        luma, cb, cr = session.get_residual(inter)
        assert luma.dtype == np.int16 and luma.shape == (96, 160) and cb.shape == (48, 80)
        with pytest.raises(NotImplementedError, match="inter prediction"):
            session.get_prediction(inter)
        assert isinstance(session.get_prediction(types.index("I"))[0], np.ndarray)


@pytest.mark.parametrize("access", ["single", "batch"])
@pytest.mark.parametrize("clip", [name for name in RECONSTRUCT_RECIPES if name.startswith("mp4_p_")])
def test_motion_field_of_p_frames_is_the_decoders_where_it_exports_one(media, clip, access):
    """FFmpeg exports one vector per 8x8 block and larger: sub-8x8 partitions and intra
    blocks are left out of the comparison."""
    with (vexmira.H264DecoderSession(media(clip), motion_vectors=True) as decoded,
          vexmira.H264DecoderSession(media(clip)) as session):
        frames = [i for i in range(session.num_frames) if session.get_frame_type(i) == "P"]
        random.Random(clip).shuffle(frames)
        compared = 0
        fields = session.get_motion_fields(frames, threads=2) if access == "batch" else map(session.get_motion_field,
                                                                                             frames)
        for frame, field in zip(frames, fields):
            syntax = session.get_mb_syntax(frame)
            exported = decoded.get_mv_field(frame)[0]
            inter = np.isin(syntax["type"], [MbType.SKIP, MbType.L0])
            whole_8x8 = ~((syntax["partition"] == Partition.P8X8)[..., None] & (syntax["sub_mb_type"] > 0)).any(-1)
            shown = np.kron(inter & whole_8x8, np.ones((4, 4), bool))
            assert (field["ref_idx"][..., 0][shown] >= 0).all() and (field["ref_idx"][..., 0][~np.kron(
                inter, np.ones((4, 4), bool))] == -1).all(), frame
            for component in range(2):
                assert (field["mv"][..., 0, component][shown] == exported[component][shown]).all(), (frame, component)
            compared += int(shown.sum())
        assert compared > 0
