"""Many capture files, or byte ranges of one large file, as a Dask DataFrame of feature rows or packets.

    >>> import varnel.dask
    >>> frame = varnel.dask.read_features("captures/*.pcap", continuous=True)
    >>> frame.groupby("protocol_type").src_bytes.sum().compute()

One partition per file, or per byte range of a classic pcap file larger than `split_bytes`. Without a
cluster the graph runs on Dask's local scheduler; with a `dask.distributed.Client` active it runs on
that cluster, whose workers open the paths they are given (a file system they all see).

Counts stay exact across partitions: each partition is read on its own, a small summary per
destination comes back, and a pass in file order carries each destination's count into the next
partition's leading run of packets. See `read_features` for when that carry is exact and what
happens when it might not be.
"""

from __future__ import annotations

import errno
import glob
import os
import struct
import threading
import warnings
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from varnel import schema

if TYPE_CHECKING:
    import dask.dataframe as dd  # type: ignore[import-untyped,unused-ignore]
    import pandas  # type: ignore[import-untyped,unused-ignore]
    import pyarrow  # type: ignore[import-untyped,unused-ignore]

__all__ = ["CaptureReadError", "Piece", "compute", "read_features", "read_packets", "split_points", "to_parquet"]

# The host table's rules (src/core/host_table.hpp), which the carry between partitions repeats.
COUNT_WINDOW = 2.0
COUNT_MODULUS = 1 << 32
EXPIRY_THRESHOLD = 65536
# Below this many seconds under the newest time stamp no expired host could still be in its window
# (the table expires hosts 62 s old; a second of margin against rounding).
SAFE_LATENESS = 59.0

_PCAP_HEADER = 24
_RECORD_HEADER = 16
_MAGICS = {b"\xd4\xc3\xb2\xa1": "<", b"\x4d\x3c\xb2\xa1": "<", b"\xa1\xb2\xc3\xd4": ">", b"\xa1\xb2\x3c\x4d": ">"}
# libpcap refuses a record longer than this (its largest snapshot length) and ends the file there; the
# walk stops at such a record too and leaves the rest to one range, whose reader then ends alike.
_MAX_RECORD = 262144
_PIPE_CHUNK = 1 << 20
_WALK_BLOCK = 4 << 20


class CaptureReadError(RuntimeError):
    """A partition's capture could not be read; the message names the file (and byte range)."""


@dataclass(frozen=True, slots=True)
class Piece:
    """What one partition reads: a whole file, or the records in [start, stop) of a classic pcap
    file, read after that file's own 24-byte header as a capture of their own."""

    path: str
    start: int | None = None
    stop: int | None = None

    def __str__(self) -> str:
        return self.path if self.start is None else f"{self.path} [bytes {self.start}..{self.stop})"


# ---- Splitting a classic pcap file at record boundaries.

def split_points(path: str, split_bytes: int) -> list[Piece]:
    """`path` as pieces of about `split_bytes` each, cut at record boundaries found by walking the
    record headers in order from the file header. A pcapng file, or one smaller than
    `split_bytes`, stays whole; a walk that meets a damaged length stops there and leaves the rest
    of the file to the last piece, whose reader reports the damage as a serial read would."""
    size = os.path.getsize(path)
    whole = [Piece(path)]
    if size <= split_bytes:
        return whole
    with open(path, "rb") as stream:
        header = stream.read(_PCAP_HEADER)
        order = _MAGICS.get(header[:4])
        if order is None or len(header) < _PCAP_HEADER:
            return whole
        captured_at = struct.Struct(order + "I").unpack_from  # a record header's third field
        cuts = []
        offset = chunk_start = base = _PCAP_HEADER
        block = b""  # file bytes from `base`, read in large blocks: one system call per block, not per record
        while True:
            if offset + _RECORD_HEADER > base + len(block):
                stream.seek(offset)
                block, base = stream.read(_WALK_BLOCK), offset
                if len(block) < _RECORD_HEADER:
                    break
            captured = captured_at(block, offset - base + 8)[0]
            end = offset + _RECORD_HEADER + captured
            if captured > _MAX_RECORD or end > size:
                break
            if offset - chunk_start >= split_bytes:
                cuts.append(offset)
                chunk_start = offset
            offset = end
    bounds = [_PCAP_HEADER, *cuts, size]
    return [Piece(path, bounds[i], bounds[i + 1]) for i in range(len(bounds) - 1)]


