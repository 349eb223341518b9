"""Test media, made once per session with the ffmpeg tool, and the ffprobe oracle."""

import json
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

import vexmira

# A moving pattern, so that frames differ from one another and B-frames predict something.
SOURCE = "testsrc2=size={size}:rate={rate},trim=end_frame={frames}"
TONE = "sine=frequency=440:sample_rate=48000"


def x264(*, bframes=2, gop=12, keyint_min=None, scenecut=0, open_gop=False, pix_fmt="yuv420p", extra=""):
    params = f"open-gop={int(open_gop)}" + (f":{extra}" if extra else "")
    return ["-c:v", "libx264", "-preset", "veryfast", "-bf", str(bframes), "-g", str(gop),
            "-keyint_min", str(keyint_min or gop), "-sc_threshold", str(scenecut), "-pix_fmt", pix_fmt,
            "-x264-params", params]


def video_input(size="64x48", rate="25", frames=36, then=""):
    source = SOURCE.format(size=size, rate=rate, frames=frames) + (f",{then}" if then else "")
    return ["-f", "lavfi", "-i", source]


# name -> (file suffix, ffmpeg arguments between the global options and the output path)
RECIPES = {
    "mp4": (".mp4", video_input() + x264()),
    "mkv": (".mkv", video_input() + x264()),
    "ts": (".ts", video_input() + x264()),
    "mp4_no_bframes": (".mp4", video_input() + x264(bframes=0)),
    # Longer than the frame cache, so that going back means seeking again; the last key frame
    # lies 4 frames before the end, where the decoder is drained right after a recovery point.
    "mp4_long": (".mp4", video_input(frames=100) + x264(bframes=3, gop=24)),
    "mkv_long": (".mkv", video_input(frames=100) + x264(bframes=3, gop=24)),
    "ts_long": (".ts", video_input(frames=100) + x264(bframes=3, gop=24)),
    # One interval of 160 frames: far targets are reached without decoding the pictures that
    # nothing references, near ones with every picture decoded and cached.
    "mp4_long_gop": (".mp4", video_input(frames=160) + x264(bframes=3, gop=160)),
    "ts_long_gop": (".ts", video_input(frames=160) + x264(bframes=3, gop=160)),
    "mp4_open_gop": (".mp4", video_input(frames=100) + x264(bframes=3, gop=24, open_gop=True)),
    # Pictures large enough that the memory the frame cache keeps alive stands out.
    "mp4_360p": (".mp4", video_input(size="640x360", frames=80) + x264(bframes=3, gop=80)),
    "mkv_open_gop": (".mkv", video_input(frames=100) + x264(bframes=3, gop=24, open_gop=True)),
    "ts_open_gop": (".ts", video_input(frames=100) + x264(bframes=3, gop=24, open_gop=True)),
    "mp4_ntsc": (".mp4", video_input(rate="30000/1001") + x264()),
    "mp4_10bit": (".mp4", video_input() + x264(pix_fmt="yuv420p10le")),
    # 4:2:0 H.264 has even sizes only; 4:4:4 has no such limit.
    "mp4_odd_size": (".mp4", video_input(size="34x18", then="format=yuv444p,crop=33:17:0:0")
                     + x264(pix_fmt="yuv444p")),
    "mp4_34x18": (".mp4", video_input(size="34x18") + x264()),
    "mp4_with_audio": (".mp4", video_input() + ["-f", "lavfi", "-i", TONE, "-shortest"]
                       + x264() + ["-c:a", "aac"]),
    "mkv_two_videos": (".mkv", video_input(size="64x48") + video_input(size="32x32", frames=20)
                       + ["-map", "0:v", "-map", "1:v"] + x264()),
    "m4a_audio_only": (".m4a", ["-f", "lavfi", "-i", TONE, "-t", "1", "-c:a", "aac"]),
    # Constant QP everywhere: I, P and B frames alike, no adaptive quantisation.
    "mp4_qp30": (".mp4", video_input() + x264(extra="qp=30:ipratio=1:pbratio=1:aq-mode=0")),
    "mp4_10bit_qp20": (".mp4", video_input() + x264(pix_fmt="yuv420p10le",
                                                    extra="qp=20:ipratio=1:pbratio=1:aq-mode=0")),
    # Above 51, which 8-bit streams cannot reach: 10 bits extend the range to 63.
    "mp4_10bit_qp60": (".mp4", video_input(frames=12) + x264(pix_fmt="yuv420p10le",
                                                           extra="qp=60:ipratio=1:pbratio=1:aq-mode=0")),
    # Uniform noise, so adaptive quantisation treats every macroblock alike except where the
    # region of interest (macroblock rows 1-2, columns 2-4 of an 8x6 grid) asks for more quality.
    "mp4_roi": (".mp4", ["-f", "lavfi", "-i", "color=c=gray:size=128x96:rate=25,noise=alls=30:allf=t,"
                         "trim=end_frame=12", "-vf", "addroi=x=32:y=16:w=48:h=32:qoffset=-0.5"]
                + x264(extra="crf=28:aq-mode=1")),
    # Many frames of a size that keeps several decoding threads busy, with rate control
    # varying the QP from block to block.
    "mp4_qp_busy": (".mp4", video_input(size="160x96", frames=120) + x264(bframes=3, gop=60, extra="crf=26")),
    "mp4_chroma_offset": (".mp4", video_input() + x264(extra="chroma-qp-offset=-5")),
    # A lossless codec whose decoder reports no quantiser at all.
    "mkv_ffv1": (".mkv", video_input(frames=6) + ["-c:v", "ffv1", "-pix_fmt", "yuv420p"]),
    # Files whose packets carry no presentation timestamps, or only some: frames are numbered
    # from the bitstream. Raw Annex B is recognised by its content, whatever the extension.
    "h264_raw": (".h264", video_input() + x264()),
    "h264_raw_open_gop": (".264", video_input(frames=100) + x264(bframes=3, gop=24, open_gop=True,
                                                                 extra="b-pyramid=normal") + ["-f", "h264"]),
    # Short IDR periods and a hard cut (every pixel inverted from frame 15 on) that x264 makes
    # an IDR picture of.
    "h264_raw_idr_periods": (".26l", video_input(frames=40, then="negate=enable='gte(n,15)'")
                             + x264(gop=12, keyint_min=2, scenecut=40) + ["-f", "h264"]),
    "h264_raw_baseline": (".jsv", video_input() + ["-c:v", "libx264", "-preset", "veryfast", "-profile:v", "baseline",
                                                   "-g", "12", "-pix_fmt", "yuv420p", "-f", "h264"]),
    "h264_raw_10bit": (".avc", video_input() + x264(pix_fmt="yuv420p10le") + ["-f", "h264"]),
    "h264_raw_422": (".h264", video_input() + x264(pix_fmt="yuv422p")),
    "avi": (".avi", video_input() + x264(bframes=3)),
    "mpg": (".mpg", video_input() + x264(bframes=3) + ["-f", "vob"]),
}

