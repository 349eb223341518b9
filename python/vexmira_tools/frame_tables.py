"""Per-frame tables of whole files, cut into ranges of key-frame intervals: the units of work
that one process runs in a loop and a Dask cluster runs as tasks. Everything here takes and
returns plain, picklable values (paths, frame ranges, dicts of NumPy arrays)."""

from dataclasses import dataclass, field

import numpy as np

import vexmira

# Ranges of about this many frames: enough to keep a decoder busy, few enough per file that a
# long file spreads over several workers and the progress bar moves.
DEFAULT_RANGE_FRAMES = 1000
# Every range's task opens the file, which reads all of it once without decoding (about 1 %
# of decoding it): a file is cut into no more ranges than this, so that those reads stay a
# few percent of the work however long the file.
MAX_RANGES_PER_FILE = 8


@dataclass
class FilePlan:
    """The frame ranges of one file, or why it could not be opened."""
    path: str
    frames: int = 0
    ranges: list[tuple[int, int]] = field(default_factory=list)
    error: str | None = None


def frame_ranges(interval_starts, frames: int, range_frames: int) -> list[tuple[int, int]]:
    """[first, end) ranges that begin where a key-frame interval begins, each but the last of
    at least range_frames frames and of at least a MAX_RANGES_PER_FILE-th of the file."""
    range_frames = max(range_frames, -(-frames // MAX_RANGES_PER_FILE))
    ranges, first = [], 0
    for start in [int(start) for start in interval_starts] + [frames]:
        if start - first >= range_frames or (start == frames and start > first):
            ranges.append((first, start))
            first = start
    return ranges


def plan_file(path: str, range_frames: int = DEFAULT_RANGE_FRAMES) -> FilePlan:
    try:
        session = vexmira.H264DecoderSession(path)
    except Exception as error:  # noqa: BLE001 - a file that does not open is reported, not fatal
        return FilePlan(path, error=f"{type(error).__name__}: {error}")
    return FilePlan(path, session.num_frames,
                    frame_ranges(session.key_frame_intervals(), session.num_frames, range_frames))


def range_stats(path: str, first: int, end: int, threads: int = 1, session=None,
                mb_types: bool = False) -> dict[str, np.ndarray]:
    """frame_stats of frames first..end-1, opening the file unless a session of it is given,
    with the counts of macroblock types where asked."""
    session = session or vexmira.H264DecoderSession(path, mb_types=mb_types)
    return session.frame_stats(threads, frames=range(first, end))


def file_table(parts: list[tuple[str, dict[str, np.ndarray]]]) -> dict[str, np.ndarray]:
    """One table of (path, frame_stats) parts in the order given, with the file column first."""
    if not parts:
        return {"file": np.array([], dtype=str)}
    names = list(parts[0][1])
    table = {"file": np.concatenate([np.full(len(stats["frame"]), path) for path, stats in parts])}
    for name in names:
        table[name] = np.concatenate([stats[name] for _, stats in parts])
    return table
