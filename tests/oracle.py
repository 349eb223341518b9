"""The independent references: what the ffmpeg tool, ffprobe, the decoder's -debug logs, the
bitstream tracer, FFmpeg's extract_mvs example and the operating system say of a file, parsed
into plain values for the tests to compare with the module's answers."""

import json
import os
import re
import subprocess
import sys
import tempfile
from collections import defaultdict
from contextlib import contextmanager
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path

import numpy as np

import vexmira
from tool_runs import checked_output, tool_output

@contextmanager
def private_copy(name: str, data: bytes):
    """`data` in a file of that name in a folder of its own, removed afterwards: the suite runs
    in several processes at once, whose copies beside the clips would overwrite each other."""
    with tempfile.TemporaryDirectory() as folder:
        copy = Path(folder) / name
        copy.write_bytes(data)
        yield copy


def ffprobe(path: Path, *entries: str) -> dict:
    """ffprobe's JSON for the first video stream of the file."""
    return json.loads(checked_output(["ffprobe", "-v", "error", "-select_streams", "v:0", *entries, "-of", "json",
                                      str(path)]).stdout)


def first_output_timestamp(path: Path) -> int | None:
    """The timestamp of the first picture the decoder outputs, None where it outputs none or
    the picture has no timestamp."""
    frames = ffprobe(path, "-threads", "1", "-read_intervals", "%+#1", "-show_entries", "frame=pts")["frames"]
    return int(frames[0]["pts"]) if frames and "pts" in frames[0] else None


def presentation_timestamps(path: Path) -> list[int]:
    """Frame i has the i-th of these, where timestamps_identify_frames: the distinct packet
    timestamps of the first video stream, ascending, leaving out the packets the demuxer marks
    to be discarded (an edit list's pre-roll) and those before the first picture the decoder
    outputs, which it never shows."""
    packets = ffprobe(path, "-show_entries", "packet=pts,flags")["packets"]
    first = first_output_timestamp(path)
    if first is None:
        return []
    return sorted({int(packet["pts"]) for packet in packets
                   if "pts" in packet and "D" not in packet["flags"] and int(packet["pts"]) >= first})


def refused_last_packet(path: Path) -> int | None:
    """The timestamp of the file's last video packet where the decoder refuses it whole, a
    NAL unit's length running past the packet's end ("Invalid NAL unit size": a recording
    cut inside its last packet); such a packet is no frame. None otherwise."""
    log = tool_output(["ffmpeg", "-nostdin", "-threads", "1", "-i", str(path), "-map", "0:v:0", "-f", "null",
                       "-"]).stderr
    if not re.search(r"\[h264 @ [^\]]+\] Invalid NAL unit size", log):
        return None
    return int(ffprobe(path, "-show_entries", "packet=pts")["packets"][-1]["pts"])


def frame_timestamps(path: Path) -> list[int]:
    """presentation_timestamps, less that of a last packet the decoder refuses whole."""
    refused = refused_last_packet(path)
    return [pts for pts in presentation_timestamps(path) if pts != refused]


def timestamps_identify_frames(path: Path) -> bool:
    """Whether frames are told apart by their packets' timestamps: every video packet has
    one, no two share one and decoding timestamps never go back. Otherwise frame i is the
    i-th picture the ffmpeg tool outputs."""
    packets = ffprobe(path, "-show_entries", "packet=pts,dts")["packets"]
    if not all("pts" in packet for packet in packets):
        return False
    if len({packet["pts"] for packet in packets}) < len(packets):
        return False
    dts = [int(packet["dts"]) for packet in packets if "dts" in packet]
    return all(earlier <= later for earlier, later in zip(dts, dts[1:]))


def reference_decode_in_output_order(path: Path, pix_fmt: str,
                                     skip_loop_filter: str = "all") -> list[tuple[int, bytes]]:
    """The ffmpeg tool's own decode, by default without deblocking (skip_loop_filter "default"
    filters every picture, "noref" all but those nothing references): (timestamp, tightly
    packed planes) of each picture, in the order the tool outputs them."""
    result = checked_output(
        ["ffmpeg", "-nostdin", "-hide_banner", "-copyts", "-skip_loop_filter", skip_loop_filter, "-i", str(path),
         "-map", "0:v:0", "-vf", "showinfo", "-fps_mode", "passthrough", "-f", "rawvideo",
         "-pix_fmt", pix_fmt, "-"], text=False)
    timestamps = [int(pts) for pts in re.findall(rb"Parsed_showinfo.*? n: *\d+ pts: *(-?\d+)", result.stderr)]
    assert timestamps and len(result.stdout) % len(timestamps) == 0
    size = len(result.stdout) // len(timestamps)
    return [(pts, result.stdout[i * size:(i + 1) * size]) for i, pts in enumerate(timestamps)]


