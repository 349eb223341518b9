"""Files from anywhere: empty, truncated, corrupted, mislabelled, oddly timed. Whatever the
file, opening raises one of the documented errors or gives a session whose every frame is
either the ffmpeg tool's picture for that frame's timestamp or an error, when and only when
the ffmpeg tool decodes no picture for it. Each file is tried in a child process, so that a
crash or a hang fails its test instead of the run."""

import json
import os
import pickle
import random
import re
import struct
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

import numpy as np

import vexmira
from bitstream_edit import SPS, annex_b_units, nal_type, parsed, serialized, sps_syntax
from conftest import (Media, Picture, ffprobe, pictures_by_frame, presentation_timestamps, reference_qp_maps,
                      timestamps_identify_frames)

# Files cut inside their last picture, made in conftest's REAL_WORLD_RECIPES.
REAL_WORLD_CUTS = {"ts_last_picture_cut", "h264_last_picture_cut"}

PROBE = Path(__file__).with_name("frame_probe.py")
# Sanitizer builds run several times slower; make sanitize stretches the limit.
TIMEOUT = 120 * float(os.environ.get("VEXMIRA_TIMEOUT_SCALE", "1"))

OPENING_ERRORS = [
    r"RuntimeError: Cannot open input video: {path} \(.+\)",
    r"RuntimeError: Cannot find stream info in: {path}",
    r"RuntimeError: No video stream found in: {path}",
    r"RuntimeError: H\.264 decoder not found",
    r"RuntimeError: Cannot open codec: .+",
    r"RuntimeError: No video packets found in: {path}",
    r"RuntimeError: No video frames found in: {path}",
    r"MemoryError: .*",
]


def is_documented_opening_error(message: str, path: Path) -> bool:
    return any(re.fullmatch(pattern.format(path=re.escape(str(path))), message) for pattern in OPENING_ERRORS)


# ---- Making the files -------------------------------------------------------------------

def top_level_boxes(data: bytes) -> dict[bytes, tuple[int, int]]:
    """Offset and size of each top-level MP4 box."""
    boxes, offset = {}, 0
    while offset + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[offset:offset + 8])
        if size == 1:
            size = struct.unpack(">Q", data[offset + 8:offset + 16])[0]
        elif size == 0:
            size = len(data) - offset
        boxes[kind] = (offset, size)
        offset += size
    return boxes


def slice_nal_units(data: bytes) -> list[tuple[int, int]]:
    """(start, end) of each coded slice in an MP4's mdat, whose samples are NAL units behind
    4-byte lengths; a single video track and nothing else is assumed."""
    offset, size = top_level_boxes(data)[b"mdat"]
    position, end, slices = offset + 8, offset + size, []
    while position + 4 < end:
        length = struct.unpack(">I", data[position:position + 4])[0]
        nal_type = data[position + 4] & 0x1F
        if nal_type in (1, 5):
            slices.append((position + 4, position + 4 + length))
        position += 4 + length
    return slices


def slice_damage(data: bytes, seed: int) -> dict[int, int]:
    """Random bytes for random places in a third of the slices of pictures that are not key
    pictures, past their first bytes so that most slice headers survive and the decoder
    conceals rather than drops: file offset -> new byte."""
    rng = random.Random(seed)
    damage = {}
    for start, end in slice_nal_units(data):
        if data[start] & 0x1F == 1 and end - start > 12 and rng.random() < 0.35:
            for _ in range(rng.randint(1, 4)):
                damage[rng.randrange(start + 8, end)] = rng.randrange(256)
    return damage


def overwritten(data: bytes, damage: dict[int, int]) -> bytes:
    damaged = bytearray(data)
    for offset, byte in damage.items():
        damaged[offset] = byte
    return bytes(damaged)


def overwrite_ts_payload_bytes(data: bytes, seed: int) -> bytes:
    """Random bytes in the payload of video transport packets that continue an access unit:
    slice data, key pictures' included, while the packet headers and the PES headers stay
    intact."""
    rng = random.Random(seed)
    damaged = bytearray(data)
    video_pids = {pid_of(data, offset) for offset in range(0, len(data), 188) if starts_video_pes(data, offset)}
    for offset in range(0, len(data) - 187, 188):
        if pid_of(data, offset) in video_pids and not data[offset + 1] & 0x40 and rng.random() < 0.2:
            payload = offset + 4 + (1 + data[offset + 4] if data[offset + 3] & 0x20 else 0)
            if payload < offset + 188:
                damaged[rng.randrange(payload, offset + 188)] = rng.randrange(256)
    return bytes(damaged)


