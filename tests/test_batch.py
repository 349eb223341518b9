"""Batch methods: many frames at once on parallel decoders. Every value is the ffmpeg tool's
for its frame (its decode without deblocking, its QP debug output, ffprobe's frame and packet
fields, the PPS), whatever the number of threads and the order and repeats of the request."""

import threading
from fractions import Fraction

import numpy as np
import pytest

import vexmira
from conftest import requested
from damage import slice_damage
from media import CASES, PICTURE_CLIPS, QP_REFERENCE_CLIPS, UNTIMED_CLIPS
from oracle import (damaged_packet_timestamps, expected_rate, ffprobe, plane_sizes, pps_chroma_offsets,
                    presentation_timestamps, reference_qp_maps, tools_clock)
from thread_probe import frame_problems, requests

THREADS = [1, 2, 3]


@pytest.fixture(scope="module")
def reference(media, reference_pictures):
    """Pictures, QP maps and chroma offsets of a clip. The maps of clips outside
    QP_REFERENCE_CLIPS are the frame methods', which test_qp_maps checks on the others."""
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            session = vexmira.H264DecoderSession(str(path))
            qp_maps = (reference_qp_maps(path, session.mb_rows, session.mb_cols) if clip in QP_REFERENCE_CLIPS
                       else [session.get_qpmap(i).tolist() for i in range(session.num_frames)])
            made[clip] = (reference_pictures(clip), qp_maps, pps_chroma_offsets(path))
        return made[clip]
    return of


def stacked_pictures(session, frames, threads) -> list[bytes]:
    """Each requested frame's three planes from get_planes, rows tightly packed."""
    planes = [session.get_planes(frames, plane, threads=threads) for plane in range(3)]
    for stacked, (columns, rows) in zip(planes, plane_sizes(session.width, session.height, session.pix_fmt)):
        assert stacked.shape == (len(frames), rows, columns)
        assert stacked.dtype == (np.uint16 if session.bytes_per_sample == 2 else np.uint8)
    return [b"".join(stacked[k].tobytes() for stacked in planes) for k in range(len(frames))]


@pytest.mark.parametrize("order", ["sorted", "reversed", "shuffled"])
@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("clip", PICTURE_CLIPS + UNTIMED_CLIPS)
def test_batch_equals_the_reference_decode(media, reference, clip, threads, order):
    pictures, qp_maps, _ = reference(clip)
    session = vexmira.H264DecoderSession(str(media(clip)))
    frames = requested(order, session.num_frames)

    maps = session.get_qpmaps(frames, threads=threads)
    assert maps.dtype == np.int8 and maps.shape == (len(frames), session.mb_rows, session.mb_cols)
    assert [frame for k, frame in enumerate(frames) if maps[k].tolist() != qp_maps[frame]] == []
    got = stacked_pictures(session, frames, threads)
    assert [frame for k, frame in enumerate(frames) if got[k] != pictures[frame]] == []


def frame_fields(path) -> dict[int, dict]:
    return {int(frame["pts"]): frame for frame in ffprobe(path, "-show_entries", "frame=pts,pict_type,key_frame")["frames"]
            if "pts" in frame}


