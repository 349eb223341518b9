"""Test media, made with the ffmpeg tool from lavfi sources by recorded commands: the named
clips (RECIPES and the groups beside it) and the bad inputs (CASES). A file is either an
ffmpeg command or a derivation from other media, which writes the file at the path it is
given; nothing binary is committed."""

import os
import random
import subprocess
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from bitstream_edit import (PPS, RECOVERY_POINT, SEI, SPS, annex_b_units, as_field_pictures, fields_dropped,
                            nal_type, parameter_sets_only, sei_payload_types, with_b_pictures_after_their_references,
                            with_explicit_bipred_weights, with_field_marking_adaptive, with_list_1_from_the_frame_before,
                            with_long_term_first_in_list_0, with_long_term_references, with_memory_resets,
                            with_order_count_type_1, with_pcm_slices, with_references_lost,
                            with_second_fields_unfiltered, without_direct_8x8_inference)
from damage import (declaring_overflowing_width, flipped_slice_bits, fraction_of, huge_mdat_size, huge_sample_count,
                    huge_sample_entry_size, huge_track_size, in_box, overwrite_ts_payload_bytes, overwritten,
                    slice_damage, with_declared_size, without_first_key_picture, without_parameter_sets)
from matroska import fields_paired_in_matroska
from oracle import Picture, cut_in_last_unit_reference, ffprobe, key_frame_reference, sequential_reference

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
    # Pictures of 3 MB in intervals longer than the read-ahead's reach into the caller's:
    # a budget of a few of them bites.
    "mp4_1080p": (".mp4", video_input(size="1920x1080", frames=96) + x264(bframes=3, gop=48)),
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
# The picture content of mp4_pan moves this many pixels to the left per frame.
PAN_PIXELS_PER_FRAME = 4
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
                         f"setpts=N/25/TB,crop=w=128:h=64:x={PAN_PIXELS_PER_FRAME}*n:y=16,format=yuv420p"] + x264(bframes=0, gop=20, extra="ref=1")),
    # 1080p, twelve seconds in one interval, P pictures after the first: a batch over it
    # takes long enough to interrupt.
    "mp4_1080p_one_interval": (".mp4", ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-frames:v", "300",
                                        "-c:v", "libx264", "-preset", "ultrafast", "-g", "300"]),
}

VIDEO_CLIPS = [name for name in RECIPES if name != "m4a_audio_only"]
PICTURE_CLIPS = ["mp4", "mkv", "ts", "mp4_no_bframes", "mp4_long", "mkv_long", "ts_long", "mp4_long_gop", "ts_long_gop",
                 "mp4_open_gop", "mkv_open_gop", "ts_open_gop", "mp4_10bit", "mp4_odd_size", "mp4_34x18"]
# Clips whose every map the ffmpeg tool's QP debug output gives (test_qp_maps): in the others
# it prints, for some skipped macroblocks, another QP than the one the decoder exports.
QP_REFERENCE_CLIPS = {"mp4_long", "mp4_long_gop", "ts_open_gop", "mp4_roi", "mp4_10bit", "mp4_34x18", "mp4_qp_busy"}
UNTIMED_CLIPS = ["h264_raw", "h264_raw_open_gop", "h264_raw_idr_periods", "h264_raw_baseline", "h264_raw_10bit",
                 "h264_raw_422", "avi", "mpg", "ts_pts_missing"]


def ffmpeg(*arguments) -> None:
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *map(str, arguments)], check=True)


# ---- Files as they come from editors, capture, broken transfers and other encoders -------

# A file made from other media: it writes the file at the path it is given.
Derivation = Callable[["Media", Path], None]


def noisy_input(size="160x120", frames=36, then=""):
    """A moving pattern under fresh noise in every frame, so that no two pictures or
    macroblocks are alike and rate control varies the QP."""
    return video_input(size=size, frames=frames, then="noise=alls=10:allf=t" + (f",{then}" if then else ""))


def remuxed(clip: str, *options: str, before: tuple[str, ...] = ()) -> Derivation:
    """The clip's stream copied into the container the path names, with these options."""
    return lambda media, path: ffmpeg(*before, "-i", media(clip), "-c", "copy", *options, path)