def pid_of(data: bytes, offset: int) -> int:
    return ((data[offset + 1] & 0x1F) << 8) | data[offset + 2]


def starts_video_pes(data: bytes, offset: int) -> bool:
    payload = offset + 4 + (1 + data[offset + 4] if data[offset + 3] & 0x20 else 0)
    return bool(data[offset + 1] & 0x40) and data[payload:payload + 4] == b"\x00\x00\x01\xe0"


def resized_parameter_set(unit: bytes, macroblocks_wide: int, macroblocks_high: int) -> bytes:
    """A sequence parameter set that declares another picture size and is otherwise the same."""
    values = parsed(unit, sps_syntax)
    values.update(pic_width_in_mbs_minus1=macroblocks_wide - 1, pic_height_in_map_units_minus1=macroblocks_high - 1)
    return serialized(unit, values, sps_syntax)


def with_declared_size(annex_b: bytes, macroblocks_wide: int, macroblocks_high: int) -> bytes:
    return b"".join(resized_parameter_set(unit, macroblocks_wide, macroblocks_high) if nal_type(unit) == SPS else unit
                    for unit in annex_b_units(annex_b))


def remux(source: Path, target: Path) -> Path:
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(source), "-c", "copy", str(target)],
                   check=True)
    return target


Maker = Callable[[Media, Path], Path]


def written(name: str, content: Callable[[Media], bytes]) -> Maker:
    def make(media, folder: Path) -> Path:
        path = folder / name
        path.write_bytes(content(media))
        return path
    return make


def cut(clip: str, suffix: str, where: Callable[[bytes], int]) -> Maker:
    return written(f"cut{suffix}", lambda media: (data := media(clip).read_bytes())[:where(data)])


def patched(clip: str, suffix: str, patch: Callable[[bytearray], None]) -> Maker:
    def content(media) -> bytes:
        data = bytearray(media(clip).read_bytes())
        patch(data)
        return bytes(data)
    return written(f"patched{suffix}", content)


def concatenated(*clips: str) -> Maker:
    return written("joined.ts", lambda media: b"".join(media(clip).read_bytes() for clip in clips))


def directory(media, folder: Path) -> Path:
    path = folder / "folder.mp4"
    path.mkdir()
    return path


def missing(media, folder: Path) -> Path:
    return folder / "missing.mp4"


def copied_to(name: str, clip: str) -> Maker:
    return written(name, lambda media: media(clip).read_bytes())


def damaged_mp4(seed: int) -> Maker:
    def content(media) -> bytes:
        data = media("mp4_long_faststart").read_bytes()
        return overwritten(data, slice_damage(data, seed))
    return written(f"damaged_{seed}.mp4", content)


def damaged_mkv(seed: int) -> Maker:
    def make(media, folder: Path) -> Path:
        mp4 = damaged_mp4(seed)(media, folder)
        return remux(mp4, folder / f"damaged_{seed}.mkv")
    return make


def damaged_ts(seed: int) -> Maker:
    return written(f"damaged_{seed}.ts",
                   lambda media: overwrite_ts_payload_bytes(media("ts_long").read_bytes(), seed))


def raw_stream(name: str, change: Callable[[list[bytes]], list[bytes]]) -> Maker:
    return written(name, lambda media: b"".join(change(annex_b_units(media("h264_raw_open_gop").read_bytes()))))


def without_parameter_sets(units: list[bytes]) -> list[bytes]:
    return [unit for unit in units if nal_type(unit) not in (7, 8)]


def declaring_overflowing_width(units: list[bytes]) -> list[bytes]:
    """Parameter sets 2**28 macroblocks wide: more samples than an int holds."""
    return [resized_parameter_set(unit, 1 << 28, 9) if nal_type(unit) == SPS else unit for unit in units]


