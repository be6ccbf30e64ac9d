"""Many capture files, or byte ranges of one large file, as a Dask DataFrame of feature rows, packets
or connection records.

    >>> import varnel.dask
    >>> frame = varnel.dask.read_features("captures/*.pcap", continuous=True)
    >>> frame.groupby("protocol_type").src_bytes.sum().compute()

One partition per file, or per byte range of a classic pcap file larger than `split_bytes`. Without a
cluster the graph runs on Dask's local scheduler; with a `dask.distributed.Client` active it runs on
that cluster, whose workers open the paths they are given (a file system they all see).

Counts stay exact across partitions: each partition is read once, on its own, and comes back with a
small summary per destination; a pass in file order carries each destination's count into the next
partition's leading run of packets, an addition on those rows. See `read_features` for when that
carry is exact and what happens when it might not be.

Feature rows cut a classic pcap file where the record headers near each cut show that a record
starts, without reading the records before it. Such a cut is proved by the range before it: read
from a proved start, that range ends cleanly exactly at the cut only if a record starts there. A
chain with a cut its range does not prove (a wrong guess, or damage inside the file) is read
serially instead, so the rows are a serial read's either way.
"""

from __future__ import annotations

import errno
import glob
import os
import warnings
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from varnel import _columns, schema

if TYPE_CHECKING:
    import dask.dataframe as dd  # type: ignore[import-untyped,unused-ignore]
    import pandas  # type: ignore[import-untyped,unused-ignore]
    import pyarrow  # type: ignore[import-untyped,unused-ignore]

__all__ = ["CaptureReadError", "Piece", "compute", "read_connections", "read_features", "read_packets", "split_points",
           "to_parquet"]

# The host table's bound on destinations per address family (src/core/host_table.hpp): below it no
# host expires, so the carry between partitions is exact whatever the time stamps do.
EXPIRY_THRESHOLD = 65536


class CaptureReadError(RuntimeError):
    """A partition's capture could not be read; the message names the file (and byte range)."""


@dataclass(frozen=True, slots=True)
class Piece:
    """What one partition reads: a whole file, or the records in [start, stop) of a classic pcap
    file, read after that file's own header."""

    path: str
    start: int | None = None
    stop: int | None = None

    def __str__(self) -> str:
        return self.path if self.start is None else f"{self.path} [bytes {self.start}..{self.stop})"


# ---- Splitting a classic pcap file at record boundaries.

def split_points(path: str, split_bytes: int) -> list[Piece]:
    """`path` as pieces of about `split_bytes` each, cut at record (pcapng: block) boundaries that
    the native reader finds by reading the records, as a serial read does. A compressed file, one
    no larger than `split_bytes`, or a pcapng file whose interfaces are not all described before
    its first packet stays whole; damage ends the walk, and the rest of the file is the last piece,
    whose reading reports the damage as a serial read would."""
    return _split(path, split_bytes, guess=False)


def _split(path: str, split_bytes: int, guess: bool) -> list[Piece]:
    """split_points, or with `guess` (classic pcap) cuts guessed from the record headers near them,
    which the reading of the pieces must prove."""
    pieces = _columns.split_points(path, split_bytes, guess)
    if pieces is None:
        return [Piece(path)]
    return [Piece(path, start, stop) for start, stop in pieces]


def _continues(piece: Piece, after: Piece) -> bool:
    """`after` is the next range of the file `piece` is a range of."""
    return piece.start is not None and after.path == piece.path and after.start == piece.stop


def _whole_files(chain: Sequence[Piece]) -> list[Piece]:
    """The files a chain of pieces reads, each whole, in order."""
    files = [Piece(chain[0].path)]
    for piece, after in zip(chain, chain[1:]):
        if not _continues(piece, after):
            files.append(Piece(after.path))
    return files


# ---- Reading one piece, or a chain of whole files.

