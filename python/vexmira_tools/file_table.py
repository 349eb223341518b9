"""The file table written beside the frame table: one row per file, read or skipped, saying
what its container declares, how much of it the frames cover, whether the file is cut short,
how many frames were damaged and what FFmpeg said of it. The README's "The file table"
defines each column."""

from pathlib import Path
from typing import Any

import numpy as np

from vexmira_tools.columns import path_text

FILE_TABLE_COLUMNS = {"file": "str", "codec": "str", "stream": "int32", "frames": "int32",
                      "declared_duration": "float64", "declared_frames": "int64", "duration": "float64",
                      "truncated": "bool", "damaged": "int32", "not_decoded": "int32", "warnings": "int32",
                      "first_warnings": "str", "skipped": "str"}
# FFmpeg's messages of a file kept in its row, the first ones: what a damaged file's first
# problems were; the rest are counted.
WARNINGS_KEPT = 3


def file_table_path(output: Path) -> Path:
    """stats.parquet's file table is stats.files.parquet, stats.csv's stats.files.csv."""
    return output.with_name(f"{output.stem}.files{output.suffix}")


def ordered_rows(rows: dict[str, dict[str, Any]], order: list[str]) -> list[list[Any]]:
    """The rows' cells in the columns' order, files in the order given, then any others."""
    ranked = {path: rank for rank, path in enumerate(order)}
    paths = sorted(rows, key=lambda path: ranked.get(path, len(ranked)))
    return [[rows[path][name] for name in FILE_TABLE_COLUMNS] for path in paths]


def file_of(path: str) -> str:
    """The name the file's rows give it in both tables, and the sidecar's key for its row."""
    return path_text(path)


def covered_seconds(times: np.ndarray, fps: float) -> float:
    """From the first frame's time to the end of the last, one frame at the file's rate."""
    return float(times.max() - times.min()) + 1 / fps if len(times) else 0.0


def read_file_row(path: str, extent: dict[str, Any], table: dict[str, np.ndarray], fps: float,
                  messages: list[str]) -> dict[str, Any]:
    """The row of a file read: extent is what its session says of its stream and container.
    A table read without decoding (--syntax) counts as damaged the pictures whose slices could
    not all be parsed, and as not decoded those of which no slice header was read."""
    if "decoded" in table:
        decoded, damaged = table["decoded"], table["damaged"]
    else:
        decoded, damaged = table["pict_type"] != "", ~table["parsed"]
    return {"file": file_of(path), **extent, "frames": len(decoded),
            "duration": covered_seconds(table["time"], fps),
            "damaged": int((damaged & decoded).sum()), "not_decoded": int((~decoded).sum()),
            **message_cells(messages), "skipped": None}


def skipped_file_row(path: str, reason: str, messages: list[str]) -> dict[str, Any]:
    return {"file": file_of(path), "codec": None, "stream": None, "frames": 0, "declared_duration": None,
            "declared_frames": None, "duration": None, "truncated": None, "damaged": 0, "not_decoded": 0,
            **message_cells(messages), "skipped": reason}


def message_cells(messages: list[str]) -> dict[str, Any]:
    return {"warnings": len(messages), "first_warnings": "\n".join(messages[:WARNINGS_KEPT]) or None}


def session_extent(session) -> dict[str, Any]:
    """What the file table takes from an open session."""
    return {"codec": session.codec, "stream": session.stream_index, "declared_duration": session.declared_duration,
            "declared_frames": session.declared_frames, "truncated": session.truncated}


def summary(rows: list[dict[str, Any]]) -> str:
    """The run's last line: of the files in the table, how many were damaged, cut short and skipped."""
    damaged = sum(1 for row in rows if row["damaged"] or row["not_decoded"])
    truncated = sum(1 for row in rows if row["truncated"])
    skipped = sum(1 for row in rows if row["skipped"] is not None)
    return f"{len(rows)} files, {damaged} damaged, {truncated} truncated, {skipped} skipped"
