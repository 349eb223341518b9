"""vexmira-stats' file table, read back as users read it: MKV, MP4 (index first) and MPEG-TS
files whole and cut by `head -c`, a file with a frame the decoder makes nothing of and one
that does not open. What each container declares is ffprobe's, the frames and their span
ffprobe's packets, the undecodable frame the ffmpeg tool's decode; FFmpeg's warnings are shown
above the bar, counted, and silenced by --quiet; the last line sums the run up."""

import re
import shutil
import subprocess
import sys
from fractions import Fraction

import pandas as pd
import pytest

from oracle import expected_frames, ffprobe, frame_timestamps
from vexmira_tools.stats import main

CLIPS = {"whole.mkv": "mkv_long", "whole.mp4": "mp4_long_faststart", "whole.ts": "ts_long"}
# Each cut by head -c to this share of its bytes.
CUTS = {"cut.mkv": ("mkv_long", 0.55), "cut.mp4": ("mp4_long_faststart", 0.6), "cut.ts": ("ts_long", 0.55)}


@pytest.fixture(scope="module")
def folder(media, undecodable, tmp_path_factory):
    folder = tmp_path_factory.mktemp("file table")
    for name, clip in CLIPS.items():
        shutil.copy(media(clip), folder / name)
    for name, (clip, share) in CUTS.items():
        size = int(media(clip).stat().st_size * share)
        with open(folder / name, "wb") as cut:
            subprocess.run(["head", "-c", str(size), str(media(clip))], stdout=cut, check=True)
    shutil.copy(undecodable[0], folder / "undecodable.mp4")
    (folder / "notes.mp4").write_text("not a video\n" * 20)
    return folder


@pytest.fixture(scope="module")
def runs(folder, tmp_path_factory):
    """The folder written to CSV and to Parquet, and once more quietly; status and stderr."""
    out = tmp_path_factory.mktemp("file table out")
    done = {}
    for run, options in {"csv": [], "parquet": [], "quiet": ["--quiet"]}.items():
        suffix = "csv" if run == "quiet" else run
        result = subprocess.run([sys.executable, "-m", "vexmira_tools.stats", str(folder), "-o",
                                 str(out / f"{run}.{suffix}"), *options], capture_output=True, text=True)
        done[run] = result.returncode, result.stderr, out / f"{run}.files.{suffix}"
    return done


def read(path) -> pd.DataFrame:
    table = pd.read_parquet(path) if path.suffix == ".parquet" else pd.read_csv(path)
    return table.set_index("file")


def declared(path) -> tuple[float | None, int | None]:
    """ffprobe's duration of the stream (Matroska's DURATION tag of the track) where the
    container declares one, and its frame count."""
    probe = ffprobe(path, "-show_entries", "stream=duration,nb_frames:stream_tags=DURATION:format=duration")
    stream = probe["streams"][0]
    if "DURATION" in stream.get("tags", {}):
        hours, minutes, seconds = stream["tags"]["DURATION"].split(":")
        duration = int(hours) * 3600 + int(minutes) * 60 + float(seconds)
    else:
        duration = float(stream["duration"]) if path.suffix == ".mp4" else None
    return duration, int(stream["nb_frames"]) if "nb_frames" in stream else None


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_each_file_has_a_row_and_the_cut_ones_are_truncated(folder, runs, kind):
    status, _, path = runs[kind]
    assert status == 1, "notes.mp4 was skipped"
    table = read(path)
    names = sorted([*CLIPS, *CUTS, "undecodable.mp4", "notes.mp4"])
    assert sorted(table.index) == [str(folder / name) for name in names]
    for name in [*CLIPS, *CUTS]:
        row, file = table.loc[str(folder / name)], folder / name
        assert bool(row["truncated"]) == (name in CUTS), name
        duration, frames = declared(file)
        if duration is None:
            assert pd.isna(row["declared_duration"]), name
        else:
            assert row["declared_duration"] == pytest.approx(duration, abs=1e-3), name
        assert (pd.isna(row["declared_frames"]) if frames is None else row["declared_frames"] == frames), name
        timestamps = frame_timestamps(file)
        stream = ffprobe(file, "-show_entries", "stream=time_base,r_frame_rate")["streams"][0]
        span = (max(timestamps) - min(timestamps)) * Fraction(stream["time_base"]) + 1 / Fraction(stream["r_frame_rate"])
        assert row["frames"] == len(timestamps) and row["duration"] == pytest.approx(float(span)), name
        assert row["codec"] == "h264" and row["stream"] == 0 and pd.isna(row["skipped"]), name
    assert (table.loc[[str(folder / name) for name in CLIPS], ["warnings", "damaged", "not_decoded"]] == 0).all().all()

    undecodable = table.loc[str(folder / "undecodable.mp4")]
    pictures = expected_frames(folder / "undecodable.mp4", "yuv420p")
    assert undecodable["not_decoded"] == sum(picture is None for picture in pictures) == 1
    assert not undecodable["truncated"] and undecodable["warnings"] > 0
    assert "frame " in undecodable["first_warnings"] and "[h264]" in undecodable["first_warnings"]

    notes = table.loc[str(folder / "notes.mp4")]
    assert "Cannot open input video" in notes["skipped"] and notes["frames"] == 0 and pd.isna(notes["truncated"])


def test_ffmpeg_warnings_are_shown_with_their_file_counted_and_silenced_by_quiet(folder, runs):
    _, stderr, path = runs["csv"]
    table = read(path)
    for name in table.index:
        # "<path>: [component] ..." from the opening, "<path> frame <n>: ..." from a frame.
        shown = [line for line in stderr.splitlines() if re.match(rf"vexmira-stats: {re.escape(name)}( frame \d+)?: ", line)]
        assert len(shown) == table.loc[name, "warnings"], name
    assert table["warnings"].sum() > 0

    status, quiet, quiet_path = runs["quiet"]
    assert status == 1 and not re.search(r"\[h264\]", quiet)
    pd.testing.assert_frame_equal(read(quiet_path), table)
    damaged = ((table["damaged"] > 0) | (table["not_decoded"] > 0)).sum()
    assert damaged >= 1
    summary = f"vexmira-stats: 8 files, {damaged} damaged, 3 truncated, 1 skipped"
    assert stderr.splitlines()[-1] == quiet.splitlines()[-1] == summary
