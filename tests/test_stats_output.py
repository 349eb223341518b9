"""What vexmira-stats writes, read back as its users read it: the CSV with pandas' read_csv
and the Parquet file with pyarrow. Each file's format is checked against ffprobe, its QP
against the QP the encoder was told to use, the columns against the README's table; a bad
output or scheduler address is refused before any file is opened."""

import importlib.metadata
import json
import shutil
import socket
from fractions import Fraction

import dask
import numpy as np
# Before the test below changes one of its settings: dask's config takes distributed's defaults
# when distributed is imported, and the change's undoing would drop them all.
import distributed  # noqa: F401
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from oracle import ffprobe, first_traced, traced_headers
from readme import column_definitions, promised_suffixes
import vexmira
from vexmira_tools.stats import main

DECODER = {"vexmira": importlib.metadata.version("vexmira"), **vexmira.ffmpeg_version}
# Names a table must keep as they are: a '#' that read_csv's comment option would cut, a
# comma and quotes that CSV has to quote. -> (clip, whether every macroblock has its slice's QP)
CORPUS = {
    'take #1, "qp 30".mp4': ("mp4_qp30", True),
    "ten bits, qp 60.MOV": ("mp4_10bit_qp60", True),
    "ntsc.mp4": ("mp4_ntsc", False),
    "raw 422.h264": ("h264_raw_422", False),
}


@pytest.fixture(scope="module")
def corpus(media, tmp_path_factory):
    """8 and 10 bits, 4:2:0 and 4:2:2, 25 and 29.97 frames a second, a text file named like a
    video and a file that is no video by its name."""
    folder = tmp_path_factory.mktemp("mixed corpus")
    for name, (clip, _) in CORPUS.items():
        shutil.copy(media(clip), folder / name)
    (folder / "notes.mp4").write_text("not a video\n" * 20)
    (folder / "readme.txt").write_text("not a video either\n")
    return folder


@pytest.fixture(scope="module")
def outputs(corpus, tmp_path_factory):
    """The corpus written once to CSV and once to Parquet, with each run's exit status."""
    folder = tmp_path_factory.mktemp("outputs")
    return {kind: (main([str(corpus), "-o", str(folder / f"stats.{kind}")]), folder / f"stats.{kind}")
            for kind in ["csv", "parquet"]}


def slice_qps(path) -> set[int]:
    """Every slice's QP, as the ffmpeg tool's bitstream tracer reads the headers: the scale
    on which 8 bits run to 51 and 10 bits from -12 to 51."""
    headers = traced_headers(path)
    initial = 26 + first_traced(headers, "pic_init_qp_minus26")
    return {initial + value for _, elements in headers for element, value in elements if element == "slice_qp_delta"}


def decoded_frames(path) -> int:
    return int(ffprobe(path, "-count_frames", "-show_entries", "stream=nb_read_frames")["streams"][0]["nb_read_frames"])


def test_the_csv_is_plain_csv_and_the_run_is_recorded_beside_it(corpus, outputs):
    status, out = outputs["csv"]
    assert status == 1, "a file was skipped"
    table = pd.read_csv(out)
    assert list(table.columns) == list(column_definitions()), "the README defines every column, in order"
    assert list(table["file"].unique()) == sorted(str(corpus / name) for name in CORPUS)
    for name in CORPUS:
        frames = table.loc[table["file"] == str(corpus / name), "frame"]
        assert list(frames) == list(range(decoded_frames(corpus / name))), name

    record = json.loads((out.parent / "stats.csv.json").read_text())
    assert record["decoder"] == DECODER and record["finished"] is True
    assert {path: facts["rows"] for path, facts in record["files"].items()} == \
        table.groupby("file", sort=False).size().to_dict()
    assert list(record["skipped"]) == [str(corpus / "notes.mp4")]
    assert record["ignored"] == {str(corpus / "readme.txt"): "not a video file's suffix (.txt)"}


@pytest.mark.parametrize("name", list(CORPUS))
def test_each_row_says_what_its_file_is(corpus, outputs, name):
    """With bit_depth beside it, a QP above 8 bits reads on the scale of an 8-bit one."""
    table = pd.read_csv(outputs["csv"][1])
    rows = table[table["file"] == str(corpus / name)]
    stream = ffprobe(corpus / name, "-show_entries",
                     "stream=codec_name,pix_fmt,bits_per_raw_sample,width,height,r_frame_rate,time_base")
    stream = stream["streams"][0]
    facts = rows[["codec", "pix_fmt", "bit_depth", "width", "height", "fps"]].drop_duplicates()
    assert facts.values.tolist() == [[stream["codec_name"], stream["pix_fmt"], int(stream["bits_per_raw_sample"]),
                                      stream["width"], stream["height"], float(Fraction(stream["r_frame_rate"]))]]
    # pts is in the stream's time base, or, in a raw stream, counts frames.
    unit = 1 / Fraction(stream["r_frame_rate"]) if name.endswith(".h264") else Fraction(stream["time_base"])
    record = json.loads(outputs["csv"][1].with_name("stats.csv.json").read_text())
    assert Fraction(record["files"][str(corpus / name)]["time_base"]) == unit
    np.testing.assert_allclose(rows["time"], rows["pts"] * float(unit), rtol=1e-12)
    if CORPUS[name][1]:
        offset = 6 * (rows["bit_depth"] - 8)
        assert {*(rows["qp_min"] - offset), *(rows["qp_max"] - offset)} == slice_qps(corpus / name)


