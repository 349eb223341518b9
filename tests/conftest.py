"""Test media, made once per session with the ffmpeg tool, and the ffprobe oracle."""

import json
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import pytest

import vexmira
from bitstream_edit import (PPS, RECOVERY_POINT, SEI, SPS, annex_b_units, as_field_pictures, nal_type,
                            parameter_sets_only, sei_payload_types, with_memory_resets)

# A moving pattern, so that frames differ from one another and B-frames predict something.
SOURCE = "testsrc2=size={size}:rate={rate},trim=end_frame={frames}"
TONE = "sine=frequency=440:sample_rate=48000"


def x264(*, bframes=2, gop=12, keyint_min=None, scenecut=0, open_gop=False, pix_fmt="yuv420p", extra="",
         preset="veryfast"):
    params = f"open-gop={int(open_gop)}" + (f":{extra}" if extra else "")
    return ["-c:v", "libx264", "-preset", preset, "-bf", str(bframes), "-g", str(gop),
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


def ffmpeg(*arguments) -> None:
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *map(str, arguments)], check=True)


# ---- Files as they come from editors, capture, broken transfers and other encoders -------
# Each is either made by the ffmpeg tool, or derived from other media by a derivation that
# writes the file at the path it is given.

Derivation = Callable[["Media", Path], None]


def noisy_input(size="160x120", frames=36, then=""):
    """A moving pattern under fresh noise in every frame, so that no two pictures or
    macroblocks are alike and rate control varies the QP."""
    return video_input(size=size, frames=frames, then="noise=alls=10:allf=t" + (f",{then}" if then else ""))


def remuxed(clip: str, *options: str, before: tuple[str, ...] = ()) -> Derivation:
    """The clip's stream copied into the container the path names, with these options."""
    return lambda media, path: ffmpeg(*before, "-i", media(clip), "-c", "copy", *options, path)


def rewritten(clip: str, change: Callable[[bytes], bytes]) -> Derivation:
    def make(media, path: Path) -> None:
        path.write_bytes(change(media(clip).read_bytes()))
    return make


def joined(*clips: str) -> Derivation:
    """The files one after the other, byte for byte, as `cat` joins captures."""
    return lambda media, path: path.write_bytes(b"".join(media(clip).read_bytes() for clip in clips))


def video_packets(path: Path) -> list[dict]:
    return ffprobe(path, "-show_entries", "packet=pos,flags")["packets"]


def from_mid_gop(clip: str) -> Derivation:
    """An MPEG-TS capture that begins halfway between the first two key packets, on a
    transport packet boundary."""
    def make(media, path: Path) -> None:
        keys = [int(packet["pos"]) for packet in video_packets(media(clip)) if "K" in packet["flags"]]
        start = (keys[0] + keys[1]) // 2 // 188 * 188
        path.write_bytes(media(clip).read_bytes()[start:])
    return make


def cut_in_last_picture(clip: str) -> Derivation:
    """A file that ends 77 bytes into the fourth transport packet of its last picture, as a
    transfer that broke off (for a raw stream, 3 * 188 + 77 bytes into it)."""
    def make(media, path: Path) -> None:
        last = int(video_packets(media(clip))[-1]["pos"])
        start = last // 188 * 188 if media(clip).suffix == ".ts" else last
        path.write_bytes(media(clip).read_bytes()[:start + 3 * 188 + 77])
    return make


def from_second_recovery_point(data: bytes) -> bytes:
    """The stream from its second recovery-point SEI on, with its first parameter sets in
    front: a raw capture of a stream without IDR pictures after the first."""
    units = annex_b_units(data)
    points = [i for i, unit in enumerate(units) if nal_type(unit) == SEI and RECOVERY_POINT in sei_payload_types(unit)]
    parameter_sets = [unit for unit in units[:points[0]] if nal_type(unit) in (SPS, PPS)][:2]
    return b"".join(parameter_sets + units[points[1]:])


def crop(left: int, top: int, then: str = "") -> list[str]:
    """A new cropping window in the sequence parameter set, from nothing at the right and
    bottom."""
    return ["-bsf:v", f"{then}h264_metadata=crop_left={left}:crop_top={top}:crop_right=0:crop_bottom=0"]