class _Part:
    """What one task reads. A plain class, opaque to Dask's walk over task arguments, which would take
    a dataclass apart and rebuild it field by field, piece by piece, for every task."""

    __slots__ = ("pieces", "rows", "flow_key", "decode_vlan", "continuous", "connections")

    def __init__(self, pieces: tuple[Piece, ...], rows: str, flow_key: bool, decode_vlan: bool, continuous: bool,
                 connections: tuple | None = None) -> None:
        self.pieces = pieces  # several only for a serial chain of whole files
        self.rows = rows  # "features", "packets" or "connections"
        self.flow_key = flow_key
        self.decode_vlan = decode_vlan
        self.continuous = continuous  # several pieces: one host table (one connection table) across them
        self.connections = connections  # connection records: their options, as the native reader takes them

    def __dask_tokenize__(self) -> tuple:
        return (tuple((piece.path, piece.start, piece.stop) for piece in self.pieces), self.rows, self.flow_key,
                self.decode_vlan, self.continuous, self.connections)

    def __str__(self) -> str:
        return ", ".join(str(piece) for piece in self.pieces)


def _source(part: _Part, summary: bool) -> Any:
    pieces = part.pieces
    paths = tuple(os.fsencode(piece.path) for piece in pieces)
    ranges = (tuple(None if piece.start is None else (piece.start, piece.stop) for piece in pieces)
              if any(piece.start is not None for piece in pieces) else None)
    # Rows of a frame come from many files: each says which, as with several files everywhere.
    options: dict[str, Any] = {"skip_vlan": not part.decode_vlan, "names": tuple(str(piece) for piece in pieces),
                               "file_column": True, "file_names": tuple(piece.path for piece in pieces)}
    if ranges is not None:
        options["ranges"] = ranges
    if part.rows == "features":
        options.update(flow_key=part.flow_key, continuous=part.continuous, range_summary=summary)
    if part.rows == "connections":
        options.update(connections=part.connections, continuous=part.continuous)
    return _columns.ColumnSource(part.rows, paths, **options)


def _read_source(part: _Part, summary: bool) -> tuple[pyarrow.Table, Any]:
    """The part's rows, and the source that read them (its runs, warnings and problems)."""
    import pyarrow

    source = _source(part, summary)
    try:
        return pyarrow.table(source), source
    except Exception as error:
        raise CaptureReadError(f"{part}: {_reason(source, error)}") from None


def _warn(texts: Iterable[str]) -> None:
    for text in texts:
        warnings.warn(text, RuntimeWarning, stacklevel=3)


def _read_table(part: _Part) -> pyarrow.Table:
    """The part's rows; the damage met is issued as RuntimeWarnings naming the piece."""
    table, source = _read_source(part, summary=False)
    _warn(source.stats()["warnings"])
    return table


def _reason(source: Any, error: Exception) -> str:
    """What went wrong, without the file's name, which the caller gives."""
    problems = [problem for problem in source.problems() if problem[3]]
    return problems[-1][2] if problems else str(error)


def _arrow_schema(rows: str, flow_key: bool) -> pyarrow.Schema:
    """The columns of the serial readers, Arrow types and all (dictionary-encoded text included)."""
    import pyarrow

    options: dict[str, Any] = {"flow_key": flow_key, "file_column": True}
    if rows == "connections":
        from varnel._connection_options import connection_options

        options["connections"] = connection_options()  # the types are the same whatever the options
    return pyarrow.schema(_columns.ColumnSource(rows, (), **options))


def _to_pandas(table: pyarrow.Table, rows: str, flow_key: bool) -> pandas.DataFrame:
    import pandas

    return table.select(_arrow_schema(rows, flow_key).names).to_pandas(types_mapper=pandas.ArrowDtype)


def _meta(rows: str, flow_key: bool) -> pandas.DataFrame:
    return _to_pandas(_arrow_schema(rows, flow_key).empty_table(), rows, flow_key)


def _read_whole(part: _Part) -> pandas.DataFrame:
    return _to_pandas(_read_table(part), part.rows, part.flow_key)


# ---- Counts across the pieces of a chain.
#
# A piece's runs (ColumnSource.runs) are arrays per address family, indexed by the host table's node
# (a row's destination code is node * 2 + family): each destination's address, first and last time
# stamps, whether its leading run covers the piece, and its count at the end. The carries are found
# from them natively (src/core/range_carries.cpp), one per code.

