"""Codecs other than H.264: the codec as ffprobe names it, QP maps on the scale the ffmpeg
tool's decoder prints with -debug qp, every frame the tool's picture in every order, whether
the file's frames are numbered by timestamps or, without them, by decoding, and
vexmira-stats' warning for a codec without QP export."""

import random
import re
import subprocess

import numpy as np
import pytest

import vexmira
from media import OTHER_CODEC_RECIPES, OTHER_CODECS
from oracle import coded_qp_maps, expected_frames, ffprobe, packed_picture
from vexmira_tools.stats import main

CLIPS = list(OTHER_CODEC_RECIPES)


@pytest.mark.parametrize("clip", CLIPS + ["mp4", "h264_raw", "mkv_ffv1"])
def test_codec_is_ffprobes_and_the_scale_is_its_familys(media, clip):
    path = media(clip)
    session = vexmira.H264DecoderSession(path)
    assert session.codec == ffprobe(path, "-show_entries", "stream=codec_name")["streams"][0]["codec_name"]
    family = {"h264": "h264", "mpeg2video": "mpeg2", "mpeg1video": "mpeg2", "mpeg4": "mpeg2", "h263": "mpeg2",
              "flv1": "mpeg2", "msmpeg4v3": "mpeg2", "wmv2": "mpeg2"}
    assert session.qp_scale == family.get(session.codec)


def no_map(session) -> list[list[int]]:
    return [[-1] * session.mb_cols for _ in range(session.mb_rows)]


@pytest.mark.parametrize("clip", CLIPS)
def test_maps_are_the_debug_maps_on_the_mpeg2_scale_or_absent(media, clip):
    """mpeg1video and mpeg2video print quantiser_scale itself, the H.263 family its quantiser
    of 1..31, which the map holds doubled. The decoder prints, and exports, nothing for the
    last reference picture it outputs when drained."""
    path = media(clip)
    _, decoder, factor = OTHER_CODECS[clip]
    session = vexmira.H264DecoderSession(path)
    printed = [qp_map[:session.mb_rows] for qp_map in coded_qp_maps(path, decoder)]
    if factor is None:
        assert printed == []
        expected = [no_map(session)] * session.num_frames
    else:
        assert session.num_frames - 1 <= len(printed) <= session.num_frames
        expected = [[[factor * qp for qp in row] for row in qp_map] for qp_map in printed]
        expected += [no_map(session)] * (session.num_frames - len(printed))
    order = random.Random(clip).sample(range(session.num_frames), session.num_frames)
    assert {index: session.get_qpmap(index).tolist() for index in order} == dict(enumerate(expected))
    assert session.get_qpmaps(order, threads=2).tolist() == [expected[index] for index in order]
    assert session.get_chroma_qp_offset(order[0]) == (0, 0)


def test_vp9_segment_quantisers_are_no_qp_map(media):
    """FFmpeg exports them, as the tool's showinfo reports, on VP9's scale of 0..255 that
    the int8 map cannot hold: the module gives none, as qp_scale says."""
    path = media("webm_vp9")
    log = subprocess.run(["ffmpeg", "-nostdin", "-hide_banner", "-export_side_data", "venc_params", "-i", str(path),
                          "-vf", "showinfo", "-f", "null", "-"], check=True, capture_output=True, text=True).stderr
    blocks = [int(count) for count in re.findall(r"video encoding parameters: type \d+; qp=\d+; (\d+) blocks", log)]
    assert len(blocks) == 12 and max(blocks) > 0
    session = vexmira.H264DecoderSession(path)
    assert session.qp_scale is None and (session.get_qpmaps() == -1).all()
    assert {session.get_chroma_qp_offset(index) for index in range(session.num_frames)} == {(0, 0)}


def test_non_linear_quantiser_scale_runs_past_62(media):
    session = vexmira.H264DecoderSession(media("ts_mpeg2_non_linear"))
    assert session.get_qpmaps().max() > 62


@pytest.mark.parametrize("clip", ["mpg_mpeg2", "mpg_mpeg1", "ts_mpeg2", "avi_mpeg4", "flv_flv1", "mkv_hevc",
                                  "hevc_raw"])
def test_every_frame_is_the_tools_picture_in_every_order(media, clip):
    """Files without timestamps for every picture (MPEG-PS, AVI, raw HEVC) are numbered by
    decoding them at opening: frame i is still the tool's i-th picture."""
    path = media(clip)
    session = vexmira.H264DecoderSession(path)
    expected = expected_frames(path, session.pix_fmt)
    assert session.num_frames == len(expected)
    for order in (range(len(expected)), random.Random(7).sample(range(len(expected)), len(expected))):
        fresh = vexmira.H264DecoderSession(path)
        assert [index for index in order if packed_picture(fresh, index) != expected[index]] == []
    types = [frame["pict_type"] for frame in ffprobe(path, "-show_entries", "frame=pict_type")["frames"]]
    stats = session.frame_stats(threads=2)
    assert stats["pict_type"].tolist() == types
    assert stats["decoded"].all() and not stats["damaged"].any()


def test_vexmira_stats_warns_once_for_each_file_without_qp(media, tmp_path, capsys):
    files = [media("mkv_hevc"), media("mp4"), media("hevc_raw")]
    out = tmp_path / "stats.csv"
    assert main([*map(str, files), "-o", str(out)]) == 0
    warnings = [line for line in capsys.readouterr().err.splitlines() if "warning" in line]
    assert len(warnings) == 2
    for path in (media("mkv_hevc"), media("hevc_raw")):
        assert sum(str(path) in line and "exports no per-block QP for hevc" in line for line in warnings) == 1
    import pandas as pd
    table = pd.read_csv(out)
    hevc = table[table["codec"] == "hevc"]
    assert len(hevc) == 200 and hevc[["qp_mean", "qp_min", "qp_max"]].isna().all().all()
    assert np.isfinite(table.loc[table["codec"] == "h264", "qp_mean"]).all()