def memory_resets(data: bytes) -> bytes:
    return with_memory_resets(data, every=7)


SIX_SECONDS = noisy_input(frames=150) + x264(bframes=3, gop=50, preset="fast")
# Frames that each reference one picture, CAVLC, no weighted prediction: what the memory
# reset rewriter reads.
ONE_REFERENCE = "ref=1:cabac=0:weightp=0"
REAL_WORLD_RECIPES: dict[str, tuple[str, list[str] | Derivation]] = {
    "mp4_6s": (".mp4", SIX_SECONDS),
    "ts_6s": (".ts", SIX_SECONDS),
    # Cut with stream copy from 1.3 s: the copy starts at the key frame before, and an edit
    # list hides the pictures before 1.3 s, whose packets the demuxer marks for discarding.
    "mp4_edit_list_mid_gop": (".mp4", remuxed("mp4_6s", before=("-ss", "1.3"))),
    # Packets before the decoder's first picture: a capture that starts inside a group of
    # pictures, and streams whose first picture is a recovery point of an intra refresh.
    "ts_starts_mid_gop": (".ts", from_mid_gop("ts_6s")),
    "h264_intra_refresh": (".h264", noisy_input(frames=100) + x264(gop=30, extra="intra-refresh=1", preset="fast")),
    "h264_starts_at_recovery_point": (".h264", rewritten("h264_intra_refresh", from_second_recovery_point)),
    "mp4_starts_at_recovery_point": (".mp4", remuxed("h264_starts_at_recovery_point")),
    # Field pictures: x264 encodes the fields of 20 frames as 40 pictures of half height, in
    # Baseline (CAVLC, every picture a reference), and as_field_pictures makes fields of them.
    "h264_separated_fields": (".h264", noisy_input(frames=20, then="setfield=tff,separatefields") + [
        "-c:v", "libx264", "-preset", "fast", "-profile:v", "baseline", "-g", "1000", "-sc_threshold", "0",
        "-pix_fmt", "yuv420p"]),
    "h264_field_pictures": (".h264", rewritten("h264_separated_fields", as_field_pictures)),
    "mp4_field_pictures": (".mp4", remuxed("h264_field_pictures")),
    "mkv_field_pictures": (".mkv", remuxed("h264_field_pictures")),
    "ts_field_pictures": (".ts", remuxed("h264_field_pictures")),
    # Timestamps that repeat or go backwards: captures joined with cat.
    "ts_sizes_restart_timestamps": (".ts", joined("ts", "ts_32x32")),
    "ts_twice": (".ts", joined("ts_long", "ts_long")),
    # The same encode of the pattern's negative, so that the two halves differ.
    "ts_long_10s_later": (".ts", video_input(frames=100, then="negate") + x264(bframes=3, gop=24)
                          + ["-output_ts_offset", "10"]),
    "ts_timestamps_go_back": (".ts", joined("ts_long_10s_later", "ts_long")),
    # Cropping at the left and top, which FFmpeg applies only where the planes stay aligned.
    "mp4_crop_source": (".mp4", noisy_input(frames=30) + x264(bframes=3, preset="fast")),
    "mp4_crop_left_top": (".mp4", remuxed("mp4_crop_source", *crop(16, 16))),
    "h264_crop_left_top": (".h264", remuxed("mp4_crop_source", *crop(16, 16, then="h264_mp4toannexb,"))),
    "mp4_crop_top_8": (".mp4", remuxed("mp4_crop_source", *crop(0, 8))),
    # A transfer that broke off inside the last picture.
    "ts_no_bframes": (".ts", noisy_input(frames=40) + x264(bframes=0, preset="fast")),
    "ts_last_picture_cut": (".ts", cut_in_last_picture("ts_no_bframes")),
    "h264_no_bframes": (".h264", noisy_input(frames=40) + x264(bframes=0, preset="fast")),
    "h264_last_picture_cut": (".h264", cut_in_last_picture("h264_no_bframes")),
    # The same with B pictures and a key picture two frames before the end: the damaged
    # picture is decoded after the key picture, and decoding on from the interval before
    # conceals it otherwise than decoding from its key picture does.
    "ts_bframes_53": (".ts", noisy_input(frames=53) + x264(bframes=3, gop=24, preset="fast")),
    "ts_bframes_last_picture_cut": (".ts", cut_in_last_picture("ts_bframes_53")),
    "h264_parameter_sets_only": (".h264", rewritten("h264_raw", parameter_sets_only)),
    # Memory-management resets in every 7th reference picture, in P pictures only (which
    # decode exactly as before) and among B pictures.
    "h264_p_only": (".h264", noisy_input(frames=60) + x264(bframes=0, gop=30, extra=ONE_REFERENCE, preset="fast")),
    "h264_memory_resets": (".h264", rewritten("h264_p_only", memory_resets)),
    "mp4_memory_resets": (".mp4", remuxed("h264_memory_resets")),
    "h264_flat_bframes_cavlc": (".h264", noisy_input(frames=60) + x264(
        bframes=2, gop=60, extra=f"{ONE_REFERENCE}:b-pyramid=none:weightb=0:b-adapt=0", preset="fast")),
    "h264_memory_resets_bframes": (".h264", rewritten("h264_flat_bframes_cavlc", memory_resets)),
    # A raw stream with B pictures copied into MP4: the raw demuxer gives no presentation
    # timestamps, so the muxer writes each packet's decoding timestamp as its presentation
    # timestamp, and an edit list of the reorder delay, which makes the demuxer discard the
    # first packet, the IDR picture (FFmpeg 5.1).
    "mp4_remuxed_raw_bframes": (".mp4", remuxed("h264_flat_bframes_cavlc")),
    # Interlaced macroblock pairs (MBAFF), 240 lines: 15 rows of macroblocks shown, 16 coded.
    "mp4_mbaff_320x240": (".mp4", noisy_input(size="320x240", frames=12) + x264(bframes=3, extra="interlaced=1",
                                                                               preset="fast")),
}