def _chain_carries(chain_runs: Sequence[dict], threshold: int = EXPIRY_THRESHOLD) -> list[Any] | None:
    """Per piece, what to add to each destination code's leading run (uint32 arrays), or None where
    the carries cannot be proved exact: the chain is then read serially, as one capture."""
    import numpy

    carries = _columns.chain_carries(chain_runs, threshold)
    return None if carries is None else [numpy.frombuffer(carry, numpy.uint32) for carry in carries]


def _with_carry(table: pyarrow.Table, carry: Any) -> pyarrow.Table:
    """`table` with each destination's carry added to the counts of its leading run (mod 2^32)."""
    import numpy
    import pyarrow

    if carry.any():
        # `_leading` is the code plus one in a leading run, else 0, which adds nothing.
        added = numpy.concatenate([numpy.zeros(1, numpy.uint32), carry])
        # Batch by batch, each column read in place; uint32 additions wrap at 2^32, as the counts do.
        counts = pyarrow.chunked_array(
            [pyarrow.array(batch.column("count").to_numpy() + added[batch.column("_leading").to_numpy()])
             for batch in table.to_batches()], pyarrow.uint32())
        index = table.schema.get_field_index("count")
        table = table.set_column(index, table.schema.field(index), counts)
    return table


def _summary(table: pyarrow.Table, source: Any) -> dict:
    """A piece's destinations' runs, with its number of rows, whether it ended without damage and
    the warnings its reading gave, to be issued only once its start is proved."""
    runs: dict = source.runs()
    runs.update(rows=table.num_rows, warnings=source.stats()["warnings"],
                clean=not any(problem[0] == "damaged" for problem in source.problems()))
    return runs


def _read_piece(part: _Part) -> tuple[pyarrow.Table, dict]:
    table, source = _read_source(part, summary=True)
    return table, _summary(table, source)


def _runs_of(read: tuple[pyarrow.Table, dict]) -> dict:
    return read[1]


def _chain_plan(chain_runs: Sequence[dict], file_ends: Sequence[bool],
                threshold: int) -> tuple[list[Any], list[int]] | None:
    """The carries of a chain and the number of its first row in each piece, or None where the
    carries are not exact or a cut is not proved: a piece that does not end its file must end
    cleanly, where the next one starts (`file_ends`: the piece is its file's last)."""
    if not all(runs["clean"] or ends for runs, ends in zip(chain_runs, file_ends)):
        return None
    carries = _chain_carries(chain_runs, threshold)
    if carries is None:
        return None
    starts = [0]
    for runs in chain_runs[:-1]:
        starts.append(starts[-1] + runs["rows"])
    return carries, starts


def _finish_piece(read: tuple[pyarrow.Table, dict], plan: tuple[list[Any], list[int]] | None, index: int,
                  chain: _Part) -> pandas.DataFrame:
    """Piece `index` of a chain with its carry applied, its rows numbered as in the whole file (the
    pieces then join without renumbering); where the plan failed, the first piece is the chain's
    files read serially (`chain`) and the others are empty."""
    import pandas

    if plan is None:
        if index > 0:
            return _meta(chain.rows, chain.flow_key)
        return _read_whole(chain)
    carries, starts = plan
    table, runs = read
    _warn(runs["warnings"])
    frame = _to_pandas(_with_carry(table, carries[index]), chain.rows, chain.flow_key)
    frame.index = pandas.RangeIndex(starts[index], starts[index] + len(frame))
    return frame


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


def _pieces(paths: list[str], split_bytes: int | None, guess: bool = False) -> list[list[Piece]]:
    """Each file's pieces, cut by `_split`; split on the cluster (or locally) where the files are."""
    if split_bytes is None:
        return [[Piece(path)] for path in paths]
    from varnel import _int_option

    _int_option("split_bytes", split_bytes, 1, 2**62)
    import dask

    return [list(pieces) for pieces in dask.compute(*(dask.delayed(_split, pure=True)(path, split_bytes, guess)
                                                      for path in paths))]


