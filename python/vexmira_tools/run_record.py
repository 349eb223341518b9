"""What a vexmira-stats run says about itself beside its rows: the decoder that read the files,
the files complete in the output (a file's rows are written only once all are known), the
files skipped and ignored, and whether the run went through its whole list. A CSV keeps it in
a JSON file beside the table, Parquet in the table's schema metadata."""

import json
from dataclasses import dataclass, field
from typing import Any

import vexmira


def decoder_identity() -> dict[str, str]:
    """The module's version and the FFmpeg it decodes with: QP tables and pictures are the
    decoder's, so they belong with the results."""
    return {"vexmira": vexmira.__version__, **vexmira.ffmpeg_version}


@dataclass
class RunRecord:
    decoder: dict[str, str] = field(default_factory=decoder_identity)
    # path -> {"rows": rows written, "time_base": the unit of their pts ("1/90000"), and where
    # the writer needs it, "end": the CSV's size after them}
    files: dict[str, dict[str, Any]] = field(default_factory=dict)
    skipped: dict[str, str] = field(default_factory=dict)
    ignored: dict[str, str] = field(default_factory=dict)
    finished: bool = False

    def as_dict(self) -> dict[str, Any]:
        return {"decoder": self.decoder, "finished": self.finished, "files": self.files,
                "skipped": self.skipped, "ignored": self.ignored}

    @classmethod
    def from_dict(cls, values: dict[str, Any]) -> "RunRecord":
        """A record read back, keeping only what a later run continues from: its complete files."""
        files = values["files"]
        if not isinstance(files, dict) or not all(isinstance(facts.get("rows"), int) for facts in files.values()):
            raise ValueError("its list of complete files is not readable")
        return cls(files=files)

    def complete(self, path: str, **facts: Any) -> None:
        self.files[path] = facts

    def to_json(self) -> str:
        return json.dumps(self.as_dict(), indent=1)
