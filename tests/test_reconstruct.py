"""Pictures rebuilt from their syntax: every I, P and B frame's prediction plus its residual,
clipped, against the decoder's own picture before its loop filter (deblocking="exact"); the
motion field against the decoder's vectors; each frame alone and in batches."""

import random

import numpy as np
import pytest

import vexmira
from media import RECONSTRUCT_RECIPES
from oracle import ffprobe, traced_headers

MbType = vexmira.MbType
Partition = vexmira.Partition


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


# Field pictures as raw H.264 and in Matroska (a packet a field in both); with adaptive
# marking in some fields, also in Matroska blocks that hold both fields of a frame; B field
# pictures.
FIELD_CLIPS = ["h264_field_pictures_second_unfiltered", "mkv_field_pictures_second_unfiltered",
               "h264_field_marking_adaptive", "h264_field_frames_dropped", "mkv_field_frames_dropped",
               "mkv_field_frames_dropped_paired", "h264_b_field_pictures_spatial",
               "h264_b_field_pictures_temporal"]
# MBAFF frames of B pyramids after P pictures with explicit weights: in slices that start
# inside rows of pairs, in 4:2:2 at 10 bits, and at 320x240.
MBAFF_SYNTAX_CLIPS = ["mp4_cabac_mbaff_slices", "mp4_cavlc_mbaff_422_10bit", "mp4_mbaff_320x240"]
# Beside the recipes, streams of the shapes files come in: an open GOP whose key pictures
# are not IDR pictures (in MP4 and MPEG-TS), a transport stream that starts mid-GOP, and
# frames of field pictures.
REBUILT_CLIPS = [*RECONSTRUCT_RECIPES, *MBAFF_SYNTAX_CLIPS, "mp4_open_gop", "ts_open_gop", "ts_starts_mid_gop",
                 *FIELD_CLIPS]
# Each clip's residuals one frame at a time or in a batch, the two ways taking turns.
ACCESS = {clip: ("single", "batch")[number % 2] for number, clip in enumerate(REBUILT_CLIPS)}


def picture_before_the_loop_filter(decoded, filtered, clip, frame, plane):
    """The decoder's picture before its loop filter. The exact session skips the filter of
    both fields of a frame, so that its second field predicts from an unfiltered first field:
    the field clips code their second (bottom) fields unfiltered, which a decode with the
    filter on then gives as they were before it."""
    picture = decoded.get_plane_data(frame, plane)
    if clip in FIELD_CLIPS:
        picture = picture.copy()
        picture[1::2] = filtered.get_plane_data(frame, plane)[1::2]
    return picture


@pytest.mark.parametrize("clip", REBUILT_CLIPS)
def test_prediction_plus_residual_is_the_picture_before_the_loop_filter(media, clip):
    with (vexmira.H264DecoderSession(media(clip), deblocking="exact") as decoded,
          vexmira.H264DecoderSession(media(clip), deblocking="on") as filtered,
          vexmira.H264DecoderSession(media(clip)) as session):
        frames = list(range(session.num_frames))
        random.Random(clip).shuffle(frames)
        # Two frames asked for twice: a batch gives each of their places the same frame.
        frames += frames[:2]
        bit_depth = 10 if "10bit" in clip else 8
        planes = 1 if "gray" in clip else 3
        chroma_shift = (0, 0) if "444" in clip else (1, 0) if "422" in clip else (1, 1)
        for frame, residual in zip(frames, residuals_of(session, frames, ACCESS[clip])):
            prediction = session.get_prediction(frame)
            for plane in range(planes):
                rows, columns = prediction[plane].shape
                assert residual[plane].shape == (rows, columns)
                # Rows of stride samples, the coded rows the stream's cropping hides left out.
                expected = picture_before_the_loop_filter(decoded, filtered, clip, frame, plane)
                expected = expected[:, :columns].astype(np.int32)
                rebuilt = np.clip(prediction[plane].astype(np.int32) + residual[plane], 0, (1 << bit_depth) - 1)
                rebuilt = rebuilt[:expected.shape[0]]
                assert (rebuilt == expected).all(), (frame, first_difference(rebuilt, expected, plane, chroma_shift))


