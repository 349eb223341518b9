"""vexmira-stats on a folder of a sound file, a damaged one and files that are no video, and
the same run on a two-worker local Dask cluster. Rows are checked against ffprobe and the
ffmpeg tool's decode; the cluster's table against the one-process table."""

import csv
import importlib.metadata
import json
import math
import shutil

import numpy as np
import pyarrow.parquet as pq
import pytest

from conftest import ffprobe, presentation_timestamps
from test_bad_inputs import CASES
import vexmira
from vexmira_tools.stats import main

# What the output must say decoded it: the installed package and the FFmpeg it runs with (the
# module's report of that is checked against the loaded libraries in test_module).
decoder = {"vexmira": importlib.metadata.version("vexmira"), **vexmira.ffmpeg_version}


@pytest.fixture(scope="module")
def folder(media, tmp_path_factory):
    """A sound clip, one whose end was cut off (its last frame cannot be decoded), a text file
    with a video suffix and one without."""
    folder = tmp_path_factory.mktemp("corpus")
    shutil.copy(media("mp4_open_gop"), folder / "good.mp4")
    CASES["mp4_cut_late_in_data"].make(media, folder).rename(folder / "damaged.mp4")
    (folder / "notes.mp4").write_text("not a video\n" * 20)
    (folder / "readme.txt").write_text("not a video either\n")
    return folder


def read_csv(path) -> list[dict]:
    with open(path, newline="") as file:
        assert json.loads(file.readline().removeprefix("# decoder: ")) == decoder
        return list(csv.DictReader(file))


def test_a_folder_gives_every_frame_of_every_video_and_reports_what_it_skipped(folder, tmp_path, capsys):
    out = tmp_path / "stats.csv"
    assert main([str(folder), "-o", str(out), "--threads", "2"]) == 1
    assert f"skipped {folder / 'notes.mp4'}: RuntimeError: Cannot open input video" in capsys.readouterr().err
    rows = read_csv(out)
    assert sorted({row["file"] for row in rows}) == [str(folder / "damaged.mp4"), str(folder / "good.mp4")]

    for name in ["good.mp4", "damaged.mp4"]:
        path = folder / name
        mine = [row for row in rows if row["file"] == str(path)]
        types = {int(frame["pts"]): frame["pict_type"]
                 for frame in ffprobe(path, "-show_entries", "frame=pts,pict_type")["frames"] if "pts" in frame}
        timestamps = presentation_timestamps(path)
        assert [int(row["frame"]) for row in mine] == list(range(len(timestamps)))
        assert [int(row["pts"]) for row in mine] == timestamps
        # The ffmpeg tool decodes no picture for the last frame of the cut file.
        assert [row["decoded"] == "True" for row in mine] == [pts in types for pts in timestamps]
        assert [row["pict_type"] for row in mine] == [types.get(pts, "") for pts in timestamps]
    assert any(row["decoded"] == "False" for row in rows)


def test_parquet_and_a_local_dask_cluster_give_the_same_table(folder, tmp_path, capsys):
    """Ranges of 24 frames cut both files at every key-frame interval, so that the cluster
    runs several tasks per file."""
    files = [str(folder / "good.mp4"), str(folder / "damaged.mp4"), str(folder / "notes.mp4")]
    one_process, on_cluster = tmp_path / "one.parquet", tmp_path / "cluster.parquet"
    assert main([*files, "-o", str(one_process), "--range-frames", "24"]) == 1
    assert main([*files, "-o", str(on_cluster), "--range-frames", "24", "--dask", "local"]) == 1
    assert capsys.readouterr().err.count("skipped") == 2
    expected, got = pq.read_table(one_process), pq.read_table(on_cluster)
    assert got.num_rows == sum(len(presentation_timestamps(folder / name)) for name in ["good.mp4", "damaged.mp4"])
    assert got.schema.equals(expected.schema, check_metadata=True)
    assert json.loads(got.schema.metadata[b"vexmira.decoder"]) == decoder
    for name in expected.column_names:
        # NaN, the mean QP of a frame without picture, equals itself here as it should.
        np.testing.assert_array_equal(got.column(name).to_numpy(), expected.column(name).to_numpy(), err_msg=name)
    csv_out = tmp_path / "one.csv"
    main([*files, "-o", str(csv_out)])
    assert [row["qp_mean"] for row in read_csv(csv_out)] == [
        "" if math.isnan(value) else repr(value) for value in expected.column("qp_mean").to_pylist()]


def test_bad_arguments_exit_with_status_2(tmp_path):
    for argv in ([str(tmp_path), "-o", str(tmp_path / "out.json")], [str(tmp_path)],
                 [str(tmp_path), "-o", str(tmp_path / "out.csv"), "--threads", "-1"]):
        with pytest.raises(SystemExit) as exit_info:
            main(argv)
        assert exit_info.value.code == 2
