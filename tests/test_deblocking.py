"""The three deblocking modes against the ffmpeg tool's decodes: without the loop filter,
with it, and with it only for pictures that other pictures reference."""

import random

import numpy as np
import pytest

import vexmira
from oracle import (packed_picture, presentation_timestamps, reference_decode, reference_decode_in_output_order,
                    timestamps_identify_frames)

MODES = ("skip", "exact", "on")
ORDERS = {
    "sequential": lambda n: list(range(n)),
    "reverse": lambda n: list(range(n))[::-1],
    "random": lambda n: random.Random(8).sample(range(n), n),
    "sequential, read ahead": lambda n: list(range(n)),
}
# Two decoders ahead whatever the machine's load, which the automatic setting heeds.
READ_AHEAD = {"sequential, read ahead": 2}


def pictures_in_order(path, mode: str, order: str) -> list[bytes]:
    session = vexmira.H264DecoderSession(str(path), deblocking=mode, read_ahead=READ_AHEAD.get(order))
    got = {index: packed_picture(session, index) for index in ORDERS[order](session.num_frames)}
    return [got[index] for index in range(session.num_frames)]


def tool_decode(path, skip_loop_filter: str) -> list[bytes]:
    if not timestamps_identify_frames(path):
        return [picture for _, picture in reference_decode_in_output_order(path, "yuv420p", skip_loop_filter)]
    by_timestamp = reference_decode(path, "yuv420p", skip_loop_filter)
    return [by_timestamp[pts] for pts in presentation_timestamps(path)]


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("mode", MODES)
def test_a_stream_without_loop_filter_is_the_same_in_every_mode(media, mode, order):
    path = media("mp4_no_deblock")
    assert pictures_in_order(path, mode, order) == tool_decode(path, "all")


@pytest.mark.parametrize("order", ["random"])
@pytest.mark.parametrize("mode", ["skip", "exact"])
def test_intra_pictures_are_exact_without_the_filter(media, mode, order):
    path = media("mp4_intra")
    expected = tool_decode(path, "all")
    assert expected != tool_decode(path, "default"), "the clip's pictures are filtered"
    assert pictures_in_order(path, mode, order) == expected


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("clip", ["mp4_long", "ts_open_gop"])
def test_on_gives_the_filtered_pictures(media, clip, order):
    path = media(clip)
    assert pictures_in_order(path, "on", order) == tool_decode(path, "default")


def exact_against_the_tool(path, order):
    """The frame types, the "exact" pictures read in `order`, the tool's unfiltered decode,
    and the I and B frames where "exact" differs from the tool's decode that skips the
    filter for them (all pictures for I, pictures nothing references for B)."""
    session = vexmira.H264DecoderSession(str(path))
    types = [session.get_frame_type(index) for index in range(session.num_frames)]
    unfiltered, non_reference_unfiltered = tool_decode(path, "all"), tool_decode(path, "noref")
    exact = pictures_in_order(path, "exact", order)
    wrong = [index for index, kind in enumerate(types)
             if kind in "IB" and exact[index] != (unfiltered if kind == "I" else non_reference_unfiltered)[index]]
    return types, exact, unfiltered, wrong


@pytest.mark.parametrize(("clip", "order"), [("mp4_flat_bframes", order) for order in ORDERS]
                         + [("ts_flat_bframes", "random"), ("h264_flat_bframes", "random")])
def test_exact_pictures_predict_from_filtered_references(media, clip, order):
    """In a clip whose B pictures nothing references, the ffmpeg tool's decode that skips the
    filter for pictures nothing references gives every B picture as "exact" promises, and
    the decode without the filter every I picture. P pictures predict from filtered
    references, so they differ from the pictures without any filter."""
    path = media(clip)
    types, exact, unfiltered, wrong = exact_against_the_tool(path, order)
    assert wrong == []
    assert {"I", "P", "B"} <= set(types)
    drifted = [index for index, kind in enumerate(types) if kind == "P" and exact[index] != unfiltered[index]]
    assert drifted, "P pictures predicted from filtered references differ from unfiltered decoding"
    assert exact == pictures_in_order(path, "exact", "sequential"), "the same pictures whatever the order"