# How each macroblock was coded: used by the tests of macroblock types alone.
MB_TYPE_RECIPES = {
    # Hierarchical B-frames, and every partition x264 knows, so that 16x8, 8x16 and 8x8 occur.
    "mp4_pyramid": (".mp4", video_input(size="160x96", frames=48)
                    + x264(bframes=3, gop=24, extra="b-pyramid=normal:partitions=all:subme=7")),
    # Interlaced coding: x264 codes frames with MBAFF, field macroblock pairs among frame ones.
    # Each frame weaves two fields of a fast pan, so that field pairs predict better.
    "mp4_mbaff": (".mp4", ["-f", "lavfi", "-i", "testsrc=size=480x64:rate=50,trim=end_frame=48,"
                           "crop=96:64:x=6*n:y=0,tinterlace=mode=interleave_top"]
                  + x264(extra="interlaced=1:partitions=all")),
    # Lossless: QP 0 everywhere, the transform bypassed.
    "mp4_lossless": (".mp4", video_input(frames=12) + x264(extra="qp=0")),
}

# Files with unusual timing or layout, kept apart so that the sound clips' tests skip them.
REPEAT_EVERY_FIFTH = r"setts=pts=if(eq(mod(N\,5)\,3)\,PREV_OUTPTS\,PTS)"
UNUSUAL_RECIPES = {
    "mp4_faststart": (".mp4", video_input() + x264() + ["-movflags", "+faststart"]),
    "mp4_long_faststart": (".mp4", video_input(frames=100) + x264(bframes=3, gop=24) + ["-movflags", "+faststart"]),
    # Halves of a stream whose picture size changes: the second starts after the first ends.
    "ts_32x32": (".ts", video_input(size="32x32", frames=20) + x264()),
    "ts_32x32_later": (".ts", video_input(size="32x32", frames=20) + x264() + ["-output_ts_offset", "2"]),
    "ts_later": (".ts", video_input() + x264() + ["-output_ts_offset", "2"]),
    "h264_raw_intra": (".h264", video_input(frames=4) + x264(bframes=0, gop=2)),
    # Larger than the demuxer's read buffer, so that reading it twice shows.
    "h264_raw_320x240": (".h264", video_input(size="320x240", frames=50) + x264()),
    "ts_pts_missing": (".ts", video_input() + x264()
                       + ["-bsf:v", r"setts=pts=if(eq(mod(N\,4)\,2)\,NOPTS\,PTS)"]),
    "ts_pts_repeated": (".ts", video_input() + x264() + ["-bsf:v", REPEAT_EVERY_FIFTH]),
    "mkv_pts_repeated": (".mkv", video_input() + x264() + ["-bsf:v", REPEAT_EVERY_FIFTH]),
    # A packet without timestamp followed by one that carries the timestamp the first lost.
    "ts_pts_moved": (".ts", video_input() + x264() + [
        "-bsf:v", r"setts=pts=if(eq(mod(N\,6)\,2)\,NOPTS\,if(eq(mod(N\,6)\,3)\,PREV_INPTS\,PTS))"]),
}