def _feed(descriptor: int, path: str, start: int, stop: int, failure: list[BaseException]) -> None:
    """Writes the file header and [start, stop) of `path` into a pipe, a megabyte at a time."""
    try:
        with open(path, "rb", buffering=0) as source:
            _write_all(descriptor, source.read(_PCAP_HEADER))
            offset = start
            while offset < stop:
                block = os.pread(source.fileno(), min(_PIPE_CHUNK, stop - offset), offset)
                if not block:
                    break
                _write_all(descriptor, block)
                offset += len(block)
    except BrokenPipeError:
        pass  # the reader stopped early; its own error says why
    except BaseException as error:  # handed to the reading thread
        failure.append(error)
    finally:
        os.close(descriptor)


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


@contextmanager
def _opened(piece: Piece) -> Iterator[str]:
    """A path the native reader opens for `piece`: the file itself, or a pipe fed from a thread with
    the file header and the byte range (memory stays bounded by the pipe and one block)."""
    if piece.start is None:
        yield piece.path
        return
    assert piece.stop is not None
    try:
        with open(piece.path, "rb"):  # a missing or unreadable file fails here, under its own name
            pass
    except OSError as error:
        raise CaptureReadError(f"{piece}: {error.strerror}") from None
    read_end, write_end = os.pipe()
    failure: list[BaseException] = []
    feeder = threading.Thread(target=_feed, args=(write_end, piece.path, piece.start, piece.stop, failure),
                              name="varnel-range-feeder", daemon=True)
    try:
        feeder.start()
        yield f"/proc/self/fd/{read_end}"
    finally:
        os.close(read_end)  # once the reader's own descriptor is closed too, a feeder still writing gets EPIPE
        feeder.join(timeout=30)  # bounded: a reader left open by a failure must not hang the partition
    if failure:
        raise CaptureReadError(f"{piece}: {failure[0]}") from failure[0]


# ---- Reading one partition.

@dataclass(frozen=True, slots=True)
class _Part:
    pieces: tuple[Piece, ...]  # several only for a serial chain of whole files
    rows: str  # "features" or "packets"
    flow_key: bool
    decode_vlan: bool
    continuous: bool  # several pieces: one host table across them

    def __str__(self) -> str:
        return ", ".join(str(piece) for piece in self.pieces)


def _read_table(part: _Part, hidden: bool) -> pyarrow.Table:
    import pyarrow

    from varnel import columns

    with _stack(part.pieces) as paths:
        if part.rows == "packets":
            source = columns.read_packets_table(paths, skip_vlan=not part.decode_vlan)
        else:
            source = columns.read_features_table(paths, flow_key=part.flow_key or hidden,
                                                 skip_vlan=not part.decode_vlan, continuous=part.continuous)
        try:
            table = pyarrow.table(source)
        except Exception as error:
            raise CaptureReadError(f"{part}: {_renamed(str(error), paths, part.pieces)}") from None
        for text in source.warnings:
            warnings.warn(_renamed(text, paths, part.pieces), RuntimeWarning, stacklevel=2)
    return table


@contextmanager
def _stack(pieces: Sequence[Piece]) -> Iterator[list[str]]:
    if len(pieces) == 1:
        with _opened(pieces[0]) as path:
            yield [path]
        return
    if any(piece.start is not None for piece in pieces):
        raise ValueError("a serial chain reads whole files only")
    yield [piece.path for piece in pieces]


def _renamed(text: str, paths: Sequence[str], pieces: Sequence[Piece]) -> str:
    for path, piece in zip(paths, pieces):
        if path != piece.path:
            text = text.replace(path, str(piece))
    return text


def _arrow_schema(rows: str, flow_key: bool) -> pyarrow.Schema:
    import pyarrow

    names = schema.packet_columns() if rows == "packets" else schema.feature_columns(flow_key)
    return pyarrow.schema([pyarrow.field(name, pyarrow.type_for_alias(schema.BY_NAME[name].arrow_type),
                                         rows == "packets" and schema.BY_NAME[name].nullable)
                           for name in names])


