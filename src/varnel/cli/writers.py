"""Row writers for the command line: JSON lines, CSV, and Parquet where pyarrow is installed."""

from __future__ import annotations

import csv
import json
from typing import IO, Any, Mapping, Sequence

PACKET_COLUMNS = (
    "success", "timestamp", "date_time", "frame_length", "src_mac", "dst_mac", "ip_proto", "ip_id",
    "wrong_fragment", "land", "src_port", "dst_port", "version", "src_ip", "dst_ip", "protocol_type",
    "tcp_flag", "tcp_seq", "tcp_ack", "urgent", "udp_length", "icmp_type", "icmp_code",
)
FEATURE_COLUMNS = (
    "timestamp", "src_port", "dst_port", "protocol_type", "src_bytes", "land", "wrong_fragment", "count",
)

# Arrow types matching the values the modules produce; keys absent from a packet stay null.
_ARROW_TYPES = {
    "success": "bool_", "timestamp": "float64", "date_time": "string", "frame_length": "uint32",
    "src_mac": "string", "dst_mac": "string", "ip_proto": "uint8", "ip_id": "int32", "wrong_fragment": "int32",
    "land": "int32", "src_port": "uint16", "dst_port": "uint16", "version": "string", "src_ip": "string",
    "dst_ip": "string", "protocol_type": "string", "tcp_flag": "uint8", "tcp_seq": "uint32", "tcp_ack": "uint32",
    "urgent": "int32", "udp_length": "uint16", "icmp_type": "uint8", "icmp_code": "uint8", "src_bytes": "uint64",
    "count": "uint32", "file": "string",
}

FORMATS = ("json", "csv", "parquet")


class MissingExtra(RuntimeError):
    """An optional dependency the chosen output needs is not installed."""


class JsonLinesWriter:
    def __init__(self, stream: IO[str], columns: Sequence[str], header: bool = True):
        self._stream = stream
        self._encode = json.JSONEncoder().encode  # what json.dumps does, without its per-call option checks

    def write(self, row: Mapping[str, Any]) -> None:
        # One write per row: an interrupt between two writes would leave a line without its end.
        self._stream.write(self._encode(row) + "\n")

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
        self._schema = pa.schema([(name, getattr(pa, _ARROW_TYPES[name])()) for name in columns])
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

