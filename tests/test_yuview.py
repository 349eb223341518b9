"""vexmira-stats --yuview: the file keeps the rules of YUView's CSV statistics format (as its
reader, StatisticsFileCSV, applies them), and every value in it is the ffmpeg tool's: QP from
its QP debug output, types and partitions from its macroblock-type debug output, vectors from
FFmpeg's extract_mvs example, the bits of each macroblock summing to x264's own count of each
frame's bits less its slice headers."""

import math
import re
from collections import defaultdict

import pytest

from oracle import (PARTITION_OF, TYPE_OF, example_vectors, ffprobe, first_pass_statistics, reference_mb_types,
                    reference_qp_maps)
from vexmira_tools.stats import main

# The colour maps YUView's defaultRange knows.
COLOUR_MAPS = {"jet", "heat", "hsv", "hot", "cool", "spring", "summer", "autumn", "winter", "gray", "bone",
               "copper", "pink", "lines", "col3_gblr", "col3_gwr", "col3_bblr", "col3_bwr", "col3_bblg", "col3_bwg"}
KINDS = {"map", "range", "vector", "line"}
# The fields YUView reads of each attribute line, "%" and the keyword included.
ATTRIBUTES = {"mapColor": 7, "range": 12, "defaultRange": 5, "vectorColor": 6, "gridColor": 5, "scaleFactor": 3,
              "scaleToBlockSize": 3}


def is_colour(fields) -> bool:
    return all(re.fullmatch(r"\d+", field) and int(field) <= 255 for field in fields)


def read_statistics(path) -> tuple[dict, tuple[int, int], list[tuple[int, ...]]]:
    """The declared types, the sequence's size and the data rows, each rule of the format
    asserted on the way."""
    lines = path.read_text().splitlines()
    assert lines[0] == "%;syntax-version;v1.22"
    types: dict[int, dict] = {}
    size, rows, current = None, [], None
    for number, line in enumerate(lines, 1):
        fields = line.split(";")
        if not fields[0].startswith("%"):
            rows.append(tuple(int(field) for field in fields))
            continue
        assert not rows, f"line {number}: a header line after the data"
        keyword = fields[1]
        if keyword in ("%", "syntax-version"):
            continue
        if keyword == "seq-specs":
            size = int(fields[4]), int(fields[5])
            assert float(fields[6]) > 0
        elif keyword == "type":
            type_id, name, kind = int(fields[2]), fields[3], fields[4]
            assert type_id not in types and kind in KINDS and re.fullmatch(r"[A-Za-z0-9_]+", name), line
            current = types[type_id] = {"name": name, "kind": kind, "colours": {}}
        else:
            assert current is not None and len(fields) >= ATTRIBUTES[keyword], f"line {number}: {line}"
            if keyword == "mapColor":
                assert current["kind"] == "map" and is_colour(fields[3:7])
                current["colours"][int(fields[2])] = tuple(fields[3:7])
            elif keyword == "defaultRange":
                assert current["kind"] == "range" and fields[4] in COLOUR_MAPS
                current["range"] = int(fields[2]), int(fields[3])
            elif keyword == "vectorColor":
                assert current["kind"] == "vector" and is_colour(fields[2:6])
            elif keyword == "scaleFactor":
                assert current["kind"] == "vector" and int(fields[2]) > 0
    assert size is not None and types and rows
    return types, size, rows


def check_rows(types, size, rows) -> None:
    """Blocks in the picture, values in their type's range or map, and the rows of each frame,
    and within it of each type, together."""
    width, height = size
    seen_pocs, last_poc = set(), None
    seen_groups, last_group = set(), None
    for row in rows:
        poc, x, y, w, h, type_id, *values = row
        kind = types[type_id]["kind"]
        assert len(values) == (2 if kind == "vector" else 1), row
        assert w > 0 and h > 0 and x >= 0 and y >= 0 and x + w <= width and y + h <= height, row
        if kind == "map":
            assert values[0] in types[type_id]["colours"], row
        if kind == "range":
            low, high = types[type_id]["range"]
            assert low <= values[0] <= high, row
        if poc != last_poc:
            assert poc not in seen_pocs, f"the rows of POC {poc} are not together"
            seen_pocs.add(poc)
            last_poc = poc
        if (poc, type_id) != last_group:
            assert (poc, type_id) not in seen_groups, f"the rows of type {type_id} of POC {poc} are not together"
            seen_groups.add((poc, type_id))
            last_group = poc, type_id


