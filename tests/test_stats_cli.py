"""vexmira-stats on a folder of a sound file, a damaged one and files that are no video, and
the same run on a two-worker local Dask cluster and on a scheduler whose workers run in
another folder. Rows are checked against ffprobe and the ffmpeg tool's decode; the cluster's
table against the one-process table."""

import csv
import importlib.metadata
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pandas as pd
import pyarrow.parquet as pq
import pytest

from media import CASES, video_input, x264
from oracle import ffprobe, frame_timestamps, refused_last_packet
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
    assert json.loads(path.with_name(path.name + ".json").read_text())["decoder"] == decoder
    with open(path, newline="") as file:
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
        timestamps = frame_timestamps(path)
        assert [int(row["frame"]) for row in mine] == list(range(len(timestamps)))
        assert [int(row["pts"]) for row in mine] == timestamps
        assert [row["decoded"] == "True" for row in mine] == [pts in types for pts in timestamps]
        assert [row["pict_type"] for row in mine] == [types.get(pts, "") for pts in timestamps]
    # The cut file's last packet, of which the decoder makes nothing, is no frame.
    assert refused_last_packet(folder / "damaged.mp4") is not None


@pytest.mark.slow
def test_parquet_csv_and_a_local_dask_cluster_give_the_same_table(folder, media, tmp_path, capsys):
    """Ranges of 24 frames cut the small files at every key-frame interval, so that the cluster
    runs several tasks per file; the large file first, of one interval, is done last there,
    and must still come first."""
    subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", *video_input(size="640x360", frames=250),
                    *x264(bframes=3, gop=250), str(tmp_path / "large.mp4")], check=True)
    files = [str(tmp_path / "large.mp4"), str(folder / "good.mp4"), str(folder / "damaged.mp4"),
             str(folder / "notes.mp4")]
    outputs = {}
    for where, kind in [("one", "parquet"), ("cluster", "parquet"), ("one", "csv"), ("cluster", "csv")]:
        outputs[where, kind] = tmp_path / f"{where}.{kind}"
        dask = ["--dask", "local"] if where == "cluster" else []
        assert main([*files, "-o", str(outputs[where, kind]), "--range-frames", "24", *dask]) == 1
    assert capsys.readouterr().err.count("vexmira-stats: skipped ") == 4
    expected, got = pq.read_table(outputs["one", "parquet"]), pq.read_table(outputs["cluster", "parquet"])
    assert got.num_rows == sum(len(frame_timestamps(path)) for path in files[:3])
    assert got.schema.equals(expected.schema, check_metadata=True)
    assert json.loads(got.schema.metadata[b"vexmira.decoder"]) == decoder
    for name in expected.column_names:
        # A null, the mean QP of a frame without picture, equals itself here as it should.
        np.testing.assert_array_equal(got.column(name).to_numpy(), expected.column(name).to_numpy(), err_msg=name)
    csv_out = outputs["one", "csv"]
    assert [row["qp_mean"] for row in read_csv(csv_out)] == [
        "" if value is None else repr(value) for value in expected.column("qp_mean").to_pylist()]
    for name in ["cluster.csv", "cluster.csv.json"]:
        assert (tmp_path / name).read_bytes() == (tmp_path / name.replace("cluster", "one")).read_bytes(), name


def test_a_corpus_of_short_clips_gives_the_same_table_on_one_thread_and_on_several(media, tmp_path):
    """Clips of one or a few key-frame intervals, of different lengths, so that the pool's
    threads finish them out of order, and a file that does not open among them; a long file
    of many intervals at the end, whose ranges are read side by side. Rows are those of
    ffprobe's frames, in the order the files were given."""
    clips = ["mp4_long", "mkv", "ts_open_gop", "mp4_10bit", "h264_raw", "mp4_qp_busy", "mp4_no_bframes", "avi",
             "mp4_long_gop"]
    files = [str(media(clip)) for clip in clips]
    (tmp_path / "notes.mp4").write_text("not a video\n" * 20)
    files.insert(3, str(tmp_path / "notes.mp4"))
    outputs = {}
    for threads in [1, 2, 5]:
        outputs[threads] = tmp_path / f"threads {threads}.csv"
        assert main([*files, "-o", str(outputs[threads]), "--threads", str(threads), "--range-frames", "24"]) == 1
    decoded = {path: int(ffprobe(path, "-count_frames", "-show_entries", "stream=nb_read_frames")["streams"][0]
                         ["nb_read_frames"]) for path in files if "notes" not in path}
    assert [row["file"] for row in read_csv(outputs[1])] == [path for path in decoded for _ in range(decoded[path])]
    for threads in [2, 5]:
        assert outputs[threads].read_bytes() == outputs[1].read_bytes(), threads


