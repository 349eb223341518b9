"""Macroblock types against the ffmpeg tool's own -debug mb_type log and against x264's
end-of-encode statistics, in random order and in batches, with the log callback's routing
between decoders and what happens when another library takes the callback."""

import random
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

import vexmira
from conftest import requested
from media import CASES
from oracle import PARTITION_OF, TYPE_OF, decoded_pictures, ffprobe, reference_mb_types, shown_maps

MbType, Partition = vexmira.MbType, vexmira.Partition
# B-frames with a pyramid, MBAFF, intra only, lossless, CAVLC (baseline) and 10 bits.
CLIPS = ["mp4_pyramid", "mp4_mbaff", "mp4_intra", "mp4_lossless", "h264_raw_baseline", "mp4_10bit"]
INTRA = {MbType.INTRA_4X4, MbType.INTRA_16X16, MbType.INTRA_PCM}
INTER = {MbType.L0, MbType.L1, MbType.BI}


def as_map(rows: list[str]) -> np.ndarray:
    """The structured array the printed rows stand for."""
    cells = [[row[i:i + 3] for i in range(0, len(row), 3)] for row in rows]
    expected = np.zeros((len(cells), len(cells[0])), dtype=[("type", "u1"), ("partition", "u1"), ("interlaced", "?")])
    expected["type"] = [[TYPE_OF[cell[0]] for cell in row] for row in cells]
    expected["partition"] = [[PARTITION_OF[cell[1]] for cell in row] for row in cells]
    expected["interlaced"] = [[cell[2] == "=" for cell in row] for row in cells]
    return expected


@pytest.fixture(scope="module")
def reference(media):
    """Every frame's expected map of a named clip, from the ffmpeg tool's log."""
    made = {}

    def of(clip):
        if clip not in made:
            made[clip] = [as_map(rows) for rows in reference_mb_types(media(clip))]
        return made[clip]
    return of


def wrong_frames(got_maps, frames, expected) -> list[int]:
    return [frame for got, frame in zip(got_maps, frames) if got.tolist() != expected[frame].tolist()]


@pytest.mark.parametrize("read_ahead", [None, 2])
@pytest.mark.parametrize("clip", CLIPS)
def test_every_map_in_random_order_equals_the_tool_log(media, reference, clip, read_ahead):
    """In random order, and in order on a session that reads two intervals ahead, whose
    decoders capture the types on their own threads."""
    expected = reference(clip)
    session = vexmira.H264DecoderSession(str(media(clip)), mb_types=True, read_ahead=read_ahead)
    assert len(expected) == session.num_frames
    order = (random.Random(clip).sample(range(session.num_frames), session.num_frames) if read_ahead is None
             else range(session.num_frames))
    maps = [session.get_mbtype_map(i) for i in order]
    assert {(got.dtype, got.shape) for got in maps} == {(expected[0].dtype, (session.mb_rows, session.mb_cols))}
    assert wrong_frames(maps, order, expected) == []


@pytest.mark.parametrize("order", ["reversed", "shuffled"])
@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("clip", CLIPS)
def test_batch_maps_equal_the_tool_log(media, reference, clip, threads, order):
    expected = reference(clip)
    session = vexmira.H264DecoderSession(str(media(clip)), mb_types=True)
    frames = requested(order, session.num_frames)
    maps = session.get_mbtype_maps(frames, threads=threads)
    assert maps.shape == (len(frames), session.mb_rows, session.mb_cols)
    assert wrong_frames(maps, frames, expected) == []


def test_the_clips_show_every_kind_the_encoder_makes(reference):
    """x264 codes no PCM macroblocks; everything else occurs, MBAFF's field pairs included."""
    seen = np.concatenate([np.ravel(m) for clip in CLIPS for m in reference(clip)])
    assert set(seen["type"]) == set(TYPE_OF.values()) - {MbType.INTRA_PCM}
    assert set(seen["partition"]) == set(PARTITION_OF.values())
    assert np.concatenate([np.ravel(m) for m in reference("mp4_mbaff")])["interlaced"].any()


# Pictures cropped at the left and top, field pictures, and MBAFF frames of 240 lines, whose
# decoder codes 16 rows of macroblocks where the picture shows 15.
PLACED = ["mp4_crop_left_top", "h264_crop_left_top", "mp4_crop_top_8", "mp4_field_pictures", "mp4_mbaff_320x240"]


