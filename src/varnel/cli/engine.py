"""`varnel read|features`: capture files or a device through the columnar readers into the output.

Each file is read by a stream of record batches; each batch becomes text natively (CSV, JSON
lines) or goes to Parquet whole. With -j N the files are read on N threads of this process (the
batches are filled with the interpreter lock released) and written in file order. Signals only set
a flag, looked at between batches, so the output always ends after a whole batch and is closed
properly (Parquet's footer included).
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from typing import Any, Iterator

from .._in_order import in_order
from .messages import (EXIT_DAMAGED, EXIT_ERROR, EXIT_OK, about, capture_error, fail, summary, tally, warn,
                       worse)
from .output import OutputFailed, open_output
from .progress import Progress, file_size
from .. import schema
from .writers import (LIVE_BATCH_SECONDS, PARQUET_FEATURE_ROWS, ParquetSink, TextSink, csv_header, file_prefix,
                      import_pyarrow)

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_POLL = 0.1  # seconds between looks at the signal flag while waiting for a thread


class Stop(Exception):
    """Ends the run early: --strict met damage, or a thread failed."""


class Job:
    """One file (or the device): how its stream is made, and what its rows start with."""

    def __init__(self, run: "Run", name: str, live: bool = False, paths: list[str] | None = None):
        self.run = run
        self.name = name
        self.live = live
        self.paths = paths or [name]  # several: read as one capture (--continuous)
        self.size = 0 if live else sum(file_size(os.fsencode(path)) for path in self.paths)

    def columns(self):
        import varnel.columns as columns

        args = self.run.args
        options: dict[str, Any] = {"filter": args.filter, "skip_vlan": args.skip_vlan}
        if self.run.features:
            options["flow_key"] = args.flow_key
            if not self.live:
                options["continuous"] = args.continuous
        if self.live:
            options.update(snaplen=args.snaplen, buffer_size=args.buffer_size, promisc=args.promisc,
                           immediate=args.immediate, batch_timeout=LIVE_BATCH_SECONDS, limit=args.count or None)
            reader = columns.sniff_features_table if self.run.features else columns.sniff_packets_table
            return reader(self.name_bytes, **options)
        reader = columns.read_features_table if self.run.features else columns.read_packets_table
        if self.run.format == "parquet" and self.run.features:
            options["batch_size"] = PARQUET_FEATURE_ROWS  # a batch is a row group
        sources = [os.fsencode(path) for path in self.paths] if len(self.paths) > 1 else self.name_bytes
        return reader(sources, **options)

    @property
    def name_bytes(self) -> bytes:
        return os.fsencode(self.name)

    def chunks(self, limit: int | None) -> Iterator[tuple]:
        """("rows", payload, count) for each batch, then ("failed", line, stats) or ("done", stats)."""
        run = self.run
        columns = self.columns()
        try:
            capsule = columns.__arrow_c_stream__()
        except (RuntimeError, OSError, ValueError) as error:
            yield ("failed", capture_error(self.name, error) or about(self.name, error), columns.stats())
            return
        if run.format == "parquet":
            reader = run.pa.RecordBatchReader._import_from_c_capsule(capsule)
            read = self._parquet_reader(reader)
        else:
            from varnel import _columns

            prefix = file_prefix(run.format, self.name) if run.file_column else b""
            reader = _columns.TextEncoder(capsule, run.format, prefix)
            read = self._text_reader(reader)
        try:
            while limit is None or limit > 0:
                item = read(limit)
                if item is None:
                    break
                if limit is not None:
                    limit -= item[2]
                yield item
        except (RuntimeError, OSError, ValueError) as error:
            yield ("failed", about(self.name, error), columns.stats())
            return
        finally:
            reader.close()
        yield ("done", columns.stats())

    @staticmethod
    def _text_reader(encoder):
        def read(limit: int | None) -> tuple | None:
            got = encoder.read(-1 if limit is None else limit)
            return None if got is None else ("rows", got[0], got[1])
        return read

    def _parquet_reader(self, reader):
        run = self.run
        name = self.name.encode("utf-8", "backslashreplace").decode()

        def read(limit: int | None) -> tuple | None:
            try:
                batch = reader.read_next_batch()
            except StopIteration:
                return None
            if limit is not None and batch.num_rows > limit:
                batch = batch.slice(0, limit)
            if run.file_column:
                names = run.pa.repeat(run.pa.scalar(name, run.pa.string()), batch.num_rows)
                batch = run.pa.RecordBatch.from_arrays([names, *batch.columns], schema=run.schema)
            return ("rows", batch, batch.num_rows)
        return read


class Run:
    def __init__(self, args, features: bool):
        self.args = args
        self.features = features
        self.format = args.format
        # Read as one capture, a run's rows do not say which file each came from.
        self.file_column = features and len(args.files) > 1 and not args.continuous
        self.status = EXIT_OK
        self.signal: int | None = None
        self.pa = None
        self.schema = None
        columns = schema.feature_columns(args.flow_key) if features else schema.packet_columns()
        self.columns = (("file",) if self.file_column else ()) + columns
        self.progress = Progress(total_files=len(args.files))

    # ---- the parts of a run

    def sink(self, out, live: bool):
        if self.format != "parquet":
            header = csv_header(self.columns) if self.format == "csv" else None
            return TextSink(out, header, live)
        return ParquetSink(out, self.schema, live)

    def prepare_parquet(self) -> None:
        self.pa, _ = import_pyarrow()
        pa = self.pa
        import varnel.columns as columns

        if self.features:
            empty = columns.read_features_table([], flow_key=self.args.flow_key)
        else:
            empty = columns.read_packets_table([])
        schema = pa.schema(empty)
        if self.file_column:
            schema = schema.insert(0, pa.field("file", pa.string(), nullable=False))
        self.schema = schema

    def on_signal(self, number: int, frame: Any) -> None:
        if self.signal is None:
            self.signal = number

    @contextlib.contextmanager
    def signals_as_flag(self) -> Iterator[None]:
        if threading.current_thread() is not threading.main_thread():
            yield
            return
        previous = {number: signal.signal(number, self.on_signal) for number in SIGNALS}
        try:
            yield
        finally:
            for number, handler in previous.items():
                signal.signal(number, handler)

    def exit_status(self) -> int:
        return 128 + self.signal if self.signal is not None else self.status

    # ---- writing

    def execute(self) -> int:
        with self.signals_as_flag():  # from the start: a signal before the first row still ends with a valid file
            if self.format == "parquet":
                self.prepare_parquet()
            try:
                with open_output(self.args.output) as out:
                    sink = self.sink(out, live=self.args.interface is not None)
                    try:
                        if self.args.interface is not None:
                            self.write_live(sink)
                        elif (self.args.jobs > 1 and len(self.args.files) > 1 and self.args.count is None
                              and not self.args.continuous):
                            self.write_threaded(sink)
                        else:
                            self.write_files(sink)
                    except Stop:
                        pass
                    finally:
                        self.progress.finish()
                        sink.close()
            except OutputFailed as failure:
                if failure.closed_pipe:
                    return self.exit_status()
                self.status = worse(self.status, fail(str(failure)))
            finally:
                if (line := summary(self.args.totals)) is not None:
                    print(f"varnel: {line}", file=sys.stderr)
        return self.exit_status()

    def consume(self, job: Job, items: Iterator[tuple], sink) -> int:
        """Writes one file's batches; returns the rows written. Stops at a signal between batches."""
        written = 0
        for item in items:
            if item[0] == "rows":
                sink.write(item[1], item[2])
                written += item[2]
                if job.live:
                    self.progress.live(job.name, written)
                else:
                    self.progress.rows(job.name, written, job.size)
            elif item[0] == "failed":
                tally(self.args, item[2])
                self.status = worse(self.status, fail(item[1]))
            elif item[0] == "crashed":
                self.status = worse(self.status, fail(item[1]))
                raise Stop
            else:
                self.finish_file(job, item[1])
            if self.signal is not None:
                break
        return written

    def finish_file(self, job: Job, stats: dict) -> None:
        tally(self.args, stats)
        for text in stats["warnings"]:
            warn(about(job.name, text.removeprefix(job.name + ": ")))
            self.status = worse(self.status, EXIT_DAMAGED)
        if stats["warnings"] and self.args.strict:
            raise Stop

    def write_files(self, sink) -> None:
        if self.signal is not None:
            return
        if self.args.continuous:
            job = Job(self, ", ".join(self.args.files), paths=self.args.files)
            with contextlib.closing(job.chunks(self.args.count)) as items:
                self.consume(job, items, sink)
            return
        remaining = self.args.count
        for path in self.args.files:
            if self.signal is not None or remaining == 0:
                return
            job = Job(self, path)
            with contextlib.closing(job.chunks(remaining)) as items:
                written = self.consume(job, items, sink)
            self.progress.file_done()
            if remaining is not None:
                remaining -= written

    def write_live(self, sink) -> None:
        from . import device_name

        device = device_name(self.args.interface)
        if device is None:
            self.status = EXIT_ERROR
            return
        job = Job(self, device, live=True)
        with contextlib.closing(job.chunks(None)) as items:
            self.consume(job, items, sink)

    def write_threaded(self, sink) -> None:
        jobs = [Job(self, path) for path in self.args.files]

        def guarded(job: Job) -> Iterator[tuple]:
            try:
                yield from job.chunks(None)
            except Exception as error:  # a thread's failure ends the run, named
                yield ("crashed", about(job.name, f"{type(error).__name__}: {error}"))

        files = in_order([guarded(job) for job in jobs], self.args.jobs, _held_bytes,
                         interrupted=lambda: self.signal is not None, poll=_POLL)
        with contextlib.closing(files):
            for job, items in zip(jobs, files):
                if self.signal is not None:
                    return
                self.consume(job, items, sink)
                self.progress.file_done()


def _held_bytes(item: tuple) -> int:
    """What a chunk waiting for its turn holds: text, or a record batch's buffers."""
    if item[0] != "rows":
        return 0
    payload = item[1]
    return len(payload) if isinstance(payload, bytes) else payload.nbytes
