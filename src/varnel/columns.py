"""Capture files as Arrow record batches: packets, feature rows and connection records in columns,
not dictionaries.

    >>> import pyarrow
    >>> from varnel.columns import read_features_table
    >>> table = pyarrow.table(read_features_table("capture.pcap"))

The readers return a `CaptureColumns` at once and open nothing; it implements the Arrow PyCapsule
interface (`__arrow_c_stream__`, `__arrow_c_schema__`), so pyarrow, polars, DuckDB and pandas (through
pyarrow) take it directly, without one Python object per row. Each export is a fresh read of the
files, in order, in record batches of at most `batch_size` rows.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, NamedTuple

from varnel import _columns

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped,unused-ignore]

__all__ = ["CaptureColumns", "CaptureProblem", "read_connections_table", "read_features_table", "read_packets_table",
           "sniff_connections_table", "sniff_features_table", "sniff_packets_table"]

DEFAULT_BATCH_SIZE = 65536
# Packets with `dictionary`: each batch carries its own dictionaries, so larger batches repeat them
# less (a batch still ends early when one of them is full).
DEFAULT_DICTIONARY_BATCH_SIZE = 262144
DEFAULT_BATCH_TIMEOUT = 1.0


class CaptureProblem(NamedTuple):
    """A warning or error of a read: what kind (damaged, unsupported_link, bad_timestamp, not_found,
    permission, unknown_format, filter_unfit, device_failure, unreadable), the file or device, the
    reason alone, and whether it ended the read."""

    kind: str
    file: str
    reason: str
    fatal: bool


class CaptureColumns:
    """Packets, feature rows or connection records of capture files, as a source of Arrow record
    batches.

    `pyarrow.table(x)`, `pyarrow.RecordBatchReader.from_stream(x)`, `polars.DataFrame(x)` and
    `duckdb.sql("select ... from x")` each read the files afresh. The stream never raises for a
    damaged file: it ends that file after its good rows and goes on with the next, and `stats()`
    (or `warnings`) reports the damage afterwards. `batches()` reads the same stream from Python and
    issues each such report as a RuntimeWarning at the end.

    A live device (`device` set, `paths` empty) is read by one export only: a second
    `__arrow_c_stream__` raises RuntimeError.
    """

    __slots__ = ("_source", "device", "paths")

    def __init__(self, source: Any, paths: tuple[bytes, ...], device: bytes | None = None) -> None:
        self._source = source
        self.paths = paths
        self.device = device

    def __arrow_c_schema__(self) -> object:
        return self._source.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self._source.__arrow_c_stream__(requested_schema)

    def stats(self) -> dict[str, Any]:
        """What the latest read met: files, frames read and decoded (and why others were skipped),
        rows, batches, warnings (damage, each naming its file), error, and whether it finished."""
        result: dict[str, Any] = self._source.stats()
        return result

    def end_read(self) -> None:
        """Ends the latest read early, after the batch being filled, as if every input had ended:
        connection records first end every connection still open (a live capture stopped this way
        still gives each connection it saw)."""
        self._source.end_read()

    @property
    def warnings(self) -> list[str]:
        """The damage the latest read met, one text per damaged file."""
        result: list[str] = self._source.stats()["warnings"]
        return result

    @property
    def problems(self) -> list[CaptureProblem]:
        """What the latest read met, structured: each warning in the order met, then the error that
        ended it, if any; each names its file (or device) and gives the reason alone."""
        return [CaptureProblem(*problem) for problem in self._source.problems()]

    def batches(self) -> Iterator[pyarrow.RecordBatch]:
        """The record batches, read through pyarrow; the damage met is issued as RuntimeWarnings
        once the last batch has been read."""
        import pyarrow

        with pyarrow.RecordBatchReader.from_stream(self) as reader:
            # A live device ends a batch at its time-out even when nothing came: skipped here, after
            # control came back (and with it Ctrl+C).
            yield from (batch for batch in reader if batch.num_rows > 0)
        for text in self.warnings:
            warnings.warn(text, RuntimeWarning, stacklevel=2)

    def read_all(self) -> pyarrow.Table:
        """Every batch as one pyarrow Table."""
        import pyarrow

        return pyarrow.table(self)

    def __repr__(self) -> str:
        if self.device is not None:
            return f"<CaptureColumns of device {os.fsdecode(self.device)}>"
        names = ", ".join(os.fsdecode(path) for path in self.paths[:3])
        more = f", ... ({len(self.paths)} files)" if len(self.paths) > 3 else ""
        return f"<CaptureColumns of {names}{more}>"


def _jobs(jobs: int, files: int, continuous: bool = False) -> int:
    from varnel import _int_option

    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a positive int, not {jobs!r}")
    if jobs > 1 and continuous and files > 1:
        raise ValueError("continuous reads its files in order through one host table: it takes jobs=1")
    return _int_option("jobs", jobs, 1, 1024)


def _paths(sources: Any) -> tuple[tuple[bytes, ...], tuple[str, ...]]:
    """The files of `sources` as the native reader opens them ("-" is standard input, an open file
    is read through its descriptor), and the names its messages and file column give them."""
    from varnel import _file_inputs

    files, names = [], []
    for opened, name in _file_inputs(sources):
        if isinstance(opened, bytes):
            files.append(opened)
        elif opened == 0:
            files.append(b"/dev/stdin")
        else:
            files.append(f"/dev/fd/{opened.fileno()}".encode())
        names.append(name)
    return tuple(files), tuple(names)


def _file_options(files: tuple[bytes, ...], names: tuple[str, ...], file_column: bool | None,
                  skip_unreadable: bool) -> dict[str, Any]:
    """The file column (with several files unless asked otherwise) and the names of the files."""
    wanted = len(files) > 1 if file_column is None else bool(file_column)
    return {"names": names, "file_column": wanted, "keep_going": bool(skip_unreadable)}


def _batch_size(batch_size: int) -> int:
    from varnel import _int_option

    return _int_option("batch_size", batch_size, 1, _columns.MAX_BATCH_SIZE)


def _packet_batch_size(batch_size: int | None, dictionary: bool) -> int:
    if batch_size is None:
        return DEFAULT_DICTIONARY_BATCH_SIZE if dictionary else DEFAULT_BATCH_SIZE
    return _batch_size(batch_size)


def read_packets_table(sources: Any, *, filter: str | None = None, skip_vlan: bool = False,
                       batch_size: int | None = None, timestamp_column: bool = False,
                       jobs: int = 1, file_column: bool | None = None,
                       skip_unreadable: bool = False, dictionary: bool = False) -> CaptureColumns:
    """The packets of one or several capture files, in columns: the packet dictionaries' keys in
    their order, the protocol-group columns null where a packet has no such key. `sources` and
    `filter`, `skip_vlan` as for varnel.read_packets. With `timestamp_column`, a `capture_time`
    column of type timestamp[us, UTC] follows. With several files (or `file_column`), a `file`
    column comes first. With `jobs` above 1, several files are read on that many threads at once,
    their batches still in file order. With `skip_unreadable`, a file that cannot be opened is
    reported in `problems` and the read goes on with the next.

    With `dictionary`, the columns whose values repeat (date_time, src_mac, dst_mac, src_ip,
    dst_ip) are dictionary<int16, utf8>: the same values, each text held once a batch in that
    batch's own dictionaries. Where hosts recur that takes far less memory (about a third of the
    bytes per row), at some cost in reading speed; where most values are new (a scan) it saves
    less. A batch then also ends when
    one of its dictionaries holds 32767 values. Batches hold at most `batch_size` rows: 65536 by
    default, 262144 with `dictionary`, whose dictionaries each batch repeats."""
    from varnel import _filter_text

    files, names = _paths(sources)
    options = {"filter": _filter_text(filter), "skip_vlan": bool(skip_vlan),
               "batch_size": _packet_batch_size(batch_size, dictionary), "dictionary": bool(dictionary),
               "timestamp_column": bool(timestamp_column), "jobs": _jobs(jobs, len(files)),
               **_file_options(files, names, file_column, skip_unreadable)}
    return CaptureColumns(_columns.ColumnSource("packets", files, **options), files)


def read_features_table(sources: Any, *, filter: str | None = None, skip_vlan: bool = False,
                        flow_key: bool = False, batch_size: int = DEFAULT_BATCH_SIZE,
                        continuous: bool = False, jobs: int = 1, timestamp_column: bool = False,
                        file_column: bool | None = None, skip_unreadable: bool = False) -> CaptureColumns:
    """The feature rows of one or several capture files, in columns: the eight keys of the rows in
    their order; with `flow_key`, src_ip, dst_ip and ip_proto follow. Counts start afresh with
    each file, as each process_pcap call does, unless `continuous` is true: then the files, in the
    order given, are one capture and the counts run on across them. `timestamp_column`,
    `file_column`, `jobs` (not with `continuous`, whose files share one host table) and
    `skip_unreadable` as for read_packets_table."""
    from varnel import _filter_text

    files, names = _paths(sources)
    options = {"filter": _filter_text(filter), "skip_vlan": bool(skip_vlan), "batch_size": _batch_size(batch_size),
               "flow_key": bool(flow_key), "continuous": bool(continuous), "timestamp_column": bool(timestamp_column),
               "jobs": _jobs(jobs, len(files), continuous), **_file_options(files, names, file_column, skip_unreadable)}
    return CaptureColumns(_columns.ColumnSource("features", files, **options), files)


def _live_arguments(device: str | bytes | None, filter: str | None, snaplen: int, promisc: bool, timeout: float,
                    buffer_size: int, immediate: bool, batch_timeout: float,
                    limit: int | None) -> tuple[bytes, dict[str, Any]]:
    """The device and the native source's live options, checked at the call."""
    from varnel import _device_input, _live_options

    live = _live_options(filter, snaplen, promisc, timeout, buffer_size, immediate)
    from varnel import _seconds

    if not isinstance(batch_timeout, bool) and isinstance(batch_timeout, (int, float)) and batch_timeout < 0.001:
        raise ValueError(f"batch_timeout must be at least 0.001 s, not {batch_timeout!r}")
    batch_timeout_ms = round(_seconds("batch_timeout", batch_timeout, 0.001, 86400.0) * 1000)
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int) or not 1 <= limit < 2**63):
        raise ValueError(f"limit must be a positive int or None, not {limit!r}")
    ((name, _),) = _device_input(device)
    if not name:
        raise ValueError("device name is empty")
    return name, {"live": True, "batch_timeout_ms": batch_timeout_ms, "limit": limit or 0, **live}