def reference_decode(path: Path, pix_fmt: str, skip_loop_filter: str = "all") -> dict[int, bytes]:
    """reference_decode_in_output_order by timestamp."""
    return dict(reference_decode_in_output_order(path, pix_fmt, skip_loop_filter))


def plane_sizes(width: int, height: int, pix_fmt: str) -> list[tuple[int, int]]:
    """(columns, rows) of the three planes of a planar YUV format."""
    if pix_fmt.startswith("yuv444"):
        return [(width, height)] * 3
    chroma = ((width + 1) // 2, (height + 1) // 2 if pix_fmt.startswith("yuv420") else height)
    return [(width, height), chroma, chroma]


def packed_picture(session, index: int) -> bytes:
    """The picture area of all three planes, rows without their padding."""
    sizes = plane_sizes(session.width, session.height, session.pix_fmt)
    parts = []
    for plane, (columns, rows) in enumerate(sizes):
        data = session.get_plane_data(index, plane)
        assert data.shape[0] == rows and data.shape[1] >= columns
        parts.append(np.ascontiguousarray(data[:, :columns]).tobytes())
    return b"".join(parts)


def expected_frames(path: Path, pix_fmt: str) -> list[bytes | None]:
    if not timestamps_identify_frames(path):
        return [picture for _, picture in reference_decode_in_output_order(path, pix_fmt)]
    reference = reference_decode(path, pix_fmt)
    return [reference.get(pts) for pts in presentation_timestamps(path)]



def reference_qp_maps(path: Path, mb_rows: int, mb_cols: int) -> list[list[list[int]]]:
    """Per-macroblock QP of every frame, in presentation order, as the ffmpeg tool's H.264
    decoder prints it for debugging (single-threaded, two characters per macroblock): the
    first mb_rows rows of each."""
    maps = [qp_map[:mb_rows] for qp_map in coded_qp_maps(path)]
    assert maps and all(len(qp_map) == mb_rows and len(qp_map[0]) == mb_cols for qp_map in maps)
    return maps


def coded_qp_maps(path: Path, decoder: str = "h264") -> list[list[list[int]]]:
    """The QP of every coded macroblock of each picture the ffmpeg tool's decoder (by its
    name in the log) outputs, as it prints them for debugging: every row of the coded
    picture, also those that cropping hides. The decoder prints a picture before libavcodec
    drops what the demuxer marked for discarding (the pictures an edit list hides). The
    tool's probing of a raw stream decodes, and prints, a few pictures before the decode
    proper, which starts once it has printed the stream mapping."""
    log = checked_output(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-threads", "1", "-debug", "qp",
                          "-i", str(path), "-map", "0:v:0", "-f", "null", "-"]).stderr
    row = re.compile(rf"^\[{decoder} @ [^\]]+\] ((?:[ \d]\d)+)$")
    maps: list[list[list[int]]] = []
    for line in log[log.index("\nStream mapping:"):].splitlines():
        if "New frame, type:" in line:
            maps.append([])
        elif maps and (match := row.match(line)):
            digits = match.group(1)
            maps[-1].append([int(digits[i:i + 2]) for i in range(0, len(digits), 2)])
    return maps


# One macroblock as ff_print_debug_info2 prints it: type and prediction, partition, interlacing.
PRINTED_MACROBLOCK = r"[PAiIdDgGS<>X][-+| ?][ =]"