def _chain_partitions(chain: list[Piece], part_of: Any, index: int) -> list[Any]:
    """The delayed partitions of a chain of pieces read apart: each piece read once with its
    destinations' runs, the carries found from every piece's runs, then applied to each piece."""
    import dask

    whole = part_of(_whole_files(chain))
    file_ends = [not _continues(piece, after) for piece, after in zip(chain, chain[1:])] + [True]
    # The threshold as it is when the frame is built, wherever the graph runs. The names stand for
    # all a task's result depends on: Dask takes two tasks of one name for the same work, even in
    # two frames built apart (other options, another threshold).
    threshold = EXPIRY_THRESHOLD
    token = dask.base.tokenize(part_of(chain), threshold)
    reads = [dask.delayed(_read_piece, pure=True)(part_of([piece]), dask_key_name=f"varnel-read-{index}-{j}-{token}")
             for j, piece in enumerate(chain)]
    runs = [dask.delayed(_runs_of, pure=True)(read) for read in reads]
    plan = dask.delayed(_chain_plan, pure=True)(runs, file_ends, threshold,
                                                dask_key_name=f"varnel-carries-{index}-{token}")
    return [dask.delayed(_finish_piece, pure=True)(read, plan, j, whole) for j, read in enumerate(reads)]


def _build(chains: list[list[Piece]], part_of: Any, rows: str, flow_key: bool, carry: bool) -> dd.DataFrame:
    import dask
    import dask.dataframe as dd

    partitions = []
    for index, chain in enumerate(chains):
        if carry and len(chain) > 1:
            partitions += _chain_partitions(chain, part_of, index)
            continue
        for j, piece in enumerate(chain):
            part = part_of([piece])
            partitions.append(dask.delayed(_read_whole, pure=True)(
                part, dask_key_name=f"varnel-read-{index}-{j}-{dask.base.tokenize(part)}"))
    return dd.from_delayed(partitions, meta=_meta(rows, flow_key), verify_meta=False)


def read_features(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                  flow_key: bool = False, skip_vlan: bool = False, continuous: bool = False,
                  split_bytes: int | None = None) -> dd.DataFrame:
    """Feature rows of capture files (a path, a glob or a list, in that order) as a Dask DataFrame
    with one partition per file, or per byte range of `split_bytes` of a classic pcap file.

    Counts start afresh with each file, as `varnel.read_features` does; with `continuous` the files
    are one capture and the counts run on across them, as `varnel.read_features(..., continuous=True)`
    gives them. Either way they are the same as a serial read: each partition is read once, on its
    own, with a summary per destination, and the count each destination reached is carried into the
    leading run of the next partition that has it. That equals one host table whenever each address
    family has at most 65,536 destinations, or no time stamp falls more than about 60 s below the
    newest before it; when neither holds, the chain's first partition is the whole chain read
    serially, and the others are empty. The same happens when a byte range, cut where the record
    headers there show a record starts, does not prove its cut by the range before it ending
    cleanly there (a wrong guess, or a damaged record before the file's end). Rows are numbered (the
    frame's index) as one serial read of the file numbers them, or with `continuous` of the files
    together.

    VLAN tags are looked through unless `skip_vlan` is true.
    """
    vlan = not skip_vlan
    chains = _pieces(_expand(paths_or_glob), split_bytes, guess=True)
    if continuous:
        chains = [[piece for pieces in chains for piece in pieces]]

    def part_of(pieces: Sequence[Piece]) -> _Part:
        return _Part(tuple(pieces), "features", bool(flow_key), vlan, len(pieces) > 1)

    return _build(chains, part_of, "features", bool(flow_key), carry=True)


def read_packets(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                 skip_vlan: bool = False, split_bytes: int | None = None) -> dd.DataFrame:
    """Packets of capture files as a Dask DataFrame, one partition per file or byte range, in the
    columns of `varnel.columns.read_packets_table` (protocol-group columns null where absent)."""
    vlan = not skip_vlan
    chains = _pieces(_expand(paths_or_glob), split_bytes)

    def part_of(pieces: Sequence[Piece]) -> _Part:
        return _Part(tuple(pieces), "packets", False, vlan, False)

    return _build(chains, part_of, "packets", False, carry=False)