def encoded(codec: str, *options: str, size: str = "64x48", frames: int = 36) -> list[str]:
    return video_input(size=size, frames=frames) + ["-c:v", codec, *options]


# Other codecs than H.264: name -> (suffix, ffmpeg arguments), and what the module says of
# them: FFmpeg's codec name, the decoder's name in its log, and by how much the module's map
# exceeds what that decoder prints with -debug qp (None: no QP export).
OTHER_CODEC_RECIPES = {
    # An MPEG-PS file whose pictures do not all carry a timestamp: numbered by decoding.
    "mpg_mpeg2": (".mpg", encoded("mpeg2video", "-bf", "2", "-g", "12", frames=100)),
    "ts_mpeg2": (".ts", encoded("mpeg2video", "-bf", "2", "-g", "12")),
    "mpg_mpeg1": (".mpg", encoded("mpeg1video", "-bf", "2", "-g", "12")),
    # The non-linear quantiser scale runs past 62.
    "ts_mpeg2_non_linear": (".ts", encoded("mpeg2video", "-qscale:v", "28", "-qmax", "28", "-non_linear_quant", "1")),
    "avi_mpeg4": (".avi", encoded("mpeg4", "-bf", "2", "-g", "12", frames=100)),
    "mp4_mpeg4": (".mp4", encoded("mpeg4", "-bf", "2", "-g", "12")),
    "3gp_h263": (".3gp", encoded("h263", "-g", "12", size="128x96")),
    "flv_flv1": (".flv", encoded("flv1", "-g", "12")),
    "avi_msmpeg4v3": (".avi", encoded("msmpeg4", "-g", "12")),
    "mkv_wmv2": (".mkv", encoded("wmv2", "-g", "12")),
    "mkv_hevc": (".mkv", encoded("libx265", "-x265-params", "log-level=error:keyint=24:bframes=3", frames=100)),
    # B pictures that nothing references, as in the H.264 clips of the deblocking tests.
    "mkv_hevc_flat_bframes": (".mkv", encoded("libx265", "-x265-params",
                                              "log-level=error:keyint=24:bframes=2:b-pyramid=0")),
    # Segmentation by adaptive quantisation: FFmpeg exports VP9's segment quantisers per block.
    "webm_vp9": (".webm", encoded("libvpx-vp9", "-aq-mode", "1", "-b:v", "200k", "-deadline", "realtime",
                                  "-cpu-used", "8", size="128x96", frames=12)),
    # Raw HEVC: no timestamps, numbered by decoding.
    "hevc_raw": (".hevc", encoded("libx265", "-x265-params", "log-level=error:keyint=24:bframes=3", "-f", "hevc",
                                  frames=100)),
}
OTHER_CODECS = {
    "mpg_mpeg2": ("mpeg2video", "mpeg2video", 1), "ts_mpeg2": ("mpeg2video", "mpeg2video", 1),
    "mpg_mpeg1": ("mpeg1video", "mpeg1video", 1), "ts_mpeg2_non_linear": ("mpeg2video", "mpeg2video", 1),
    "avi_mpeg4": ("mpeg4", "mpeg4", 2), "mp4_mpeg4": ("mpeg4", "mpeg4", 2), "3gp_h263": ("h263", "h263", 2),
    "flv_flv1": ("flv1", "flv", 2), "avi_msmpeg4v3": ("msmpeg4v3", "msmpeg4", 2), "mkv_wmv2": ("wmv2", "wmv2", 2),
    "mkv_hevc": ("hevc", "hevc", None), "hevc_raw": ("hevc", "hevc", None),
    "mkv_hevc_flat_bframes": ("hevc", "hevc", None), "webm_vp9": ("vp9", "vp9", None),
}