def without_first_key_picture(units: list[bytes]) -> list[bytes]:
    """The stream from its first P slices on, with the parameter sets kept in front."""
    first_p = next(i for i, unit in enumerate(units) if nal_type(unit) == 1)
    return [unit for unit in units[:first_p] if nal_type(unit) in (7, 8)] + units[first_p:]


def flipped_slice_bits(seed: int) -> Callable[[list[bytes]], list[bytes]]:
    """A few bits flipped in a third of the slices of pictures that are not key pictures,
    past their headers."""
    def change(units: list[bytes]) -> list[bytes]:
        rng, changed = random.Random(seed), []
        for unit in units:
            if nal_type(unit) == 1 and len(unit) > 16 and rng.random() < 0.35:
                data = bytearray(unit)
                for _ in range(rng.randint(1, 3)):
                    data[rng.randrange(12, len(data))] ^= 1 << rng.randrange(8)
                unit = bytes(data)
            changed.append(unit)
        return changed
    return change


def garbage_first(media) -> bytes:
    garbage = bytes(random.Random(5).randrange(4, 256) for _ in range(3000))
    return garbage + media("h264_raw").read_bytes()


def declaring(macroblocks_wide: int, macroblocks_high: int, suffix: str) -> Maker:
    """Four small pictures behind a parameter set that declares a much larger size."""
    def make(media, folder: Path) -> Path:
        stream = folder / "declared.h264"
        stream.write_bytes(with_declared_size(media("h264_raw_intra").read_bytes(), macroblocks_wide,
                                              macroblocks_high))
        target = folder / f"declared{suffix}"
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-y", "-framerate", "25", "-i", str(stream),
                        "-c", "copy", str(target)], check=True)
        return target
    return make


def in_box(name: bytes, fraction: float) -> Callable[[bytes], int]:
    def where(data: bytes) -> int:
        offset, size = top_level_boxes(data)[name]
        return offset + int(size * fraction)
    return where


def fraction_of(fraction: float) -> Callable[[bytes], int]:
    return lambda data: int(len(data) * fraction)


def huge_sample_entry_size(data: bytearray) -> None:
    entry = data.index(b"avc1", data.index(b"stsd"))
    data[entry + 28:entry + 32] = struct.pack(">HH", 0xFFFF, 0xFFFF)


def huge_track_size(data: bytearray) -> None:
    header = data.index(b"tkhd")
    data[header + 80:header + 88] = struct.pack(">II", 0xFFFF0000, 0xFFFF0000)


def huge_mdat_size(data: bytearray) -> None:
    offset, _ = top_level_boxes(bytes(data))[b"mdat"]
    data[offset:offset + 4] = struct.pack(">I", 0xFFFFFFF0)


def huge_sample_count(data: bytearray) -> None:
    sizes = data.index(b"stsz")
    data[sizes + 12:sizes + 16] = struct.pack(">I", 0x7FFFFFFF)


# ---- What each frame should be ----------------------------------------------------------

def sequential_reference(path: Path) -> list[list[Picture]]:
    return pictures_by_frame(path) if path.is_file() else []


def cut_in_last_unit_reference(path: Path) -> list[list[Picture]]:
    """sequential_reference of a file cut inside its last packet, where the NAL unit's length
    runs past the packet's end and the decoder refuses the packet whole ("Invalid NAL unit
    size"): that packet is no frame."""
    frames = sequential_reference(path)
    log = subprocess.run(["ffmpeg", "-nostdin", "-threads", "1", "-i", str(path), "-map", "0:v:0", "-f", "null", "-"],
                         capture_output=True, text=True).stderr
    if not re.search(r"\[h264 @ [^\]]+\] Invalid NAL unit size", log):
        return frames
    last = ffprobe(path, "-show_entries", "packet=pts")["packets"][-1]
    cut = presentation_timestamps(path).index(int(last["pts"]))
    assert frames[cut] == [], "the tool makes no picture of the packet"
    return frames[:cut] + frames[cut + 1:]


