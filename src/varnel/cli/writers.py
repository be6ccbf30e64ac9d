"""Where record batches go: CSV and JSON lines text made natively from each batch, or Parquet
through pyarrow (the varnel[parquet] extra)."""

from __future__ import annotations

import csv
import io
import json
import os
import time
from typing import Any, BinaryIO

from .. import schema

PACKET_COLUMNS = schema.packet_columns()
FEATURE_COLUMNS = schema.feature_columns()
FLOW_KEY_COLUMNS = ("src_ip", "dst_ip", "ip_proto")

FORMATS = ("jsonl", "csv", "parquet")
FORMAT_ALIASES = {"json": "jsonl"}
EXTENSIONS = {".parquet": "parquet", ".csv": "csv", ".jsonl": "jsonl", ".json": "jsonl"}

# Live output: text reaches the reader at most this long after it was captured; a Parquet row
# group closes at this many rows or after this many seconds.
LIVE_BATCH_SECONDS = 0.1
LIVE_ROW_GROUP_ROWS = 65536
LIVE_ROW_GROUP_SECONDS = 10.0


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


def file_prefix(output_format: str, path: str) -> bytes:
    """What each row of `path` starts with when rows name their file."""
    if output_format == "csv":
        return csv_cell(path)
    # ensure_ascii keeps a name that is not UTF-8 readable: its bytes come back through os.fsencode.
    return b'"file": ' + json.dumps(path).encode("ascii")


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


class ParquetSink:
    """Record batches appended in order; live, gathered into row groups of 64 k rows or 10 s."""

    def __init__(self, out: BinaryIO, schema: Any, live: bool):
        pa, pq = import_pyarrow()
        self._pa = pa
        self.schema = schema
        # Dictionary pages only where the values repeat (the dictionary columns, the file name): on
        # counters and addresses they cost half the writing time and make the file larger.
        repeating = [field.name for field in schema
                     if pa.types.is_dictionary(field.type) or field.name in ("file", "date_time")]
        self._writer = pq.ParquetWriter(out, schema, use_dictionary=repeating)
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
