"""QP maps and chroma offsets against what the encoder was told and what the bitstream says."""

import subprocess

import numpy as np
import pytest

import vexmira
from oracle import first_traced, pps_chroma_offsets, reference_qp_maps, traced_headers
from parameter_sets import with_chroma_offsets


def all_qp_maps(session):
    return [session.get_qpmap(i) for i in range(session.num_frames)]


@pytest.mark.parametrize("clip", ["mp4_long", "mp4_long_gop", "ts_open_gop", "mp4_roi", "mp4_10bit", "mp4_34x18", "mp4_qp_busy",
                                  "h264_raw_open_gop", "mpg", "mp4_10bit_qp60"])
def test_every_map_equals_the_decoder_debug_output(media, clip):
    path = media(clip)
    session = vexmira.H264DecoderSession(str(path))
    expected = reference_qp_maps(path, session.mb_rows, session.mb_cols)
    assert len(expected) == session.num_frames
    # Out of order, so that maps come from seeks as well as from decoding on.
    order = list(range(0, session.num_frames, 2)) + list(range(session.num_frames - 1, 0, -2))
    mismatches = [i for i in order if session.get_qpmap(i).tolist() != expected[i]]
    assert mismatches == []


@pytest.mark.parametrize(("clip", "qp"), [("mp4_qp30", 30), ("mp4_10bit_qp60", 60)])
def test_constant_qp_encode_gives_that_qp_everywhere(media, clip, qp):
    session = vexmira.H264DecoderSession(str(media(clip)))
    for qp_map in all_qp_maps(session):
        assert qp_map.dtype == np.int8
        assert qp_map.shape == (session.mb_rows, session.mb_cols) == (3, 4)
        assert (qp_map == qp).all()


def test_ten_bit_constant_qp_stays_within_range(media):
    session = vexmira.H264DecoderSession(str(media("mp4_10bit_qp20")))
    maps = np.stack(all_qp_maps(session))
    assert maps.min() >= 0 and maps.max() <= 63
    assert (maps == maps.flat[0]).all(), "one QP for every block of every frame"


def test_region_of_interest_lowers_qp_exactly_inside_it(media):
    # The region covers macroblock rows 1-2 and columns 2-4; a transposed or shifted map
    # would put low values elsewhere.
    session = vexmira.H264DecoderSession(str(media("mp4_roi")))
    inside = np.zeros((6, 8), dtype=bool)
    inside[1:3, 2:5] = True
    for i, qp_map in enumerate(all_qp_maps(session)):
        assert qp_map.shape == (6, 8)
        assert qp_map[inside].max() < qp_map[~inside].min(), f"frame {i}:\n{qp_map}"


@pytest.mark.parametrize("clip", ["mp4_chroma_offset", "mp4", "mkv_long", "mp4_10bit", "h264_raw"])
def test_chroma_offsets_match_the_pps(media, clip):
    path = media(clip)
    expected = pps_chroma_offsets(path)
    session = vexmira.H264DecoderSession(str(path))
    for i in range(session.num_frames):
        offsets = session.get_chroma_qp_offset(i)
        assert offsets == expected
        assert type(offsets) is tuple and all(type(value) is int for value in offsets)


@pytest.fixture(scope="module")
def unequal_offsets_clip(media, tmp_path_factory):
    """An MP4 whose PPS gives Cb and Cr different offsets, which no encoder at hand writes."""
    folder = tmp_path_factory.mktemp("unequal_offsets")
    stream = folder / "unequal.h264"
    stream.write_bytes(with_chroma_offsets(media("h264_raw_intra").read_bytes(), cb=-4, cr=5))
    clip = folder / "unequal.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-framerate", "25", "-i", str(stream),
                    "-c", "copy", str(clip)], check=True)
    return clip


def test_unequal_chroma_offsets_come_back_in_their_places(unequal_offsets_clip):
    expected = pps_chroma_offsets(unequal_offsets_clip)
    assert expected == (-4, 5), "the rewritten PPS as the bitstream tracer reads it"
    session = vexmira.H264DecoderSession(str(unequal_offsets_clip))
    assert session.num_frames == 4
    assert [session.get_chroma_qp_offset(i) for i in (3, 0, 2, 1)] == [expected] * 4


def test_requested_negative_offset_comes_back_negative(media):
    cb, cr = vexmira.H264DecoderSession(str(media("mp4_chroma_offset"))).get_chroma_qp_offset(0)
    assert cb < 0 and cr < 0


def test_codec_without_qp_export_gives_no_qp_and_zero_offsets(media):
    session = vexmira.H264DecoderSession(str(media("mkv_ffv1")))
    assert session.num_frames == 6
    for i in range(session.num_frames):
        qp_map = session.get_qpmap(i)
        assert qp_map.shape == (3, 4) and (qp_map == -1).all()
        assert session.get_chroma_qp_offset(i) == (0, 0)


def test_ten_bit_maps_carry_the_bit_depth_offset(media):
    """The map holds QP + 6 * (bit depth - 8), as FFmpeg reports it, not the bitstream's QP:
    against the first slice's QP as the ffmpeg tool's bitstream tracer reads it."""
    path = media("mp4_10bit_qp20")
    headers = traced_headers(path)
    slice_qp = 26 + first_traced(headers, "pic_init_qp_minus26") + first_traced(headers, "slice_qp_delta")
    depth_offset = 6 * first_traced(headers, "bit_depth_luma_minus8")
    assert depth_offset == 12
    first_frame = vexmira.H264DecoderSession(str(path)).get_qpmap(0)
    assert (first_frame == slice_qp + depth_offset).all()