def key_frame_reference(path: Path) -> list[list[Picture]]:
    """For each frame of an MPEG-TS file, the ffmpeg tool's decode of a copy of the file that
    begins at the frame's key packet: what decoding right after a seek there gives.

    Where the decoder conceals a damaged key picture, FFmpeg fills it from the picture decoded
    just before, which decoding from the start of the file has and decoding after a seek does
    not; the pictures of that interval then differ from the sequential decode. The module
    gives every frame the picture that decoding from its own key packet gives, whatever was
    asked before, and this is the reference for it. For sound data both decodes agree."""
    key_of = key_packet_positions(path)
    data = path.read_bytes()
    header = data[:min(key_of.values())]
    from_key = {}
    for start in sorted(set(key_of.values())):
        copy = path.with_name(f"from_{start}.ts")
        copy.write_bytes(header + data[start:])
        from_key[start] = dict(zip(presentation_timestamps(copy), pictures_by_frame(copy)))
    return [from_key[key_of[pts]].get(pts, []) for pts in presentation_timestamps(path)]


def key_packet_positions(path: Path) -> dict[int, int]:
    """For each packet timestamp, the file position of the key packet at or before that packet.
    Packets before the first key packet count with it: decoding begins there in any case."""
    packets = ffprobe(path, "-show_entries", "packet=pts,pos,flags")["packets"]
    keys = [int(packet["pos"]) for packet in packets if "K" in packet["flags"]]
    key_of, key = {}, keys[0]
    for packet in packets:
        if "K" in packet["flags"]:
            key = int(packet["pos"])
        if "pts" in packet:
            key_of.setdefault(int(packet["pts"]), key)
    return key_of


# ---- The corpus -------------------------------------------------------------------------

@dataclass(frozen=True)
class Case:
    make: Maker
    # "opens": the file is sound and must open; "refused": opening must fail;
    # None: either, as long as what follows holds.
    opening: str | None = None
    reference: Callable[[Path], list[list[Picture]]] = sequential_reference


