"""vexmira-stats' tables as pandas reads them: a file whose name is not UTF-8 is read and
named in valid text that tells it apart, run after run; "no value" is a null (NA), not -1;
the --syntax table is what ffprobe and x264 report of the frames."""

import os
import shutil

import numpy as np
import pandas as pd
import pytest

import vexmira
from damage import refer_to_missing_parameter_set
from oracle import expected_frames, ffprobe, first_pass_statistics
from readme import column_definitions, document
from vexmira_tools.stats import main

LATIN1 = b"caf\xe9_latin1.mp4"


@pytest.fixture(scope="module")
def folder(media, tmp_path_factory):
    """A clip under a Latin-1 name, one under a name with a backslash, and a clip with a frame
    of which the decoder makes no picture."""
    folder = tmp_path_factory.mktemp("names")
    shutil.copy(media("mp4"), os.path.join(os.fsencode(folder), LATIN1))
    shutil.copy(media("mp4"), folder / "back\\slash.mp4")
    refer_to_missing_parameter_set(media("mp4_long"), folder / "damaged.mp4", 30)
    return folder


def read(out: os.PathLike) -> pd.DataFrame:
    return pd.read_parquet(out) if str(out).endswith(".parquet") else pd.read_csv(out)


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_names_that_are_not_utf8_are_read_and_told_apart(folder, tmp_path, suffix):
    out = tmp_path / f"stats{suffix}"
    assert main([str(folder), "-o", str(out), "--threads", "2"]) == 0
    assert main([str(folder), "-o", str(out), "--threads", "2", "--resume"]) == 0
    table = read(out)
    latin1 = f"{folder}/caf\\xe9_latin1.mp4"
    assert sorted(set(table["file"])) == sorted([f"{folder}/back\\\\slash.mp4", latin1, f"{folder}/damaged.mp4"])
    assert (table["file"] == latin1).sum() == 36


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_no_value_is_null(folder, tmp_path, suffix):
    out = tmp_path / f"stats{suffix}"
    assert main([str(folder / "damaged.mp4"), "-o", str(out), "--mb-types"]) == 0
    table = read(out)
    decoded = [picture is not None for picture in expected_frames(folder / "damaged.mp4", "yuv420p")]
    assert table["decoded"].tolist() == decoded and not all(decoded)
    missing = ~table["decoded"]
    for name in ["qp_min", "qp_max", "qp_mean", "damaged", "pict_type", "mb_intra", "mb_skip"]:
        assert table.loc[missing, name].isna().all(), name
        assert table.loc[~missing & ~table["damaged"].astype(bool), name].notna().all(), name
    assert not (table[["qp_min", "qp_max", "mb_intra", "mb_skip", "mb_direct", "mb_inter"]] == -1).any().any()
    assert np.array_equal(table.loc[~missing, "mb_intra"] + table.loc[~missing, "mb_skip"]
                          + table.loc[~missing, "mb_direct"] + table.loc[~missing, "mb_inter"],
                          np.full((~missing).sum(), 12))


@pytest.mark.parametrize(("suffix", "residual"), [(".parquet", []), (".csv", ["--residual"])])
def test_the_syntax_table_is_what_ffprobe_and_x264_report(folder, media, tmp_path, suffix, residual):
    """Picture types, key flags and packet sizes as ffprobe shows the decoded frames; the
    macroblock counts as x264's first pass, and the bits below its frame totals by no more
    than the slice headers; the frame the decoder makes nothing of, null. With --residual,
    the residual's energy as syntax_stats gives it."""
    clip, damaged, out = media("mp4_cabac_first_pass"), folder / "damaged.mp4", tmp_path / f"syntax{suffix}"
    assert main([str(clip), str(damaged), "-o", str(out), "--syntax", *residual, "--threads", "2"]) == 0
    table = read(out)
    sections = ["Columns of --syntax", *(["Columns of --residual"] if residual else [])]
    assert list(table.columns) == list(column_definitions())[:7] + [
        name for title in sections for name in column_definitions(title, document("docs/command-line.md"))]
    rows = table[table["file"] == str(clip)]
    frames = sorted(ffprobe(clip, "-show_entries", "frame=pts,pict_type,pkt_size,key_frame")["frames"],
                    key=lambda frame: int(frame["pts"]))
    assert rows["pict_type"].tolist() == [frame["pict_type"] for frame in frames]
    assert rows["key_frame"].tolist() == [frame["key_frame"] == 1 for frame in frames]
    assert rows["pkt_size"].tolist() == [int(frame["pkt_size"]) for frame in frames]
    encoder = pd.DataFrame(first_pass_statistics(clip))
    assert rows["mb_intra"].tolist() == encoder["imb"].tolist() and rows["mb_skip"].tolist() == encoder["smb"].tolist()
    assert (rows["mb_inter"] + rows["mb_direct"]).tolist() == encoder["pmb"].tolist()
    headers = (encoder["tex"] + encoder["mv"] + encoder["misc"]).to_numpy() - (
        rows["bits_header"] + rows["bits_prediction"] + rows["bits_residual"]).to_numpy()
    assert ((0 < headers) & (headers < 128)).all() and rows["parsed"].all()
    missing = [picture is None for picture in expected_frames(damaged, "yuv420p")]
    broken = table[table["file"] == str(damaged)].iloc[np.flatnonzero(missing)]
    assert len(broken) == 1 and not broken["parsed"].any()
    for name in ["pict_type", "key_frame", "qp_mean", "qp_min", "mb_intra", "bits_residual", "nonzero_coefficients",
                 *(["residual_energy_y"] if residual else [])]:
        assert broken[name].isna().all(), name
    if residual:
        with vexmira.H264DecoderSession(clip) as session:
            expected = session.syntax_stats(residual=True)
        for name in ("residual_energy_y", "residual_energy_cb", "residual_energy_cr"):
            np.testing.assert_allclose(rows[name].to_numpy(), expected[name], err_msg=name)
