"""Which files a vexmira-stats run reads: the paths named, and the video files in the folders
named. Paths are resolved here, in the process that was given them, because a Dask worker
runs in another folder (or on another machine) where a relative path means something else."""

import os
from dataclasses import dataclass, field
from pathlib import Path

# Every kind of file the README's "Files" section says opens, by the suffixes people give them.
# Raw Annex B streams are recognised by their content, so their suffixes vary the most.
VIDEO_SUFFIXES = frozenset({
    ".mp4", ".m4v", ".mov", ".3gp",
    ".mkv",
    ".ts", ".m2ts", ".mts",
    ".flv",
    ".avi",
    ".mpg", ".mpeg", ".vob",
    ".h264", ".264", ".26l", ".jsv", ".avc",
})


@dataclass
class Inputs:
    """The files to read, each distinct file once in the order first given, and the files of
    searched folders that are not read, with the reason."""
    videos: list[str] = field(default_factory=list)
    ignored: dict[str, str] = field(default_factory=dict)


def is_video_name(path: Path) -> bool:
    return path.suffix.lower() in VIDEO_SUFFIXES


def files_under(folder: Path) -> list[Path]:
    """Every file below folder, in name order, hidden ones included (they are reported too)."""
    return sorted(path for path in folder.rglob("*") if path.is_file())


def find_videos(given: list[str | os.PathLike]) -> Inputs:
    """Files named are read whatever their suffix (the reader decides whether they open);
    folders are searched for files with a video suffix, in any letter case."""
    found = Inputs()
    seen: set[str] = set()

    def add(path: Path) -> None:
        resolved = str(path.resolve())
        if resolved not in seen:
            seen.add(resolved)
            found.videos.append(resolved)

    for name in given:
        path = Path(name)
        if not path.is_dir():
            add(path)
            continue
        for child in files_under(path):
            if is_video_name(child):
                add(child)
            else:
                found.ignored.setdefault(str(child.resolve()), f"not a video file's suffix ({child.suffix or 'none'})")
    return found