def packet_bytes(path) -> dict[int, int]:
    sizes: dict[int, int] = {}
    for packet in ffprobe(path, "-show_entries", "packet=pts,size")["packets"]:
        if "pts" in packet:
            sizes[int(packet["pts"])] = sizes.get(int(packet["pts"]), 0) + int(packet["size"])
    return sizes


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("clip", ["mp4_long", "ts_open_gop", "mp4_10bit", "mp4_roi", "mp4_qp_busy"])
def test_frame_stats_rows_are_what_ffprobe_and_the_decoder_report(media, reference, clip, threads):
    path = media(clip)
    _, qp_maps, offsets = reference(clip)
    session = vexmira.H264DecoderSession(str(path))
    stats = session.frame_stats(threads=threads)
    timestamps = presentation_timestamps(path)
    frames, sizes = frame_fields(path), packet_bytes(path)
    time_base = Fraction(ffprobe(path, "-show_entries", "stream=time_base")["streams"][0]["time_base"])

    assert {len(values) for values in stats.values()} == {session.num_frames} == {len(timestamps)}
    assert stats["frame"].tolist() == list(range(len(timestamps)))
    assert stats["pts"].tolist() == timestamps
    np.testing.assert_allclose(stats["time"], [float(pts * time_base) for pts in timestamps], rtol=1e-12)
    assert stats["pict_type"].tolist() == [frames[pts]["pict_type"] for pts in timestamps]
    assert stats["key_frame"].tolist() == [frames[pts]["key_frame"] == 1 for pts in timestamps]
    assert stats["pkt_size"].tolist() == [sizes[pts] for pts in timestamps]
    assert stats["qp_mean"].tolist() == [float(np.mean(qp_map)) for qp_map in qp_maps]
    assert stats["qp_min"].tolist() == [int(np.min(qp_map)) for qp_map in qp_maps]
    assert stats["qp_max"].tolist() == [int(np.max(qp_map)) for qp_map in qp_maps]
    assert set(zip(stats["chroma_qp_offset_cb"].tolist(), stats["chroma_qp_offset_cr"].tolist())) == {offsets}
    assert stats["decoded"].all() and not stats["damaged"].any()


def frames_in_output_order(path, *entries: str) -> list[dict]:
    return ffprobe(path, "-threads", "1", "-show_entries", "frame=" + ",".join(entries))["frames"]


@pytest.mark.parametrize("clip", ["mp4_scene_cut", "ts_pts_repeated", "mkv_pts_repeated", "mp4_field_pictures"])
def test_frame_stats_of_unusual_files_are_ffprobes(media, clip):
    # An I picture that is not a key picture, frames numbered from the bitstream because
    # timestamps repeat, and field pairs whose two packets make one frame.
    path = media(clip)
    stats = vexmira.H264DecoderSession(str(path)).frame_stats(threads=2)
    frames = frames_in_output_order(path, "pict_type,key_frame,pkt_size")
    assert stats["pict_type"].tolist() == [frame["pict_type"] for frame in frames]
    assert stats["key_frame"].tolist() == [frame["key_frame"] == 1 for frame in frames]
    if clip == "mp4_scene_cut":
        assert any(kind == "I" and not key for kind, key in zip(stats["pict_type"], stats["key_frame"]))
    if clip.endswith("field_pictures"):
        # No B pictures: each frame's fields are the next two packets.
        sizes = [int(packet["size"]) for packet in ffprobe(path, "-show_entries", "packet=size")["packets"]]
        assert stats["pkt_size"].tolist() == [a + b for a, b in zip(sizes[::2], sizes[1::2])]
    else:
        assert stats["pkt_size"].tolist() == [int(frame["pkt_size"]) for frame in frames]


@pytest.mark.parametrize("seed", [1, 2])
def test_frame_stats_of_damaged_pictures_count_only_reported_qps(media, tmp_path, seed):
    # A picture whose data was damaged has no QP map, and then no statistics; every other
    # picture's are those of the map the ffmpeg tool prints.
    path = CASES[f"mp4_damaged_slices_{seed}"].make(media, tmp_path)
    damaged = damaged_packet_timestamps(path, slice_damage(media("mp4_long_faststart").read_bytes(), seed))
    session = vexmira.H264DecoderSession(str(path))
    reference = reference_qp_maps(path, session.mb_rows, session.mb_cols)
    stats = session.frame_stats(threads=2)
    without_map = [np.isnan(mean) and low == high == -1
                   for mean, low, high in zip(stats["qp_mean"], stats["qp_min"], stats["qp_max"])]
    assert any(without_map), "the damage made the decoder conceal something"
    for index, pts in enumerate(presentation_timestamps(path)):
        if without_map[index]:
            assert pts in damaged
            continue
        qp_map = np.array(reference[index])
        assert (stats["qp_mean"][index], stats["qp_min"][index], stats["qp_max"][index]) == \
            (qp_map.mean(), qp_map.min(), qp_map.max()), index


