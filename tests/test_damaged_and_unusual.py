"""Damaged and unusual files: pictures with data lost in a key picture at 10 bits and in
4:2:2, recordings interrupted inside their last packet, parameter sets redefined under the
same id, and files whose video a user has to choose. Frame i is the i-th picture the ffmpeg
tool's decoder outputs (one thread, deblocking skipped, the chosen stream mapped), the same
in every order of requests and whatever this process decoded before. Where the tool conceals
a damaged picture in memory its own pool used for other pictures, the reference is the
tool's decode of a copy of the file that begins at the frame's key packet, whose pictures
are fresh, zeroed memory."""

import json
import random
import struct
from pathlib import Path

import numpy as np
import pytest

import vexmira
from bitstream_edit import PPS, SLICE, SPS, IDR, annex_b_units, nal_type
from media import ffmpeg, video_input, x264
from oracle import plane_sizes, private_copy
from tool_runs import checked_output
from vexmira_tools.stats import main as stats_main

# ---- Recipes -------------------------------------------------------------------------------


def lost_in_second_key_picture(clip: str) -> callable:
    """An MPEG-TS file with 8 transport packets lost from the middle of its second key
    picture."""
    def make(made, path: Path) -> None:
        key = [packet for packet in packets(made(clip)) if "K" in packet["flags"]][1]
        start = (int(key["pos"]) // 188 + int(key["size"]) // 188 // 2) * 188
        data = made(clip).read_bytes()
        path.write_bytes(data[:start] + data[start + 8 * 188:])
    return make


def cut_at(clip: str, share: float) -> callable:
    """The first `share` of the file's bytes, as a recording that was interrupted."""
    def make(made, path: Path) -> None:
        data = made(clip).read_bytes()
        path.write_bytes(data[:int(len(data) * share)])
    return make


def cut_inside_last_key_picture(clip: str) -> callable:
    def make(made, path: Path) -> None:
        key = [packet for packet in packets(made(clip)) if "K" in packet["flags"]][-1]
        path.write_bytes(made(clip).read_bytes()[:int(key["pos"]) + int(key["size"]) // 2])
    return make


def joined_with_first_parameter_sets_only(*clips: str) -> callable:
    """Raw streams joined with cat, each with its SPS and PPS before its first picture only."""
    def first_only(data: bytes) -> bytes:
        units, pictures_seen = [], False
        for unit in annex_b_units(data):
            if nal_type(unit) in (SPS, PPS) and pictures_seen:
                continue
            pictures_seen = pictures_seen or nal_type(unit) in (SLICE, IDR)
            units.append(unit)
        return b"".join(units)
    return lambda made, path: path.write_bytes(b"".join(first_only(made(clip).read_bytes()) for clip in clips))


def mp4_boxes(data: bytes):
    at = 0
    while at < len(data):
        size, kind = struct.unpack(">I4s", data[at:at + 8])
        yield kind, data[at:at + size]
        at += size


def user_data_first(clip: str) -> callable:
    """The MP4 file with its movie's user data (where the cover art lies) ahead of its tracks,
    as some taggers write it: the demuxer then makes the cover art the first stream."""
    def make(made, path: Path) -> None:
        boxes = []
        for kind, box in mp4_boxes(made(clip).read_bytes()):
            if kind == b"moov":
                children = list(mp4_boxes(box[8:]))
                box = box[:8] + b"".join(child for name, child in sorted(children, key=lambda c: c[0] != b"udta"))
            boxes.append(box)
        path.write_bytes(b"".join(boxes))
    return make


def ffmpeg_arguments(*arguments: str) -> callable:
    return lambda made, path: ffmpeg(*arguments, path)


def clip(size: str, pix_fmt: str, frames: int = 75, extra: str = "", then: str = "") -> list[str]:
    return video_input(size=size, frames=frames, then=then) + x264(gop=25, pix_fmt=pix_fmt, extra=extra)


COVER = ["-f", "lavfi", "-i", "testsrc=size=32x32:rate=1,trim=end_frame=1"]
RECIPES = {
    "ts_10bit": (".ts", clip("320x240", "yuv420p10le")),
    "ts_10bit_lost": (".ts", lost_in_second_key_picture("ts_10bit")),
    "ts_422": (".ts", clip("320x240", "yuv422p")),
    "ts_422_lost": (".ts", lost_in_second_key_picture("ts_422")),
    "ts_422_10bit": (".ts", clip("320x240", "yuv422p10le", frames=50)),
    "ts_422_10bit_cut": (".ts", cut_inside_last_key_picture("ts_422_10bit")),
    "mp4_fragmented": (".mp4", clip("320x240", "yuv420p", frames=100) + ["-movflags", "+frag_keyframe+empty_moov"]),
    "mp4_fragmented_cut": (".mp4", cut_at("mp4_fragmented", 0.61)),
    "flv": (".flv", clip("320x240", "yuv420p", frames=100)),
    "flv_cut": (".flv", cut_at("flv", 0.61)),
    "h264_96x64": (".h264", clip("96x64", "yuv420p")),
    "h264_64x48": (".h264", clip("64x48", "yuv420p", then="negate")),
    "h264_cavlc": (".h264", clip("96x64", "yuv420p", extra="cabac=0:chroma-qp-offset=4", then="negate")),
    "h264_sizes_joined": (".h264", joined_with_first_parameter_sets_only("h264_96x64", "h264_64x48")),
    "h264_pps_joined": (".h264", joined_with_first_parameter_sets_only("h264_96x64", "h264_cavlc")),
    "mp4_two_videos": (".mp4", ffmpeg_arguments(*video_input(size="64x48", frames=30),
                                                *video_input(size="32x32", frames=20, then="negate"),
                                                "-map", "0", "-map", "1", *x264())),
    # Two programs, the MPEG-2 one first.
    "ts_two_programs": (".ts", ffmpeg_arguments(*video_input(size="64x48", frames=30),
                                                *video_input(size="96x64", frames=40), "-map", "0", "-map", "1",
                                                "-c:v:0", "mpeg2video", "-c:v:1", "libx264", "-g", "12",
                                                "-program", "st=0", "-program", "st=1")),
    # Cover art, then the video and a sound track.
    "mp4_with_cover_art": (".mp4", ffmpeg_arguments(*COVER, *video_input(frames=30), "-f", "lavfi", "-i",
                                               "sine=frequency=440:sample_rate=48000", "-map", "0", "-map", "1",
                                               "-map", "2", "-shortest", "-c:v:0", "png", "-disposition:v:0",
                                               "attached_pic", "-c:v:1", "libx264", "-c:a", "aac")),
    "mp4_cover_art": (".mp4", user_data_first("mp4_with_cover_art")),
    # 576 interlaced lines coded as macroblock pairs (MBAFF), with B pictures, cut inside its
    # last picture.
    "ts_mbaff_576i": (".ts", video_input(size="720x576", rate="50", frames=150, then="tinterlace=mode=interleave_top")
                      + x264(bframes=3, gop=25, extra="interlaced=1")),
    "ts_mbaff_576i_cut": (".ts", cut_at("ts_mbaff_576i", 0.61)),
    # One IDR picture, then a recovery point every 30 frames whose refresh takes most of them.
    "h264_intra_refresh": (".h264", video_input(size="160x96", frames=200)
                           + x264(bframes=2, gop=30, extra="intra-refresh=1")),
    "ts_intra_refresh": (".ts", video_input(size="160x96", frames=200) + x264(bframes=0, gop=30,
                                                                             extra="intra-refresh=1")),
}


class Made:
    def __init__(self, folder: Path):
        self.folder, self.paths = folder, {}

    def __call__(self, name: str) -> Path:
        if name not in self.paths:
            suffix, recipe = RECIPES[name]
            path = self.folder / f"{name}{suffix}"
            recipe(self, path) if callable(recipe) else ffmpeg(*recipe, path)
            self.paths[name] = path
        return self.paths[name]


@pytest.fixture(scope="session")
def made(tmp_path_factory) -> Made:
    return Made(tmp_path_factory.mktemp("damaged_and_unusual"))


# ---- What the tool decodes -----------------------------------------------------------------

def packets(path: Path, stream: int = 0) -> list[dict]:
    result = checked_output(["ffprobe", "-v", "error", "-select_streams", str(stream), "-show_entries",
                             "packet=pos,size,flags", "-of", "json", str(path)])
    return json.loads(result.stdout)["packets"]


Picture = tuple[int, int, bytes]  # width, height, planes tightly packed


def tool_pictures(path: Path, pix_fmt: str, stream: int = 0) -> list[Picture]:
    """Each picture the tool outputs, in its own size."""
    frames = json.loads(checked_output(
        ["ffprobe", "-v", "error", "-threads", "1", "-select_streams", str(stream), "-show_entries",
         "frame=width,height", "-of", "json", str(path)]).stdout)["frames"]
    data = checked_output(["ffmpeg", "-nostdin", "-v", "error", "-threads", "1", "-skip_loop_filter", "all",
                           "-i", str(path), "-map", f"0:{stream}", "-autoscale", "0", "-fps_mode", "passthrough",
                           "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"], text=False).stdout
    sample = 2 if "10" in pix_fmt else 1
    pictures, offset = [], 0
    for frame in frames:
        width, height = frame["width"], frame["height"]
        size = sample * sum(columns * rows for columns, rows in plane_sizes(width, height, pix_fmt))
        pictures.append((width, height, data[offset:offset + size]))
        offset += size
    assert pictures and offset == len(data), "ffprobe and the ffmpeg tool decode the same pictures"
    return pictures


def from_each_key_packet(path: Path, pix_fmt: str) -> list[Picture]:
    """Frame by frame, the tool's decode of a copy of the MPEG-TS file that begins at the
    frame's key packet (the transport packets before the first key packet, which describe
    the programs, in front): its pictures lie in memory that no other picture used."""
    keys = [int(packet["pos"]) for packet in packets(path) if "K" in packet["flags"]]
    data = path.read_bytes()
    reference = tool_pictures(path, pix_fmt)
    for key in keys:
        with private_copy(f"{path.stem}_from_{key}.ts", data[:keys[0]] + data[key:]) as copy:
            pictures = tool_pictures(copy, pix_fmt)
        reference[len(reference) - len(pictures):] = pictures
    return reference


def picture(session, index: int, width: int, height: int) -> bytes:
    """The frame's planes, rows without their padding, in the size the tool gives it."""
    parts = []
    for plane, (columns, rows) in enumerate(plane_sizes(width, height, session.pix_fmt)):
        data = session.get_plane_data(index, plane)
        parts.append(np.ascontiguousarray(data[:rows, :columns]).tobytes() if data.shape[0] == rows else b"")
    return b"".join(parts)


def orders(count: int) -> dict[str, list[int]]:
    return {"in order": list(range(count)), "reversed": list(range(count))[::-1],
            "shuffled": random.Random(count).sample(range(count), count)}


def wrong_frames(path: Path, expected: list[Picture], stream: int | None = None) -> dict[str, list[int]]:
    """For each order of requests, on a session of its own, the frames whose picture is not
    the expected one."""
    wrong = {}
    for name, order in orders(len(expected)).items():
        with vexmira.H264DecoderSession(str(path), stream=stream) as session:
            assert session.num_frames == len(expected)
            wrong[name] = sorted(index for index in order if picture(session, index, *expected[index][:2])
                                 != expected[index][2])
    return wrong


def decode_every_frame(path: Path) -> None:
    with vexmira.H264DecoderSession(str(path)) as session:
        for index in range(session.num_frames):
            session.get_plane_data(index, 0)


def conceals(path: Path) -> bool:
    log = checked_output(["ffmpeg", "-nostdin", "-threads", "1", "-i", str(path), "-map", "0:v:0", "-f", "null",
                          "-"]).stderr
    return "concealing" in log


# ---- Damaged pictures ----------------------------------------------------------------------

# Damaged file -> the sound file it was made from, of the same size and format.
DAMAGED = {"ts_10bit_lost": "ts_10bit", "ts_422_lost": "ts_422", "ts_422_10bit_cut": "ts_422_10bit",
           "ts_mbaff_576i_cut": "ts_mbaff_576i"}


@pytest.mark.parametrize("name", DAMAGED)
def test_a_damaged_picture_depends_on_the_file_alone(made, name):
    """At 2 bytes per sample FFmpeg's concealment writes half of each damaged row, and in
    4:2:2 part of each chroma block; what it leaves, and reads back to guess the rest, must
    not be another picture's. After the sound file was decoded in this process, every frame
    in three orders and in a shuffled batch, whose one decoder decodes the intervals in turn."""
    path = made(name)
    assert conceals(path)
    pix_fmt = vexmira.H264DecoderSession(str(path)).pix_fmt
    expected = from_each_key_packet(path, pix_fmt)
    decode_every_frame(made(DAMAGED[name]))
    assert wrong_frames(path, expected) == {order: [] for order in orders(len(expected))}
    with vexmira.H264DecoderSession(str(path)) as session:
        frames = orders(len(expected))["shuffled"]
        width, height = session.width, session.height
        batch = [session.get_planes(frames, plane, threads=1) for plane in range(3)]
    wrong = [index for k, index in enumerate(frames)
             if b"".join(planes[k].tobytes() for planes in batch) != expected[index][2]]
    assert (width, height, wrong) == (*expected[0][:2], [])


# ---- Interrupted recordings ----------------------------------------------------------------

@pytest.mark.parametrize("name", ["mp4_fragmented_cut", "flv_cut"])
def test_a_packet_cut_inside_its_unit_is_no_frame(made, name):
    """The last packet's NAL unit runs past the packet's end: the decoder refuses it whole."""
    path = made(name)
    expected = tool_pictures(path, "yuv420p")
    assert len(packets(path)) == len(expected) + 1
    assert wrong_frames(path, expected) == {order: [] for order in orders(len(expected))}


# ---- Parameter sets redefined under the same id --------------------------------------------

@pytest.mark.parametrize(("name", "differing"), [("h264_sizes_joined", {SPS}), ("h264_pps_joined", {PPS})])
def test_each_key_picture_decodes_with_its_own_parameter_sets(made, name, differing):
    """Two streams joined, each with its parameter sets (id 0) before its first picture only:
    a key picture of the second decodes with the second's, whatever was decoded before."""
    path = made(name)
    units = annex_b_units(path.read_bytes())
    sets = {kind: [unit for unit in units if nal_type(unit) == kind] for kind in (SPS, PPS)}
    assert {kind for kind, found in sets.items() if len(found) == 2 and found[0] != found[1]} == differing
    expected = tool_pictures(path, "yuv420p")
    assert wrong_frames(path, expected) == {order: [] for order in orders(len(expected))}


# ---- The stream a user means ---------------------------------------------------------------

@pytest.mark.parametrize(("name", "default", "chosen"), [("mp4_two_videos", (0, "h264", 64), (1, 32)),
                                                         ("ts_two_programs", (0, "mpeg2video", 64), (1, 96)),
                                                         ("mp4_cover_art", (1, "h264", 64), (1, 64))])
def test_the_first_video_stream_opens_unless_another_is_chosen(made, name, default, chosen):
    """Cover art is no video stream of the default choice. The chosen stream's frames are the
    tool's decode of that stream."""
    path = made(name)
    opened = vexmira.H264DecoderSession(str(path))
    assert (opened.stream_index, opened.codec, opened.width) == default
    stream, width = chosen
    assert vexmira.H264DecoderSession(str(path), stream=stream).width == width
    expected = tool_pictures(path, "yuv420p", stream)
    assert wrong_frames(path, expected, stream) == {order: [] for order in orders(len(expected))}


@pytest.mark.parametrize("stream", [2, 3, -1])
def test_a_stream_that_is_no_video_is_refused_with_what_the_file_holds(made, stream):
    path = made("mp4_cover_art")
    with pytest.raises(ValueError, match="stream" if stream < 0 else
                       "0: video png \\(attached picture\\), 1: video h264, 2: audio aac"):
        vexmira.H264DecoderSession(str(path), stream=stream)


def test_a_chosen_stream_survives_pickling_and_is_read_by_vexmira_stats(made, tmp_path):
    import pickle
    path = made("ts_two_programs")
    again = pickle.loads(pickle.dumps(vexmira.H264DecoderSession(str(path), stream=1)))
    assert (again.stream_index, again.codec) == (1, "h264")
    output = tmp_path / "stats.csv"
    assert stats_main([str(path), "--stream", "1", "--threads", "1", "-o", str(output)]) == 0
    rows = output.read_text().splitlines()[1:]
    assert len(rows) == len(tool_pictures(path, "yuv420p", 1))


# ---- Intra refresh -------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["h264_intra_refresh", "ts_intra_refresh"])
def test_frames_before_a_recovery_completes_come_from_the_recovery_point_before(made, name):
    """Decoding from a recovery point, FFmpeg withholds the pictures shown before its refresh
    completes; those frames are the ones decoding from the recovery point before gives."""
    path = made(name)
    assert sum("K" in packet["flags"] for packet in packets(path)) > 5
    expected = tool_pictures(path, "yuv420p")
    assert wrong_frames(path, expected) == {order: [] for order in orders(len(expected))}


def test_intervals_begin_where_the_tools_decode_from_each_key_packet_begins(made):
    """Each run of frames decoded from one key packet begins with the first picture the tool
    outputs from a copy of the file that begins at that key packet: no request decodes from
    a recovery point that withholds its frame, only to decode again from the one before."""
    path = made("ts_intra_refresh")
    keys = [int(packet["pos"]) for packet in packets(path) if "K" in packet["flags"]]
    data = path.read_bytes()
    count = len(tool_pictures(path, "yuv420p"))
    starts = []
    for key in keys:
        with private_copy(f"{path.stem}_from_{key}.ts", data[:keys[0]] + data[key:]) as copy:
            starts.append(count - len(tool_pictures(copy, "yuv420p")))
    assert [int(start) for start in vexmira.H264DecoderSession(str(path)).key_frame_intervals()] == starts


@pytest.mark.parametrize("gap", [20, 12])
def test_a_damaged_picture_reached_from_an_earlier_frame_is_the_same(made, gap):
    """FFmpeg conceals the cut picture with the picture decoded just before it: decoding on
    from a frame far enough back to skip the unreferenced pictures between must not change it."""
    path = made("ts_mbaff_576i_cut")
    expected = from_each_key_packet(path, "yuv420p")
    last = len(expected) - 1
    with vexmira.H264DecoderSession(str(path)) as session:
        picture(session, last - gap, *expected[last - gap][:2])
        assert picture(session, last, *expected[last][:2]) == expected[last][2]