def _to_pandas(table: pyarrow.Table, rows: str, flow_key: bool) -> pandas.DataFrame:
    import pandas

    # Dictionary-encoded text comes out as plain strings, the types of the field table.
    wanted = _arrow_schema(rows, flow_key)
    table = table.select(wanted.names).cast(wanted)
    return table.to_pandas(types_mapper=pandas.ArrowDtype)


def _meta(rows: str, flow_key: bool) -> pandas.DataFrame:
    return _to_pandas(_arrow_schema(rows, flow_key).empty_table(), rows, flow_key)


# ---- Counts across partitions.

@dataclass(frozen=True, slots=True)
class _Summary:
    """Per destination of one partition (in order of first appearance): the first and last time
    stamps, whether the leading run covers the whole partition, and the count at the end. Plus what
    the exactness check needs."""

    destinations: pyarrow.Array
    first: Any  # numpy float64
    last: Any
    whole: Any  # numpy bool
    end_count: Any  # numpy uint32
    lowest: float
    highest: float
    late_inside: bool  # a time stamp over SAFE_LATENESS below the partition's own newest so far


def _runs(table: pyarrow.Table) -> tuple[Any, Any, Any, pyarrow.Array]:
    """(destination code per row, restart flag per row, leading-run flag per row, destinations)."""
    import numpy
    import pandas
    import pyarrow.compute as pc

    encoded = pc.dictionary_encode(table.column("dst_ip")).combine_chunks()
    codes = encoded.indices.to_numpy(zero_copy_only=False)
    counts = table.column("count").to_numpy()
    by_destination = pandas.Series(counts).groupby(codes, sort=False)
    previous = by_destination.shift(1).to_numpy()  # NaN on a destination's first row
    # A run restarts where the local count falls back to 1; after 0 it is the wrap of 2^32.
    restart = (counts == 1) & ~numpy.isnan(previous) & (previous != 0)
    started = pandas.Series(restart).groupby(codes, sort=False).cumsum().to_numpy()
    return codes, restart, started == 0, encoded.dictionary


def _summarize(part: _Part) -> _Summary:
    import numpy
    import pandas

    table = _read_table(part, hidden=True)
    codes, restart, _, destinations = _runs(table)
    stamps = table.column("timestamp").to_numpy()
    counts = table.column("count").to_numpy()
    frame = pandas.DataFrame({"code": codes, "ts": stamps, "count": counts, "restart": restart})
    grouped = frame.groupby("code", sort=True)
    first = grouped["ts"].first().to_numpy()
    last = grouped["ts"].last().to_numpy()
    whole = ~grouped["restart"].any().to_numpy()
    end_count = grouped["count"].last().to_numpy().astype(numpy.uint32)
    late_inside = bool(len(stamps) and (numpy.maximum.accumulate(stamps) - stamps > SAFE_LATENESS).any())
    return _Summary(destinations, first, last, whole, end_count,
                    float(stamps.min()) if len(stamps) else float("inf"),
                    float(stamps.max()) if len(stamps) else float("-inf"), late_inside)


def _carries(summaries: Sequence[_Summary]) -> list[dict[str, int]]:
    """For each partition of one chain, in order, what to add to each destination's leading run."""
    state: dict[str, tuple[float, int]] = {}
    result = []
    for summary in summaries:
        carry: dict[str, int] = {}
        for name, first, last, whole, end in zip(summary.destinations.to_pylist(), summary.first.tolist(),
                                                  summary.last.tolist(), summary.whole.tolist(),
                                                  summary.end_count.tolist()):
            previous = state.get(name)
            add = previous[1] if previous is not None and first - previous[0] <= COUNT_WINDOW else 0
            state[name] = (last, (end + add) % COUNT_MODULUS if whole else end)
            if add:
                carry[name] = add
        result.append(carry)
    return result


def _carry_is_exact(summaries: Sequence[_Summary]) -> bool:
    """Whether the carried counts equal one host table's: none of its entries can have expired when
    each address family has at most EXPIRY_THRESHOLD destinations, and expiry changes no count when
    no time stamp falls SAFE_LATENESS below the newest before it."""
    import pyarrow
    import pyarrow.compute as pc

    newest = float("-inf")
    late = False
    for summary in summaries:
        late = late or summary.late_inside or newest - summary.lowest > SAFE_LATENESS
        newest = max(newest, summary.highest)
    if not late:
        return True
    names = [summary.destinations for summary in summaries if len(summary.destinations)]
    if not names:
        return True
    unique = pc.unique(pyarrow.chunked_array(names))
    ipv6 = pc.sum(pc.match_substring(unique, ":")).as_py() or 0
    return ipv6 <= EXPIRY_THRESHOLD and len(unique) - ipv6 <= EXPIRY_THRESHOLD