def test_batches_in_memory_freed_by_earlier_batches_hold_their_own_residuals(media):
    """360p batches of 20 frames are large enough to live in memory kept from one batch for
    the next: a batch of the same size made while another is held, and one four frames
    larger (a fifth more memory) made after that one is freed, each rebuild the decoder's
    pictures (a sample of their frames, the last included)."""
    with (vexmira.H264DecoderSession(media("mp4_360p"), deblocking="exact") as decoded,
          vexmira.H264DecoderSession(media("mp4_360p")) as session):
        batches = [list(range(0, 20)), list(range(20, 40)), list(range(40, 64))]
        held = {0: session.get_residuals(batches[0], threads=1), 1: session.get_residuals(batches[1], threads=1)}
        del held[0]
        held[2] = session.get_residuals(batches[2], threads=1)
        for number, planes in held.items():
            for position in [*range(0, 20, 5), len(batches[number]) - 1]:
                frame = batches[number][position]
                prediction = session.get_prediction(frame)
                for plane in range(3):
                    rebuilt = np.clip(prediction[plane].astype(np.int32) + planes[plane][position], 0, 255)
                    expected = decoded.get_plane_data(frame, plane)[:, :rebuilt.shape[1]]
                    assert (rebuilt[:expected.shape[0]] == expected).all(), (frame, plane)


@pytest.mark.parametrize("access", ["single", "batch", "after_residuals"])
@pytest.mark.parametrize("clip", [name for name in RECONSTRUCT_RECIPES if name.startswith(("mp4_p_", "mp4_b_"))] +
                         ["mp4_cabac_mbaff_slices", "h264_field_pictures", "mkv_field_pictures",
                          "h264_b_field_pictures_spatial", "h264_b_field_pictures_temporal"])
def test_motion_field_is_the_decoders_where_it_exports_one(media, clip, access):
    """FFmpeg exports one vector per list and 8x8 block and larger: sub-8x8 partitions and
    intra blocks are left out of the comparison. B frames' blocks use the lists their
    macroblock type names, and only those. Field macroblocks' vectors are in field units,
    which FFmpeg exports doubled vertically for 16x8 and 8x16 partitions alone; a direct field
    macroblock it may partition 16x8 by its co-located pair, which no syntax element says:
    its vertical components are compared in either unit. After the same frames' residuals
    the motion comes from the syntax kept from reading those."""
    with (vexmira.H264DecoderSession(media(clip), motion_vectors=True) as decoded,
          vexmira.H264DecoderSession(media(clip)) as session):
        frames = [i for i in range(session.num_frames) if session.get_frame_type(i) in "PB"]
        random.Random(clip).shuffle(frames)
        compared = np.zeros(2, int)
        if access == "after_residuals":
            session.get_residuals(frames, threads=2)
        fields = (map(session.get_motion_field, frames) if access == "single"
                  else session.get_motion_fields(frames, threads=2))
        for frame, field in zip(frames, fields):
            syntax = session.get_mb_syntax(frame)
            exported = decoded.get_mv_field(frame)
            # Sub-macroblock types of whole 8x8 blocks: P_L0_8x8; B_Direct_8x8 (x264 sets
            # direct_8x8_inference), B_L0_8x8, B_L1_8x8, B_Bi_8x8.
            whole_types = [0, 1, 2, 3] if session.get_frame_type(frame) == "B" else [0]
            whole_8x8 = ~((syntax["partition"] == Partition.P8X8)[..., None] &
                          ~np.isin(syntax["sub_mb_type"], whole_types)).any(-1)
            either = [MbType.BI, MbType.DIRECT, MbType.DIRECT_SKIP]
            doubled = syntax["interlaced"] & np.isin(syntax["partition"], [Partition.P16X8, Partition.P8X16])
            scale = (1, np.kron(np.where(doubled, 2, 1), np.ones((4, 4), int)))
            either_unit = np.kron(syntax["interlaced"] & np.isin(syntax["type"], [MbType.DIRECT, MbType.DIRECT_SKIP]),
                                  np.ones((4, 4), bool))
            for list_number, one in enumerate(([MbType.SKIP, MbType.L0], [MbType.L1])):
                ref_idx = field["ref_idx"][..., list_number]
                inter = np.kron(np.isin(syntax["type"], one + either), np.ones((4, 4), bool))
                assert (ref_idx[~inter] == -1).all(), (frame, list_number)
                one_list = np.kron(np.isin(syntax["type"], one), np.ones((4, 4), bool))
                assert (ref_idx[one_list] >= 0).all(), (frame, list_number)
                shown = np.kron(whole_8x8, np.ones((4, 4), bool)) & (ref_idx >= 0)
                for component in range(2):
                    ours = field["mv"][..., list_number, component] * scale[component]
                    theirs = exported[list_number][component]
                    agree = (ours == theirs) | (either_unit & (component == 1) & (2 * ours == theirs))
                    assert agree[shown].all(), (frame, list_number, component)
                compared[list_number] += int(shown.sum())
            assert (field["direct"] == direct_blocks(syntax)).all(), frame
        b_frames = any(session.get_frame_type(frame) == "B" for frame in frames)
        assert compared[0] > 0 and (compared[1] > 0) == b_frames


