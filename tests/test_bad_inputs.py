"""Files from anywhere: empty, truncated, corrupted, mislabelled, oddly timed. Whatever the
file, opening raises one of the documented errors or gives a session whose every frame is
either the ffmpeg tool's picture for that frame's timestamp or an error, when and only when
the ffmpeg tool decodes no picture for it. Each file is tried in a child process, so that a
crash or a hang fails its test instead of the run."""

import json
import os
import pickle
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

import numpy as np

import vexmira
from damage import slice_damage
from media import CASES
from oracle import (Picture, damaged_packet_timestamps, presentation_timestamps, reference_qp_maps,
                    sequential_reference, tool_damaged_frames)

# A child process per file, every frame in three orders.
pytestmark = pytest.mark.slow

# Files cut inside their last picture, made in media.py's REAL_WORLD_RECIPES.
REAL_WORLD_CUTS = {"ts_last_picture_cut", "h264_last_picture_cut"}

PROBE = Path(__file__).with_name("frame_probe.py")
# Sanitizer builds run several times slower; make sanitize stretches the limit.
TIMEOUT = 120 * float(os.environ.get("VEXMIRA_TIMEOUT_SCALE", "1"))

OPENING_ERRORS = [
    r"RuntimeError: Cannot open input video: {path} \(.+\)",
    r"RuntimeError: Cannot find stream info in: {path}",
    r"RuntimeError: No video stream found in: {path}",
    r"RuntimeError: No decoder for codec \w+ in: {path}",
    r"RuntimeError: Cannot open codec: .+",
    r"RuntimeError: No video packets found in: {path}",
    r"RuntimeError: No video frames found in: {path}",
    r"MemoryError: .*",
]


def is_documented_opening_error(message: str, path: Path) -> bool:
    return any(re.fullmatch(pattern.format(path=re.escape(str(path))), message) for pattern in OPENING_ERRORS)


# ---- Running and judging ----------------------------------------------------------------

def as_plain_data(frames: list[list[Picture]]) -> list[list[tuple[int, int, tuple[bytes, bytes, bytes]]]]:
    return [[(picture.width, picture.height, picture.planes) for picture in candidates] for candidates in frames]


def probe(path: Path, expected, folder: Path) -> dict:
    """The child's report; fails the test if the child crashed or hung."""
    expected_file = folder / "expected.pickle"
    expected_file.write_bytes(pickle.dumps(expected))
    try:
        result = subprocess.run([sys.executable, str(PROBE), str(path), str(expected_file)],
                                capture_output=True, text=True, timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {TIMEOUT:.0f} s: the module hangs on {path.name}")
    if result.returncode != 0:
        pytest.fail(f"the child process ended with status {result.returncode} on {path.name}:\n"
                    f"{result.stderr[-3000:]}")
    return json.loads(result.stdout)


def frame_violations(report: dict, expected) -> list[str]:
    wrong = []
    for order, outcomes in report["outcomes"].items():
        for index, got in enumerate(outcomes):
            wanted = "picture" if expected[index] else f"raised RuntimeError: Failed to decode frame {index}"
            if got != wanted:
                reference = f"{len(expected[index])} reference pictures" if expected[index] else "no reference picture"
                wrong.append(f"{order} frame {index}: {got} ({reference})")
    for index, got in enumerate(report["exact_outcomes"]):
        wanted = "picture" if expected[index] else f"RuntimeError: Failed to decode frame {index}"
        if got != wanted:
            wrong.append(f"exact deblocking, frame {index}: {got}")
    return wrong


@pytest.mark.parametrize("name", CASES)
def test_bad_input_gives_an_error_or_the_right_frames(media, tmp_path, name):
    case = CASES[name]
    path = case.make(media, tmp_path)
    expected = as_plain_data(case.reference(path))
    report = probe(path, expected, tmp_path)

    if report["open"] != "ok":
        assert case.opening != "opens", report["open"]
        assert is_documented_opening_error(report["open"], path), report["open"]
        return
    assert case.opening != "refused", f"opened, with {report['num_frames']} frames"
    assert report["num_frames"] == len(expected), "frames are the distinct packet timestamps ffprobe lists"
    assert frame_violations(report, expected) == []
    if case.opening == "opens":
        assert all(expected), "a sound file decodes every frame"


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_damaged_pictures_have_no_qp_map(media, tmp_path, seed):
    """A picture whose own data was damaged has no QP map (-1 everywhere) or, where the
    decoder did not notice, the map the ffmpeg tool's decoder prints for it; every other
    picture has the map the tool prints. The decoder recycles its QP tables, so a concealed
    macroblock would otherwise show an earlier picture's QP."""
    path = CASES[f"mp4_damaged_slices_{seed}"].make(media, tmp_path)
    damaged = damaged_packet_timestamps(path, slice_damage(media("mp4_long_faststart").read_bytes(), seed))
    report = probe(path, as_plain_data(sequential_reference(path)), tmp_path)
    rows, columns = report["mb_shape"]
    reference = reference_qp_maps(path, rows, columns)
    no_map = [[-1] * columns for _ in range(rows)]

    got = report["qp_maps"]
    timestamps = presentation_timestamps(path)
    wrong = [index for index, pts in enumerate(timestamps)
             if got[index] != reference[index] and not (pts in damaged and got[index] == no_map)]
    assert wrong == []
    assert no_map in got, "the damage made the decoder conceal something"


@pytest.mark.parametrize("name", ["ts_last_picture_cut", "h264_last_picture_cut", "h264_cut_inside_a_slice",
                                  "mp4_damaged_slices_1", "mp4_damaged_slices_2", "mkv_damaged_slices_4",
                                  "ts_damaged_payload_5", "ts_damaged_payload_6"])
def test_damaged_frames_are_those_the_tool_reports_corrupt(media, tmp_path, name):
    """Whichever way a frame is reached, and in frame_stats: a concealed picture is damaged,
    and its QP map is empty."""
    path = media(name) if name in REAL_WORLD_CUTS else CASES[name].make(media, tmp_path)
    expected = tool_damaged_frames(path)
    assert expected, "the damage made the decoder conceal something"
    session = vexmira.H264DecoderSession(path)
    order = random.Random(3).sample(range(session.num_frames), session.num_frames)
    assert {index for index in order if session.is_damaged(index)} == expected
    stats = session.frame_stats(threads=2)
    assert set(np.flatnonzero(stats["damaged"]).tolist()) == expected
    assert all(stats["qp_min"][index] == -1 for index in expected)