def sniff_packets_table(device: str | bytes | None = None, *, filter: str | None = None, snaplen: int = 65535,
                        promisc: bool = True, timeout: float = 1.0, buffer_size: int = 0, immediate: bool = True,
                        skip_vlan: bool = False, batch_size: int | None = None,
                        batch_timeout: float = DEFAULT_BATCH_TIMEOUT, limit: int | None = None,
                        timestamp_column: bool = False, dictionary: bool = False) -> CaptureColumns:
    """The packets of a live device, in the columns of read_packets_table (`dictionary` and
    `batch_size` as there); the device and its options as for varnel.sniff_packets. The device
    opens at the export, which may happen once. A batch ends when full or after `batch_timeout`
    seconds (even empty); the stream ends after `limit` rows, or never."""
    name, live = _live_arguments(device, filter, snaplen, promisc, timeout, buffer_size, immediate, batch_timeout,
                                 limit)
    source = _columns.ColumnSource("packets", (name,), skip_vlan=bool(skip_vlan),
                                   batch_size=_packet_batch_size(batch_size, dictionary),
                                   dictionary=bool(dictionary), timestamp_column=bool(timestamp_column), **live)
    return CaptureColumns(source, (), name)


def sniff_features_table(device: str | bytes | None = None, *, filter: str | None = None, snaplen: int = 65535,
                         promisc: bool = True, timeout: float = 1.0, buffer_size: int = 0, immediate: bool = True,
                         skip_vlan: bool = False, flow_key: bool = False, batch_size: int = DEFAULT_BATCH_SIZE,
                         batch_timeout: float = DEFAULT_BATCH_TIMEOUT, limit: int | None = None) -> CaptureColumns:
    """The feature rows of a live device, in the columns of read_features_table, with a host table
    of the stream's own; options, batches and the end as for sniff_packets_table."""
    name, live = _live_arguments(device, filter, snaplen, promisc, timeout, buffer_size, immediate, batch_timeout,
                                 limit)
    source = _columns.ColumnSource("features", (name,), skip_vlan=bool(skip_vlan), batch_size=_batch_size(batch_size),
                                   flow_key=bool(flow_key), **live)
    return CaptureColumns(source, (), name)