def read_connections(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
                     skip_vlan: bool = False, continuous: bool = False, **options: Any) -> dd.DataFrame:
    """Connection records of capture files as a Dask DataFrame, one partition per file, in the
    columns of `varnel.columns.read_connections_table` with the file column first; each file starts
    afresh, as `varnel.read_connections` reads it. With `continuous` the files are one capture and
    the frame is one partition, read serially in file order. The connection options (tcp_timeout,
    ..., services, kdd_compat) as for `varnel.read_connections`, checked here."""
    import dask
    import dask.dataframe as dd

    from varnel._connection_options import connection_options

    native = connection_options(**options)
    pieces = [Piece(path) for path in _expand(paths_or_glob)]
    groups = [pieces] if continuous and pieces else [[piece] for piece in pieces]
    partitions = []
    for index, group in enumerate(groups):
        part = _Part(tuple(group), "connections", False, not skip_vlan, len(group) > 1, native)
        partitions.append(dask.delayed(_read_whole, pure=True)(
            part, dask_key_name=f"varnel-read-{index}-0-{dask.base.tokenize(part)}"))
    return dd.from_delayed(partitions, meta=_meta("connections", False), verify_meta=False)


@contextmanager
def _named_failures(frame: dd.DataFrame) -> Iterator[None]:
    """A worker lost while reading a partition is reported with the partition's files."""
    try:
        yield
    except Exception as error:
        name = _part_name(frame, getattr(error, "task", None)) if type(error).__name__ == "KilledWorker" else None
        if name is None:
            raise
        raise CaptureReadError(f"{name}: the worker reading it died ({error})") from error


def _part_name(frame: dd.DataFrame, key: Any) -> str | None:
    """What the task `key` of `frame`'s graph reads, where it is a reading task."""
    task = frame.__dask_graph__().get(key) if key is not None else None
    parts = [argument for argument in getattr(task, "args", ()) if isinstance(argument, _Part)]
    return str(parts[0]) if parts else None


def compute(frame: dd.DataFrame) -> pandas.DataFrame:
    """`frame.compute()`, with a worker's death reported as a CaptureReadError naming the file."""
    with _named_failures(frame):
        result: pandas.DataFrame = frame.compute()
    return result


def _write_part(partition: pandas.DataFrame, path: str) -> str:
    """One partition as a Parquet file of the readers' Arrow types, without pandas' own metadata
    (which names types such as dictionary<...>[pyarrow] that not every reader parses)."""
    import pyarrow
    import pyarrow.parquet

    table = pyarrow.Table.from_pandas(partition, preserve_index=False).replace_schema_metadata(None)
    pyarrow.parquet.write_table(table, path)
    return path


def to_parquet(frame: dd.DataFrame, directory: str | os.PathLike[str], *, overwrite: bool = False) -> list[str]:
    """Writes `frame` as a Parquet dataset directory, one file per partition (part.N.parquet), which
    pyarrow.dataset and dask.dataframe.read_parquet read back; returns the files' paths in order.

    A directory that already holds files raises FileExistsError, since a reader of the directory
    would take its old files for part of the new dataset; `overwrite=True` replaces it whole. The
    files are written into a new directory beside it (`.NAME.varnel-PID.tmp`), which takes its
    place once every partition is written: a failure leaves the directory as it was.
    """
    import shutil

    import dask

    from varnel import _replace

    directory = os.fspath(directory)
    target = os.path.realpath(directory)
    if not overwrite and _replace.holds_files(target):
        raise FileExistsError(errno.EEXIST, "the directory holds files; overwrite=True replaces them", directory)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    staging, _ = _replace.create_beside(target, os.mkdir)
    try:
        names = [f"part.{index}.parquet" for index in range(frame.npartitions)]
        writes = [dask.delayed(_write_part)(partition, os.path.join(staging, name))
                  for partition, name in zip(frame.to_delayed(), names)]
        with _named_failures(frame):
            dask.compute(*writes)
        _replace.swap_in(staging, target)
    except BaseException:
        shutil.rmtree(staging, ignore_errors=True)
        raise
    return [os.path.join(directory, name) for name in names]
