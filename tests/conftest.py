"""Fixtures: the media made once per session, the ffmpeg tool's answers for named clips, the
native test programs and FFmpeg's extract_mvs example; and the helpers tests share. The
media themselves are in media.py, the references they are checked against in oracle.py."""

import fcntl
import os
import random
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vexmira
from damage import refer_to_missing_parameter_set
from media import Media
from oracle import expected_frames, pps_chroma_offsets, reference_qp_maps

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def media(tmp_path_factory) -> Media:
    """The clips, in VEXMIRA_TEST_MEDIA if that names a folder to keep them in (.ci/run's two
    stages share one), else in the session's temporary folder."""
    kept = os.environ.get("VEXMIRA_TEST_MEDIA")
    if kept:
        Path(kept).mkdir(parents=True, exist_ok=True)
        return Media(Path(kept).resolve())
    return Media(tmp_path_factory.mktemp("media"))



@pytest.fixture(scope="session")
def native_build() -> Path:
    """The native test programs, built (incrementally) against the same session sources.
    make test and make sanitize point VEXMIRA_NATIVE_BUILD_DIR at the module's own build tree,
    configured with the programs and with its compiler flags, so the sources are compiled
    once per stage; a tree not configured yet is configured here."""
    build = Path(os.environ.get("VEXMIRA_NATIVE_BUILD_DIR", ROOT / "build" / "native"))
    tools = Path(sys.executable).parent
    cmake = str(tools / "cmake") if (tools / "cmake").exists() else "cmake"
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}"] if (tools / "ninja").exists() else []
    build.mkdir(parents=True, exist_ok=True)
    # The suite runs in several processes (pytest-xdist): one of them builds while the others
    # wait, as two builds at once in one tree would write over each other's files.
    with open(build.parent / f".{build.name}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        commands = [[cmake, "--build", str(build)]]
        if not (build / "CMakeCache.txt").exists():
            commands.insert(0, [cmake, "-S", str(ROOT), "-B", str(build), *generator, "-DVEXMIRA_NATIVE_TOOLS=ON",
                                "-DCMAKE_BUILD_TYPE=RelWithDebInfo"])
        for command in commands:
            result = subprocess.run(command, capture_output=True, text=True)
            if result.returncode != 0:
                pytest.fail(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")
    return build / "tests" / "native"


@pytest.fixture(scope="session")
def reference_pictures(media):
    """expected_frames of a named clip, decoded once per test session."""
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            made[clip] = expected_frames(path, vexmira.H264DecoderSession(str(path)).pix_fmt)
        return made[clip]
    return of


@pytest.fixture(scope="session")
def reference_answers(media, reference_pictures):
    """reference_answers(clip): what every frame of a named clip must give, as the ffmpeg tool
    decodes and reads it: (pictures as in reference_pictures, QP maps, PPS chroma offsets)."""
    made = {}

    def of(clip):
        if clip not in made:
            path = media(clip)
            session = vexmira.H264DecoderSession(str(path))
            made[clip] = (reference_pictures(clip), reference_qp_maps(path, session.mb_rows, session.mb_cols),
                          pps_chroma_offsets(path))
        return made[clip]
    return of


EXAMPLE = Path("/usr/share/doc/ffmpeg/examples/extract_mvs.c")


@pytest.fixture(scope="session")
def extract_mvs(tmp_path_factory) -> Path:
    """FFmpeg's extract_mvs example, built with the system compiler against the same libraries."""
    if not EXAMPLE.exists():
        pytest.fail(f"{EXAMPLE} is missing: scripts/install-system-packages.sh installs ffmpeg-doc")
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "libavformat", "libavcodec", "libavutil"],
                           check=True, capture_output=True, text=True).stdout.split()
    program = tmp_path_factory.mktemp("extract_mvs") / "extract_mvs"
    compiler = shutil.which("cc") or shutil.which("gcc")
    subprocess.run([compiler, str(EXAMPLE), "-o", str(program), *flags], check=True, capture_output=True)
    return program


def requested(order: str, frames: int) -> list[int]:
    """Every frame and a few of them twice, ascending or descending; or, shuffled, half of
    the frames, a few twice, so that the pictures between them are skipped or decoded as
    the frames need."""
    rng = random.Random(frames)
    repeats = rng.sample(range(frames), min(6, frames))
    if order == "shuffled":
        wanted = rng.sample(range(frames), frames // 2) + repeats
        rng.shuffle(wanted)
        return wanted
    return sorted(list(range(frames)) + repeats, reverse=order == "reversed")


@pytest.fixture(scope="module")
def undecodable(media, tmp_path_factory):
    """A file whose frame u the ffmpeg tool's decode does not give, with u."""
    path = tmp_path_factory.mktemp("undecodable") / "missing_pps.mp4"
    refer_to_missing_parameter_set(media("mp4_long"), path, 30)
    missing = [i for i, frame in enumerate(expected_frames(path, "yuv420p")) if frame is None]
    assert len(missing) == 1
    return path, missing[0]
