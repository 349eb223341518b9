"""vexmira-stats interrupted in a child process once a file is complete, by Ctrl-C's SIGINT and
by SIGKILL, then run again with --resume: the output read after the interruption holds whole
files only, and the resumed output equals that of a run never interrupted, byte for byte
for the CSV."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pandas as pd
import pyarrow.parquet as pq
import pytest

from vexmira_tools.stats import main

COPIES = 12


@pytest.fixture(scope="module")
def corpus(media, tmp_path_factory):
    """Copies of a clip long enough that the run is still going when the first is written,
    and a text file named like a video among them."""
    folder = tmp_path_factory.mktemp("long corpus")
    for number in range(COPIES):
        shutil.copy(media("mp4_360p"), folder / f"clip{number:02}.mp4")
    (folder / "clip03x.mp4").write_text("not a video\n" * 20)
    return folder


@pytest.fixture(scope="module")
def uninterrupted(corpus, tmp_path_factory):
    folder = tmp_path_factory.mktemp("uninterrupted")
    for kind in ["csv", "parquet"]:
        assert main([str(corpus), "-o", str(folder / f"stats.{kind}"), "--threads", "1"]) == 1
    return folder


def files_complete(out) -> int:
    """How many files the running child has written whole, as its output shows it."""
    if out.suffix == ".csv":
        try:
            return len(json.loads(out.with_name(out.name + ".json").read_text())["files"])
        except (OSError, ValueError):
            return 0
    return len(list(out.with_name(out.name + ".parts").glob("*.parquet")))


def interrupt_once_complete(corpus, out, number, files=1, options=()) -> subprocess.CompletedProcess:
    """The run in a child process, sent signal `number` once `files` files are complete; sent
    to its whole process group, as a terminal sends Ctrl-C's."""
    child = subprocess.Popen([sys.executable, "-m", "vexmira_tools.stats", str(corpus), "-o", str(out),
                              "--threads", "1", *options], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             start_new_session=True)
    deadline = time.monotonic() + 120
    while files_complete(out) < files and child.poll() is None and time.monotonic() < deadline:
        time.sleep(0.002)
    os.killpg(child.pid, number)
    stdout, stderr = child.communicate(timeout=120)
    return subprocess.CompletedProcess(child.args, child.returncode, stdout, stderr)


def read(out) -> pd.DataFrame:
    return pd.read_csv(out) if out.suffix == ".csv" else pd.read_parquet(out)


def record(out) -> dict:
    if out.suffix == ".csv":
        return json.loads(out.with_name(out.name + ".json").read_text())
    return {key.decode().removeprefix("vexmira."): json.loads(value)
            for key, value in pq.read_schema(out).metadata.items()}


@pytest.mark.parametrize(("kind", "options"), [("csv", []), ("parquet", []), pytest.param("csv", ["--dask", "local"], marks=pytest.mark.slow)])
def test_ctrl_c_leaves_whole_files_and_resume_finishes_the_table(corpus, uninterrupted, tmp_path, kind, options):
    """On a local cluster, its workers get the Ctrl-C too."""
    out = tmp_path / f"stats.{kind}"
    child = interrupt_once_complete(corpus, out, signal.SIGINT, options=options)
    assert child.returncode == 130, child.stderr
    assert "Traceback" not in child.stderr
    assert child.stderr.splitlines()[-1] == \
        f"vexmira-stats: interrupted: {out} holds the files completed so far; --resume continues"

    partial, full = read(out), read(uninterrupted / f"stats.{kind}")
    files = list(partial["file"].unique())
    assert 1 <= len(files) < COPIES, "interrupted after the first file and before the last"
    assert files == list(full["file"].unique()[:len(files)]), "files in the input order"
    pd.testing.assert_frame_equal(partial, full[full["file"].isin(files)].reset_index(drop=True))
    assert record(out)["finished"] is False and list(record(out)["files"]) == files

    assert main([str(corpus), "-o", str(out), "--resume", "--threads", "1"]) == 1
    assert_same_output(out, uninterrupted / f"stats.{kind}")


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_resume_after_the_run_was_killed(corpus, uninterrupted, tmp_path, kind):
    out = tmp_path / f"stats.{kind}"
    # Several files, whose parts the resumed run finds in no particular order.
    assert interrupt_once_complete(corpus, out, signal.SIGKILL, files=3).returncode == -signal.SIGKILL
    if kind == "csv":
        with out.open("a") as table:
            table.write(f"{corpus / 'clip11.mp4'},yuv420p,8,640,36")   # killed while writing a row
    assert main([str(corpus), "-o", str(out), "--resume", "--threads", "1"]) == 1
    assert_same_output(out, uninterrupted / f"stats.{kind}")