def reference_mb_types(path: Path) -> list[list[str]]:
    """Each picture's macroblock rows as the ffmpeg tool's H.264 decoder prints them
    (single-threaded), in the order it outputs them: three characters per macroblock. FFmpeg
    5.1 prints the macroblocks alone; 7.1 and later a line of column positions first and each
    row's first pixel line before it. What the decoder of the tool's probe prints, before the
    tool maps its streams, is left out."""
    log = checked_output(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "repeat+debug", "-threads", "1",
                          "-debug", "mb_type", "-i", str(path), "-map", "0:v:0", "-f", "null", "-"]).stderr
    line = re.compile(r"^\[h264 @ [^\]]+\] (.*)$")
    row = re.compile(r"^(?: *(\d+) )?((?:%s)+)$" % PRINTED_MACROBLOCK)
    pictures, current = [], None
    for text in log[log.index("\nStream mapping:"):].splitlines():
        if not (match := line.match(text)):
            continue
        message = match.group(1)
        if message.startswith("New frame, type:"):
            current = []
            pictures.append(current)
        elif current is not None and (cells := row.match(message)) and \
                cells.group(1) in (None, str(16 * len(current))):
            current.append(cells.group(2))
        elif not (current is not None and current == [] and re.fullmatch(r"[ \d]+", message)):
            current = None
    assert pictures and all(pictures)
    return pictures