def test_frame_stats_of_chosen_frames_are_those_rows(media):
    session = vexmira.H264DecoderSession(str(media("mp4_open_gop")))
    everything = session.frame_stats(threads=2)
    frames = [90, 3, 3, 47, 0]
    chosen = session.frame_stats(frames, threads=1)
    for name, values in everything.items():
        np.testing.assert_array_equal(chosen[name], values[frames], err_msg=name)


@pytest.mark.slow
@pytest.mark.parametrize("name", ["mp4_damaged_slices_1", "ts_damaged_payload_5", "mp4_cut_late_in_data"])
def test_damaged_files_give_the_reference_pictures_or_the_frame_error(media, tmp_path, name):
    case = CASES[name]
    path = case.make(media, tmp_path)
    expected = case.reference(path)
    session = vexmira.H264DecoderSession(str(path))
    assert session.num_frames == len(expected)
    produced = [i for i, candidates in enumerate(expected) if candidates]
    missing = [i for i, candidates in enumerate(expected) if not candidates]
    single_maps = [session.get_qpmap(i).tolist() for i in produced]
    for threads in (1, 3):
        stats = session.frame_stats(threads=threads)
        assert np.flatnonzero(~stats["decoded"]).tolist() == missing
        stacks = [session.get_planes(produced, plane, threads=threads) for plane in range(3)]
        pictures = [tuple(stack[k].tobytes() for stack in stacks) for k in range(len(produced))]
        assert [i for i, planes in zip(produced, pictures)
                if not any(planes == candidate.planes for candidate in expected[i])] == []
        assert session.get_qpmaps(produced, threads=threads).tolist() == single_maps
        if missing:
            with pytest.raises(RuntimeError, match=f"^Failed to decode frame {missing[0]}$"):
                session.get_qpmaps(list(range(session.num_frames))[::-1], threads=threads)