def written(content: Callable[["Media"], bytes]) -> Derivation:
    return lambda media, path: path.write_bytes(content(media))


def rewritten(clip: str, change: Callable[[bytes], bytes]) -> Derivation:
    """The clip's bytes, changed."""
    return written(lambda media: change(media(clip).read_bytes()))


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


def without_recovery_points(data: bytes) -> bytes:
    """The stream without its SEI units that hold a recovery point."""
    return b"".join(unit for unit in annex_b_units(data)
                    if nal_type(unit) != SEI or RECOVERY_POINT not in sei_payload_types(unit))


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


def long_term_references(data: bytes) -> bytes:
    return with_long_term_references(data, every=3)


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
    # B field pictures: x264 codes the fields of 19 frames with B pyramids of three (CAVLC,
    # implicit weights, spatial or temporal direct prediction), the second picture made an I
    # picture so that, in decoding order, a P picture and the reference B picture after it
    # make a frame, and two non-reference B pictures the next. The I picture's recovery point
    # goes: FFmpeg would start decoding at a second field.
    **{f"h264_separated_fields_b_{direct}": (".h264", noisy_input(frames=19, then="setfield=tff,separatefields") + [
        "-c:v", "libx264", "-preset", "fast", "-profile:v", "main", "-bf", "3", "-g", "1000", "-sc_threshold", "0",
        "-pix_fmt", "yuv420p", "-force_key_frames", "expr:eq(n,1)",
        "-x264-params", f"cabac=0:b-adapt=0:b-pyramid=normal:open-gop=1:ref=4:direct={direct}"])
       for direct in ("spatial", "temporal")},
    **{f"h264_b_field_pictures_{direct}": (".h264", rewritten(
        f"h264_separated_fields_b_{direct}", lambda data: with_second_fields_unfiltered(
            with_list_1_from_the_frame_before(as_field_pictures(without_recovery_points(data))))))
       for direct in ("spatial", "temporal")},
    "mp4_field_pictures": (".mp4", remuxed("h264_field_pictures")),
    "mkv_field_pictures": (".mkv", remuxed("h264_field_pictures")),
    "ts_field_pictures": (".ts", remuxed("h264_field_pictures")),
    "h264_field_pictures_second_unfiltered": (".h264", rewritten("h264_field_pictures", with_second_fields_unfiltered)),
    "mkv_field_pictures_second_unfiltered": (".mkv", remuxed("h264_field_pictures_second_unfiltered")),
    # Adaptive marking in fields: the top field of the 5th frame without operations, so that
    # one frame more is held than the stream allows and the decoder drops its oldest; fields
    # dropped by operation 1 in every third field (fields_dropped), in raw H.264 and in
    # Matroska, a packet a field or a frame; a long-term operation, which the rebuild refuses.
    "h264_field_marking_adaptive": (".h264", rewritten(
        "h264_field_pictures_second_unfiltered",
        lambda data: with_field_marking_adaptive(data, lambda field: [] if field == 8 else None))),
    "h264_field_frames_dropped": (".h264", rewritten(
        "h264_field_pictures_second_unfiltered", lambda data: with_field_marking_adaptive(data, fields_dropped))),
    "mkv_field_frames_dropped": (".mkv", remuxed("h264_field_frames_dropped")),
    "mkv_field_frames_dropped_paired": (".mkv", written(
        lambda media: fields_paired_in_matroska(media("h264_field_frames_dropped").read_bytes(), 160, 120))),
    "h264_field_marking_long_term": (".h264", rewritten(
        "h264_field_pictures", lambda data: with_field_marking_adaptive(
            data, lambda field: [(4, {"max_long_term_frame_idx_plus1": 0})] if field == 9 else None))),
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
    # decode exactly as the stream without the resets does) and among B pictures.
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