def _connection_arguments(options: dict[str, Any]) -> tuple:
    from varnel._connection_options import connection_options

    return connection_options(**options)


def read_connections_table(sources: Any, *, filter: str | None = None, skip_vlan: bool = False,
                           continuous: bool = False, batch_size: int = DEFAULT_BATCH_SIZE, jobs: int = 1,
                           file_column: bool | None = None, skip_unreadable: bool = False,
                           **connection_options: Any) -> CaptureColumns:
    """The connection records of one or several capture files, in columns: the 28 KDD columns, then
    start_time, end_time, src_ip, src_port, dst_ip, dst_port, ip_proto, src_packets, dst_packets;
    protocol_type, service and flag dictionary-encoded. The connection options (tcp_timeout,
    udp_timeout, icmp_timeout, close_linger, time_window, host_window, max_connections, services,
    kdd_compat) and `continuous` as for varnel.read_connections; `file_column` (the file a
    connection's first packet came from), `jobs` (not with `continuous`) and `skip_unreadable` as for
    read_packets_table. stats() adds the connection table's counts."""
    from varnel import _filter_text

    files, names = _paths(sources)
    options = {"filter": _filter_text(filter), "skip_vlan": bool(skip_vlan), "batch_size": _batch_size(batch_size),
               "continuous": bool(continuous), "jobs": _jobs(jobs, len(files), continuous),
               "connections": _connection_arguments(connection_options),
               **_file_options(files, names, file_column, skip_unreadable)}
    return CaptureColumns(_columns.ColumnSource("connections", files, **options), files)


def sniff_connections_table(device: str | bytes | None = None, *, filter: str | None = None, snaplen: int = 65535,
                            promisc: bool = True, timeout: float = 1.0, buffer_size: int = 0, immediate: bool = True,
                            skip_vlan: bool = False, batch_size: int = DEFAULT_BATCH_SIZE,
                            batch_timeout: float = DEFAULT_BATCH_TIMEOUT, limit: int | None = None,
                            **connection_options: Any) -> CaptureColumns:
    """The connection records of a live device, in the columns of read_connections_table, as
    connections end (by the clock too while no frame comes); the device, batches and the end as for
    sniff_packets_table (`limit` counts records), the connection options as for
    varnel.read_connections. end_read() stops the capture and ends every open connection."""
    name, live = _live_arguments(device, filter, snaplen, promisc, timeout, buffer_size, immediate, batch_timeout,
                                 limit)
    source = _columns.ColumnSource("connections", (name,), skip_vlan=bool(skip_vlan),
                                   batch_size=_batch_size(batch_size),
                                   connections=_connection_arguments(connection_options), **live)
    return CaptureColumns(source, (), name)


# The earlier names of the live readers.
read_packets_live = sniff_packets_table
read_features_live = sniff_features_table
