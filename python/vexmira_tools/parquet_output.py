"""The table as one Parquet file that pandas and pyarrow read, with one row group per video
file and the run record in its schema metadata. While the run goes on, each video file's rows
are a Parquet file of their own in OUTPUT.parts/, put there whole once the file is complete,
so that a run that is killed keeps them; the end of the run, or its interruption, gathers
them into OUTPUT in the input order and removes the folder. --resume continues from both.
The file table, OUTPUT's name with .files before .parquet, is written whole at the end of the
run or its interruption; a part keeps its file's row of it in its metadata."""

import hashlib
import json
import os
import shutil
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from vexmira_tools.columns import COLUMNS, absent, path_text
from vexmira_tools.errors import OutputError
from vexmira_tools.file_table import FILE_TABLE_COLUMNS, file_table_path, ordered_rows
from vexmira_tools.run_record import RunRecord, flag_difference

FILE_KEY = b"vexmira.file"
TIME_BASE_KEY = b"vexmira.time_base"
FILE_ROW_KEY = b"vexmira.file_row"
OPTIONS_KEY = b"vexmira.options"


def parts_of(output: Path) -> Path:
    return output.with_name(output.name + ".parts")


def arrow_schema(columns) -> pa.Schema:
    return pa.schema([(name, pa.string() if kind == "str" else pa.from_numpy_dtype(kind))
                      for name, kind in columns.items()])


def arrow_table(table, schema: pa.Schema) -> pa.Table:
    """One file's rows, each "no value" of frame_stats a null, which pandas reads as missing."""
    masks = absent(table)
    return pa.table({field.name: pa.array(table[field.name], type=field.type, mask=masks.get(field.name))
                     for field in schema}, schema=schema)


def schema_metadata(record: RunRecord) -> dict[bytes, bytes]:
    return {f"vexmira.{key}".encode(): json.dumps(value).encode() for key, value in record.as_dict().items()}


def record_in(path: Path) -> RunRecord:
    metadata = pq.read_schema(path).metadata or {}
    return RunRecord.from_dict({key.decode().removeprefix("vexmira."): json.loads(value)
                                for key, value in metadata.items() if key.startswith(b"vexmira.")})


def write_whole(table: pa.Table, path: Path, metadata: dict[bytes, bytes]) -> None:
    """One row group, replaced whole."""
    written = path.with_name(path.name + ".tmp")
    pq.write_table(table.replace_schema_metadata(metadata), written, row_group_size=max(table.num_rows, 1))
    os.replace(written, path)