@pytest.mark.parametrize("order", ["sequential", "random"])
def test_exact_holds_for_hevc_whose_packets_it_does_not_read(media, order):
    """The module reads no HEVC headers, so every packet counts as a reference: the decoder
    filters what the stream references, and the requested picture comes out before its own
    filter (FFmpeg's HEVC decoder skips deblocking and SAO alike)."""
    types, exact, unfiltered, wrong = exact_against_the_tool(media("mkv_hevc_flat_bframes"), order)
    assert wrong == [] and {"I", "P", "B"} <= set(types)
    assert exact != unfiltered, "P pictures predict from filtered references"


def test_exact_reference_pictures_do_not_depend_on_the_order(media):
    """Reference B pictures (x264's pyramid) and P pictures, reached after their own
    references were asked for or not."""
    path = media("mp4_long")
    assert pictures_in_order(path, "exact", "random") == pictures_in_order(path, "exact", "reverse")


@pytest.mark.parametrize("order", ORDERS)
@pytest.mark.parametrize("clip", ["h264_cavlc_truncated", "h264_cabac_truncated"])
def test_exact_pictures_of_a_damaged_stream_do_not_depend_on_the_order(media, clip, order):
    """Every third picture keeps half its slices, so runs of decoding end in damaged pictures;
    whatever was asked for before, each frame is the picture a session asked only for it gives."""
    path = str(media(clip))
    alone = [packed_picture(vexmira.H264DecoderSession(path, deblocking="exact", read_ahead=0), index)
             for index in range(vexmira.H264DecoderSession(path).num_frames)]
    assert pictures_in_order(path, "exact", order) == alone


@pytest.mark.parametrize("mode", ["exact", "on"])
def test_everything_but_the_pictures_is_the_same_in_every_mode(media, mode):
    path = str(media("mp4_long"))
    plain = vexmira.H264DecoderSession(path, motion_vectors=True)
    other = vexmira.H264DecoderSession(path, deblocking=mode, motion_vectors=True)
    for index in random.Random(2).sample(range(plain.num_frames), plain.num_frames):
        assert np.array_equal(other.get_qpmap(index), plain.get_qpmap(index))
        assert other.get_chroma_qp_offset(index) == plain.get_chroma_qp_offset(index)
        assert other.get_frame_type(index) == plain.get_frame_type(index)
        assert other.is_key_frame(index) == plain.is_key_frame(index)
        assert np.array_equal(other.get_motion_vectors(index), plain.get_motion_vectors(index))


@pytest.mark.parametrize("value", ["", "Skip", "off", "none"])
def test_unknown_deblocking_modes_are_refused(media, value):
    with pytest.raises(ValueError, match=r'deblocking must be "skip", "exact" or "on"'):
        vexmira.H264DecoderSession(str(media("mp4")), deblocking=value)


def test_batches_decode_as_the_session_mode_says(media):
    """A batch of an "on" session stacks the filtered pictures; one of an "exact" session
    refuses pictures it cannot give, and reads the same QP maps as any other."""
    path = media("mp4_long")
    filtered = tool_decode(path, "default")
    on = vexmira.H264DecoderSession(str(path), deblocking="on")
    frames = random.Random(4).sample(range(on.num_frames), 30)
    stacked = [on.get_planes(frames, plane, threads=2) for plane in range(3)]
    assert [b"".join(planes[k].tobytes() for planes in stacked) for k in range(len(frames))] == \
        [filtered[index] for index in frames]

    exact = vexmira.H264DecoderSession(str(path), deblocking="exact")
    with pytest.raises(ValueError, match="get_planes cannot give"):
        exact.get_planes(frames, 0)
    plain = vexmira.H264DecoderSession(str(path))
    assert np.array_equal(exact.get_qpmaps(frames, threads=2), plain.get_qpmaps(frames, threads=2))