def syntax_clip(cabac, extra="", pix_fmt="yuv420p", size="160x96", interlaced=False):
    """B-pyramids, every partition and weighted prediction on noise, with CABAC or CAVLC;
    interlaced: 30 frames woven of the fields of 60 pictures 0.1 s apart, top field first,
    whose moving parts code best as field macroblock pairs."""
    source = (video_input(size=size, rate="10", frames=60, then="noise=alls=10:allf=t,tinterlace=mode=interleave_top")
              if interlaced else noisy_input(size=size, frames=30))
    params = f"cabac={int(cabac)}:b-pyramid=normal:partitions=all:weightp=2:subme=7" + (f":{extra}" if extra else "")
    return source + x264(bframes=3, gop=24, pix_fmt=pix_fmt, extra=params, preset="fast")


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
        # Interlaced coding (MBAFF), field and frame macroblock pairs; slices of 7 pairs, which
        # start inside rows of 5 pairs; chroma as tall as luma.
        "_mbaff": ("interlaced=1:8x8dct=1", "yuv420p", "160x96", True),
        "_mbaff_slices": ("interlaced=1:8x8dct=0:slice-max-mbs=14", "yuv420p", "160x96", True),
        "_mbaff_422_10bit": ("interlaced=1", "yuv422p10le", "160x96", True),
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


def intra_clip(cabac, extra="", pix_fmt="yuv420p", interlaced=False):
    """Every picture an IDR picture of noise, with CABAC or CAVLC; interlaced: fields of
    different times woven into frames, which MBAFF codes in field and frame pairs."""
    params = f"cabac={int(cabac)}:keyint=1" + (f":{extra}" if extra else "")
    source = (video_input(size="160x96", rate="10", frames=12, then="noise=alls=10:allf=t,tinterlace=mode=interleave_top")
              if interlaced else noisy_input(size="160x96", frames=6))
    return source + x264(bframes=0, gop=1, pix_fmt=pix_fmt, extra=params, preset="fast")


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
        "_mbaff": ("interlaced=1:8x8dct=1", "yuv420p", True),
        "_mbaff_4x4": ("interlaced=1:8x8dct=0", "yuv420p", True),
        "_mbaff_422_10bit": ("interlaced=1", "yuv422p10le", True),
        "_mbaff_lossless": ("interlaced=1:qp=0", "yuv420p", True),
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
# The same in MBAFF frames of woven fields: field and frame pairs, each predicting from
# fields or frames, their neighbours' vectors and indices scaled between the two.
RECONSTRUCT_RECIPES.update({
    f"mp4_p_{coder}_mbaff": (".mp4", video_input(
        size="160x96", rate="10", frames=24, then="noise=alls=10:allf=t,tinterlace=mode=interleave_top") + x264(
        bframes=0, gop=12, preset="fast",
        extra=f"cabac={int(coder == 'cabac')}:partitions=all:ref=3:subme=7:interlaced=1:weightp=0"))
    for coder in ("cavlc", "cabac")
})


def p_clip(cabac, extra, pix_fmt="yuv420p", frames=12, then="", bframes=0):
    """An IDR picture then P pictures of a moving pattern under noise, every partition size."""
    params = f"cabac={int(cabac)}:partitions=all:subme=7:{extra}"
    return noisy_input(size="160x96", frames=frames, then=then) + x264(
        bframes=bframes, gop=frames, pix_fmt=pix_fmt, extra=params, preset="fast")


# P pictures for the rebuild of inter prediction: one reference and the 4x4 transform; more
# references than frames held, so that the sliding window drops some; explicit weights of a
# fade, where x264 also refers to one picture under two indices with other weights; B
# pictures kept as references (a pyramid), which x264 lets go of by memory management
# operations; the other chroma formats, a higher bit depth, and a picture whose cropping
# hides coded rows that vectors still reach.
RECONSTRUCT_RECIPES.update({
    f"mp4_inter_{coder}{kind}": (".mp4", p_clip(coder == "cabac", *arguments))
    for coder in ("cavlc", "cabac")
    for kind, arguments in {
        "_ref1": ("ref=1:8x8dct=0",),
        "_ref4": ("ref=4:8x8dct=1", "yuv420p", 20),
        "_weighted": ("ref=3:weightp=2", "yuv420p", 12, "fade=in:0:12"),
        "_pyramid": ("ref=3:b-pyramid=normal", "yuv420p", 20, "", 3),
        "_422": ("ref=2", "yuv422p"),
        "_444": ("ref=2", "yuv444p"),
        "_gray": ("ref=2", "gray"),
        "_10bit": ("ref=2", "yuv420p10le"),
        "_cropped": ("ref=2", "yuv420p", 12, "crop=160:88:0:0"),
    }.items()
})
# B pictures in a pyramid with three references: every partition from list 0, list 1 or both,
# without direct prediction (no B_Skip, B_Direct_16x16 or direct 8x8 blocks) and with it,
# spatial and temporal; two lists' samples averaged or weighted by their distances (implicit
# weights).
RECONSTRUCT_RECIPES.update({
    f"mp4_b_{coder}_{direct}_{weights}": (".mp4", p_clip(
        coder == "cabac", f"ref=3:b-pyramid=normal:b-adapt=2:direct={direct}:weightb={int(weights == 'implicit')}",
        frames=20, bframes=3))
    for coder in ("cavlc", "cabac")
    for direct, weights in (("none", "average"), ("none", "implicit"), ("spatial", "average"),
                            ("temporal", "implicit"))
})