@pytest.mark.parametrize("clip", PLACED)
def test_maps_of_cropped_and_interlaced_pictures_are_placed_as_the_qp_maps(media, clip):
    """The tool prints every coded macroblock; each cell of the map is the one under the
    cell's top left sample, by the rule the QP maps follow (test_real_world_files)."""
    path = media(clip)
    coded = [[[row[i:i + 3] for i in range(0, len(row), 3)] for row in rows] for rows in reference_mb_types(path)]
    shown = shown_maps(path, [picture for _, picture in decoded_pictures(path)], coded)
    expected = [as_map(["".join(cells) for cells in grid]) for grid in shown]
    session = vexmira.H264DecoderSession(str(path), mb_types=True)
    assert session.num_frames == len(expected)
    frames = random.Random(clip).sample(range(session.num_frames), session.num_frames)
    assert wrong_frames([session.get_mbtype_map(i) for i in frames], frames, expected) == []
    assert wrong_frames(session.get_mbtype_maps(frames, threads=2), frames, expected) == []


@pytest.mark.parametrize("deblocking", ["exact", "on"])
def test_deblocking_changes_no_type(media, reference, deblocking):
    expected = reference("mp4_pyramid")
    session = vexmira.H264DecoderSession(str(media("mp4_pyramid")), mb_types=True, deblocking=deblocking)
    frames = list(range(session.num_frames))[::-1]
    assert wrong_frames([session.get_mbtype_map(i) for i in frames], frames, expected) == []


# ---- x264's own statistics ---------------------------------------------------------------

@pytest.fixture(scope="module")
def x264_encode(tmp_path_factory):
    """A clip and the statistics x264 printed at the end of its encode. b8x8 is left out:
    x264 counts the direct 8x8 blocks of a B_8x8 macroblock as quarters of a direct one. The
    clip goes to a folder of this process's own: every process of the suite encodes it."""
    path = tmp_path_factory.mktemp("x264_stats") / "x264_stats.mp4"
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "info", "-y",
                          "-f", "lavfi", "-i", "testsrc2=size=176x144:rate=25,trim=end_frame=60",
                          "-c:v", "libx264", "-preset", "medium", "-bf", "3", "-g", "30", "-pix_fmt", "yuv420p",
                          "-x264-params", "partitions=p8x8,i8x8,i4x4:b-pyramid=normal", str(path)],
                         check=True, capture_output=True, text=True).stderr
    return path, x264_statistics(log)


def percentages(text: str) -> list[float]:
    return [float(value) for value in re.findall(r"(\d+\.\d)%", text)]


def x264_statistics(log: str) -> dict[str, dict[str, list[float]]]:
    """The "mb I/P/B" lines: for each slice type, each group of percentages by its label."""
    found = {}
    for kind, rest in re.findall(r"\] mb ([IPB]) +(.*)$", log, re.M):
        groups = re.findall(r"([A-Za-z0-9.]+): *((?:\d+\.\d% *)+)", rest)
        found[kind] = {label: percentages(values) for label, values in groups}
    assert set(found) == {"I", "P", "B"}, log
    return found


def shares(maps: np.ndarray) -> dict[str, list[float]]:
    """The module's counts, in percent of all macroblocks of the slice type, grouped as x264
    prints them."""
    types, partitions = maps["type"], maps["partition"]
    total = types.size

    def percent(selected) -> float:
        return 100.0 * np.count_nonzero(selected) / total
    inter = np.isin(types, list(INTER))
    result = {"I16..4": [percent(types == MbType.INTRA_16X16), percent(types == MbType.INTRA_4X4)],
              "skip": [percent((types == MbType.SKIP) | (types == MbType.DIRECT_SKIP))],
              "direct": [percent(types == MbType.DIRECT)]}
    halves = percent(inter & np.isin(partitions, [Partition.P16X8, Partition.P8X16]))
    result["inter"] = [percent(inter & (partitions == Partition.P16X16)), halves,
                       percent(inter & (partitions == Partition.P8X8))]
    return result


def test_counts_reproduce_x264_statistics(x264_encode):
    """Within x264's rounding to 0.1 %: intra 16x16 and 4x4/8x8 (the module does not tell
    those two apart, so against their sum), skip, direct, and the inter partitions."""
    path, printed = x264_encode
    session = vexmira.H264DecoderSession(str(path), mb_types=True)
    maps = session.get_mbtype_maps(threads=2)
    kinds = session.frame_stats(threads=2)["pict_type"]
    tolerance = 0.05 + 1e-9
    for kind, stats in printed.items():
        mine = shares(maps[kinds == kind])
        i16, i8, i4 = stats["I16..4"][:3]
        assert mine["I16..4"] == pytest.approx([i16, i8 + i4], abs=2 * tolerance), kind
        if kind == "P":
            p16, p16x8, p8x8, p8x4, p4x4 = stats["P16..4"]
            assert mine["inter"] == pytest.approx([p16, p16x8, p8x8 + p8x4 + p4x4], abs=3 * tolerance)
            assert mine["skip"] == pytest.approx(stats["skip"], abs=tolerance)
        if kind == "B":
            assert mine["inter"] == pytest.approx(stats["B16..8"], abs=tolerance)
            assert mine["direct"] == pytest.approx(stats["direct"], abs=tolerance)
            assert mine["skip"] == pytest.approx(stats["skip"], abs=tolerance)
    # Enough of each kind that a swapped pair of types would show.
    assert min(printed["P"]["skip"][0], printed["B"]["direct"][0], printed["P"]["P16..4"][1]) > 1.0


