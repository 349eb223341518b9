"""Every macroblock's syntax read from the packets against the decoder that decodes them:
the types the ffmpeg tool's own log prints (through a session with mb_types=True), the QP
map it exports, and the encoder's first-pass statistics; then damaged slices; then the
per-frame table of the syntax against frame_stats' decoding and x264's statistics."""

import random
import re
import subprocess

import numpy as np
import pytest

import vexmira
import vexmira_tools
from media import SYNTAX_RECIPES
from oracle import first_pass_statistics

MbType = vexmira.MbType
DIRECT = [MbType.DIRECT, MbType.DIRECT_SKIP]
# Besides: Baseline, field pictures (two packets a frame) in raw and MP4 streams and (one
# packet a frame) in Matroska, B field pictures, slices of I_PCM macroblocks in a stream that is not lossless,
# and MBAFF frames of an interlaced source and of 240 lines (16 rows of macroblocks coded, 15
# shown).
MBAFF = [name for name in SYNTAX_RECIPES if "_mbaff" in name] + ["mp4_mbaff", "mp4_mbaff_320x240"]
CLIPS = [*(name for name in SYNTAX_RECIPES if not name.endswith("_truncated") and name not in MBAFF),
         "h264_raw_baseline", "h264_field_pictures", "mp4_field_pictures", "mkv_field_frames_dropped_paired",
         "h264_b_field_pictures_spatial", "h264_p_cavlc_pcm_slices", *MBAFF]
# Slices a frame: x264's slices=4; slices of 14 of the 60 macroblocks, or of 13; one a field.
SLICES = {"mp4_cavlc_slices": 4, "mp4_cabac_slices": 4, "mp4_cavlc_mbaff_slices": 5, "mp4_cabac_mbaff_slices": 5,
          "h264_field_pictures": 2, "mp4_field_pictures": 2, "mkv_field_frames_dropped_paired": 2,
          "h264_b_field_pictures_spatial": 2,
          "h264_p_cavlc_pcm_slices": 5}


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


def read_syntax(session, frames, access):
    """Each frame's syntax, one call a frame or in one batch on two readers."""
    if access == "batch":
        return list(session.get_mb_syntaxes(frames, threads=2))
    return [session.get_mb_syntax(frame) for frame in frames]


@pytest.mark.parametrize("access", ["random", "batch"])
@pytest.mark.parametrize("clip", CLIPS)
def test_every_frame_in_random_order_parses_as_the_decoder_decodes(media, decoded, clip, access):
    types, qps = decoded(clip)
    with vexmira.H264DecoderSession(media(clip)) as session:
        frames = list(range(session.num_frames))
        random.Random(clip).shuffle(frames)
        for frame, syntax in zip(frames, read_syntax(session, frames, access)):
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


def macroblock_sums(syntax) -> tuple[tuple[int, int, int], int, int, int]:
    """x264's counts (intra, coded with motion, skipped) and the header, prediction and
    residual bits of one frame's get_mb_syntax."""
    intra = np.isin(syntax["type"], [MbType.INTRA_4X4, MbType.INTRA_16X16, MbType.INTRA_PCM])
    skipped = np.isin(syntax["type"], [MbType.SKIP, MbType.DIRECT_SKIP])
    counts = int(intra.sum()), int((~intra & ~skipped).sum()), int(skipped.sum())
    return counts, *(int(syntax[part].sum()) for part in ("bits_header", "bits_prediction", "bits_residual"))


def table_sums(stats, frame: int) -> tuple[tuple[int, int, int], int, int, int]:
    """The same of one row of syntax_stats."""
    row = {name: int(stats[name][frame]) for name in ("mb_intra", "mb_inter", "mb_direct", "mb_skip", "bits_header",
                                                       "bits_prediction", "bits_residual")}
    counts = row["mb_intra"], row["mb_inter"] + row["mb_direct"], row["mb_skip"]
    return counts, row["bits_header"], row["bits_prediction"], row["bits_residual"]