# How pictures were predicted, and the loop filter: used by the tests of those alone.
PREDICTION_RECIPES = {
    # The loop filter switched off in the bitstream itself.
    "mp4_no_deblock": (".mp4", video_input() + x264(extra="no-deblock=1")),
    # Every picture an IDR picture.
    "mp4_intra": (".mp4", video_input(frames=12) + x264(bframes=0, gop=1)),
    # B-frames that nothing references: every B picture is non-reference, every I and P one is.
    "mp4_flat_bframes": (".mp4", video_input() + x264(extra="b-pyramid=none")),
    "ts_flat_bframes": (".ts", video_input() + x264(extra="b-pyramid=none")),
    "h264_flat_bframes": (".h264", video_input() + x264(extra="b-pyramid=none")),
    # A scene cut where x264 may not place a key frame yet: an I picture that is not a key one.
    "mp4_scene_cut": (".mp4", ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25,trim=end_frame=20[a];"
                               "mandelbrot=size=64x48:rate=25,trim=end_frame=16,setpts=PTS-STARTPTS[b];"
                               "[a][b]concat=n=2:v=1", "-c:v", "libx264", "-preset", "veryfast", "-bf", "2",
                               "-g", "100", "-keyint_min", "50", "-pix_fmt", "yuv420p"]),
    # A window that moves 4 pixels to the right per frame over a still picture, so that the
    # picture content moves 4 pixels to the left; P-frames only, each predicted from the last.
    "mp4_pan": (".mp4", ["-f", "lavfi", "-i", "testsrc=size=480x96:rate=25,trim=end_frame=1,loop=loop=19:size=1,"
                         "setpts=N/25/TB,crop=w=128:h=64:x=4*n:y=16,format=yuv420p"] + x264(bframes=0, gop=20, extra="ref=1")),
}