def test_parquet_holds_the_csv_table_one_row_group_per_file(outputs):
    parquet = pd.read_parquet(outputs["parquet"][1])
    # Read back as written: a frame without picture has an empty pict_type, not a missing one.
    csv = pd.read_csv(outputs["csv"][1], dtype=parquet.dtypes.to_dict(), keep_default_na=False,
                      na_values={"qp_mean": [""]})
    pd.testing.assert_frame_equal(csv, parquet)
    source = pq.ParquetFile(outputs["parquet"][1])
    assert source.num_row_groups == len(CORPUS)
    for group in range(source.num_row_groups):
        assert len(set(source.read_row_group(group, columns=["file"]).column("file").to_pylist())) == 1
    record = json.loads((outputs["csv"][1].parent / "stats.csv.json").read_text())
    metadata = {key.decode(): json.loads(value) for key, value in source.schema_arrow.metadata.items()}
    # The CSV's record says where each file's rows end in it; the rest is the same.
    assert metadata == {f"vexmira.{key}": value for key, value in record.items()} | {
        "vexmira.files": {path: {key: value for key, value in facts.items() if key != "end"}
                          for path, facts in record["files"].items()}}


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_when_no_file_opens_the_output_still_has_every_column(corpus, tmp_path, kind):
    out = tmp_path / f"stats.{kind}"
    assert main([str(corpus / "notes.mp4"), "-o", str(out)]) == 1
    columns = column_definitions()
    if kind == "csv":
        table = pd.read_csv(out)
        assert list(table.columns) == list(columns) and len(table) == 0
    else:
        schema = pq.read_schema(out)
        assert schema.names == list(columns) and pq.read_metadata(out).num_rows == 0
        # The README's type names are pyarrow's.
        assert [schema.field(name).type for name in columns] == [pa.type_for_alias(cells[0])
                                                                for cells in columns.values()]


def closed_port() -> int:
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        return listener.getsockname()[1]


def made_folder(path):
    path.mkdir()
    return path


PROBLEMS = {
    "no such folder": (lambda tmp: ["-o", str(tmp / "missing" / "stats.csv")], 2, "there is no folder"),
    "folder named like the output": (lambda tmp: ["-o", str(made_folder(tmp / "stats.parquet"))], 2, "it is a folder"),
    "folder where the record goes": (lambda tmp: ["-o", str(made_folder(tmp / "stats.csv.json").with_suffix(""))],
                                     2, "is in the way"),
    "not a scheduler address": (lambda tmp: ["-o", str(tmp / "stats.csv"), "--dask", "foo"], 2, "not 'foo'"),
    "no scheduler there": (lambda tmp: ["-o", str(tmp / "stats.csv"), "--dask", f"tcp://127.0.0.1:{closed_port()}"],
                           1, "cannot reach the Dask scheduler"),
}


@pytest.mark.parametrize("problem", list(PROBLEMS))
def test_a_run_that_cannot_succeed_says_why_in_one_line_before_opening_any_file(corpus, tmp_path, capsys,
                                                                                 monkeypatch, problem):
    arguments, status, message = PROBLEMS[problem]
    argv = [str(corpus)] + arguments(tmp_path)

    def refuse(*args, **kwargs):
        raise AssertionError("a file was opened")
    monkeypatch.setattr(vexmira, "H264DecoderSession", refuse)
    with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
        assert main(argv) == status
    lines = capsys.readouterr().err.splitlines()
    assert lines[-1].startswith("vexmira-stats: ") and message in lines[-1]
    assert all(line.startswith("vexmira-stats: ignored ") for line in lines[:-1])
    assert not (tmp_path / "stats.csv").exists() and not (tmp_path / "stats.parquet").is_file()


RAW_STREAM_SUFFIXES = {".h264", ".264", ".26l", ".jsv", ".avc"}
PROGRAM_STREAM_SUFFIXES = {".mpg", ".mpeg", ".vob"}


def test_a_folder_search_reads_every_suffix_the_readme_promises_in_any_letter_case(media, tmp_path):
    suffixes = promised_suffixes()
    assert suffixes >= RAW_STREAM_SUFFIXES | {".mpg", ".vob"}
    folder = tmp_path / "every kind"
    (folder / "deeper").mkdir(parents=True)
    expected = {}
    for number, suffix in enumerate(sorted(suffixes)):
        clip = "h264_raw" if suffix in RAW_STREAM_SUFFIXES else "mpg" if suffix in PROGRAM_STREAM_SUFFIXES else "mp4"
        for name in [f"clip{number}{suffix}", f"deeper/CLIP{number}{suffix.upper()}"]:
            shutil.copy(media(clip), folder / name)
            expected[str(folder / name)] = clip
    out = tmp_path / "stats.parquet"
    assert main([str(folder), "-o", str(out)]) == 0
    rows = pd.Series(pq.read_table(out, columns=["file"]).column("file").to_pylist()).value_counts()
    frames = {clip: decoded_frames(media(clip)) for clip in set(expected.values())}
    assert rows.to_dict() == {path: frames[clip] for path, clip in expected.items()}
