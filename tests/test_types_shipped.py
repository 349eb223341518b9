"""What a type checker and help() see: vexmira_tools is marked typed, frame_stats returns a
typed mapping, help() names real return types, and frame_stats' table converts to pandas
with missing values where the columns mark "no value"."""

import importlib.resources

import numpy as np
import pandas as pd
import pytest

import vexmira
import vexmira_tools
from oracle import expected_frames, run_mypy

TYPED_USE = """\
import vexmira
from vexmira_tools import FrameStats, frame_stats_frame
session = vexmira.H264DecoderSession("clip.mp4")
stats: FrameStats = session.frame_stats(3, threads=2)
reveal_type(stats["qp_mean"])
reveal_type(stats.get("mb_intra"))
frame_stats_frame(stats)
"""


@pytest.mark.python_side
def test_vexmira_tools_is_typed_and_frame_stats_mapping_is_checked(tmp_path, tmp_path_factory):
    assert importlib.resources.files("vexmira_tools").joinpath("py.typed").is_file()
    use = tmp_path / "use.py"
    use.write_text(TYPED_USE)
    result = run_mypy("--strict", str(use), folder=tmp_path, cache=tmp_path_factory.mktemp("cache"))
    assert result.returncode == 0, result.stdout + result.stderr
    revealed = [line for line in result.stdout.splitlines() if "Revealed type" in line]
    assert "numpy.float64" in revealed[0]
    assert "_32Bit" in revealed[1] and "None" in revealed[1]
    use.write_text(TYPED_USE + 'stats["qp_average"]\nsession.frame_stats([1], 2)\n')
    result = run_mypy("--strict", str(use), folder=tmp_path, cache=tmp_path_factory.mktemp("cache"))
    assert '"FrameStats" has no key "qp_average"' in result.stdout
    assert "Too many positional arguments" in result.stdout


def test_help_names_real_return_types():
    cls = vexmira.H264DecoderSession
    signatures = {name: getattr(cls, name).__doc__.strip().split("\n")[0] for name in dir(cls)
                  if not name.startswith("_") and callable(getattr(cls, name))}
    assert [name for name, signature in signatures.items() if signature.endswith("-> object")] == []
    assert signatures["frame_stats"].endswith("-> vexmira_tools.FrameStats")
    assert vexmira_tools.FrameStats.__required_keys__ >= {"frame", "qp_mean", "damaged"}
    assert "mb_intra" in vexmira_tools.FrameStats.__optional_keys__
    assert "'?' where the decoder gives the picture no type" in cls.get_frame_type.__doc__


def test_frame_stats_frame_marks_absence_as_missing(undecodable):
    path, u = undecodable
    session = vexmira.H264DecoderSession(str(path), mb_types=True)
    stats = session.frame_stats(threads=2)
    frame = vexmira_tools.frame_stats_frame(stats)
    decoded = [picture is not None for picture in expected_frames(path, "yuv420p")]
    assert frame["decoded"].tolist() == decoded
    assert frame["damaged"].isna().tolist() == [not d for d in decoded]
    assert frame.loc[u, ["qp_min", "qp_max", "qp_mean", "mb_intra", "pict_type", "key_frame"]].isna().all()
    assert str(frame["qp_min"].dtype) == "Int8" and str(frame["mb_skip"].dtype) == "Int32"
    assert str(frame["pict_type"].dtype) == "string" and str(frame["damaged"].dtype) == "boolean"
    damaged = np.flatnonzero(stats["damaged"])
    assert frame.loc[damaged, "qp_min"].isna().all()
    intact = frame[frame["decoded"] & ~frame["damaged"].fillna(True)]
    assert (intact["qp_min"] == pd.Series(stats["qp_min"])[intact.index]).all()
