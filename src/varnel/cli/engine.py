"""`varnel read|features|connections`: capture files or a device through one columnar reader into the
output.

The files (on -j N threads of the reader, in file order) or the device are one stream of record
batches; each batch becomes text natively (CSV, JSON lines) or goes to Parquet whole. The reader's
problems (damage, a file that cannot be opened, a failing device) name their file and reason; the
command prints them as they come. Signals only set a flag, looked at between batches, so the output
always ends after a whole batch and is closed properly (Parquet's footer included). Connection
records first end every connection still open (a second signal stops at once).
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from typing import Any, Iterator

from .. import schema
from .messages import EXIT_DAMAGED, EXIT_ERROR, EXIT_OK, fail, summary, tally, warn, worse
from .output import OutputFailed, open_output
from .progress import Progress, file_size
from .writers import (LIVE_BATCH_SECONDS, PARQUET_FEATURE_ROWS, ParquetSink, TextSink, csv_header, file_cell,
                      import_pyarrow)

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Stop(Exception):
    """Ends the run early: --strict met damage."""


class Run:
    def __init__(self, args, kind: str):
        self.args = args
        self.kind = kind
        self.format = args.format
        self.live = args.interface is not None
        # Rows say which file they came from whenever they can come from more than one.
        self.file_column = not self.live and (len(args.files) > 1 or args.continuous or args.file_column)
        self.status = EXIT_OK
        self.stream_error: Exception | None = None
        self.signal: int | None = None
        self.signals = 0
        self.ending_at: int | None = None  # connection records: the signals seen when the read was ended
        self.problems_seen = 0
        self.progress = Progress(total_bytes=sum(file_size(os.fsencode(path)) for path in args.files),
                                 total_files=len(args.files))

    # ---- the reader

    def table(self):
        import varnel.columns as columns

        args = self.args
        options: dict[str, Any] = {"filter": args.filter, "skip_vlan": args.skip_vlan}
        if self.kind == "features":
            options["flow_key"] = args.flow_key
        if self.kind == "connections":
            from . import connection_options

            options.update(connection_options(args))
        readers = {"packets": (columns.read_packets_table, columns.sniff_packets_table),
                   "features": (columns.read_features_table, columns.sniff_features_table),
                   "connections": (columns.read_connections_table, columns.sniff_connections_table)}
        if self.live:
            reader = readers[self.kind][1]
            return reader(self.device, snaplen=args.snaplen, buffer_size=args.buffer_size, promisc=args.promisc,
                          immediate=args.immediate, batch_timeout=LIVE_BATCH_SECONDS, limit=args.count or None,
                          **options)
        reader = readers[self.kind][0]
        if self.kind != "packets":
            options["continuous"] = args.continuous
            if self.format == "parquet":
                options["batch_size"] = PARQUET_FEATURE_ROWS  # a batch is a row group
        jobs = args.jobs if not args.continuous else 1
        return reader([os.fsencode(path) for path in args.files], jobs=jobs, file_column=self.file_column,
                      skip_unreadable=True, **options)

    def chunks(self, columns) -> Iterator[tuple[Any, int]]:
        """(payload, rows) for each batch of the stream: text, or a record batch for Parquet."""
        if self.format == "parquet":
            with self.pa.RecordBatchReader.from_stream(columns) as reader:
                for batch in reader:
                    yield batch, batch.num_rows
            return
        from varnel import _columns

        cells = tuple(file_cell(self.format, path) for path in self.args.files) if self.file_column else None
        encoder = _columns.TextEncoder(columns.__arrow_c_stream__(), self.format, cells)
        try:
            while (got := encoder.read(-1 if self.remaining is None else self.remaining)) is not None:
                yield got
        finally:
            encoder.close()

    # ---- the parts of a run

    def sink(self, out, columns):
        if self.format == "parquet":
            return ParquetSink(out, self.pa.schema(columns), self.live)
        columns_of = {"packets": schema.packet_columns, "connections": schema.connection_columns,
                      "features": lambda: schema.feature_columns(self.args.flow_key)}
        names = ("file",) * self.file_column + columns_of[self.kind]()
        return TextSink(out, csv_header(names) if self.format == "csv" else None, self.live)

    def on_signal(self, number: int, frame: Any) -> None:
        if self.signal is None:
            self.signal = number
        self.signals += 1

    def stops_at_signal(self, columns) -> bool:
        """Whether a signal ends the writing now. Connection records first end every connection
        still open: the read is ended and its last records written, unless another signal comes."""
        if self.signal is None:
            return False
        if self.kind != "connections":
            return True
        if self.ending_at is None:
            self.ending_at = self.signals
            columns.end_read()
            return False
        return self.signals > self.ending_at

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
            if self.live:
                from . import device_name

                self.device = device_name(self.args.interface)
                if self.device is None:
                    return EXIT_ERROR
            if self.format == "parquet":
                self.pa, _ = import_pyarrow()
            columns = self.table()
            try:
                with open_output(self.args.output) as out:
                    sink = self.sink(out, columns)
                    try:
                        self.write(columns, sink)
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
                self.report(columns, stop_at_damage=False)
                tally(self.args, columns.stats())
                if (line := summary(self.args.totals)) is not None:
                    print(f"varnel: {line}", file=sys.stderr)
        return self.exit_status()

    def write(self, columns, sink) -> None:
        self.remaining = self.args.count
        if self.signal is not None or self.remaining == 0:
            return
        with contextlib.closing(self.chunks(columns)) as chunks:
            while (chunk := self.next_chunk(chunks)) is not None:
                payload, rows = chunk
                if self.remaining is not None and rows > self.remaining:
                    payload, rows = payload.slice(0, self.remaining), self.remaining
                sink.write(payload, rows)
                self.show_progress(columns, rows)
                self.report(columns)
                if self.remaining is not None:
                    self.remaining -= rows
                if self.stops_at_signal(columns) or self.remaining == 0:
                    return

    def next_chunk(self, chunks: Iterator[tuple[Any, int]]) -> tuple[Any, int] | None:
        """The next chunk, or None at the end — also at an error of the reader, whose problems say
        what ended it (they are reported after), or failing that the error itself."""
        try:
            return next(chunks)
        except StopIteration:
            return None
        except (RuntimeError, OSError, ValueError) as error:
            self.stream_error = error
            return None

    def show_progress(self, columns, rows: int) -> None:
        if not self.progress.enabled:
            return
        stats = columns.stats()
        if self.live:
            self.progress.live(self.device, rows, stats.get("dropped") or 0)
        else:
            self.progress.rows(rows, stats["bytes_read"], stats["files_read"])

    def report(self, columns, stop_at_damage: bool = True) -> None:
        """Prints the problems the reader met since the last look: damage as a warning (exit status
        3, and --strict stops there), a file that could not be read or the error that ended the
        read as an error (status 1)."""
        problems = columns.problems
        new, self.problems_seen = problems[self.problems_seen:], len(problems)
        for problem in new:
            if problem.fatal:
                self.status = worse(self.status, fail(f"{problem.file}: {problem.reason}"))
            else:
                warn(f"{problem.file}: {problem.reason}")
                self.status = worse(self.status, EXIT_DAMAGED)
        if self.stream_error is not None and not any(problem.fatal for problem in problems):
            # An error no problem of the reader explains (a consumer's, a thread's): said as it is.
            self.status = worse(self.status, fail(str(self.stream_error).splitlines()[0]))
            self.stream_error = None
        if stop_at_damage and self.args.strict and any(not problem.fatal for problem in new):
            raise Stop