# B pictures in MBAFF frames of woven fields: field and frame pairs predicting from both lists,
# bi-predicted with implicit weights between fields or frames, direct prediction spatial and
# temporal over co-located pairs of either kind.
RECONSTRUCT_RECIPES.update({
    f"mp4_b_{coder}_mbaff{suffix}": (".mp4", video_input(
        size="160x96", rate="10", frames=40, then="noise=alls=10:allf=t,tinterlace=mode=interleave_top") + x264(
        bframes=3, gop=20, preset="fast",
        extra=f"cabac={int(coder == 'cabac')}:partitions=all:ref=3:subme=7:interlaced=1:weightp=0:"
              f"b-pyramid=normal:b-adapt=2:direct={direct}:weightb=1"))
    for coder, suffix, direct in (("cavlc", "", "spatial"), ("cabac", "", "spatial"), ("cabac", "_temporal", "temporal"))
})

# Prediction that x264 does not write, made by rewriting the parameter sets and slice headers
# of its streams (tests/bitstream_edit.py): explicit weights in B pyramids, with direct
# prediction spatial and temporal and in MBAFF frames; B pictures shown after all their
# references, whose two lists then initialise alike (list 1 swapped) and whose implicit
# weights extrapolate; long-term references, made and dropped by memory management
# operations, in the lists of P and B pictures, and put first in list 0, where the co-located
# blocks of temporal direct prediction then refer to it; reference pictures lost from P pictures,
# gaps in frame_num the decoder fills; order counts of type 1 in B pyramids; slices of I_PCM
# macroblocks in I and P pictures that are not lossless; direct prediction of each 4x4 block
# from its own co-located block (direct_8x8_inference_flag 0), spatial and temporal.
REWRITE_SOURCES = {
    **{f"h264_p_{coder}_ref3_source": (".h264", p_clip(coder == "cabac", "ref=3", frames=20))
       for coder in ("cavlc", "cabac")},
    "h264_p_cavlc_slices_source": (".h264", p_clip(False, "ref=2:slice-max-mbs=13", frames=8)),
    "h264_b_cabac_flat_temporal_source": (".h264", p_clip(
        True, "ref=3:b-pyramid=none:b-adapt=0:direct=temporal:weightb=1", frames=20, bframes=2)),
    "h264_b_cavlc_spatial_source": (".h264", p_clip(
        False, "ref=3:b-pyramid=normal:b-adapt=2:direct=spatial:weightb=0", frames=20, bframes=3)),
    "h264_b_cabac_temporal_source": (".h264", p_clip(
        True, "ref=3:b-pyramid=normal:b-adapt=2:direct=temporal:weightb=0", frames=20, bframes=3)),
    "h264_b_cabac_mbaff_source": (".h264", video_input(
        size="160x96", rate="10", frames=30, then="noise=alls=10:allf=t,tinterlace=mode=interleave_top") + x264(
        bframes=3, gop=30, preset="fast", extra="cabac=1:partitions=all:ref=3:subme=7:interlaced=1:weightp=0:"
                                                 "b-pyramid=normal:b-adapt=2:direct=spatial:weightb=0")),
    # Without the 8x8 transform, whose flag direct_8x8_inference_flag 0 leaves out of
    # direct macroblocks: the slices then read alike under either flag.
    "h264_b_cavlc_spatial_4x4_source": (".h264", p_clip(
        False, "ref=3:b-pyramid=normal:b-adapt=2:direct=spatial:weightb=0:8x8dct=0", frames=20, bframes=3)),
    "h264_b_cabac_temporal_4x4_source": (".h264", p_clip(
        True, "ref=3:b-pyramid=normal:b-adapt=2:direct=temporal:weightb=0:8x8dct=0", frames=20, bframes=3)),
    **{f"h264_b_{coder}_flat_source": (".h264", p_clip(
        coder == "cabac", "ref=3:b-pyramid=none:b-adapt=0:direct=spatial:weightb=1", frames=20, bframes=2))
       for coder in ("cavlc", "cabac")},
}
RECONSTRUCT_RECIPES.update({
    "h264_b_cavlc_explicit": (".h264", rewritten("h264_b_cavlc_spatial_source", with_explicit_bipred_weights)),
    "h264_b_cabac_temporal_explicit": (".h264", rewritten("h264_b_cabac_temporal_source",
                                                          with_explicit_bipred_weights)),
    "h264_b_cabac_mbaff_explicit": (".h264", rewritten("h264_b_cabac_mbaff_source", with_explicit_bipred_weights)),
    **{f"h264_b_{coder}_lists_alike": (".h264", rewritten(f"h264_b_{coder}_flat_source",
                                                          with_b_pictures_after_their_references))
       for coder in ("cavlc", "cabac")},
    **{f"h264_p_{coder}_long_term": (".h264", rewritten(f"h264_p_{coder}_ref3_source", long_term_references))
       for coder in ("cavlc", "cabac")},
    "h264_b_cabac_temporal_long_term": (".h264", rewritten(
        "h264_b_cabac_flat_temporal_source", lambda data: with_long_term_references(data, every=2))),
    "h264_b_cabac_temporal_long_term_first": (".h264", rewritten(
        "h264_b_cabac_flat_temporal_source",
        lambda data: with_long_term_first_in_list_0(with_long_term_references(data, every=2)))),
    **{f"h264_p_{coder}_references_lost": (".h264", rewritten(
        f"h264_p_{coder}_ref3_source", lambda data: with_references_lost(data, every=5)))
       for coder in ("cavlc", "cabac")},
    "h264_p_cavlc_pcm_slices": (".h264", rewritten("h264_p_cavlc_slices_source",
                                                   lambda data: with_pcm_slices(data, every=3))),
    "h264_b_cavlc_order_type_1": (".h264", rewritten("h264_b_cavlc_spatial_source", with_order_count_type_1)),
    "h264_b_cabac_temporal_order_type_1": (".h264", rewritten("h264_b_cabac_temporal_source",
                                                              with_order_count_type_1)),
    "h264_b_cavlc_spatial_4x4_direct": (".h264", rewritten("h264_b_cavlc_spatial_4x4_source",
                                                           without_direct_8x8_inference)),
    "h264_b_cabac_temporal_4x4_direct": (".h264", rewritten("h264_b_cabac_temporal_4x4_source",
                                                            without_direct_8x8_inference)),
})


