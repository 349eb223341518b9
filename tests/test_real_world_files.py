"""Files as they come from editors, capture cards, broken transfers and other encoders: cut
with an edit list, captured from the middle of a stream, joined with cat, cropped at the top
and left, interlaced as fields or macroblock pairs, with memory-management resets. Whatever
the file, frame i is the i-th picture the ffmpeg tool's decoder outputs (single-threaded,
deblocking skipped, every picture passed through), the same in every order of requests and
in every method, and the forms of one stream (raw, MP4, Matroska, MPEG-TS) give the same
frames. The reference is the tool's own decode, ffprobe's frames and the decoder's QP debug
output; the media are checked against the tool's bitstream tracer where they were made by
rewriting a stream."""

import random
import re
import subprocess
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import vexmira
from bitstream_edit import IDR, SLICE, annex_b_units, nal_type
from oracle import (Picture, coded_qp_maps, decoded_pictures, ffprobe, key_frame_reference, plane_sizes,
                    sequence_parameter_sets, shown_maps, traced_headers)
from tool_runs import checked_output

# A sound clip, as a control: every test passes on it.
CONTROL = "mp4"
FILES = [CONTROL, "mp4_edit_list_mid_gop", "ts_starts_mid_gop", "h264_starts_at_recovery_point",
         "mp4_starts_at_recovery_point", "h264_field_pictures", "mp4_field_pictures", "mkv_field_pictures",
         "ts_field_pictures", "ts_sizes_restart_timestamps", "ts_twice", "ts_timestamps_go_back", "mp4_crop_left_top",
         "h264_crop_left_top", "mp4_crop_top_8", "ts_last_picture_cut", "h264_memory_resets", "mp4_memory_resets",
         "h264_memory_resets_bframes", "mp4_remuxed_raw_bframes", "mp4_mbaff_320x240",
         "h264_b_cabac_temporal_order_type_1", "h264_p_cavlc_references_lost", "h264_b_field_pictures_spatial"]
# The forms of one stream, the raw one first.
FORMS = {
    "field_pictures": ["h264_field_pictures", "mp4_field_pictures", "mkv_field_pictures", "ts_field_pictures"],
    "starts_at_recovery_point": ["h264_starts_at_recovery_point", "mp4_starts_at_recovery_point"],
    "crop_left_top": ["h264_crop_left_top", "mp4_crop_left_top"],
    "memory_resets": ["h264_memory_resets", "mp4_memory_resets"],
}


# ---- What the ffmpeg tool makes of each file ---------------------------------------------

@dataclass(frozen=True)
class Reference:
    pictures: list[Picture]
    frames: list[dict]  # ffprobe's decoded frames: pict_type, key_frame
    qp_maps: list[list[list[int]]]


def shown_qp_maps(path: Path, pictures: list[Picture]) -> list[list[list[int]]]:
    return shown_maps(path, pictures, coded_qp_maps(path))


# A transfer that broke off inside its last picture, which the decoder conceals and reports
# damaged: that frame has no QP map (-1 everywhere), and its picture is the one decoding from
# its key frame gives, as for every frame. The ffmpeg tool's decode of the whole file
# conceals it otherwise (test_a_picture_cut_short_is_the_same_however_it_is_reached).
CUT_SHORT = "ts_last_picture_cut"


@pytest.fixture(scope="session")
def reference(media):
    made: dict[str, Reference] = {}

    def of(name: str) -> Reference:
        if name not in made:
            path = media(name)
            pictures = [picture for _, picture in decoded_pictures(path)]
            frames = ffprobe(path, "-threads", "1", "-show_entries", "frame=pict_type,key_frame")["frames"]
            assert pictures and len(frames) == len(pictures), "ffprobe and the ffmpeg tool decode the same pictures"
            qp_maps = shown_qp_maps(path, pictures)
            if name == CUT_SHORT:
                (pictures[-1],) = key_frame_reference(path)[-1]
                qp_maps[-1] = [[-1] * len(row) for row in qp_maps[-1]]
            made[name] = Reference(pictures, frames, qp_maps)
        return made[name]
    return of