@pytest.mark.parametrize("access", ["get_mb_syntax", "syntax_stats"])
@pytest.mark.parametrize("clip", ["mp4_cavlc_first_pass", "mp4_cabac_first_pass"])
def test_frame_sums_match_the_encoders_first_pass_statistics(media, clip, access):
    """The macroblock counts are x264's. Its bits are the frame's: `tex` from the coded block
    pattern on (which the syntax counts as header), `mv` the macroblock types and prediction,
    `misc` the rest, slice headers included, which the macroblocks' bits leave out: so the
    frame's total exceeds the macroblocks' by the headers (under 128 bits a slice here), and
    `tex` lies between the residual and the residual with the header bits."""
    path = media(clip)
    with vexmira.H264DecoderSession(path) as session:
        stats = session.syntax_stats(threads=2) if access == "syntax_stats" else None
        for frame, expected in enumerate(first_pass_statistics(path)):
            sums = table_sums(stats, frame) if stats else macroblock_sums(session.get_mb_syntax(frame))
            counts, header, prediction, residual = sums
            assert counts == (expected["imb"], expected["pmb"], expected["smb"]), frame
            assert 0 < expected["tex"] + expected["mv"] + expected["misc"] - (header + prediction + residual) < 128, frame
            assert residual <= expected["tex"] <= residual + header, frame


@pytest.mark.parametrize("clip, intact", [("h264_cavlc_truncated", "mp4_cavlc"),
                                          ("h264_cabac_truncated", "mp4_cabac")])
def test_a_truncated_slice_is_parsed_up_to_the_damage(media, decoded, clip, intact):
    types = decoded(intact)[0]
    with vexmira.H264DecoderSession(media(clip)) as session:
        assert session.num_frames == len(types)
        damaged = 0
        for frame in range(session.num_frames):
            parsed = session.get_mb_syntax(frame)["parsed"].ravel()
            if parsed.all():
                continue
            damaged += 1
            # Parsed in raster order up to the macroblock where the data ran out, none after.
            readable = int(parsed.sum())
            assert not parsed[readable:].any(), frame
            before = slice(0, max(readable - 2, 0))
            assert (session.get_mb_syntax(frame)["type"].ravel()[before] == types[frame]["type"].ravel()[before]).all()
        assert damaged == session.num_frames // 3