# ---- Counts per frame, and vexmira-stats --------------------------------------------------

def reference_counts(maps) -> dict[str, list[int]]:
    return {"mb_intra": [int(np.isin(m["type"], list(INTRA)).sum()) for m in maps],
            "mb_skip": [int(np.isin(m["type"], [MbType.SKIP, MbType.DIRECT_SKIP]).sum()) for m in maps],
            "mb_direct": [int((m["type"] == MbType.DIRECT).sum()) for m in maps],
            "mb_inter": [int(np.isin(m["type"], list(INTER)).sum()) for m in maps]}


@pytest.mark.parametrize("threads", [1, 2])
def test_frame_stats_count_each_kind(media, reference, threads):
    expected = reference_counts(reference("mp4_pyramid"))
    session = vexmira.H264DecoderSession(str(media("mp4_pyramid")), mb_types=True)
    frames = requested("shuffled", session.num_frames)
    stats = session.frame_stats(frames, threads=threads)
    for name, counts in expected.items():
        assert stats[name].dtype == np.int32
        assert stats[name].tolist() == [counts[frame] for frame in frames], name
    assert not {"mb_intra", "mb_skip", "mb_direct", "mb_inter"} & set(vexmira.H264DecoderSession(
        str(media("mp4_pyramid"))).frame_stats(threads=threads))


def test_stats_cli_writes_the_counts(media, reference, tmp_path):
    from vexmira_tools.stats import main
    out = tmp_path / "stats.parquet"
    assert main([str(media("mp4_pyramid")), str(media("mp4_mbaff")), "-o", str(out), "--mb-types"]) == 0
    import pyarrow.parquet as pq
    table = pq.read_table(out).to_pydict()
    for clip in ("mp4_pyramid", "mp4_mbaff"):
        rows = [i for i, name in enumerate(table["file"]) if name == str(media(clip))]
        for name, counts in reference_counts(reference(clip)).items():
            assert [table[name][i] for i in rows] == counts, (clip, name)
    assert main([str(media("mp4_pyramid")), "-o", str(tmp_path / "plain.parquet")]) == 0
    assert "mb_intra" not in pq.read_table(tmp_path / "plain.parquet").column_names


# ---- What a map cannot give ---------------------------------------------------------------

def test_sessions_without_mb_types_refuse_and_errors_are_the_frame_methods(media):
    plain = vexmira.H264DecoderSession(str(media("mp4")))
    for call in (lambda: plain.get_mbtype_map(0, source="decode"), lambda: plain.get_mbtype_maps([0])):
        with pytest.raises(RuntimeError, match=r"open it with H264DecoderSession\(path, mb_types=True\)"):
            call()
    session = vexmira.H264DecoderSession(str(media("mp4")), mb_types=True)
    with pytest.raises(IndexError, match=f"^Frame index out of bounds: {session.num_frames} \\("):
        session.get_mbtype_map(session.num_frames)
    with pytest.raises(IndexError, match="^Frame index out of bounds: -1 \\("):
        session.get_mbtype_maps([0, -1])
    assert session.get_mbtype_maps([]).shape == (0, session.mb_rows, session.mb_cols)


@pytest.mark.parametrize("seed", [1, 2])
def test_damaged_pictures_have_unknown_types_where_they_have_no_qp(media, reference, tmp_path, seed):
    """A picture the decoder reports damaged has no QP map, and no types either: the decoder's
    types of concealed macroblocks are its guesses. Every other picture has the tool's types."""
    path = CASES[f"mp4_damaged_slices_{seed}"].make(media, tmp_path)
    session = vexmira.H264DecoderSession(str(path), mb_types=True)
    printed = [as_map(rows) for rows in reference_mb_types(path)]
    assert len(printed) == session.num_frames
    no_qp, wrong = [], []
    for index in range(session.num_frames)[::-1]:
        types = session.get_mbtype_map(index)["type"]
        if (session.get_qpmap(index) == -1).all():
            no_qp.append(index)
            wrong += [] if (types == MbType.UNKNOWN).all() else [index]
        elif types.tolist() != printed[index]["type"].tolist():
            wrong.append(index)
    assert no_qp, "the damage made the decoder conceal something"
    assert wrong == []