def _read_partition(part: _Part, carry: dict[str, int] | None) -> pandas.DataFrame:
    import numpy
    import pyarrow
    import pyarrow.compute as pc

    if part.rows == "packets":
        return _to_pandas(_read_table(part, hidden=False), part.rows, part.flow_key)
    table = _read_table(part, hidden=bool(carry))
    if carry:
        codes, _, leading, destinations = _runs(table)
        names = pyarrow.array(list(carry), pyarrow.string())
        amounts = numpy.array(list(carry.values()), dtype=numpy.uint64)
        found = pc.index_in(destinations, value_set=names).to_numpy(zero_copy_only=False)
        per_destination = numpy.zeros(len(destinations), dtype=numpy.uint64)
        present = ~numpy.isnan(found) if found.dtype.kind == "f" else numpy.ones(len(found), bool)
        per_destination[present] = amounts[found[present].astype(numpy.int64)]
        counts = table.column("count").to_numpy().astype(numpy.uint64)
        counts = numpy.where(leading, (counts + per_destination[codes]) % COUNT_MODULUS, counts)
        table = table.set_column(table.schema.get_field_index("count"), "count",
                                 pyarrow.array(counts.astype(numpy.uint32), pyarrow.uint32()))
    return _to_pandas(table, part.rows, part.flow_key)


# ---- Building the frame.

