"""Test media, made once per session with the ffmpeg tool, and the ffprobe oracle."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

# A moving pattern, so that frames differ from one another and B-frames predict something.
SOURCE = "testsrc2=size={size}:rate={rate},trim=end_frame={frames}"
TONE = "sine=frequency=440:sample_rate=48000"


def x264(*, bframes=2, gop=12, open_gop=False, pix_fmt="yuv420p", extra=""):
    params = f"open-gop={int(open_gop)}" + (f":{extra}" if extra else "")
    return ["-c:v", "libx264", "-preset", "veryfast", "-bf", str(bframes), "-g", str(gop),
            "-keyint_min", str(gop), "-sc_threshold", "0", "-pix_fmt", pix_fmt,
            "-x264-params", params]


def video_input(size="64x48", rate="25", frames=36, then=""):
    source = SOURCE.format(size=size, rate=rate, frames=frames) + (f",{then}" if then else "")
    return ["-f", "lavfi", "-i", source]


# name -> (file suffix, ffmpeg arguments between the global options and the output path)
RECIPES = {
    "mp4": (".mp4", video_input() + x264()),
    "mkv": (".mkv", video_input() + x264()),
    "ts": (".ts", video_input() + x264()),
    "mp4_no_bframes": (".mp4", video_input() + x264(bframes=0)),
    "mp4_open_gop": (".mp4", video_input(frames=40) + x264(bframes=3, gop=10, open_gop=True)),
    "mkv_open_gop": (".mkv", video_input(frames=40) + x264(bframes=3, gop=10, open_gop=True)),
    "ts_open_gop": (".ts", video_input(frames=40) + x264(bframes=3, gop=10, open_gop=True)),
    "mp4_ntsc": (".mp4", video_input(rate="30000/1001") + x264()),
    "mp4_10bit": (".mp4", video_input() + x264(pix_fmt="yuv420p10le")),
    # 4:2:0 H.264 has even sizes only; 4:4:4 has no such limit.
    "mp4_odd_size": (".mp4", video_input(size="34x18", then="format=yuv444p,crop=33:17:0:0")
                     + x264(pix_fmt="yuv444p")),
    "mp4_34x18": (".mp4", video_input(size="34x18") + x264()),
    "mp4_with_audio": (".mp4", video_input() + ["-f", "lavfi", "-i", TONE, "-shortest"]
                       + x264() + ["-c:a", "aac"]),
    "mkv_two_videos": (".mkv", video_input(size="64x48") + video_input(size="32x32", frames=20)
                       + ["-map", "0:v", "-map", "1:v"] + x264()),
    "m4a_audio_only": (".m4a", ["-f", "lavfi", "-i", TONE, "-t", "1", "-c:a", "aac"]),
}

VIDEO_CLIPS = [name for name in RECIPES if name != "m4a_audio_only"]


class Media:
    def __init__(self, folder: Path):
        self.folder = folder
        self.made: dict[str, Path] = {}

    def __call__(self, name: str) -> Path:
        if name not in self.made:
            suffix, arguments = RECIPES[name]
            path = self.folder / f"{name}{suffix}"
            subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *arguments, str(path)],
                           check=True)
            self.made[name] = path
        return self.made[name]


@pytest.fixture(scope="session")
def media(tmp_path_factory) -> Media:
    return Media(tmp_path_factory.mktemp("media"))


def ffprobe(path: Path, *entries: str) -> dict:
    """ffprobe's JSON for the first video stream of the file."""
    result = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", *entries, "-of", "json", str(path)],
        check=True, capture_output=True, text=True)
    return json.loads(result.stdout)


ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="session")
def native_build() -> Path:
    """The native test programs, built (incrementally) against the same session sources."""
    build = ROOT / "build" / "native"
    tools = Path(sys.executable).parent
    cmake = str(tools / "cmake") if (tools / "cmake").exists() else "cmake"
    generator = ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}"] if (tools / "ninja").exists() else []
    for command in ([cmake, "-S", str(ROOT), "-B", str(build), *generator, "-DVEXMIRA_NATIVE_TOOLS=ON",
                     "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                    [cmake, "--build", str(build)]):
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            pytest.fail(f"{' '.join(command)} failed:\n{result.stdout}{result.stderr}")
    return build / "tests" / "native"