def syntax_clip(cabac, extra="", pix_fmt="yuv420p", size="160x96"):
    """B-pyramids, every partition and weighted prediction on noise, with CABAC or CAVLC."""
    params = f"cabac={int(cabac)}:b-pyramid=normal:partitions=all:weightp=2:subme=7" + (f":{extra}" if extra else "")
    return noisy_input(size=size, frames=30) + x264(bframes=3, gop=24, pix_fmt=pix_fmt, extra=params, preset="fast")


# The kinds of stream the syntax parser reads, each coded with either entropy coder.
SYNTAX_RECIPES = {
    f"mp4_{coder}{kind}": (".mp4", syntax_clip(coder == "cabac", *arguments))
    for coder in ("cavlc", "cabac")
    for kind, arguments in {
        "": ("8x8dct=1:direct=spatial",),
        "_4x4_temporal": ("8x8dct=0:direct=temporal",),
        "_slices": ("slices=4",),
        "_422": ("", "yuv422p"),
        "_444": ("", "yuv444p"),
        "_gray": ("", "gray"),
        "_10bit": ("", "yuv420p10le"),
        "_lossless": ("qp=0",),
        # Cropped: 100x60 codes 7x4 macroblocks and shows them all.
        "_odd_size": ("", "yuv420p", "100x60"),
    }.items()
}


def first_pass(cabac: bool) -> Derivation:
    """An encode whose first-pass statistics x264 writes beside it, at <path without suffix>-0.log."""
    def make(media, path: Path) -> None:
        ffmpeg(*syntax_clip(cabac), "-pass", "1", "-passlogfile", path.with_suffix(""), path)
    return make