CASES = {
    "empty": Case(written("empty.mp4", lambda media: b""), "refused"),
    "text_named_mp4": Case(written("notes.mp4", lambda media: b"this is not a video\n" * 50), "refused"),
    "directory": Case(directory, "refused"),
    "missing_path": Case(missing, "refused"),
    "path_with_spaces_and_non_ascii": Case(copied_to("clip ünïcødé 動画 x.mp4", "mp4_long"), "opens"),
    "mkv_named_mp4": Case(copied_to("really_matroska.mp4", "mkv"), "opens"),
    "mp4_cut_in_file_type_box": Case(cut("mp4_faststart", ".mp4", lambda data: 12), "refused"),
    "mp4_cut_in_leading_index": Case(cut("mp4_faststart", ".mp4", in_box(b"moov", 0.5)), "refused"),
    "mp4_cut_before_trailing_index": Case(cut("mp4", ".mp4", fraction_of(0.5)), "refused"),
    "mp4_cut_in_trailing_index": Case(cut("mp4", ".mp4", in_box(b"moov", 0.6))),
    "mp4_cut_early_in_data": Case(cut("mp4_long_faststart", ".mp4", in_box(b"mdat", 0.2)),
                                  reference=cut_in_last_unit_reference),
    "mp4_cut_late_in_data": Case(cut("mp4_long_faststart", ".mp4", in_box(b"mdat", 0.93)),
                                 reference=cut_in_last_unit_reference),
    "mkv_cut_at_a_quarter": Case(cut("mkv_long", ".mkv", fraction_of(0.25))),
    "mkv_cut_at_half": Case(cut("mkv_long", ".mkv", fraction_of(0.5))),
    "mkv_cut_near_end": Case(cut("mkv_long", ".mkv", fraction_of(0.97))),
    # The last packet is a key picture's first part.
    "ts_cut_at_packet_boundary": Case(cut("ts_long", ".ts", lambda data: len(data) // 188 // 2 * 188),
                                      reference=key_frame_reference),
    "ts_cut_inside_packet": Case(cut("ts_long", ".ts", lambda data: len(data) // 188 // 3 * 188 + 77)),
    "mp4_damaged_slices_1": Case(damaged_mp4(1)),
    "mp4_damaged_slices_2": Case(damaged_mp4(2)),
    "mp4_damaged_slices_3": Case(damaged_mp4(3)),
    "mkv_damaged_slices_4": Case(damaged_mkv(4)),
    "ts_damaged_payload_5": Case(damaged_ts(5), reference=key_frame_reference),
    "ts_damaged_payload_6": Case(damaged_ts(6), reference=key_frame_reference),
    "ts_size_shrinks": Case(concatenated("ts", "ts_32x32_later"), "opens"),
    "ts_size_grows": Case(concatenated("ts_32x32", "ts_later"), "opens"),
    "h264_without_timestamps": Case(copied_to("raw.h264", "h264_raw"), "opens"),
    "h264_cut_inside_a_slice": Case(cut("h264_raw_open_gop", ".264", lambda data: len(data) * 2 // 3 + 7)),
    "h264_garbage_before_first_start_code": Case(written("garbage.h264", garbage_first)),
    "h264_without_parameter_sets": Case(raw_stream("no_sps_pps.h264", without_parameter_sets)),
    "h264_flipped_slice_bits_7": Case(raw_stream("flipped_7.h264", flipped_slice_bits(7))),
    "h264_flipped_slice_bits_8": Case(raw_stream("flipped_8.h264", flipped_slice_bits(8))),
    "h264_starts_with_p_slices": Case(raw_stream("from_p.h264", without_first_key_picture)),
    "h264_parameter_set_width_overflows": Case(raw_stream("wide.h264", declaring_overflowing_width)),
    "ts_timestamps_missing": Case(copied_to("missing_pts.ts", "ts_pts_missing"), "opens"),
    "ts_timestamps_repeated": Case(copied_to("repeated_pts.ts", "ts_pts_repeated"), "opens"),
    "mkv_timestamps_repeated": Case(copied_to("repeated_pts.mkv", "mkv_pts_repeated"), "opens"),
    "ts_timestamp_moved_to_next_packet": Case(copied_to("moved_pts.ts", "ts_pts_moved"), "opens"),
    "mp4_huge_sample_entry_size": Case(patched("mp4", ".mp4", huge_sample_entry_size)),
    "mp4_huge_track_size": Case(patched("mp4", ".mp4", huge_track_size)),
    "mp4_huge_data_box": Case(patched("mp4_faststart", ".mp4", huge_mdat_size)),
    "mp4_huge_sample_count": Case(patched("mp4_faststart", ".mp4", huge_sample_count)),
    "mkv_parameter_set_declares_4096x2304": Case(declaring(256, 144, ".mkv")),
    "ts_parameter_set_declares_16384x16384": Case(declaring(1024, 1024, ".ts")),
}


# ---- Running and judging ----------------------------------------------------------------

def as_plain_data(frames: list[list[Picture]]) -> list[list[tuple[int, int, tuple[bytes, bytes, bytes]]]]:
    return [[(picture.width, picture.height, picture.planes) for picture in candidates] for candidates in frames]


def probe(path: Path, expected, folder: Path) -> dict:
    """The child's report; fails the test if the child crashed or hung."""
    expected_file = folder / "expected.pickle"
    expected_file.write_bytes(pickle.dumps(expected))
    try:
        result = subprocess.run([sys.executable, str(PROBE), str(path), str(expected_file)],
                                capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIMEOUT:.0f} s: the module hangs on {path.name}")
    if result.returncode != 0:
        pytest.fail(f"the child process ended with status {result.returncode} on {path.name}:\n"
                    f"{result.stderr[-3000:]}")
    return json.loads(result.stdout)


def frame_violations(report: dict, expected) -> list[str]:
    wrong = []
    for order, outcomes in report["outcomes"].items():
        for index, got in enumerate(outcomes):
            wanted = "picture" if expected[index] else f"raised RuntimeError: Failed to decode frame {index}"
            if got != wanted:
                reference = f"{len(expected[index])} reference pictures" if expected[index] else "no reference picture"
                wrong.append(f"{order} frame {index}: {got} ({reference})")
    for index, got in enumerate(report["exact_outcomes"]):
        wanted = "picture" if expected[index] else f"RuntimeError: Failed to decode frame {index}"
        if got != wanted:
            wrong.append(f"exact deblocking, frame {index}: {got}")
    return wrong


@pytest.mark.parametrize("name", CASES)
def test_bad_input_gives_an_error_or_the_right_frames(media, tmp_path, name):
    case = CASES[name]
    path = case.make(media, tmp_path)
    expected = as_plain_data(case.reference(path))
    report = probe(path, expected, tmp_path)

    if report["open"] != "ok":
        assert case.opening != "opens", report["open"]
        assert is_documented_opening_error(report["open"], path), report["open"]
        return
    assert case.opening != "refused", f"opened, with {report['num_frames']} frames"
    assert report["num_frames"] == len(expected), "frames are the distinct packet timestamps ffprobe lists"
    assert frame_violations(report, expected) == []
    if case.opening == "opens":
        assert all(expected), "a sound file decodes every frame"


def damaged_packet_timestamps(path: Path, offsets) -> set[int]:
    packets = ffprobe(path, "-show_entries", "packet=pts,pos,size")["packets"]
    return {int(packet["pts"]) for packet in packets
            if any(int(packet["pos"]) <= offset < int(packet["pos"]) + int(packet["size"]) for offset in offsets)}


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_damaged_pictures_have_no_qp_map(media, tmp_path, seed):
    """A picture whose own data was damaged has no QP map (-1 everywhere) or, where the
    decoder did not notice, the map the ffmpeg tool's decoder prints for it; every other
    picture has the map the tool prints. The decoder recycles its QP tables, so a concealed
    macroblock would otherwise show an earlier picture's QP."""
    path = damaged_mp4(seed)(media, tmp_path)
    damaged = damaged_packet_timestamps(path, slice_damage(media("mp4_long_faststart").read_bytes(), seed))
    report = probe(path, as_plain_data(sequential_reference(path)), tmp_path)
    rows, columns = report["mb_shape"]
    reference = reference_qp_maps(path, rows, columns)
    no_map = [[-1] * columns for _ in range(rows)]

    got = report["qp_maps"]
    timestamps = presentation_timestamps(path)
    wrong = [index for index, pts in enumerate(timestamps)
             if got[index] != reference[index] and not (pts in damaged and got[index] == no_map)]
    assert wrong == []
    assert no_map in got, "the damage made the decoder conceal something"


def tool_damaged_frames(path: Path) -> set[int]:
    """The frames whose pictures the ffmpeg tool reports as corrupt: each "corrupt decoded
    frame" line is the decoder's report on the picture that the next showinfo line shows.
    Frame i is the picture with the i-th presentation timestamp, or, where timestamps do not
    identify frames, the tool's i-th picture."""
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-threads", "1", "-copyts", "-i", str(path),
                          "-map", "0:v:0", "-vf", "showinfo", "-fps_mode", "passthrough", "-f", "null", "-"],
                         capture_output=True, text=True).stderr
    timestamps = presentation_timestamps(path) if timestamps_identify_frames(path) else None
    damaged, reported = set(), False
    for line in log.splitlines():
        if "corrupt decoded frame" in line:
            reported = True
        elif shown := re.search(r"Parsed_showinfo.*? n: *(\d+) pts: *(-?\d+)", line):
            if reported:
                damaged.add(int(shown.group(1)) if timestamps is None else timestamps.index(int(shown.group(2))))
            reported = False
    return damaged


@pytest.mark.parametrize("name", ["ts_last_picture_cut", "h264_last_picture_cut", "h264_cut_inside_a_slice",
                                  "mp4_damaged_slices_1", "mp4_damaged_slices_2", "mkv_damaged_slices_4",
                                  "ts_damaged_payload_5", "ts_damaged_payload_6"])
def test_damaged_frames_are_those_the_tool_reports_corrupt(media, tmp_path, name):
    """Whichever way a frame is reached, and in frame_stats: a concealed picture is damaged,
    and its QP map is empty."""
    path = media(name) if name in REAL_WORLD_CUTS else CASES[name].make(media, tmp_path)
    expected = tool_damaged_frames(path)
    assert expected, "the damage made the decoder conceal something"
    session = vexmira.H264DecoderSession(path)
    order = random.Random(3).sample(range(session.num_frames), session.num_frames)
    assert {index for index in order if session.is_damaged(index)} == expected
    stats = session.frame_stats(threads=2)
    assert set(np.flatnonzero(stats["damaged"]).tolist()) == expected
    assert all(stats["qp_min"][index] == -1 for index in expected)