def direct_blocks(syntax):
    """The 4x4 blocks whose motion B direct prediction derives, by the macroblock types:
    B_Skip and B_Direct_16x16 whole, B_8x8's (mb_type 22 of a B slice) B_Direct_8x8
    sub-macroblocks (sub_mb_type 0). A frame of field pictures may hold a P and a B field."""
    whole = np.kron(np.isin(syntax["type"], [MbType.DIRECT, MbType.DIRECT_SKIP]), np.ones((4, 4), bool))
    b_8x8 = (syntax["partition"] == Partition.P8X8) & (syntax["mb_type"] == 22)
    sub = b_8x8[..., None] & (syntax["sub_mb_type"] == 0)
    rows, cols = syntax.shape
    sub = sub.reshape(rows, cols, 2, 2).transpose(0, 2, 1, 3).reshape(2 * rows, 2 * cols)
    return whole | np.kron(sub, np.ones((2, 2), bool))


def order_counts_of_p_pictures(path):
    """Picture order counts in decoding order of a stream of reference frames, as the
    bitstream tracer reads their slice headers. pic_order_cnt_type 2 (x264's progressive
    streams without B pictures): twice frame_num counted on past its wraps (8.2.1.3); type 0
    (x264's interlaced ones): pic_order_cnt_lsb counted on past its wraps, the frame's the
    lower of its fields' (8.2.1.1)."""
    headers = traced_headers(path)
    (sps,) = {tuple(elements) for section, elements in headers if section.startswith("Sequence")}
    sps = dict(sps)
    assert sps["pic_order_cnt_type"] in (0, 2)
    name, wrap = (("frame_num", 1 << (sps["log2_max_frame_num_minus4"] + 4)) if sps["pic_order_cnt_type"] == 2 else
                  ("pic_order_cnt_lsb", 1 << (sps["log2_max_pic_order_cnt_lsb_minus4"] + 4)))
    counts, offset, previous = [], 0, 0
    for section, elements in headers:
        if "Slice Header" in section and dict(elements)["first_mb_in_slice"] == 0:
            value = dict(elements)[name]
            offset = 0 if dict(elements).get("idr_pic_id") is not None else offset + (
                wrap if value < previous else 0)
            count = offset + value
            counts.append(2 * count if name == "frame_num" else
                          count + min(0, dict(elements).get("delta_pic_order_cnt_bottom", 0)))
            previous = value
    return np.array(counts)