class ParquetOutput:
    def __init__(self, path: Path, record: RunRecord, resume: bool, columns=COLUMNS):
        self.path, self.parts, self.record = path, parts_of(path), record
        self.schema = arrow_schema(columns)
        if not resume:
            path.unlink(missing_ok=True)
            shutil.rmtree(self.parts, ignore_errors=True)
        if path.exists():
            self.continue_from_output()
        self.parts.mkdir(exist_ok=True)
        self.part_of = {}
        for part in sorted(self.parts.glob("*.parquet")):
            file, time_base, file_row = self.read_part_name(part)
            self.part_of[file] = part
            self.record.complete(file, rows=pq.read_metadata(part).num_rows, time_base=time_base)
            self.record.file_rows[file] = file_row

    def continue_from_output(self) -> None:
        """The flags it was written with are looked at first: other flags are what makes its
        columns differ from this run's, and the more useful thing to say."""
        try:
            schema = pq.read_schema(self.path)
            previous, unreadable = record_in(self.path), None
        except (OSError, pa.ArrowException) as error:
            raise OutputError(f"cannot resume {self.path}: it is not a table this tool wrote ({error})") from None
        except (ValueError, KeyError, TypeError) as error:
            previous, unreadable = None, error
        if previous is not None:
            self.check_flags(previous.options)
        if not schema.remove_metadata().equals(self.schema):
            raise OutputError(f"cannot resume {self.path}: its columns are not the ones this version writes")
        if previous is None:
            raise OutputError(f"cannot resume {self.path}: it is not a table this tool wrote ({unreadable})")
        self.record.files.update(previous.files)
        self.record.file_rows.update(previous.file_rows)

    def check_flags(self, previous: dict) -> None:
        if difference := flag_difference(previous, self.record.options):
            raise OutputError(f"cannot resume {self.path}: {difference}")

    def read_part_name(self, part: Path) -> tuple[str, str, dict]:
        """The file a part holds the rows of, the unit of their pts and the file's row of the
        file table."""
        try:
            metadata = pq.read_schema(part).metadata
            options = json.loads(metadata[OPTIONS_KEY])
            named = (metadata[FILE_KEY].decode(errors="surrogateescape"), metadata[TIME_BASE_KEY].decode(),
                     json.loads(metadata[FILE_ROW_KEY]))
        except (OSError, KeyError, TypeError, ValueError, pa.ArrowException) as error:
            raise OutputError(f"cannot resume {self.path}: {part} is not a part this tool wrote ({error})") from None
        self.check_flags(options)
        return named

    def write_file(self, path: str, table, time_base: str, file_row: dict) -> None:
        name = hashlib.sha256(path.encode(errors="surrogateescape")).hexdigest()[:32]
        part = self.parts / f"{name}.parquet"
        write_whole(arrow_table(table, self.schema), part,
                    {FILE_KEY: path.encode(errors="surrogateescape"), TIME_BASE_KEY: time_base.encode(),
                     FILE_ROW_KEY: json.dumps(file_row).encode(), OPTIONS_KEY: json.dumps(self.record.options).encode()})
        self.part_of[path] = part
        self.record.complete(path, rows=len(table["frame"]), time_base=time_base)
        self.record.file_rows[path] = file_row

    def note_skipped(self, path: str, error: str, file_row: dict) -> None:
        self.record.skipped[path] = error
        self.record.file_rows[path] = file_row

    def finish(self, finished: bool, order: list[str]) -> None:
        """OUTPUT made anew from what it held and the parts, files in the order given (then any
        others it held), each in a row group of its own."""
        self.record.finished = finished
        held = self.row_groups_held()
        ranked = {path: rank for rank, path in enumerate(order)}
        files = sorted(self.record.files, key=lambda path: ranked.get(path, len(ranked)))
        self.record.files = {path: self.record.files[path] for path in files}
        written = self.path.with_name(self.path.name + ".tmp")
        with pq.ParquetWriter(written, self.schema.with_metadata(schema_metadata(self.record))) as writer:
            for path in files:
                rows = self.rows_of(path, held)
                writer.write_table(rows, row_group_size=max(rows.num_rows, 1))
        os.replace(written, self.path)
        shutil.rmtree(self.parts)
        columns = list(zip(*ordered_rows(self.record.file_rows, order))) or [()] * len(FILE_TABLE_COLUMNS)
        file_schema = arrow_schema(FILE_TABLE_COLUMNS)
        write_whole(pa.table([pa.array(cells, type=field.type) for cells, field in zip(columns, file_schema)],
                             schema=file_schema), file_table_path(self.path), {})

    def row_groups_held(self) -> dict[str, list[int]]:
        """Which row groups of the present OUTPUT hold each file's rows, by its `file` text."""
        if not self.path.exists():
            return {}
        held: dict[str, list[int]] = {}
        source = pq.ParquetFile(self.path)
        for group in range(source.num_row_groups):
            for file in set(source.read_row_group(group, columns=["file"]).column("file").to_pylist()):
                held.setdefault(file, []).append(group)
        return held

    def rows_of(self, path: str, held: dict[str, list[int]]) -> pa.Table:
        if path in self.part_of:
            return pq.read_table(self.part_of[path]).replace_schema_metadata(None)
        named = path_text(path)
        if named not in held:
            return self.schema.empty_table()
        source = pq.ParquetFile(self.path)
        rows = pa.concat_tables([source.read_row_group(group) for group in held[named]])
        return rows.filter(pc.equal(rows["file"], named)).replace_schema_metadata(None)
