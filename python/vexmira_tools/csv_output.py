"""The table as plain CSV, its header on the first line, appended one whole file at a time;
the run record in OUTPUT.json beside it, rewritten after each file, so that an interrupted
run leaves a table of complete files that --resume continues. The file table, OUTPUT's name
with .files before .csv, is written whole at the end of the run or its interruption."""

import csv
import io
import json
import math
import os
from pathlib import Path

from vexmira_tools.columns import COLUMNS, absent
from vexmira_tools.errors import OutputError
from vexmira_tools.file_table import FILE_TABLE_COLUMNS, file_table_path, ordered_rows
from vexmira_tools.run_record import RunRecord, flag_difference

# File names are bytes on Linux; Python keeps the ones that are not UTF-8 as lone surrogates,
# which this writes back as the bytes they came from.
ENCODING = {"encoding": "utf-8", "errors": "surrogateescape"}


def sidecar_of(output: Path) -> Path:
    return output.with_name(output.name + ".json")


def csv_text(rows) -> str:
    text = io.StringIO()
    csv.writer(text).writerows(rows)
    return text.getvalue()


def csv_value(value):
    """None and NaN as an empty field: what spreadsheets and pandas read as missing."""
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return value


def header(names) -> bytes:
    return csv_text([list(names)]).encode(**ENCODING)


def table_rows(table, names) -> bytes:
    """Each "no value" of frame_stats an empty field."""
    masks = absent(table)
    columns = [[None if gone else value for value, gone in zip(table[name].tolist(), masks[name].tolist())]
               if name in masks else table[name].tolist() for name in names]
    return csv_text([csv_value(value) for value in row] for row in zip(*columns)).encode(**ENCODING)


class CsvOutput:
    def __init__(self, path: Path, record: RunRecord, resume: bool, columns=COLUMNS):
        self.path, self.sidecar, self.record = path, sidecar_of(path), record
        self.header = header(columns)
        self.names = list(columns)
        if resume and path.exists():
            end = self.continued()
        else:
            path.write_bytes(self.header)
            end = len(self.header)
        self.file = path.open("r+b")
        # Rows past the last complete file are what an interrupted write left: they go.
        self.file.truncate(end)
        self.file.seek(end)
        self.save_record()

    def continued(self) -> int:
        """The size of the table up to its last complete file, as the record beside it says."""
        try:
            previous = RunRecord.from_dict(json.loads(self.sidecar.read_text()))
        except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
            raise OutputError(f"cannot resume {self.path}: {self.sidecar} does not say which files are complete "
                              f"({error})") from None
        if difference := flag_difference(previous.options, self.record.options):
            raise OutputError(f"cannot resume {self.path}: {difference}")
        with self.path.open("rb") as file:
            if file.readline() != self.header:
                raise OutputError(f"cannot resume {self.path}: its columns are not the ones this version writes")
        ends = [facts.get("end") for facts in previous.files.values()]
        end = ends[-1] if ends else len(self.header)
        if not isinstance(end, int) or end > self.path.stat().st_size:
            raise OutputError(f"cannot resume {self.path}: it is shorter than {self.sidecar} says")
        self.record.files.update(previous.files)
        self.record.file_rows.update(previous.file_rows)
        return end

    def write_file(self, path: str, table, time_base: str, file_row: dict) -> None:
        self.file.write(table_rows(table, self.names))
        self.file.flush()
        self.record.complete(path, rows=len(table["frame"]), time_base=time_base, end=self.file.tell())
        self.record.file_rows[path] = file_row
        self.save_record()

    def note_skipped(self, path: str, error: str, file_row: dict) -> None:
        self.record.skipped[path] = error
        self.record.file_rows[path] = file_row
        self.save_record()

    def finish(self, finished: bool, order: list[str]) -> None:
        """Rows stay in the order their files completed, which is the input order; so do the
        file table's."""
        self.file.close()
        self.record.finished = finished
        self.save_record()
        rows = [[csv_value(value) for value in row] for row in ordered_rows(self.record.file_rows, order)]
        file_table_path(self.path).write_bytes(header(FILE_TABLE_COLUMNS) + csv_text(rows).encode(**ENCODING))

    def save_record(self) -> None:
        """Replaced whole, so that a reader never finds half of it."""
        written = self.sidecar.with_name(self.sidecar.name + ".tmp")
        written.write_text(self.record.to_json() + "\n")
        os.replace(written, self.sidecar)
