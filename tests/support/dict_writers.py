"""The dictionary-based row writers the command used before it wrote through the columns: the
reference its native text output is compared with, byte for byte."""

from __future__ import annotations

import csv
import json
from typing import IO, Any, Mapping, Sequence

from varnel import schema

PACKET_COLUMNS = schema.packet_columns()
FEATURE_COLUMNS = schema.feature_columns()
# Columns the command adds to the modules' fields: with several files, the file a row comes from.
_COMMAND_COLUMNS = {"file": schema.Field("file", "string")}


def column_field(name: str) -> schema.Field:
    """The field behind an output column, for its Arrow type and nullability."""
    return _COMMAND_COLUMNS.get(name) or schema.BY_NAME[name]


FORMATS = ("json", "csv", "parquet")


class MissingExtra(RuntimeError):
    """An optional dependency the chosen output needs is not installed."""


class JsonLinesWriter:
    def __init__(self, stream: IO[str], columns: Sequence[str], header: bool = True):
        self._stream = stream
        self._columns = tuple(columns)
        self._encode = json.JSONEncoder().encode  # what json.dumps does, without its per-call option checks

    def write(self, row: Mapping[str, Any]) -> None:
        # Every column in every line, null where the row has no such key: a reader that infers
        # types from the first lines still finds each column.
        assert row.keys() <= set(self._columns), f"keys outside the columns: {row.keys() - set(self._columns)}"
        line = self._encode({name: row.get(name) for name in self._columns})
        # One write per row: an interrupt between two writes would leave a line without its end.
        self._stream.write(line + "\n")

    def flush(self) -> None:
        self._stream.flush()

    close = flush


class CsvWriter:
    def __init__(self, stream: IO[str], columns: Sequence[str], header: bool = True):
        self._stream = stream
        self._columns = tuple(columns)
        # csv.writer over a list of cells: a third faster than DictWriter, which checks every row's keys.
        self._writer = csv.writer(stream, lineterminator="\n")
        if header:
            self._writer.writerow(self._columns)

    def write(self, row: Mapping[str, Any]) -> None:
        self._writer.writerow([row.get(name, "") for name in self._columns])

    def flush(self) -> None:
        self._stream.flush()

    close = flush


class ParquetWriter:
    """Gathers rows column by column into record batches, so memory stays flat however long the input is."""

    BATCH_ROWS = 65536

    def __init__(self, target: Any, columns: Sequence[str], header: bool = True):
        pa, pq = _import_pyarrow()
        self._pa = pa
        self._schema = pa.schema([_arrow_field(pa, name) for name in columns])
        self._writer = pq.ParquetWriter(target, self._schema)
        self._pending: dict[str, list[Any]] = {name: [] for name in columns}
        self._pending_rows = 0

    def write(self, row: Mapping[str, Any]) -> None:
        for name, values in self._pending.items():
            values.append(row.get(name))
        self._pending_rows += 1
        if self._pending_rows >= self.BATCH_ROWS:
            self._flush()

    def flush(self) -> None:
        """Rows stay gathered: a Parquet row group per row would make the file useless to read."""

    def write_batch(self, batch: Any) -> None:
        self._flush()
        self._writer.write_batch(batch)

    def _flush(self) -> None:
        if not self._pending_rows:
            return
        arrays = [self._pa.array(self._pending[field.name], type=field.type) for field in self._schema]
        self._writer.write_batch(self._pa.RecordBatch.from_arrays(arrays, schema=self._schema))
        for values in self._pending.values():
            values.clear()
        self._pending_rows = 0

    def close(self) -> None:
        self._flush()
        self._writer.close()


def _arrow_field(pa, name: str):
    # Keys a packet lacks (another protocol's group) stay null: only those columns are nullable.
    field = column_field(name)
    return pa.field(name, pa.type_for_alias(field.arrow_type), nullable=field.nullable)


def _import_pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise MissingExtra("--format parquet needs pyarrow: pip install 'varnel[parquet]'") from None
    return pyarrow, pyarrow.parquet


def check_format_available(output_format: str) -> None:
    if output_format == "parquet":
        _import_pyarrow()


def open_writer(output_format: str, columns: Sequence[str], text: IO[str], binary: Any, header: bool = True):
    """A writer for `output_format`: the text formats write to `text`, parquet to `binary`."""
    if output_format == "parquet":
        return ParquetWriter(binary, columns)
    writer_class = CsvWriter if output_format == "csv" else JsonLinesWriter
    return writer_class(text, columns, header)