@pytest.mark.parametrize("clip", ["mp4_inter_cavlc_ref1", "mp4_inter_cabac_ref4", "mp4_p_cabac_mbaff"])
def test_motion_field_names_each_reference_by_its_order_count(media, clip):
    """x264's P pictures without weights keep list 0 as initialised: index k names the
    picture k + 1 before in decoding order, and a field macroblock's index k a field of the
    picture k // 2 + 1 before; a batch names them as one frame at a time does."""
    counts = order_counts_of_p_pictures(media(clip))
    with vexmira.H264DecoderSession(media(clip)) as session:
        assert len(counts) == session.num_frames
        frames = [frame for frame in range(session.num_frames) if session.get_frame_type(frame) == "P"]
        batch = session.get_motion_fields(frames[::-1], threads=2)[::-1]
        for frame, from_batch in zip(frames, batch):
            field = session.get_motion_field(frame)
            assert (from_batch == field).all(), frame
            used = field["ref_idx"][..., 0] >= 0
            field_blocks = np.kron(session.get_mb_syntax(frame)["interlaced"], np.ones((4, 4), int))
            ref_idx = field["ref_idx"][..., 0] >> field_blocks
            assert used.any() and (field["ref_poc"][..., 1] == -1).all()
            assert (field["ref_poc"][..., 0][used] == counts[frame - 1 - ref_idx[used]]).all(), frame
            assert (field["ref_poc"][..., 0][~used] == -1).all(), frame


def test_fields_after_a_field_with_long_term_operations_are_refused(media):
    """A field picture's long-term operations are not applied: the frames decoded after the
    frame whose bottom field codes one are refused rather than predicted from lists the
    operation would change; that frame itself is rebuilt."""
    with vexmira.H264DecoderSession(media("h264_field_marking_long_term")) as session:
        for method in (session.get_prediction, session.get_motion_field):
            method(4)
            for frame in (5, session.num_frames - 1):
                with pytest.raises(vexmira.PredictionNotBuilt, match="memory management"):
                    method(frame)


@pytest.mark.parametrize("clip", ["mp4_inter_cabac_pyramid", "mp4_inter_cavlc_gray", "mp4_intra_cavlc_10bit",
                                  "h264_field_pictures", "mp4_intra_cabac_mbaff"])
def test_residual_energy_is_the_mean_square_of_each_residual_plane(media, clip):
    """Of get_residual's planes (proven above against the decoder), in random order on two
    readers; none for the planes of a monochrome stream."""
    with vexmira.H264DecoderSession(media(clip)) as session:
        frames = random.Random(clip).sample(range(session.num_frames), session.num_frames)
        stats = session.syntax_stats(frames, threads=2, residual=True)
        for row, frame in enumerate(frames):
            for name, plane in zip(("y", "cb", "cr"), session.get_residual(frame)):
                expected = np.mean(plane.astype(np.float64) ** 2) if plane.size else np.nan
                np.testing.assert_allclose(stats[f"residual_energy_{name}"][row], expected, err_msg=f"{frame} {name}")
    assert (stats["residual_energy_y"] > 0).any()


def test_a_batch_that_starts_at_an_open_gops_leading_pictures_names_their_references(media):
    """Leading pictures may refer to the interval before their key picture: a batch that
    starts there reads that interval too, as one frame at a time does (proven above)."""
    with vexmira.H264DecoderSession(media("mp4_open_gop")) as session:
        key = session.key_frame_intervals()[1]
        frames = list(range(key - 3, key + 1))
        for batch, single in zip(session.get_motion_fields(frames, threads=1), map(session.get_motion_field, frames)):
            np.testing.assert_array_equal(batch, single)


def test_a_residual_batch_is_of_one_coded_size(media):
    """A batch is one array per plane: across the change of picture size ffprobe reports, the
    batch is refused naming both frames; each side alone gives each frame its own residual."""
    path = media("ts_sizes_restart_timestamps")
    sizes = [(frame["width"], frame["height"])
             for frame in ffprobe(path, "-threads", "1", "-show_entries", "frame=width,height")["frames"]]
    change = next(frame for frame, size in enumerate(sizes) if size != sizes[0])
    with vexmira.H264DecoderSession(path) as session:
        with pytest.raises(ValueError, match=f"Frame {change - 1} has another coded size than frame {change}|"
                                             f"Frame {change} has another coded size than frame {change - 1}"):
            session.get_residuals([change - 1, change], threads=1)
        for frames in (list(range(change - 3, change)), list(range(change, change + 3))):
            stacked = session.get_residuals(frames, threads=2)
            width, height = sizes[frames[0]]
            assert stacked[0].shape == (3, -(-height // 16) * 16, -(-width // 16) * 16)
            for position, frame in enumerate(frames):
                for plane, residual in enumerate(session.get_residual(frame)):
                    assert (stacked[plane][position] == residual).all(), (frame, plane)