def assert_same_output(out, expected) -> None:
    if out.suffix == ".csv":
        assert out.read_bytes() == expected.read_bytes()
    else:
        pd.testing.assert_frame_equal(read(out), read(expected))
        assert pq.ParquetFile(out).num_row_groups == COPIES
        assert not out.with_name(out.name + ".parts").exists()
    assert record(out) == record(expected)


def test_ctrl_c_during_a_write_comes_once_the_write_is_done():
    from vexmira_tools.interrupts import interrupt_deferred
    written = []
    with pytest.raises(KeyboardInterrupt):
        with interrupt_deferred():
            os.kill(os.getpid(), signal.SIGINT)
            written.append("the rest of the write")
    assert written == ["the rest of the write"]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def written_by_a_version_with_other_columns(out) -> None:
    out.write_text("file,codec,frame\n" + "/clips/a.mp4,h264,0\n" * 40)
    out.with_name("stats.csv.json").write_text(json.dumps({"files": {"/clips/a.mp4": {"rows": 40,
                                                                                     "end": out.stat().st_size}}}))


REFUSED = {
    "a CSV without its record": ("stats.csv", lambda out: out.write_text("file,frame\n"), "does not say which"),
    "a CSV of other columns": ("stats.csv", written_by_a_version_with_other_columns, "its columns are not"),
    "a Parquet file of other columns": ("stats.parquet", lambda out: pd.DataFrame({"file": ["a.mp4"]}).to_parquet(out),
                                        "its columns are not"),
}


@pytest.mark.parametrize("case", list(REFUSED))
def test_resume_refuses_an_output_it_cannot_continue_and_leaves_it_as_it_was(corpus, tmp_path, capsys, case):
    name, make, reason = REFUSED[case]
    out = tmp_path / name
    make(out)
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    assert main([str(corpus / "clip00.mp4"), "-o", str(out), "--resume"]) == 2
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"vexmira-stats: cannot resume {out}: ") and reason in lines[0]
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_each_file_is_in_the_output_a_few_files_after_it_is_read(corpus, tmp_path, monkeypatch, kind, threads):
    """Files are read on a pool of threads, at most FILES_PER_THREAD per thread ahead of the
    output: an interruption loses no more than those."""
    from vexmira_tools import in_process
    out = tmp_path / f"stats.{kind}"
    complete_when_read, read = {}, in_process.read_range

    def watched(path, first, end, threads, session, table):
        complete_when_read[path] = files_complete(out)
        return read(path, first, end, threads, session, table)
    monkeypatch.setattr(in_process, "read_range", watched)
    main([str(corpus), "-o", str(out), "--threads", str(threads)])
    # One range per file: the clip is one key-frame interval.
    ahead = in_process.FILES_PER_THREAD * threads - 1
    files = sorted(complete_when_read)
    assert len(files) == COPIES
    assert [number - complete_when_read[path] for number, path in enumerate(files)
            if complete_when_read[path] < number - ahead] == []


@pytest.mark.parametrize("kind", ["csv", "parquet"])
@pytest.mark.parametrize(("first", "then", "named"), [
    ([], ["--mb-types"], "written without --mb-types and this run is with --mb-types"),
    (["--syntax"], ["--syntax", "--residual"], "written without --residual and this run is with --residual"),
    (["--stream", "0"], [], "written with --stream 0 and this run is without --stream"),
    (["--stream", "0"], ["--stream", "1"], "written with --stream 0 and this run is with --stream 1")])
def test_resume_with_other_flags_says_which_and_leaves_the_output(corpus, tmp_path, capsys, kind, first, then, named):
    out = tmp_path / f"stats.{kind}"
    assert main([str(corpus / "clip00.mp4"), "-o", str(out), *first]) == 0
    before = {path.name: path.read_bytes() for path in tmp_path.iterdir()}
    capsys.readouterr()
    assert main([str(corpus / "clip00.mp4"), str(corpus / "clip01.mp4"), "-o", str(out), "--resume", *then]) == 2
    lines = capsys.readouterr().err.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"vexmira-stats: cannot resume {out}: ") and named in lines[0]
    assert {path.name: path.read_bytes() for path in tmp_path.iterdir()} == before