def test_pictures_dropped_after_printing_leave_the_others_their_own_rows(media, tmp_path):
    """An MP4 cut without decoding again starts with an edit list: the decoder decodes the
    pictures before its start, prints their types, and then drops them (their packets are
    marked to discard). Every picture it returns has its own rows, found by timestamp."""
    path = tmp_path / "cut.mp4"
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-ss", "0.5", "-i", str(media("mp4_pyramid")),
                    "-c", "copy", str(path)], check=True)
    # The tool prints every picture it decodes, those it then drops too, in presentation order.
    timestamps = sorted({int(packet["pts"]) for packet in ffprobe(path, "-show_entries", "packet=pts")["packets"]})
    printed = dict(zip(timestamps, (as_map(rows) for rows in reference_mb_types(path)), strict=True))
    session = vexmira.H264DecoderSession(str(path), mb_types=True)
    stats = session.frame_stats(threads=2)
    produced = np.flatnonzero(stats["decoded"]).tolist()
    assert 0 < len(produced) < len(printed), "some pictures printed were dropped"
    expected = {frame: printed[stats["pts"][frame]] for frame in produced}
    assert wrong_frames([session.get_mbtype_map(i) for i in produced], produced, expected) == []
    assert wrong_frames(session.get_mbtype_maps(produced[::-1], threads=2), produced[::-1], expected) == []


def test_a_codec_without_types_gives_unknown_everywhere(media):
    session = vexmira.H264DecoderSession(str(media("mkv_ffv1")), mb_types=True)
    maps = session.get_mbtype_maps()
    assert maps.shape == (session.num_frames, 3, 4)
    assert (maps["type"] == MbType.UNKNOWN).all() and (maps["partition"] == Partition.UNKNOWN).all()


# ---- The log callback ---------------------------------------------------------------------

def test_two_sessions_decoding_at_once_each_get_their_own_rows(media, reference):
    """Two files of different grids, read at once on two threads, each over and over, in an
    order that makes each seek: rows given to the wrong decoder would not fit or not match."""
    clips = ["mp4_pyramid", "mp4_mbaff"]
    problems: list[str] = []
    start = threading.Barrier(len(clips))

    def read(clip):
        session = vexmira.H264DecoderSession(str(media(clip)), mb_types=True)
        expected = reference(clip)
        start.wait()
        try:
            for round_number in range(4):
                frames = random.Random(round_number).sample(range(session.num_frames), session.num_frames)
                problems.extend(f"{clip} frame {frame}" for frame in
                                wrong_frames([session.get_mbtype_map(i) for i in frames], frames, expected))
                session = vexmira.H264DecoderSession(str(media(clip)), mb_types=True)
        except Exception as error:  # noqa: BLE001 - reported as a problem of that thread
            problems.append(f"{clip}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=read, args=(clip,)) for clip in clips]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert problems == []


ANOTHER_LIBRARY = """
import ctypes, re, sys
from pathlib import Path
import vexmira

def loaded(name):
    pattern = re.compile(rf"/lib{name}[-.][^/]*$")
    return next(line.split(maxsplit=5)[5] for line in Path("/proc/self/maps").read_text().splitlines()
                if len(line.split(maxsplit=5)) == 6 and pattern.search(line))

first = vexmira.H264DecoderSession(sys.argv[1], mb_types=True)
first.get_mbtype_map(0)
avutil = ctypes.CDLL(loaded("avutil"))
avutil.av_log_set_callback(ctypes.cast(avutil.av_log_default_callback, ctypes.c_void_p))
later = vexmira.H264DecoderSession(sys.argv[1], mb_types=True)
for name, call in [("map", lambda: later.get_mbtype_map(3)), ("batch", lambda: later.get_mbtype_maps([5, 6])),
                   ("stats", lambda: later.frame_stats(threads=1)), ("cached", lambda: first.get_mbtype_map(0))]:
    try:
        call()
        print(name, "no error")
    except RuntimeError as error:
        print(name, error)
"""


def test_a_callback_set_by_another_library_makes_the_maps_raise(media, tmp_path):
    """In a process of its own, since the callback cannot be given back. What was read before
    stays readable."""
    script = tmp_path / "another_library.py"
    script.write_text(ANOTHER_LIBRARY)
    result = subprocess.run([sys.executable, str(script), str(media("mp4_pyramid"))], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    reason = ("FFmpeg printed none for its picture. They come through FFmpeg's log callback: another library in "
              "this process has replaced it (av_log_set_callback)")
    lines = result.stdout.splitlines()
    assert [line[:line.index(":") + 2 + len(reason)] for line in lines[:3]] == [
        f"map No macroblock types for frame 3: {reason}", f"batch No macroblock types for frame 5: {reason}",
        f"stats No macroblock types for frame 0: {reason}"]
    assert lines[3:] == ["cached no error"]