def truncated_slices(clip: str) -> Derivation:
    """A raw stream of the clip whose every third picture's slices keep only their first half."""
    def make(media, path: Path) -> None:
        from bitstream_edit import annex_b_units, nal_type
        raw = path.with_suffix(".source.h264")
        ffmpeg("-i", media(clip), "-c", "copy", "-f", "h264", raw)
        units, pictures = [], 0
        for unit in annex_b_units(raw.read_bytes()):
            if nal_type(unit) in (1, 5):
                pictures += 1
                unit = unit[:len(unit) // 2] if pictures % 3 == 0 else unit
            units.append(unit)
        path.write_bytes(b"".join(units))
    return make


SYNTAX_RECIPES.update({
    "mp4_cavlc_first_pass": (".mp4", first_pass(False)),
    "mp4_cabac_first_pass": (".mp4", first_pass(True)),
    "h264_cavlc_truncated": (".h264", truncated_slices("mp4_cavlc")),
    "h264_cabac_truncated": (".h264", truncated_slices("mp4_cabac")),
})



def intra_clip(cabac, extra="", pix_fmt="yuv420p"):
    """Every picture an IDR picture of noise, with CABAC or CAVLC."""
    params = f"cabac={int(cabac)}:keyint=1" + (f":{extra}" if extra else "")
    return noisy_input(size="160x96", frames=6) + x264(bframes=0, gop=1, pix_fmt=pix_fmt, extra=params, preset="fast")


# The kinds of all-intra stream the rebuild of pictures is checked on, with either coder.
RECONSTRUCT_RECIPES = {
    f"mp4_intra_{coder}{kind}": (".mp4", intra_clip(coder == "cabac", *arguments))
    for coder in ("cavlc", "cabac")
    for kind, arguments in {
        "": ("8x8dct=1",),
        "_4x4": ("8x8dct=0",),
        "_422": ("", "yuv422p"),
        "_444": ("", "yuv444p"),
        "_gray": ("", "gray"),
        "_10bit": ("", "yuv420p10le"),
        "_lossless": ("qp=0",),
        "_slices": ("slice-max-mbs=13",),
        "_cqm": ("cqm=jvt",),
        "_constrained": ("constrained-intra=1:chroma-qp-offset=3",),
    }.items()
}
# P pictures of every partition size and several references, for the motion field.
# Slices of 13 macroblocks start mid-row, where the neighbour above lies in another slice.
RECONSTRUCT_RECIPES.update({
    f"mp4_p_{coder}{kind}": (".mp4", noisy_input(size="160x96", frames=12) + x264(
        bframes=0, gop=12, preset="fast", extra=f"cabac={int(coder == 'cabac')}:partitions=all:ref=3:subme=7{extra}"))
    for coder in ("cavlc", "cabac")
    for kind, extra in {"": "", "_slices": ":slice-max-mbs=13"}.items()
})

class Media:
    def __init__(self, folder: Path):
        self.folder = folder
        self.made: dict[str, Path] = {}

    def __call__(self, name: str) -> Path:
        if name not in self.made:
            suffix, recipe = {**RECIPES, **UNUSUAL_RECIPES, **PREDICTION_RECIPES, **REAL_WORLD_RECIPES,
                              **MB_TYPE_RECIPES, **OTHER_CODEC_RECIPES,
                              **SYNTAX_RECIPES, **RECONSTRUCT_RECIPES}[name]
            path = self.folder / f"{name}{suffix}"
            if callable(recipe):
                recipe(self, path)
            else:
                ffmpeg(*recipe, path)
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
    if not timestamps_identify_frames(path):
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
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-threads", "1", "-debug", "qp",
                          "-i", str(path), "-map", "0:v:0", "-f", "null", "-"],
                         check=True, capture_output=True, text=True).stderr
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


def shown_qp_map(coded: list[list[int]], width: int, height: int, top: int, left: int) -> list[list[int]]:
    """The map of a picture of width x height that the decoder cropped from its coded
    picture at (left, top): (height + 15) // 16 rows and (width + 15) // 16 columns, each
    cell the QP of the coded macroblock that holds the picture's sample (16 r, 16 c)."""
    return [[coded[(top + 16 * r) // 16][(left + 16 * c) // 16] for c in range((width + 15) // 16)]
            for r in range((height + 15) // 16)]


def traced_headers(path: Path) -> list[tuple[str, list[tuple[str, int]]]]:
    """Every parameter set, SEI and slice header as the ffmpeg tool's bitstream tracer reads
    them, in stream order: (section, [(syntax element, value), ...])."""
    trace = subprocess.run(["ffmpeg", "-nostdin", "-nostats", "-hide_banner", "-i", str(path), "-map", "0:v:0",
                            "-c", "copy", "-bsf:v", "trace_headers", "-f", "null", "-"],
                           check=True, capture_output=True, text=True).stderr
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
    trace = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-i", str(path), "-map", "0:v:0", "-c", "copy",
                            "-bsf:v", "trace_headers", "-f", "null", "-"],
                           check=True, capture_output=True, text=True).stderr
    first = re.search(r" chroma_qp_index_offset\s+\S+ = (-?\d+)", trace)
    second = re.search(r" second_chroma_qp_index_offset\s+\S+ = (-?\d+)", trace)
    cb = int(first.group(1))
    # Without the PPS extension the second offset is inferred equal to the first.
    return cb, int(second.group(1)) if second else cb