def shown_qp_map(coded: list[list[int]], width: int, height: int, top: int, left: int) -> list[list[int]]:
    """The map of a picture of width x height that the decoder cropped from its coded
    picture at (left, top): (height + 15) // 16 rows and (width + 15) // 16 columns, each
    cell the QP of the coded macroblock that holds the picture's sample (16 r, 16 c)."""
    return [[coded[(top + 16 * r) // 16][(left + 16 * c) // 16] for c in range((width + 15) // 16)]
            for r in range((height + 15) // 16)]


def traced_headers(path: Path) -> list[tuple[str, list[tuple[str, int]]]]:
    """Every parameter set, SEI and slice header as the ffmpeg tool's bitstream tracer reads
    them, in stream order: (section, [(syntax element, value), ...])."""
    trace = checked_output(["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-i", str(path), "-map", "0:v:0",
                            "-c", "copy", "-bsf:v", "trace_headers", "-f", "null", "-"]).stderr
    sections: list[tuple[str, list[tuple[str, int]]]] = []
    for line in trace.splitlines():
        if not line.startswith("[trace_headers @"):
            continue
        text = line.split("] ", 1)[1]
        if element := re.fullmatch(r"\d+\s+(\w+)(?:\[[\d\]\[]+)?\s+[01]+ = (-?\d+)", text):
            sections[-1][1].append((element.group(1), int(element.group(2))))
        elif not text.startswith("Packet:"):
            sections.append((text, []))
    return sections


@dataclass(frozen=True)
class Picture:
    """A decoded 4:2:0 picture: its size and its three planes, rows tightly packed."""
    width: int
    height: int
    planes: tuple[bytes, bytes, bytes]


def split_yuv420p(data: bytes, width: int, height: int) -> tuple[bytes, bytes, bytes]:
    luma = width * height
    chroma = ((width + 1) // 2) * ((height + 1) // 2)
    assert len(data) == luma + 2 * chroma
    return data[:luma], data[luma:luma + chroma], data[luma + chroma:]


def decoded_pictures(path: Path) -> list[tuple[int | None, Picture]]:
    """Every picture the ffmpeg tool decodes from the file, in output order, each with the
    presentation timestamp its own packet carried (None where the packet had none).

    Unlike reference_decode this survives what damaged files do: pictures change size
    (scaling is off), timestamps repeat or go missing (they come from ffprobe's frames, not
    from the ffmpeg tool, which puts guessed ones in their place), and a file that neither
    tool can read decodes to nothing. Frame threads are off, as in the module: slice threads
    are all the module uses, and concealment of damaged data differs between the two."""
    probe = tool_output(["ffprobe", "-v", "error", "-threads", "1", "-select_streams", "v:0",
                         "-show_entries", "frame=pts,width,height", "-of", "json", str(path)])
    decode = tool_output(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1", "-copyts",
         "-skip_loop_filter", "all", "-i", str(path), "-map", "0:v:0", "-autoscale", "0",
         "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], text=False)
    if probe.returncode != 0 or decode.returncode != 0:
        return []
    frames = json.loads(probe.stdout).get("frames", [])
    pictures, offset = [], 0
    for frame in frames:
        width, height = frame["width"], frame["height"]
        size = width * height + 2 * ((width + 1) // 2) * ((height + 1) // 2)
        planes = split_yuv420p(decode.stdout[offset:offset + size], width, height)
        pictures.append((frame.get("pts"), Picture(width, height, planes)))
        offset += size
    assert offset == len(decode.stdout), "ffprobe and the ffmpeg tool decoded different pictures"
    return pictures


def pictures_by_frame(path: Path) -> list[list[Picture]]:
    """For frame i of the file (its i-th presentation timestamp), every picture the ffmpeg
    tool decodes whose packet carried that timestamp: one for a sound file, none for a frame
    the decoder cannot produce. Where timestamps do not identify frames, frame i is the i-th
    picture the tool outputs."""
    try:
        if not timestamps_identify_frames(path):
            return [[picture] for _, picture in decoded_pictures(path)]
        timestamps = presentation_timestamps(path)
    except subprocess.CalledProcessError:
        return []
    found: dict[int, list[Picture]] = {pts: [] for pts in timestamps}
    for pts, picture in decoded_pictures(path):
        if pts in found:
            found[pts].append(picture)
    return [found[pts] for pts in timestamps]


def pps_chroma_offsets(path) -> tuple[int, int]:
    """The first PPS's chroma QP index offsets as the ffmpeg tool's bitstream tracer reads them."""
    pps = next(dict(elements) for section, elements in traced_headers(path) if section == "Picture Parameter Set")
    cb = pps["chroma_qp_index_offset"]
    # Without the PPS extension the second offset is inferred equal to the first.
    return cb, pps.get("second_chroma_qp_index_offset", cb)


def expected_rate(stream: dict) -> Fraction:
    for key in ("avg_frame_rate", "r_frame_rate"):
        num, den = (int(part) for part in stream[key].split("/"))
        if num > 0 and den > 0:
            return Fraction(num, den)
    return Fraction(24, 1)


def open_files() -> set[Path]:
    found = set()
    for fd in Path("/proc/self/fd").iterdir():
        try:
            found.add(Path(os.readlink(fd)))
        except OSError:
            continue
    return found


def sequence_parameter_sets(path: Path) -> list[dict[str, int]]:
    return [dict(elements) for section, elements in traced_headers(path) if section == "Sequence Parameter Set"]


def coded_size_and_far_crops(sps: dict[str, int]) -> tuple[tuple[int, int], tuple[int, int]]:
    """(coded width, coded height) and the samples cropped at the right and the bottom, for
    4:2:0, where the crop counts pairs of samples, and pairs of rows twice over once pictures
    may be fields."""
    field_rows = 2 - sps["frame_mbs_only_flag"]
    size = (16 * (sps["pic_width_in_mbs_minus1"] + 1), 16 * field_rows * (sps["pic_height_in_map_units_minus1"] + 1))
    return size, (2 * sps.get("frame_crop_right_offset", 0), 2 * field_rows * sps.get("frame_crop_bottom_offset", 0))


def shown_maps(path: Path, pictures: list[Picture], coded: list[list[list]]) -> list[list[list]]:
    """The map of each picture by the rule for cropped and interlaced pictures: the grid of
    the picture FFmpeg outputs, each cell the value of the coded macroblock under its top left
    sample, where the crop FFmpeg applied at the left and top is what the coded size less
    the output size and the right and bottom crops leaves (FFmpeg always applies those two,
    and the left one only where the planes stay aligned). `coded`: the decoder's values of
    every coded macroblock of each picture it printed, as the tool prints them."""
    # Pictures libavcodec dropped for the demuxer (an edit list's pre-roll) were printed
    # first: they come before the edit's start in output order.
    dropped = len(coded) - len(pictures)
    assert 0 <= dropped <= sum("D" in packet["flags"] for packet in
                               ffprobe(path, "-show_entries", "packet=flags")["packets"])
    far_crops = dict(coded_size_and_far_crops(sps) for sps in sequence_parameter_sets(path))
    maps = []
    for grid, picture in zip(coded[dropped:], pictures):
        width, height = 16 * len(grid[0]), 16 * len(grid)
        right, bottom = far_crops[(width, height)]
        maps.append(shown_qp_map(grid, picture.width, picture.height, top=height - bottom - picture.height,
                                 left=width - right - picture.width))
    return maps


# The characters of FFmpeg's debug output (libavcodec/mpegutils.c).
TYPE_OF = {"i": vexmira.MbType.INTRA_4X4, "I": vexmira.MbType.INTRA_16X16, "P": vexmira.MbType.INTRA_PCM, "S": vexmira.MbType.SKIP,
           "d": vexmira.MbType.DIRECT_SKIP, "D": vexmira.MbType.DIRECT, ">": vexmira.MbType.L0, "<": vexmira.MbType.L1, "X": vexmira.MbType.BI}
PARTITION_OF = {" ": vexmira.Partition.P16X16, "-": vexmira.Partition.P16X8, "|": vexmira.Partition.P8X16, "+": vexmira.Partition.P8X8}


# The fields extract_mvs prints, in its order.
PRINTED = ("source", "w", "h", "src_x", "src_y", "dst_x", "dst_y", "flags")


def example_vectors(program: Path, path: Path) -> dict[int, list[tuple[int, ...]]]:
    """Sorted rows of PRINTED fields by frame number: the example numbers the pictures in the
    order they come out of the decoder, which for a sound clip is presentation order."""
    output = subprocess.run([str(program), str(path)], check=True, capture_output=True, text=True).stdout
    rows = defaultdict(list)
    for line in output.splitlines()[1:]:
        number, *fields = (field.strip() for field in line.split(","))
        rows[int(number) - 1].append(tuple(int(field, 0) for field in fields))
    return {frame: sorted(found) for frame, found in rows.items()}


def sequential_reference(path: Path) -> list[list[Picture]]:
    return pictures_by_frame(path) if path.is_file() else []


def cut_in_last_unit_reference(path: Path) -> list[list[Picture]]:
    """sequential_reference of a file whose last packet the decoder refuses whole: without
    that packet's frame, of which the tool makes no picture."""
    frames = sequential_reference(path)
    refused = refused_last_packet(path)
    if refused is None:
        return frames
    cut = presentation_timestamps(path).index(refused)
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
        with private_copy(f"from_{start}.ts", header + data[start:]) as copy:
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


def damaged_packet_timestamps(path: Path, offsets) -> set[int]:
    packets = ffprobe(path, "-show_entries", "packet=pts,pos,size")["packets"]
    return {int(packet["pts"]) for packet in packets
            if any(int(packet["pos"]) <= offset < int(packet["pos"]) + int(packet["size"]) for offset in offsets)}


def tool_damaged_frames(path: Path) -> set[int]:
    """The frames whose pictures the ffmpeg tool reports as corrupt: each "corrupt decoded
    frame" line is the decoder's report on the picture that the next showinfo line shows.
    Frame i is the picture with the i-th presentation timestamp, or, where timestamps do not
    identify frames, the tool's i-th picture."""
    log = tool_output(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-threads", "1", "-copyts", "-i", str(path),
                       "-map", "0:v:0", "-vf", "showinfo", "-fps_mode", "passthrough", "-f", "null", "-"]).stderr
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


def tools_clock(path) -> list[float]:
    """The time of each picture the ffmpeg tool outputs, on its clock, in seconds."""
    log = checked_output(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-copyts", "-threads", "1", "-i", str(path),
                          "-map", "0:v:0", "-vf", "showinfo", "-fps_mode", "passthrough", "-f", "null", "-"]).stderr
    return [float(time) for time in re.findall(r"Parsed_showinfo.*? pts_time:(-?[\d.]+)", log)]


def first_traced(headers: list[tuple[str, list[tuple[str, int]]]], name: str) -> int:
    """The first value of a syntax element in traced_headers' sections."""
    return next(value for _, elements in headers for element, value in elements if element == name)


def run_mypy(*arguments: str, folder: Path, cache: Path) -> subprocess.CompletedProcess:
    """mypy's verdict on code in `folder`, run by this interpreter with its installed stubs."""
    return subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(cache), *arguments],
                          capture_output=True, text=True, cwd=folder)


def first_pass_statistics(path: Path) -> list[dict[str, int]]:
    """x264's per-frame statistics of its first pass (media's first_pass clips), by frame in
    presentation order: `tex`, `mv`, `misc` bits and the `imb`, `pmb`, `smb` counts."""
    log = path.with_name(path.stem + "-0.log").read_text().splitlines()[1:]
    rows = [dict(re.findall(r"(\w+):(\S+)", line)) for line in log]
    return [{key: int(row[key]) for key in ("tex", "mv", "misc", "imb", "pmb", "smb")}
            for row in sorted(rows, key=lambda row: int(row["in"]))]