def test_a_batch_while_four_threads_use_the_frame_methods(media, reference):
    pictures, qp_maps, offsets = reference("mp4_long")
    session = vexmira.H264DecoderSession(str(media("mp4_long")))
    problems: list[str] = []
    batches_done = threading.Event()

    def single_frames(number):
        try:
            while not batches_done.is_set():
                problems.extend(problem for index in requests(number, session.num_frames, 12)
                                for problem in frame_problems(session, index, (pictures, qp_maps, offsets)))
        except Exception as error:  # noqa: BLE001 - reported as a problem of that thread
            problems.append(f"thread {number}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=single_frames, args=(number,)) for number in range(4)]
    for thread in threads:
        thread.start()
    try:
        for batch_threads in (2, 3, 2):
            frames = requested("shuffled", session.num_frames)
            maps = session.get_qpmaps(frames, threads=batch_threads)
            problems += [f"batch frame {f}: QP map" for k, f in enumerate(frames) if maps[k].tolist() != qp_maps[f]]
            got = stacked_pictures(session, frames, batch_threads)
            problems += [f"batch frame {f}: picture" for k, f in enumerate(frames) if got[k] != pictures[f]]
    finally:
        batches_done.set()
        for thread in threads:
            thread.join()
    assert problems == []


def test_arguments_are_checked_before_decoding(media):
    session = vexmira.H264DecoderSession(str(media("mp4")))
    last = session.num_frames - 1
    with pytest.raises(IndexError, match=f"^Frame index out of bounds: {last + 1} \\("):
        session.get_qpmaps([0, last + 1])
    with pytest.raises(IndexError, match="^Frame index out of bounds: -1 \\("):
        session.get_planes([-1], 0)
    with pytest.raises(IndexError, match="^Invalid plane index: "):
        session.get_planes([0], 3)
    with pytest.raises(ValueError, match="threads"):
        session.get_qpmaps(threads=-1)
    with pytest.raises(TypeError):
        session.get_qpmaps(["1"])
    assert session.get_qpmaps([]).shape == (0, session.mb_rows, session.mb_cols)
    from_numpy = session.get_qpmaps(np.arange(last, -1, -1))
    from_generator = session.get_qpmaps(i for i in range(last, -1, -1))
    assert from_numpy.tolist() == from_generator.tolist() == [session.get_qpmap(i).tolist() for i in range(last, -1, -1)]


def test_pictures_of_another_size_are_refused(media, tmp_path):
    """A stream whose picture size changes midway: ffprobe says where, and the first frame of
    the new size is the one named, whichever of the two batches meets it."""
    path = CASES["ts_size_shrinks"].make(media, tmp_path)
    widths = [frame["width"] for frame in ffprobe(path, "-show_entries", "frame=width")["frames"]]
    first_other = next(i for i, width in enumerate(widths) if width != widths[0])
    session = vexmira.H264DecoderSession(str(path))
    for threads in (1, 3):
        with pytest.raises(ValueError, match=f"^Frame {first_other} is 32x32 "):
            session.get_planes(list(range(session.num_frames))[::-1], 0, threads=threads)
        with pytest.raises(ValueError, match=f"^Frame {first_other} is 32x32 "):
            session.get_qpmaps(threads=threads)
    assert session.get_planes(range(first_other), 0).shape == (first_other, session.height, session.width)


@pytest.mark.parametrize("clip", UNTIMED_CLIPS + ["mpg_mpeg2", "avi_mpeg4", "hevc_raw"])
def test_frames_numbered_from_the_bitstream_are_timed_at_the_streams_rate(media, clip):
    """pts counts the frames, time_base is one frame at the rate ffprobe reads, and time is
    the ffmpeg tool's clock for the same pictures, counted from its first: a raw stream's
    last frame of 36 at 25 frames a second is at 1.4 s, not at 36 / 1,200,000 s."""
    path = media(clip)
    session = vexmira.H264DecoderSession(path)
    stats = session.frame_stats()
    clock = tools_clock(path)
    assert stats["pts"].tolist() == list(range(session.num_frames)) and len(clock) == session.num_frames
    assert session.time_base == 1 / expected_rate(ffprobe(path, "-show_streams")["streams"][0])
    np.testing.assert_allclose(stats["time"], [time - clock[0] for time in clock], rtol=0, atol=1e-5)


@pytest.mark.parametrize("clip", PICTURE_CLIPS + ["ts_mpeg2", "mkv_hevc", "mp4_mpeg4"])
def test_where_timestamps_number_the_frames_time_base_is_the_streams(media, clip):
    path = media(clip)
    stream = ffprobe(path, "-show_entries", "stream=time_base")["streams"][0]
    assert vexmira.H264DecoderSession(path).time_base == Fraction(stream["time_base"])


def test_frame_stats_takes_its_arguments_as_get_qpmaps_does(media):
    """Positional frames, threads by keyword: the rows asked for, each with ffprobe's
    timestamp."""
    path = media("mp4_open_gop")
    session = vexmira.H264DecoderSession(path)
    timestamps = presentation_timestamps(path)
    frames = [90, 3, 3, 47]
    for stats in (session.frame_stats(frames), session.frame_stats(frames, threads=2),
                  session.frame_stats(np.array(frames), threads=1), session.frame_stats(threads=2, frames=frames),
                  session.frame_stats(frames=iter(frames), threads=np.int64(1))):
        assert stats["frame"].tolist() == frames
        assert stats["pts"].tolist() == [timestamps[frame] for frame in frames]
    assert session.frame_stats(None, threads=2)["frame"].tolist() == session.frame_stats()["frame"].tolist() == \
        list(range(len(timestamps)))
    with pytest.raises(TypeError):
        session.frame_stats(frames, 2)
    with pytest.raises(TypeError):
        session.frame_stats(frames, threads=2.5)
