"""The benchmark clips, made once with the ffmpeg tool and kept in build/bench/media."""

import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDER = ROOT / "build" / "bench" / "media"

# x264's preset medium with 3 B-frames and key frames 10 s apart at 25 fps, on a moving
# pattern: a typical camera-like GOP structure, long enough intervals to make seeking hurt.
CLIPS = {
    "1080p_10s": ["-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25", "-t", "10"],
    "360p_60s": ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-t", "60"],
    "720p_12s": ["-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-t", "12"],
    # Six key-frame intervals, for the simple loop that reads the next ones ahead.
    "720p_60s": ["-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-t", "60"],
    # One key-frame interval: a short clip of a corpus.
    "360p_4s": ["-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-t", "4"],
    # The 720p clip coded with CAVLC, the entropy coder of the Baseline profile.
    "720p_12s_cavlc": ["-f", "lavfi", "-i", "testsrc2=size=1280x720:rate=25", "-t", "12", "-x264-params", "cabac=0"],
}
ENCODER = ["-c:v", "libx264", "-preset", "medium", "-bf", "3", "-g", "250", "-pix_fmt", "yuv420p"]


def clip(name: str) -> Path:
    path = FOLDER / f"{name}.mp4"
    if not path.exists():
        FOLDER.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial.mp4")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *CLIPS[name], *ENCODER, str(partial)],
                       check=True)
        partial.rename(path)
    return path


def intra_refresh() -> Path:
    """A raw stream of 1,200 frames (480x272) with one IDR picture, then a recovery point every
    60 frames whose refresh takes most of the 60: what encoders for streaming write."""
    path = FOLDER / "480x272_intra_refresh.h264"
    if not path.exists():
        FOLDER.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial.h264")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc2=size=480x272:rate=25", "-frames:v", "1200", "-c:v", "libx264", "-preset", "medium",
                        "-x264-params", "intra-refresh=1:keyint=60", "-pix_fmt", "yuv420p", "-f", "h264",
                        str(partial)], check=True)
        partial.rename(path)
    return path


def raw_copy(path: Path) -> Path:
    """The clip's stream as raw Annex B, without a container: no packet has a timestamp."""
    raw = path.with_suffix(".h264")
    if not raw.exists():
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(path), "-map", "0:v:0", "-c",
                        "copy", "-bsf:v", "h264_mp4toannexb", "-f", "h264", str(raw)], check=True)
    return raw


def mpeg2_program_stream(name: str) -> Path:
    """The clip's picture as MPEG-2 in an MPEG-PS file, whose pictures do not all carry a
    timestamp: a codec whose headers the module does not read, numbered by decoding."""
    path = FOLDER / f"{name}_mpeg2.mpg"
    if not path.exists():
        FOLDER.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial.mpg")
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", *CLIPS[name], "-c:v", "mpeg2video",
                        "-b:v", "2M", "-bf", "2", "-g", "12", "-f", "vob", str(partial)], check=True)
        partial.rename(path)
    return path


def packet_table(path: Path) -> list[tuple[int, bool]]:
    """(pts, is_key) of every video packet in decoding order, as ffprobe lists them."""
    result = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                             "packet=pts,flags", "-of", "csv=p=0", str(path)],
                            check=True, capture_output=True, text=True)
    table = []
    for line in result.stdout.split():
        pts, flags = line.split(",")[:2]
        table.append((int(pts), "K" in flags))
    return table


def decode_counts(path: Path) -> list[int]:
    """For frame i (presentation order), the packets a decoder has to take from the key
    packet of its interval up to and including its own."""
    table = packet_table(path)
    last_key, position_of = 0, {}
    distance = {}
    for position, (pts, is_key) in enumerate(table):
        if is_key:
            last_key = position
        position_of[pts] = position
        distance[pts] = position - last_key + 1
    return [distance[pts] for pts in sorted(position_of)]


def short_clips(files: int) -> Path:
    """A folder of copies of the 4 s clip, one key-frame interval each."""
    folder = FOLDER / f"short_clips_{files}"
    paths = [folder / f"clip_{number:04}.mp4" for number in range(files)]
    if not all(path.exists() for path in paths):
        folder.mkdir(parents=True, exist_ok=True)
        for path in paths:
            path.write_bytes(clip("360p_4s").read_bytes())
    return folder


def corpus(files: int, seconds: int = 20) -> list[Path]:
    """Copies of the first seconds of the 60 s clip (cut at a key frame), as a folder of files."""
    folder = FOLDER / f"corpus_{files}x{seconds}s"
    paths = [folder / f"clip_{number}.mp4" for number in range(files)]
    if not all(path.exists() for path in paths):
        folder.mkdir(parents=True, exist_ok=True)
        subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", str(clip("360p_60s")), "-t",
                        str(seconds), "-c", "copy", str(paths[0])], check=True)
        for path in paths[1:]:
            path.write_bytes(paths[0].read_bytes())
    return paths