def test_a_cluster_worker_opens_a_file_once_for_all_the_ranges_it_reads(media, tmp_path, monkeypatch):
    """The tasks of one file on one worker, as the cluster sends them: the plan, then the
    ranges. A file changed since is opened again, and only the last few files stay open."""
    from collections import OrderedDict
    from vexmira_tools import units
    opened, session_class = [], vexmira.H264DecoderSession
    monkeypatch.setattr(units, "_kept_sessions", OrderedDict())
    monkeypatch.setattr(units.vexmira, "H264DecoderSession",
                        lambda path, **options: opened.append(path) or session_class(path, **options))
    path = tmp_path / "long.mp4"
    shutil.copy(media("mp4_long"), path)

    plan = units.plan_file(str(path), 24)
    parts = [units.read_range(str(path), first, end) for first, end in plan.ranges]
    assert len(plan.ranges) > 2 and opened == [str(path)]
    assert np.concatenate([stats["frame"] for stats, _ in parts]).tolist() == list(range(len(frame_timestamps(path))))
    assert [messages for _, messages in parts] == [[]] * len(parts)

    path.write_bytes(path.read_bytes())
    os.utime(path, ns=(0, 0))
    units.range_stats(str(path), *plan.ranges[-1])
    assert opened == [str(path)] * 2
    others = [shutil.copy(media("mp4"), tmp_path / f"other {number}.mp4") for number in range(units.SESSIONS_KEPT)]
    for other in others:
        units.range_stats(str(other), 0, 1)
    units.range_stats(str(path), *plan.ranges[-1])
    assert opened == [str(path)] * 2 + [str(other) for other in others] + [str(path)]


def test_bad_arguments_exit_with_status_2(tmp_path):
    for argv in ([str(tmp_path), "-o", str(tmp_path / "out.json")], [str(tmp_path)],
                 [str(tmp_path), "-o", str(tmp_path / "out.csv"), "--threads", "-1"]):
        with pytest.raises(SystemExit) as exit_info:
            main(argv)
        assert exit_info.value.code == 2


# A scheduler and one worker started in a folder of their own, as on a cluster whose workers
# do not share the client's working directory; the scheduler's address on the first line.
SCHEDULER = """
import sys
from distributed import LocalCluster
with LocalCluster(n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster:
    print(cluster.scheduler_address, flush=True)
    sys.stdin.read()
"""


@pytest.fixture(scope="module")
def scheduler_elsewhere(tmp_path_factory):
    with subprocess.Popen([sys.executable, "-c", SCHEDULER], cwd=tmp_path_factory.mktemp("elsewhere"),
                          stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) as child:
        yield child.stdout.readline().strip()
        child.stdin.close()
        child.wait(timeout=60)


@pytest.mark.slow
def test_relative_and_repeated_inputs_give_one_table_in_one_process_and_on_a_cluster(
        folder, tmp_path, monkeypatch, capsys, scheduler_elsewhere):
    """Each distinct file once, where it first appears: the damaged file named twice and found
    again in the folder, the sound one named by two spellings."""
    monkeypatch.chdir(folder)
    inputs = ["damaged.mp4", "good.mp4", "./damaged.mp4", str(folder / "good.mp4"), "."]
    tables = {}
    for where in ["one process", "cluster"]:
        out = tmp_path / f"{where}.parquet"
        dask = ["--dask", scheduler_elsewhere] if where == "cluster" else []
        assert main([*inputs, "-o", str(out), "--range-frames", "24", *dask]) == 1
        tables[where] = pq.read_table(out)
        assert capsys.readouterr().err.count(f"skipped {folder / 'notes.mp4'}") == 1
    assert tables["cluster"].schema.metadata == tables["one process"].schema.metadata
    # NaN, the mean QP of a frame without picture, equals itself here as it should.
    pd.testing.assert_frame_equal(tables["cluster"].to_pandas(), tables["one process"].to_pandas())
    files = tables["cluster"].column("file").to_pylist()
    blocks = [str(folder / "damaged.mp4"), str(folder / "good.mp4")]
    assert files == [path for path in blocks for _ in frame_timestamps(path)]


def test_every_file_is_planned_before_a_frame_is_read(media, tmp_path):
    """So the bar's total, the run's frames, is known from the start and never grows."""
    from vexmira_tools.in_process import run_in_process
    files = [str(media(clip)) for clip in ["mp4_long", "mkv", "ts_open_gop"]] + [str(tmp_path / "missing.mp4")]
    calls = []

    class Recorder:
        def planned(self):
            calls.append(("planned", 1))

        def reading(self, frames):
            calls.append(("reading", frames))

        def read(self, frames):
            calls.append(("read", frames))
    results = list(run_in_process(files, 2, 24, Recorder()))
    assert [result.path for result in results] == files and results[-1].error
    assert calls[:len(files)] == [("planned", 1)] * len(files)
    total = sum(len(frame_timestamps(path)) for path in files[:3])
    assert calls[len(files)] == ("reading", total)
    assert [kind for kind, _ in calls[len(files) + 1:]] == ["read"] * (len(calls) - len(files) - 1)
    assert sum(frames for kind, frames in calls if kind == "read") == total