# ---- Comparing ---------------------------------------------------------------------------

def picture_problem(session, index: int, expected: Picture) -> str | None:
    """What is wrong with the frame's three planes, or None."""
    try:
        planes = [session.get_plane_data(index, plane) for plane in range(3)]
    except Exception as error:  # noqa: BLE001 - every error is reported
        return f"frame {index}: {type(error).__name__}: {error}"
    for plane, (data, (columns, rows), wanted) in enumerate(
            zip(planes, plane_sizes(expected.width, expected.height, "yuv420p"), expected.planes)):
        if data.shape[0] != rows or data.shape[1] < columns:
            return f"frame {index}: plane {plane} is {data.shape}, the tool's {rows} rows of {columns}"
        if np.ascontiguousarray(data[:, :columns]).tobytes() != wanted:
            return f"frame {index}: plane {plane} differs"
    return None


def orders(count: int) -> dict[str, list[int]]:
    return {"sequential": list(range(count)), "reversed": list(range(count))[::-1],
            "random": random.Random(count).sample(range(count), count)}


def open_session(media, name: str):
    return vexmira.H264DecoderSession(str(media(name)))


# ---- Every kind of file, against the tool ------------------------------------------------

@pytest.mark.parametrize("name", FILES)
def test_frame_count_and_size_are_those_of_the_tools_pictures(media, reference, name):
    """As many frames as the tool outputs pictures, and the session's size that of its
    first picture: with a crop at the left that FFmpeg leaves unapplied, wider than the
    stream's parameters say."""
    pictures = reference(name).pictures
    session = open_session(media, name)
    assert session.num_frames == len(pictures)
    assert (session.width, session.height) == (pictures[0].width, pictures[0].height)
    assert (session.mb_cols, session.mb_rows) == ((pictures[0].width + 15) // 16, (pictures[0].height + 15) // 16)


@pytest.mark.parametrize("name", FILES)
def test_frame_i_is_the_tools_ith_picture_in_every_order(media, reference, name):
    """On one session, all frames forwards, backwards and at random. Where the count is
    wrong, the frames both have are compared, which shows where the numbering slips."""
    expected = reference(name).pictures
    session = open_session(media, name)
    count = min(session.num_frames, len(expected))
    problems = {order: [problem for index in frames if (problem := picture_problem(session, index, expected[index]))]
                for order, frames in orders(count).items()}
    assert problems == {order: [] for order in problems}
    assert session.num_frames == len(expected)


@pytest.mark.parametrize("name", FILES)
def test_a_few_frames_each_on_a_fresh_session(media, reference, name):
    expected = reference(name)
    last = len(expected.pictures) - 1
    problems = []
    for index in sorted({last, last // 2, 1, 0}, reverse=True):
        session = open_session(media, name)
        if problem := picture_problem(session, index, expected.pictures[index]):
            problems.append(problem)
        elif (qp_map := session.get_qpmap(index).tolist()) != expected.qp_maps[index]:
            problems.append(f"frame {index}: QP map {qp_map}, the tool's {expected.qp_maps[index]}")
    assert problems == []


@pytest.mark.parametrize("name", FILES)
def test_qp_maps_are_the_decoders_debug_maps(media, reference, name):
    """Rows and columns of the picture FFmpeg outputs, each macroblock's QP as the decoder
    prints it for the coded macroblock under the cell's top left sample: for 240 interlaced
    lines the first 15 of 16 coded rows, for a crop of 16 rows at the top the second coded
    row on."""
    expected = reference(name).qp_maps
    session = open_session(media, name)
    wrong = [index for index in range(min(session.num_frames, len(expected)))[::-1]
             if session.get_qpmap(index).tolist() != expected[index]]
    assert wrong == []
    assert session.num_frames == len(expected)


@pytest.mark.parametrize("name", FILES)
def test_batches_give_the_tools_pictures_and_maps(media, reference, name):
    """get_planes and get_qpmaps of every frame in a shuffled order, on two decoders. Frames
    of another size than the session's are left out: batches refuse them (test_batch)."""
    expected = reference(name)
    session = open_session(media, name)
    count = min(session.num_frames, len(expected.pictures))
    frames = [index for index in random.Random(7).sample(range(count), count)
              if (expected.pictures[index].width, expected.pictures[index].height) == (session.width, session.height)]
    assert frames, "the session's size is that of the tool's pictures"
    wrong_planes = []
    for plane, (columns, rows) in enumerate(plane_sizes(session.width, session.height, "yuv420p")):
        stacked = session.get_planes(frames, plane, threads=2)
        assert stacked.shape == (len(frames), rows, columns)
        wrong_planes += [(index, plane) for k, index in enumerate(frames)
                         if stacked[k].tobytes() != expected.pictures[index].planes[plane]]
    maps = session.get_qpmaps(frames, threads=2)
    wrong_maps = [index for k, index in enumerate(frames) if maps[k].tolist() != expected.qp_maps[index]]
    assert (wrong_planes, wrong_maps) == ([], [])
    assert session.num_frames == len(expected.pictures)


@pytest.mark.parametrize("name", FILES)
def test_frame_stats_rows_are_ffprobes_frames_in_output_order(media, reference, name):
    frames = reference(name).frames
    stats = open_session(media, name).frame_stats(threads=2)
    assert stats["decoded"].all()
    assert stats["pict_type"].tolist() == [frame["pict_type"] for frame in frames]
    assert stats["key_frame"].tolist() == [frame["key_frame"] == 1 for frame in frames]


@pytest.mark.parametrize(("stream", "form"), [(stream, form) for stream, forms in FORMS.items() for form in forms[1:]])
def test_every_form_of_a_stream_gives_the_raw_streams_frames(media, reference, stream, form):
    """A stream copied into a container gives the frames the tool decodes from the raw
    stream: pictures, QP maps, picture types and key flags."""
    raw = reference(FORMS[stream][0])
    assert reference(form).pictures == raw.pictures, "the tool decodes the same pictures from both forms"
    session = open_session(media, form)
    assert session.num_frames == len(raw.pictures)
    assert [index for index, picture in enumerate(raw.pictures) if picture_problem(session, index, picture)] == []
    assert [session.get_qpmap(index).tolist() for index in range(session.num_frames)] == raw.qp_maps
    stats = session.frame_stats(threads=2)
    assert list(zip(stats["pict_type"].tolist(), stats["key_frame"].tolist())) == [
        (frame["pict_type"], frame["key_frame"] == 1) for frame in raw.frames]


def test_a_picture_cut_short_is_the_same_however_it_is_reached(media, reference):
    """The last picture of a transfer that broke off inside it, which the tool reports as
    concealed, asked for first on one session and after the two frames before it on
    another: the picture decoding from its own key frame gives (the tool's decode of a copy
    of the file that begins at the key packet), not the one the tool's decode of the whole
    file conceals differently, and no QP map."""
    path = media(CUT_SHORT)
    log = checked_output(["ffmpeg", "-nostdin", "-v", "warning", "-threads", "1", "-i", str(path), "-f", "null",
                          "-"]).stderr
    assert log.count("corrupt decoded frame") == 1
    expected = reference(CUT_SHORT)
    last = len(expected.pictures) - 1
    first = open_session(media, CUT_SHORT)
    after = open_session(media, CUT_SHORT)
    after.get_plane_data(last - 2, 0)
    after.get_plane_data(last - 1, 0)
    for session in (first, after):
        assert picture_problem(session, last, expected.pictures[last]) is None
        assert (session.get_qpmap(last) == -1).all()
    whole_file = [picture for _, picture in decoded_pictures(path)]
    assert whole_file[:last] == expected.pictures[:last] and whole_file[last] != expected.pictures[last]


def test_frames_read_in_order_past_a_damaged_picture_are_those_of_their_key_frames(media):
    # Reading on from an earlier interval into one whose picture the decoder conceals must
    # not give that interval's pictures as the earlier interval left the decoder.
    path = media("ts_bframes_last_picture_cut")
    expected = key_frame_reference(path)
    session = open_session(media, "ts_bframes_last_picture_cut")
    assert session.num_frames == len(expected)
    wrong = [i for i in range(session.num_frames)
             if expected[i] and picture_problem(session, i, expected[i][0]) is not None]
    assert wrong == []


def test_parameter_sets_without_a_picture_do_not_open(media):
    path = media("h264_parameter_sets_only")
    with pytest.raises(RuntimeError, match=re.escape(str(path))):
        vexmira.H264DecoderSession(str(path))


# ---- The rewritten media are what they claim ---------------------------------------------

def slice_headers(path: Path) -> list[dict]:
    """Each slice header's elements by name, and its memory-management operations in order."""
    return [dict(elements, operations=[value for element, value in elements
                                       if element == "memory_management_control_operation"])
            for section, elements in traced_headers(path) if section == "Slice Header"]


def tool_errors(path: Path) -> str:
    return checked_output(["ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-i", str(path), "-f", "null",
                           "-"]).stderr


def test_field_pictures_are_pairs_of_fields_in_every_form(media, reference):
    raw = media("h264_field_pictures")
    (sps,) = {tuple(sps.items()) for sps in sequence_parameter_sets(raw)}
    assert dict(sps)["profile_idc"] == 77 and dict(sps)["frame_mbs_only_flag"] == 0
    headers = slice_headers(raw)
    assert [(header["field_pic_flag"], header["bottom_field_flag"], header["frame_num"]) for header in headers] == [
        (1, index % 2, index // 2 % 16) for index in range(40)]
    assert [header["nal_unit_type"] for header in headers] == [5] + [1] * 39
    fields = reference("h264_separated_fields").pictures
    for form in FORMS["field_pictures"]:
        path = media(form)
        assert tool_errors(path) == ""
        assert len(ffprobe(path, "-show_entries", "packet=size")["packets"]) == len(fields) == 40
        pictures = reference(form).pictures
        assert len(pictures) == 20
        assert {(picture.width, picture.height) for picture in pictures} == {(fields[0].width, 2 * fields[0].height)}
        assert {frame["interlaced_frame"] for frame in ffprobe(path, "-show_entries", "frame=interlaced_frame")["frames"]} == {1}


def test_memory_resets_restart_frame_numbers_and_keep_every_picture(media, reference):
    """Every 7th reference picture that is not an IDR picture resets, and the next reference
    picture has frame_num 1. With P pictures only, each predicted from the one before, the
    resets change no prediction: the pictures are those of the stream without them."""
    for name, source in (("h264_memory_resets", "h264_p_only"), ("h264_memory_resets_bframes", "h264_flat_bframes_cavlc")):
        path = media(name)
        assert tool_errors(path) == ""
        references = [header for header in slice_headers(path) if header["nal_ref_idc"] and header["nal_unit_type"] == 1]
        resets = [index for index, header in enumerate(references)
                  if header["operations"] == [5, 0]]
        assert resets == [index for index in range(len(references)) if index % 7 == 6] != []
        assert all(references[index + 1]["frame_num"] == 1 for index in resets if index + 1 < len(references))
        assert len(reference(name).pictures) == len(reference(source).pictures) == 60
    assert reference("h264_memory_resets").pictures == reference("h264_p_only").pictures


def test_parameter_sets_only_are_a_streams_without_its_pictures(media, tmp_path):
    """The tool finds no picture in the file; followed by the slices of the stream it was
    taken from, it decodes to that stream's pictures."""
    path = media("h264_parameter_sets_only")
    assert subprocess.run(["ffmpeg", "-nostdin", "-v", "quiet", "-i", str(path), "-f", "null", "-"]).returncode != 0
    slices = [unit for unit in annex_b_units(media("h264_raw").read_bytes()) if nal_type(unit) in (SLICE, IDR)]
    completed = tmp_path / "completed.h264"
    completed.write_bytes(path.read_bytes() + b"".join(slices))
    assert decoded_pictures(completed) == decoded_pictures(media("h264_raw"))
