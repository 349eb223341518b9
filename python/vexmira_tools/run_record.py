"""What a vexmira-stats run says about itself beside its rows: the decoder that read the files,
the flags that decide what the rows hold, the files complete in the output (a file's rows are
written only once all are known) with their rows of the file table, the files skipped and
ignored, and whether the run went through its whole list. A CSV keeps it in a JSON file
beside the table, Parquet in the table's schema metadata."""

import json
from dataclasses import dataclass, field
from typing import Any

import vexmira


def decoder_identity() -> dict[str, str]:
    """The module's version and the FFmpeg it decodes with: QP tables and pictures are the
    decoder's, so they belong with the results."""
    return {"vexmira": vexmira.__version__, **vexmira.ffmpeg_version}


# The flags that change what a file's rows hold, as the record keeps them, with what a run
# without them has: a run resumed with others would mix two kinds of rows in one table.
FLAG_DEFAULTS: dict[str, Any] = {"mb_types": False, "syntax": False, "residual": False, "stream": None}


def described_flag(name: str, value: Any) -> str:
    if name == "stream":
        return "without --stream" if value is None else f"with --stream {value}"
    flag = "--" + name.replace("_", "-")
    return f"with {flag}" if value else f"without {flag}"


def flag_difference(previous: dict[str, Any], current: dict[str, Any]) -> str | None:
    """Which flag a run resuming an output is given otherwise than the run that wrote it."""
    for name, default in FLAG_DEFAULTS.items():
        before, now = previous.get(name, default), current.get(name, default)
        if before != now:
            return (f"it was written {described_flag(name, before)} and this run is {described_flag(name, now)}; "
                    f"resume with the first run's flags, or write to another output")
    return None


@dataclass
class RunRecord:
    decoder: dict[str, str] = field(default_factory=decoder_identity)
    options: dict[str, Any] = field(default_factory=lambda: dict(FLAG_DEFAULTS))
    # path -> {"rows": rows written, "time_base": the unit of their pts ("1/90000"), and where
    # the writer needs it, "end": the CSV's size after them}
    files: dict[str, dict[str, Any]] = field(default_factory=dict)
    skipped: dict[str, str] = field(default_factory=dict)
    ignored: dict[str, str] = field(default_factory=dict)
    finished: bool = False
    # path -> the file's row of the file table, read or skipped.
    file_rows: dict[str, dict[str, Any]] = field(default_factory=dict)

    def as_dict(self) -> dict[str, Any]:
        return {"decoder": self.decoder, "options": self.options, "finished": self.finished, "files": self.files,
                "skipped": self.skipped, "ignored": self.ignored, "file_rows": self.file_rows}

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> "RunRecord":
        """A record read back, keeping only what a later run continues from: the flags it was
        written with, its complete files and their rows of the file table."""
        files = values["files"]
        if not isinstance(files, dict) or not all(isinstance(facts.get("rows"), int) for facts in files.values()):
            raise ValueError("its list of complete files is not readable")
        rows = values.get("file_rows", {})
        return cls(options={**FLAG_DEFAULTS, **values.get("options", {})}, files=files,
                   file_rows={path: row for path, row in rows.items() if path in files})

    def complete(self, path: str, **facts: Any) -> None:
        self.files[path] = facts

    def to_json(self) -> str:
        return json.dumps(self.as_dict(), indent=1)