class Media:
    """The named clips, each made on first use into `folder`. A clip already in the folder is
    taken as it is: CI's two stages share one folder (.ci/run empties it first), so the
    sanitizer stage does not encode every clip again. A clip is made beside its final name and
    renamed into place with whatever it wrote beside it, so a run that stops midway leaves no
    half-written clip behind."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.made: dict[str, Path] = {}

    def __call__(self, name: str) -> Path:
        if name not in self.made:
            suffix, recipe = {**RECIPES, **UNUSUAL_RECIPES, **PREDICTION_RECIPES, **REAL_WORLD_RECIPES,
                              **MB_TYPE_RECIPES, **OTHER_CODEC_RECIPES, **SYNTAX_RECIPES,
                              **RECONSTRUCT_RECIPES, **REWRITE_SOURCES}[name]
            path = self.folder / f"{name}{suffix}"
            if not path.exists():
                making = self.folder / f"making-{os.getpid()}"
                making.mkdir(exist_ok=True)
                if callable(recipe):
                    recipe(self, making / path.name)
                else:
                    ffmpeg(*recipe, making / path.name)
                # Files a recipe writes beside its clip (x264's statistics) come along; the clip
                # itself last, as it is what marks the whole as made.
                for made in sorted(making.iterdir(), key=lambda file: file.name == path.name):
                    os.replace(made, self.folder / made.name)
            self.made[name] = path
        return self.made[name]


# ---- Bad inputs: empty, truncated, corrupted, mislabelled, oddly timed -------------------

def copied(clip: str) -> Derivation:
    return rewritten(clip, lambda data: data)


def cut(clip: str, where: Callable[[bytes], int]) -> Derivation:
    return rewritten(clip, lambda data: data[:where(data)])


def patched(clip: str, patch: Callable[[bytearray], None]) -> Derivation:
    def change(data: bytes) -> bytes:
        changed = bytearray(data)
        patch(changed)
        return bytes(changed)
    return rewritten(clip, change)


def a_folder(media, path: Path) -> None:
    path.mkdir()


def nothing(media, path: Path) -> None:
    """A path where there is no file."""


def damaged_mp4(seed: int) -> Derivation:
    return rewritten("mp4_long_faststart", lambda data: overwritten(data, slice_damage(data, seed)))


def damaged_mkv(seed: int) -> Derivation:
    def make(media, path: Path) -> None:
        mp4 = path.with_suffix(".mp4")
        damaged_mp4(seed)(media, mp4)
        ffmpeg("-i", mp4, "-c", "copy", path)
    return make


def damaged_ts(seed: int) -> Derivation:
    return rewritten("ts_long", lambda data: overwrite_ts_payload_bytes(data, seed))


def raw_stream(change: Callable[[list[bytes]], list[bytes]]) -> Derivation:
    return rewritten("h264_raw_open_gop", lambda data: b"".join(change(annex_b_units(data))))


def garbage_first(data: bytes) -> bytes:
    return bytes(random.Random(5).randrange(4, 256) for _ in range(3000)) + data


def declaring(macroblocks_wide: int, macroblocks_high: int) -> Derivation:
    """Four small pictures behind a parameter set that declares a much larger size."""
    def make(media, path: Path) -> None:
        stream = path.with_suffix(".h264")
        stream.write_bytes(with_declared_size(media("h264_raw_intra").read_bytes(), macroblocks_wide,
                                              macroblocks_high))
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "quiet", "-y", "-framerate", "25", "-i", str(stream),
                        "-c", "copy", str(path)], check=True)
    return make


@dataclass(frozen=True)
class Case:
    """A bad input: the file's name, how it is made, what opening it must do and what each of
    its frames must be."""
    file: str
    derive: Derivation
    # "opens": the file is sound and must open; "refused": opening must fail;
    # None: either, as long as what follows holds.
    opening: str | None = None
    reference: Callable[[Path], list[list[Picture]]] = sequential_reference

    def make(self, media: "Media", folder: Path) -> Path:
        path = folder / self.file
        self.derive(media, path)
        return path


CASES = {
    "empty": Case("empty.mp4", written(lambda media: b""), "refused"),
    "text_named_mp4": Case("notes.mp4", written(lambda media: b"this is not a video\n" * 50), "refused"),
    "directory": Case("folder.mp4", a_folder, "refused"),
    "missing_path": Case("missing.mp4", nothing, "refused"),
    "path_with_spaces_and_non_ascii": Case("clip ünïcødé 動画 x.mp4", copied("mp4_long"), "opens"),
    "mkv_named_mp4": Case("really_matroska.mp4", copied("mkv"), "opens"),
    "mp4_cut_in_file_type_box": Case("cut.mp4", cut("mp4_faststart", lambda data: 12), "refused"),
    "mp4_cut_in_leading_index": Case("cut.mp4", cut("mp4_faststart", in_box(b"moov", 0.5)), "refused"),
    "mp4_cut_before_trailing_index": Case("cut.mp4", cut("mp4", fraction_of(0.5)), "refused"),
    "mp4_cut_in_trailing_index": Case("cut.mp4", cut("mp4", in_box(b"moov", 0.6))),
    "mp4_cut_early_in_data": Case("cut.mp4", cut("mp4_long_faststart", in_box(b"mdat", 0.2)),
                                  reference=cut_in_last_unit_reference),
    "mp4_cut_late_in_data": Case("cut.mp4", cut("mp4_long_faststart", in_box(b"mdat", 0.93)),
                                 reference=cut_in_last_unit_reference),
    "mkv_cut_at_a_quarter": Case("cut.mkv", cut("mkv_long", fraction_of(0.25))),
    "mkv_cut_at_half": Case("cut.mkv", cut("mkv_long", fraction_of(0.5))),
    "mkv_cut_near_end": Case("cut.mkv", cut("mkv_long", fraction_of(0.97))),
    # The last packet is a key picture's first part.
    "ts_cut_at_packet_boundary": Case("cut.ts", cut("ts_long", lambda data: len(data) // 188 // 2 * 188),
                                      reference=key_frame_reference),
    "ts_cut_inside_packet": Case("cut.ts", cut("ts_long", lambda data: len(data) // 188 // 3 * 188 + 77)),
    "mp4_damaged_slices_1": Case("damaged_1.mp4", damaged_mp4(1)),
    "mp4_damaged_slices_2": Case("damaged_2.mp4", damaged_mp4(2)),
    "mp4_damaged_slices_3": Case("damaged_3.mp4", damaged_mp4(3)),
    "mkv_damaged_slices_4": Case("damaged_4.mkv", damaged_mkv(4)),
    "ts_damaged_payload_5": Case("damaged_5.ts", damaged_ts(5), reference=key_frame_reference),
    "ts_damaged_payload_6": Case("damaged_6.ts", damaged_ts(6), reference=key_frame_reference),
    "ts_size_shrinks": Case("joined.ts", joined("ts", "ts_32x32_later"), "opens"),
    "ts_size_grows": Case("joined.ts", joined("ts_32x32", "ts_later"), "opens"),
    "h264_without_timestamps": Case("raw.h264", copied("h264_raw"), "opens"),
    "h264_cut_inside_a_slice": Case("cut.264", cut("h264_raw_open_gop", lambda data: len(data) * 2 // 3 + 7)),
    "h264_garbage_before_first_start_code": Case("garbage.h264", rewritten("h264_raw", garbage_first)),
    "h264_without_parameter_sets": Case("no_sps_pps.h264", raw_stream(without_parameter_sets)),
    "h264_flipped_slice_bits_7": Case("flipped_7.h264", raw_stream(flipped_slice_bits(7))),
    "h264_flipped_slice_bits_8": Case("flipped_8.h264", raw_stream(flipped_slice_bits(8))),
    "h264_starts_with_p_slices": Case("from_p.h264", raw_stream(without_first_key_picture)),
    "h264_parameter_set_width_overflows": Case("wide.h264", raw_stream(declaring_overflowing_width)),
    "ts_timestamps_missing": Case("missing_pts.ts", copied("ts_pts_missing"), "opens"),
    "ts_timestamps_repeated": Case("repeated_pts.ts", copied("ts_pts_repeated"), "opens"),
    "mkv_timestamps_repeated": Case("repeated_pts.mkv", copied("mkv_pts_repeated"), "opens"),
    "ts_timestamp_moved_to_next_packet": Case("moved_pts.ts", copied("ts_pts_moved"), "opens"),
    "mp4_huge_sample_entry_size": Case("patched.mp4", patched("mp4", huge_sample_entry_size)),
    "mp4_huge_track_size": Case("patched.mp4", patched("mp4", huge_track_size)),
    "mp4_huge_data_box": Case("patched.mp4", patched("mp4_faststart", huge_mdat_size)),
    "mp4_huge_sample_count": Case("patched.mp4", patched("mp4_faststart", huge_sample_count)),
    "mkv_parameter_set_declares_4096x2304": Case("declared.mkv", declaring(256, 144)),
    "ts_parameter_set_declares_16384x16384": Case("declared.ts", declaring(1024, 1024)),
}