def _expand(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        text = os.fspath(paths_or_glob)
        if glob.has_magic(text):
            matches = sorted(glob.glob(text))
            if not matches:
                raise FileNotFoundError(f"no file matches {text}")
            return matches
        return [text]
    paths = [os.fspath(path) for path in paths_or_glob]
    if not paths:
        raise ValueError("no capture file given")
    return paths


def _pieces(paths: list[str], split_bytes: int | None) -> list[list[Piece]]:
    """Each file's pieces; split on the cluster (or locally) where the files are."""
    if split_bytes is None:
        return [[Piece(path)] for path in paths]
    if isinstance(split_bytes, bool) or not isinstance(split_bytes, int) or split_bytes < 1:
        raise ValueError(f"split_bytes must be a positive int or None, not {split_bytes!r}")
    import dask

    return [list(pieces) for pieces in dask.compute(*(dask.delayed(split_points, pure=True)(path, split_bytes)
                                                      for path in paths))]


def _frame(parts: list[_Part], carries: list[dict[str, int] | None], label: str) -> dd.DataFrame:
    import dask.dataframe as dd

    return dd.from_map(_read_partition, parts, carries, meta=_meta(parts[0].rows, parts[0].flow_key),
                       label=label, enforce_metadata=False)


def read_features(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                  flow_key: bool = False, skip_vlan: bool = False, continuous: bool = False,
                  split_bytes: int | None = None) -> dd.DataFrame:
    """Feature rows of capture files (a path, a glob or a list, in that order) as a Dask DataFrame
    with one partition per file, or per byte range of `split_bytes` of a classic pcap file.

    Counts start afresh with each file, as `varnel.read_features` does; with `continuous` the files
    are one capture and the counts run on across them, as `varnel.read_features(..., continuous=True)`
    gives them. Either way they are the same as a serial read: each partition is read on its own, a
    summary per destination comes back, and the count each destination reached is carried into the
    leading run of the next partition that has it. That equals one host table whenever each address
    family has at most 65,536 destinations, or no time stamp falls more than about 60 s below the
    newest before it; when neither holds, the files of that chain are read by one serial partition.

    VLAN tags are looked through unless `skip_vlan` is true.
    """
    vlan = not skip_vlan
    files = _expand(paths_or_glob)
    chains = _pieces(files, split_bytes)
    if continuous:
        chains = [[piece for pieces in chains for piece in pieces]]

    def part(pieces: Sequence[Piece]) -> _Part:
        return _Part(tuple(pieces), "features", bool(flow_key), vlan, len(pieces) > 1)

    parts: list[_Part] = []
    carries: list[dict[str, int] | None] = []
    chained = [chain for chain in chains if len(chain) > 1]
    if chained:
        import dask

        summaries = iter(dask.compute(*(dask.delayed(_summarize, pure=True)(
            part([piece]), dask_key_name=f"varnel-summary-{i}-{j}-{dask.base.tokenize(piece)}")
            for i, chain in enumerate(chained) for j, piece in enumerate(chain))))
    for chain in chains:
        if len(chain) == 1:
            parts.append(part(chain))
            carries.append(None)
            continue
        chain_summaries = [next(summaries) for _ in chain]
        if _carry_is_exact(chain_summaries):
            parts.extend(part([piece]) for piece in chain)
            carries.extend(_carries(chain_summaries))
        else:
            # Whole files read in order through one host table: a file given twice is read twice,
            # and a file's byte ranges are that file once.
            files_in_order = [piece.path for piece in chain if piece.start in (None, _PCAP_HEADER)]
            parts.append(part([Piece(path) for path in files_in_order]))
            carries.append(None)
    return _frame(parts, carries, "varnel-features")


def read_packets(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                 skip_vlan: bool = False, split_bytes: int | None = None) -> dd.DataFrame:
    """Packets of capture files as a Dask DataFrame, one partition per file or byte range, in the
    columns of `varnel.columns.read_packets_table` (protocol-group columns null where absent)."""
    vlan = not skip_vlan
    chains = _pieces(_expand(paths_or_glob), split_bytes)
    parts = [_Part((piece,), "packets", False, vlan, False) for chain in chains for piece in chain]
    return _frame(parts, [None] * len(parts), "varnel-packets")


@contextmanager
def _named_failures(frame: dd.DataFrame) -> Iterator[None]:
    """A worker lost while reading a partition is reported with the partition's files."""
    try:
        yield
    except Exception as error:
        task = getattr(error, "task", None)
        if type(error).__name__ != "KilledWorker" or not isinstance(task, tuple) or not isinstance(task[-1], int):
            raise
        raise CaptureReadError(f"{_part_name(frame, task[-1])}: the worker reading it died ({error})") from error


def _part_name(frame: dd.DataFrame, index: int) -> str:
    """The files of partition `index` of `frame`, found in its expression: the reading step's
    partitions, and which of them a selection of partitions kept."""
    parts: list[_Part] = []
    chosen: list[int] | None = None
    for expression in frame.expr.walk():
        if type(expression).__name__ == "Partitions" and chosen is None:
            chosen = list(expression.operand("partitions"))
        for operand in expression.operands:
            for candidate in operand if isinstance(operand, list) else ():
                if isinstance(candidate, list) and candidate and all(isinstance(item, _Part) for item in candidate):
                    parts = candidate
    if chosen is not None and index < len(chosen):
        index = chosen[index]
    return str(parts[index]) if index < len(parts) else f"partition {index}"


def compute(frame: dd.DataFrame) -> pandas.DataFrame:
    """`frame.compute()`, with a worker's death reported as a CaptureReadError naming the file."""
    with _named_failures(frame):
        result: pandas.DataFrame = frame.compute()
    return result


def to_parquet(frame: dd.DataFrame, directory: str | os.PathLike[str], *, overwrite: bool = False) -> list[str]:
    """Writes `frame` as a Parquet dataset directory, one file per partition (part.N.parquet), which
    pyarrow.dataset and dask.dataframe.read_parquet read back; returns the files' paths in order.

    A directory that already holds files raises FileExistsError, since a reader of the directory
    would take its old files for part of the new dataset; `overwrite=True` replaces it whole. The
    files are written into a new directory beside it (`.NAME.varnel-PID.tmp`), which takes its
    place once every partition is written: a failure leaves the directory as it was.
    """
    import shutil

    from varnel import _replace

    directory = os.fspath(directory)
    target = os.path.realpath(directory)
    if not overwrite and _replace.holds_files(target):
        raise FileExistsError(errno.EEXIST, "the directory holds files; overwrite=True replaces them", directory)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    staging, _ = _replace.create_beside(target, os.mkdir)
    try:
        with _named_failures(frame):
            frame.to_parquet(staging, write_index=False, write_metadata_file=False,
                             name_function=lambda index: f"part.{index}.parquet")
        _replace.swap_in(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return [os.path.join(directory, f"part.{index}.parquet") for index in range(frame.npartitions)]
