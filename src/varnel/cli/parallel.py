"""`varnel features -j N FILE...`: files in worker processes, output in file order, memory flat.

Each worker streams its file's rows into a temporary file of the chosen format; the parent copies
the finished parts to the output in file order as they become ready, and removes each once copied.
"""

from __future__ import annotations

import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import warnings

from .messages import EXIT_INTERRUPTED, EXIT_OK, about, capture_error, fail, summary, tally, warn_about
from .output import Output
from .progress import Progress
from .writers import open_writer


def _ignore_interrupts() -> None:
    # Ctrl+C reaches the whole process group; the parent alone decides what happens then.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _worker(task: tuple[str, str, tuple[str, ...], str, dict]) -> tuple[list[str], str | None, dict]:
    """Writes the rows of one file to its part; returns the warnings it gave, its error, if any, and
    the stream's statistics."""
    import varnel

    path, output_format, columns, part, options = task
    binary = output_format == "parquet"
    with warnings.catch_warnings(record=True) as caught, \
            open(part, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8", "newline": ""})) as out:
        warnings.simplefilter("always", RuntimeWarning)
        writer = open_writer(output_format, columns, out, out, header=False)
        error = None
        stream = varnel.read_features(os.fsencode(path), **options)
        try:
            for row in stream:
                writer.write({"file": path, **row})
        except (RuntimeError, ValueError, OSError) as failure:
            if (error := capture_error(path, failure)) is None:
                raise
        writer.close()
    return [str(warning.message) for warning in caught], error, stream.stats()


def _copy_part(part: str, output_format: str, output) -> None:
    if output_format == "parquet":
        import pyarrow.parquet as pq

        for batch in pq.ParquetFile(part).iter_batches():
            output.writer.write_batch(batch)
        return
    output.text.flush()
    with open(part, "rb") as source:
        shutil.copyfileobj(source, output.binary)
    output.binary.flush()


def run_parallel_features(args, columns) -> int:
    from . import file_options

    status = EXIT_OK
    progress = Progress(total_files=len(args.files))
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory(prefix="varnel-") as scratch, Output(args, columns) as output:
        parts = [os.path.join(scratch, f"part{index}") for index in range(len(args.files))]
        options = {**file_options(args), "flow_key": args.flow_key}
        tasks = [(path, args.format, columns, part, options) for path, part in zip(args.files, parts)]
        pool = context.Pool(min(args.jobs, len(tasks)), initializer=_ignore_interrupts)
        try:
            progress.files()
            # imap hands the results back in file order while later files are still being worked on.
            for (path, _, _, part, _), (messages, error, stats) in zip(tasks, pool.imap(_worker, tasks)):
                warn_about(path, messages)
                tally(args, stats)
                if error is not None:
                    status = fail(about(path, error))
                _copy_part(part, args.format, output)
                os.remove(part)
                progress.file_done()
                progress.files()
        except KeyboardInterrupt:
            status = EXIT_INTERRUPTED
        finally:
            # Stops workers still busy with files whose rows are no longer wanted (Ctrl+C, closed pipe).
            pool.terminate()
            pool.join()
            progress.finish()
            if (line := summary(args.totals)) is not None:
                print(f"varnel: {line}", file=sys.stderr)
    return status