def by_frame_and_type(types, rows) -> dict[str, dict[int, list[tuple[int, ...]]]]:
    found: dict[str, dict[int, list]] = defaultdict(lambda: defaultdict(list))
    for poc, *rest in rows:
        found[types[rest[4]]["name"]][poc].append(tuple(rest[:4]) + tuple(rest[5:]))
    return found


def expected_macroblocks(printed: list[str], width: int, height: int):
    """Type, partition and field blocks (x, y, w, h, value) of one printed picture."""
    parts = {" ": [(0, 0, 16, 16)], "-": [(0, 0, 16, 8), (0, 8, 16, 8)], "|": [(0, 0, 8, 16), (8, 0, 8, 16)],
             "+": [(0, 0, 8, 8), (8, 0, 8, 8), (0, 8, 8, 8), (8, 8, 8, 8)]}

    def block(x, y, w, h, value):
        return x, y, min(w, width - x), min(h, height - y), value
    kinds, partitions, fields = [], [], []
    for row, text in enumerate(printed):
        for column in range(len(text) // 3):
            kind, partition, interlacing = text[3 * column:3 * column + 3]
            x, y = 16 * column, 16 * row
            kinds.append(block(x, y, 16, 16, TYPE_OF[kind]))
            if kind not in "iIP":
                partitions += [block(x + dx, y + dy, w, h, PARTITION_OF[partition])
                               for dx, dy, w, h in parts[partition] if y + dy < height and x + dx < width]
            if interlacing == "=":
                fields.append(block(x, y, 16, 16, 1))
    return sorted(kinds), sorted(partitions), sorted(fields)


def vector_blocks(written) -> list[tuple[int, ...]]:
    """Each block written, with its quarter-pixel vector cut to whole pixels towards zero."""
    return sorted((x, y, w, h, math.trunc(vx / 4), math.trunc(vy / 4)) for x, y, w, h, vx, vy in written)


def example_blocks(printed, from_list) -> list[tuple[int, ...]]:
    """The example prints each block's centre and, to the whole pixel towards zero, where it
    was predicted from."""
    return sorted((dst_x - w // 2, dst_y - h // 2, w, h, src_x - dst_x, src_y - dst_y)
                  for source, w, h, src_x, src_y, dst_x, dst_y, _ in printed if from_list(source))


@pytest.mark.parametrize(("clip", "frames"), [("mp4_qp_busy", (10, 50)), ("mp4_mbaff", (0, 24))])
def test_yuview_file_keeps_the_format_and_holds_the_tool_values(media, extract_mvs, tmp_path, clip, frames):
    path = media(clip)
    out = tmp_path / "stats.csv"
    assert main(["--yuview", str(path), "-o", str(out), "--frames", f"{frames[0]}:{frames[1]}"]) == 0
    types, size, rows = read_statistics(out)
    stream = ffprobe(path, "-show_entries", "stream=width,height")["streams"][0]
    assert size == (stream["width"], stream["height"])
    check_rows(types, size, rows)
    got = by_frame_and_type(types, rows)
    wanted = range(*frames)
    assert sorted({row[0] for row in rows}) == list(wanted)

    width, height = size
    rows_of_mbs, cols_of_mbs = math.ceil(height / 16), math.ceil(width / 16)
    qp_maps = reference_qp_maps(path, rows_of_mbs, cols_of_mbs)
    printed = reference_mb_types(path)
    vectors = example_vectors(extract_mvs, path)
    for frame in wanted:
        assert sorted(got["QP"][frame]) == sorted(
            (16 * c, 16 * r, min(16, width - 16 * c), min(16, height - 16 * r), qp)
            for r, row in enumerate(qp_maps[frame]) for c, qp in enumerate(row)), frame
        kinds, partitions, fields = expected_macroblocks(printed[frame], width, height)
        assert sorted(got["MacroblockType"][frame]) == kinds, frame
        assert sorted(got["Partition"][frame]) == partitions, frame
        assert sorted(got["FieldMacroblock"][frame]) == fields, frame
        for name, from_list in (("MotionL0", lambda source: source < 0), ("MotionL1", lambda source: source > 0)):
            assert vector_blocks(got[name][frame]) == example_blocks(vectors.get(frame, []), from_list), (frame, name)
    assert got["MotionL0"] and got["Partition"]
    if clip == "mp4_mbaff":
        assert got["FieldMacroblock"]


def test_the_bits_layer_covers_every_macroblock_with_what_x264_counted(media, tmp_path):
    """x264's first pass counts each frame's bits, slice headers included (under 128 bits a
    slice here), which the macroblocks' bits leave out."""
    path, out = media("mp4_cabac_first_pass"), tmp_path / "stats.csv"
    assert main(["--yuview", str(path), "-o", str(out)]) == 0
    types, size, rows = read_statistics(out)
    check_rows(types, size, rows)
    bits = by_frame_and_type(types, rows)["Bits"]
    width, height = size
    macroblocks = sorted((x, y) for y in range(0, height, 16) for x in range(0, width, 16))
    for frame, expected in enumerate(first_pass_statistics(path)):
        assert sorted((x, y) for x, y, *_ in bits[frame]) == macroblocks, frame
        assert 0 < expected["tex"] + expected["mv"] + expected["misc"] - sum(row[-1] for row in bits[frame]) < 128


def test_bad_yuview_arguments(media, tmp_path, capsys):
    for argv in (["--yuview", str(media("mp4")), "-o", str(tmp_path / "out.parquet")],
                 ["--yuview", str(media("mp4")), "-o", str(tmp_path / "out.csv"), "--frames", "5"],
                 ["--yuview", str(media("mp4")), str(media("mkv")), "-o", str(tmp_path / "out.csv")],
                 [str(media("mp4")), "-o", str(tmp_path / "out.csv"), "--frames", "1:2"]):
        with pytest.raises(SystemExit) as exit_info:
            main(argv)
        assert exit_info.value.code == 2
    assert main(["--yuview", str(tmp_path / "missing.mp4"), "-o", str(tmp_path / "out.csv")]) == 1
    assert "Cannot open input video" in capsys.readouterr().err
    assert main(["--yuview", str(media("mp4")), "-o", str(tmp_path / "out.csv"), "--layers", "qp,colour"]) == 1
    assert "--layers takes some of qp,types,partitions,fields,motion" in capsys.readouterr().err


def test_ctrl_c_during_yuview_leaves_no_file_cut_short(media, tmp_path, capsys, monkeypatch):
    import vexmira_tools.yuview as yuview
    rows_of = yuview.FrameRows.lines
    calls = []

    def interrupted_at_the_third_frame(rows):
        calls.append(1)
        if len(calls) == 3:
            raise KeyboardInterrupt
        return rows_of(rows)

    monkeypatch.setattr(yuview.FrameRows, "lines", interrupted_at_the_third_frame)
    out = tmp_path / "out.csv"
    assert main(["--yuview", str(media("mp4")), "-o", str(out), "--layers", "qp"]) == 130
    assert not out.exists() and "interrupted: nothing written" in capsys.readouterr().err


@pytest.mark.parametrize("argv", [["--help"], ["--yuview", "--help"]])
def test_yuview_and_its_options_are_in_the_help(capsys, argv):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 0
    shown = " ".join(capsys.readouterr().out.split())
    assert all(option in shown for option in ["--yuview", "--frames A:B", "--layers", "92 MB"])


def test_frames_from_the_end_chosen_layers_and_the_files_own_qp_scale(media, tmp_path):
    path = media("mp4_10bit")
    stream = ffprobe(path, "-count_frames", "-show_entries", "stream=nb_read_frames,bits_per_raw_sample")["streams"][0]
    frames, bits = int(stream["nb_read_frames"]), int(stream["bits_per_raw_sample"])
    out = tmp_path / "stats.csv"
    assert main(["--yuview", str(path), "-o", str(out), "--frames", "-3:", "--layers", "qp,motion"]) == 0
    types, size, rows = read_statistics(out)
    check_rows(types, size, rows)
    assert sorted(kind["name"] for kind in types.values()) == ["MotionL0", "MotionL1", "QP"]
    assert sorted({row[0] for row in rows}) == list(range(frames - 3, frames))
    qp = next(kind for kind in types.values() if kind["name"] == "QP")
    assert qp["range"] == (0, 51 + 6 * (bits - 8)) == (0, 63)


@pytest.mark.parametrize(("clip", "options", "why"), [("mkv_hevc", [], "gave no data"),
                                                       ("mp4", ["--frames", "5:5"], "picks none of its")])
def test_a_file_without_data_or_a_range_without_frames_warns_and_fails(media, tmp_path, capsys, clip, options, why):
    out = tmp_path / "stats.csv"
    assert main(["--yuview", str(media(clip)), "-o", str(out), *options]) == 1
    assert why in capsys.readouterr().err.splitlines()[-1] and not out.exists()