def test_the_mbaff_clips_hold_every_case_of_pairs_the_parse_tells_apart(decoded):
    """Field and frame pairs side by side, pairs skipped whole (whose field decoding flag is
    inferred from their neighbours) and skipped top macroblocks over coded bottom ones
    (which take the bottom one's flag), by the decoder's own types."""
    found = set()
    for clip in MBAFF:
        for shown in decoded(clip)[0]:
            types = shown[:len(shown) // 2 * 2]
            skipped = np.isin(types["type"], [MbType.SKIP, MbType.DIRECT_SKIP])
            top, bottom = skipped[0::2], skipped[1::2]
            field = types["interlaced"][0::2]
            found |= {("field", bool(f)) for f in np.unique(field)}
            found |= {("whole pair skipped", bool(f)) for f in field[top & bottom]}
            found |= {("top skipped", bool(f)) for f in field[top & ~bottom]}
    assert found == {(case, f) for case in ("field", "whole pair skipped", "top skipped") for f in (False, True)}


# Both coders, slices, 10 bits, field pictures, open GOPs and an intra refresh (recovery points
# with and without recovery_frame_cnt 0), an I picture that is no key frame, and MBAFF.
TABLE_CLIPS = ["mp4_cavlc", "mp4_cabac_slices", "mp4_cabac_10bit", "h264_field_pictures", "mp4_open_gop",
               "h264_intra_refresh", "mp4_scene_cut", "mp4_mbaff"]
SCAN_COLUMNS = ["frame", "pts", "time", "pict_type", "key_frame", "pkt_size"]
MACROBLOCK_COLUMNS = ["qp_mean", "qp_min", "qp_max", "mb_intra", "mb_skip", "mb_direct", "mb_inter"]


@pytest.mark.parametrize("clip", TABLE_CLIPS)
def test_syntax_stats_give_frame_stats_columns_without_decoding(media, clip):
    """In random order with repeats, on two readers, against the decoder's rows."""
    with vexmira.H264DecoderSession(media(clip), mb_types=True) as session:
        frames = list(range(session.num_frames))
        random.Random(clip).shuffle(frames)
        frames += frames[:3]
        expected = session.frame_stats(frames, threads=1)
        stats = session.syntax_stats(frames, threads=2)
    assert set(stats) == set(vexmira_tools.SyntaxStats.__required_keys__)
    for name in SCAN_COLUMNS:
        assert stats[name].dtype == expected[name].dtype and (stats[name] == expected[name]).all(), name
    parsed = stats["parsed"]
    assert parsed.all()
    for name in MACROBLOCK_COLUMNS:
        assert stats[name].dtype == expected[name].dtype, name
        assert np.array_equal(stats[name][parsed], expected[name][parsed]), name
    for name in ["qp_min", "qp_max", "mb_intra", "bits_header", "bits_residual", "nonzero_coefficients"]:
        assert (stats[name][~parsed] == -1).all(), name
    assert np.isnan(stats["qp_mean"][~parsed]).all() and np.isnan(stats["qp_mean_coded"][~parsed]).all()


@pytest.mark.parametrize("clip", ["mp4_cavlc_4x4_temporal", "mp4_cabac_422", "mp4_cabac_444"])
def test_syntax_stats_count_levels_and_the_qp_of_macroblocks_that_code_one(media, clip):
    """nonzero_coefficients are the levels get_coefficients places (which the rebuild tests
    prove against the decoder's picture); qp_mean_coded the decoder's QP map over the
    macroblocks whose syntax codes mb_qp_delta."""
    with vexmira.H264DecoderSession(media(clip)) as session:
        stats = session.syntax_stats(threads=1)
        qp_maps = session.get_qpmaps(threads=1)
        partial = False
        for frame in range(session.num_frames):
            syntax = session.get_mb_syntax(frame)
            assert not (syntax["type"] == MbType.INTRA_PCM).any(), "I_PCM samples are no levels"
            levels = sum(np.count_nonzero(plane) for plane in session.get_coefficients(frame))
            assert stats["nonzero_coefficients"][frame] == levels, frame
            coded = (syntax["type"] == MbType.INTRA_16X16) | (syntax["cbp"] > 0)
            expected = qp_maps[frame][coded].mean() if coded.any() else np.nan
            assert np.allclose(stats["qp_mean_coded"][frame], expected, equal_nan=True), frame
            partial = partial or 0 < coded.sum() < coded.size
        assert partial, "frames with macroblocks that code no QP"


def test_a_frame_without_readable_slices_has_no_values(undecodable):
    path, missing = undecodable
    with vexmira.H264DecoderSession(path) as session:
        stats = session.syntax_stats(threads=2)
    others = np.arange(len(stats["frame"])) != missing
    assert stats["pict_type"][missing] == "" and not stats["key_frame"][missing]
    assert not stats["parsed"][missing] and stats["parsed"][others].all()
    assert stats["mb_intra"][missing] == -1 and np.isnan(stats["qp_mean"][missing])


def test_sub8x8_share_of_p_frames_is_the_encoders_partition_statistics(tmp_path):
    """x264 reports, over its P frames' macroblocks, the share of their area coded in 8x4 and
    4x8 and in 4x4 partitions ("P16..4", each to a tenth of a percent); its B frames' 8x8
    sub-macroblocks are never smaller than 8x8."""
    path = tmp_path / "partitions.mp4"
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-f", "lavfi", "-i",
                          "testsrc2=size=160x96:rate=25,noise=alls=20:allf=t", "-frames:v", "12", "-c:v", "libx264",
                          "-bf", "2", "-g", "12", "-preset", "fast", "-x264-params",
                          "partitions=all:subme=7:ref=3:b-adapt=0", str(path)], capture_output=True, text=True, check=True).stderr
    shares = re.search(r"mb P .* P16\.\.4: +([\d.]+)% +([\d.]+)% +([\d.]+)% +([\d.]+)% +([\d.]+)%", log).groups()
    expected = (float(shares[3]) + float(shares[4])) / 100
    with vexmira.H264DecoderSession(path) as session:
        stats = session.syntax_stats(threads=2)
    p_frames = stats["pict_type"] == "P"
    assert expected > 0 and (stats["pict_type"] == "B").any() and (stats["sub8x8_share"][~p_frames] == 0).all()
    assert stats["sub8x8_share"][p_frames].mean() == pytest.approx(expected, abs=0.0011)