VIDEO_CLIPS = [name for name in RECIPES if name != "m4a_audio_only"]
PICTURE_CLIPS = ["mp4", "mkv", "ts", "mp4_no_bframes", "mp4_long", "mkv_long", "ts_long", "mp4_long_gop", "ts_long_gop",
                 "mp4_open_gop", "mkv_open_gop", "ts_open_gop", "mp4_10bit", "mp4_odd_size", "mp4_34x18"]
UNTIMED_CLIPS = ["h264_raw", "h264_raw_open_gop", "h264_raw_idr_periods", "h264_raw_baseline", "h264_raw_10bit",
                 "h264_raw_422", "avi", "mpg", "ts_pts_missing"]


class Media:
    def __init__(self, folder: Path):
        self.folder = folder
        self.made: dict[str, Path] = {}

    def __call__(self, name: str) -> Path:
        if name not in self.made:
            suffix, arguments = {**RECIPES, **UNUSUAL_RECIPES, **PREDICTION_RECIPES, **MB_TYPE_RECIPES}[name]
            path = self.folder / f"{name}{suffix}"
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *arguments, str(path)],
                           check=True)
            self.made[name] = path
        return self.made[name]


@pytest.fixture(scope="session")
def media(tmp_path_factory) -> Media:
    return Media(tmp_path_factory.mktemp("media"))


