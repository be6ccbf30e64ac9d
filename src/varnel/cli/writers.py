"""Where record batches go: CSV and JSON lines text made natively from each batch, or Parquet
through pyarrow (the varnel[parquet] extra)."""

from __future__ import annotations

import csv
import io
import json
import os
import time
from typing import Any, BinaryIO

FORMATS = ("jsonl", "csv", "parquet")
FORMAT_ALIASES = {"json": "jsonl"}
EXTENSIONS = {".parquet": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".json": "jsonl"}

# Live output: text reaches the reader at most this long after it was captured; a Parquet row
# group closes at this many rows or after this many seconds.
LIVE_BATCH_SECONDS = 0.1
LIVE_ROW_GROUP_ROWS = 65536
LIVE_ROW_GROUP_SECONDS = 10.0
# A file's Parquet row groups: each batch read is one, so the command reads this many feature rows
# (about 6 MiB of columns) or packets (the default batch, about 9 MiB) at a time. Fewer, larger
# groups cost less to write and suit the readers of the file.
PARQUET_FEATURE_ROWS = 262144

# Values with no pattern to encode (identifiers, sequence numbers): delta encoding only adds work.
_PATTERNLESS = frozenset({"ip_id", "tcp_seq", "tcp_ack"})


class MissingExtra(RuntimeError):
    """An optional dependency the chosen output needs is not installed."""


def import_pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise MissingExtra("--format parquet needs pyarrow: pip install 'varnel[parquet]'") from None
    return pyarrow, pyarrow.parquet


def csv_cell(path: str) -> bytes:
    """A file name as a CSV cell: its bytes on disk, quoted as the csv module quotes."""
    raw = os.fsencode(path)
    if any(c in raw for c in b',"\r\n'):
        return b'"' + raw.replace(b'"', b'""') + b'"'
    return raw


def file_cell(output_format: str, path: str) -> bytes:
    """The file column's cell for rows of `path`."""
    if output_format == "csv":
        return csv_cell(path)
    # ensure_ascii keeps a name that is not UTF-8 readable: its bytes come back through os.fsencode.
    return json.dumps(path).encode("ascii")


def csv_header(columns) -> bytes:
    text = io.StringIO()
    csv.writer(text, lineterminator="\n").writerow(columns)
    return text.getvalue().encode()


class TextSink:
    """Whole batches of lines written as they come; `live` flushes each batch."""

    def __init__(self, out: BinaryIO, header: bytes | None, live: bool):
        self._out = out
        self._live = live
        if header:
            out.write(header)
            if live:
                out.flush()

    def write(self, data: bytes, rows: int) -> None:
        if data:
            self._out.write(data)
            if self._live:
                self._out.flush()

    def close(self) -> None:
        self._out.flush()


def parquet_encodings(pa: Any, schema: Any) -> tuple[list[str], dict[str, str], dict[str, str]]:
    """The columns stored with dictionary pages, the encoding of the others, and each column's
    compression. Text repeats (addresses, names, the second of date_time): dictionary pages, which
    pyarrow drops for plain ones when a column has too many distinct values. Time stamps: their
    bytes split by position, which snappy then compresses a third smaller than plain, and faster.
    Ports, lengths, counts: delta encoded, and not compressed: snappy finds nothing more in them.
    Flags and patternless integers: plain, left to snappy."""
    dictionary, encodings = [], {}
    for field in schema:
        if pa.types.is_dictionary(field.type) or pa.types.is_string(field.type):
            dictionary.append(field.name)
        elif pa.types.is_floating(field.type):
            encodings[field.name] = "BYTE_STREAM_SPLIT"
        elif pa.types.is_integer(field.type) and field.type.bit_width > 8 and field.name not in _PATTERNLESS:
            encodings[field.name] = "DELTA_BINARY_PACKED"
    compression = {field.name: "none" if encodings.get(field.name) == "DELTA_BINARY_PACKED" else "snappy"
                   for field in schema}
    return dictionary, encodings, compression


class ParquetSink:
    """Record batches appended in order; live, gathered into row groups of 64 k rows or 10 s."""

    def __init__(self, out: BinaryIO, schema: Any, live: bool):
        pa, pq = import_pyarrow()
        self._pa = pa
        self.schema = schema
        dictionary, encodings, compression = parquet_encodings(pa, schema)
        self._writer = pq.ParquetWriter(out, schema, use_dictionary=dictionary, column_encoding=encodings,
                                        compression=compression)
        self._live = live
        self._pending: list = []
        self._pending_rows = 0
        self._since = 0.0

    def write(self, batch: Any, rows: int) -> None:
        if not self._live:
            self._writer.write_batch(batch)
            return
        if rows:
            if not self._pending:
                self._since = time.monotonic()
            self._pending.append(batch)
            self._pending_rows += rows
        if self._pending and (self._pending_rows >= LIVE_ROW_GROUP_ROWS
                              or time.monotonic() - self._since >= LIVE_ROW_GROUP_SECONDS):
            self._flush()

    def _flush(self) -> None:
        table = self._pa.Table.from_batches(self._pending, schema=self.schema)
        self._writer.write_table(table, row_group_size=LIVE_ROW_GROUP_ROWS)
        self._pending.clear()
        self._pending_rows = 0

    def close(self) -> None:
        if self._pending:
            self._flush()
        self._writer.close()