def ffprobe(path: Path, *entries: str) -> dict:
    """ffprobe's JSON for the first video stream of the file."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", *entries, "-of", "json", str(path)],
        check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_build() -> Path:
    """The native test programs, built (incrementally) against the same session sources.
    make sanitize builds them apart, with its compiler flags."""
    build = Path(os.environ.get("VEXMIRA_NATIVE_BUILD_DIR", ROOT / "build" / "native"))
    tools = Path(sys.executable).parent
    cmake = str(tools / "cmake") if (tools / "cmake").exists() else "cmake"
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}"] if (tools / "ninja").exists() else []
    for command in ([cmake, "-S", str(ROOT), "-B", str(build), *generator, "-DVEXMIRA_NATIVE_TOOLS=ON",
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                    [cmake, "--build", str(build)]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            pytest.fail(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")
    return build / "tests" / "native"


def presentation_timestamps(path: Path) -> list[int]:
    """Distinct packet timestamps of the first video stream, ascending: frame i has the i-th."""
    packets = ffprobe(path, "-show_entries", "packet=pts")["packets"]
    return sorted({int(packet["pts"]) for packet in packets if "pts" in packet})


def every_packet_timed(path: Path) -> bool:
    """Whether every video packet carries a presentation timestamp. Where some do not, frame i
    is the i-th picture the ffmpeg tool outputs."""
    return all("pts" in packet for packet in ffprobe(path, "-show_entries", "packet=pts")["packets"])


def reference_decode_in_output_order(path: Path, pix_fmt: str,
                                     skip_loop_filter: str = "all") -> list[tuple[int, bytes]]:
    """The ffmpeg tool's own decode, by default without deblocking (skip_loop_filter "default"
    filters every picture, "noref" all but those nothing references): (timestamp, tightly
    packed planes) of each picture, in the order the tool outputs them."""
    result = subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-copyts", "-skip_loop_filter", skip_loop_filter, "-i", str(path),
         "-map", "0:v:0", "-vf", "showinfo", "-fps_mode", "passthrough", "-f", "rawvideo",
         "-pix_fmt", pix_fmt, "-"], check=True, capture_output=True)
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
    if not every_packet_timed(path):
        return [picture for _, picture in reference_decode_in_output_order(path, pix_fmt)]
    reference = reference_decode(path, pix_fmt)
    return [reference.get(pts) for pts in presentation_timestamps(path)]


@pytest.fixture(scope="session")
def reference_pictures(media):
    """expected_frames of a named clip, decoded once per test session."""
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            made[clip] = expected_frames(path, vexmira.H264DecoderSession(str(path)).pix_fmt)
        return made[clip]
    return of


@pytest.fixture(scope="session")
def reference_answers(media, reference_pictures):
    """reference_answers(clip): what every frame of a named clip must give, as the ffmpeg tool
    decodes and reads it: (pictures as in reference_pictures, QP maps, PPS chroma offsets)."""
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            session = vexmira.H264DecoderSession(str(path))
            made[clip] = (reference_pictures(clip), reference_qp_maps(path, session.mb_rows, session.mb_cols),
                          pps_chroma_offsets(path))
        return made[clip]
    return of


def reference_qp_maps(path: Path, mb_rows: int, mb_cols: int) -> list[list[list[int]]]:
    """Per-macroblock QP of every frame, in presentation order, as the ffmpeg tool's H.264
    decoder prints it for debugging (single-threaded, two characters per macroblock)."""
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-threads", "1", "-debug", "qp", "-i", str(path),
                          "-map", "0:v:0", "-f", "null", "-"], check=True, capture_output=True, text=True).stderr
    row = re.compile(r"^\[h264 @ [^\]]+\] ((?:[ \d]\d){%d})$" % mb_cols)
    maps, current = [], None
    for line in log.splitlines():
        if "New frame, type:" in line:
            current = []
            maps.append(current)
        elif current is not None and len(current) < mb_rows and (match := row.match(line)):
            digits = match.group(1)
            current.append([int(digits[i:i + 2]) for i in range(0, len(digits), 2)])
    assert maps and all(len(qp_map) == mb_rows for qp_map in maps)
    return maps


# One macroblock as ff_print_debug_info2 prints it: type and prediction, partition, interlacing.
PRINTED_MACROBLOCK = r"[PAiIdDgGS<>X][-+| ?][ =]"


def reference_mb_types(path: Path) -> list[list[str]]:
    """Each picture's macroblock rows as the ffmpeg tool's H.264 decoder prints them
    (single-threaded), in the order it outputs them: three characters per macroblock. FFmpeg
    5.1 prints the macroblocks alone; 7.1 and later a line of column positions first and each
    row's first pixel line before it. What the decoder of the tool's probe prints, before the
    tool maps its streams, is left out."""
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "repeat+debug", "-threads", "1",
                          "-debug", "mb_type", "-i", str(path), "-map", "0:v:0", "-f", "null", "-"],
                         check=True, capture_output=True, text=True).stderr
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
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-threads", "1", "-select_streams", "v:0",
         "-show_entries", "frame=pts,width,height", "-of", "json", str(path)], capture_output=True, text=True)
    decode = subprocess.run(
        ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-threads", "1", "-copyts",
         "-skip_loop_filter", "all", "-i", str(path), "-map", "0:v:0", "-autoscale", "0",
         "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-"], capture_output=True)
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
    """For frame i of the file (its i-th distinct packet timestamp), every picture the ffmpeg
    tool decodes whose packet carried that timestamp: one for a sound file, none for a frame
    the decoder cannot produce, several where a timestamp repeats. Where some packets carry no
    timestamp, frame i is the i-th picture the tool outputs."""
    try:
        timestamps = presentation_timestamps(path)
        if not every_packet_timed(path):
            return [[picture] for _, picture in decoded_pictures(path)]
    except subprocess.CalledProcessError:
        return []
    found: dict[int, list[Picture]] = {pts: [] for pts in timestamps}
    for pts, picture in decoded_pictures(path):
        if pts in found:
            found[pts].append(picture)
    return [found[pts] for pts in timestamps]


def pps_chroma_offsets(path) -> tuple[int, int]:
    """The first PPS's chroma QP index offsets as the ffmpeg tool's bitstream tracer reads them."""
    trace = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-i", str(path), "-map", "0:v:0", "-c", "copy",
                            "-bsf:v", "trace_headers", "-f", "null", "-"],
                           check=True, capture_output=True, text=True).stderr
    first = re.search(r" chroma_qp_index_offset\s+\S+ = (-?\d+)", trace)
    second = re.search(r" second_chroma_qp_index_offset\s+\S+ = (-?\d+)", trace)
    cb = int(first.group(1))
    # Without the PPS extension the second offset is inferred equal to the first.
    return cb, int(second.group(1)) if second else cb
