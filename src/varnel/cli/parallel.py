"""`varnel features -j N FILE...`: files in worker processes, output in file order, memory flat.

Each worker streams its file's rows into a temporary file of the chosen format; the parent copies
the finished parts to the output in file order as they become ready, and removes each once copied.
"""

from __future__ import annotations

import multiprocessing
import os
import shutil
import signal
import tempfile
import warnings

from .messages import EXIT_INTERRUPTED, EXIT_OK, about, fail, reason_of, warn_about
from .output import Output
from .progress import Progress
from .writers import open_writer


def _ignore_interrupts() -> None:
    # Ctrl+C reaches the whole process group; the parent alone decides what happens then.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _worker(task: tuple[str, str, tuple[str, ...], str]) -> tuple[list[str], str | None]:
    """Writes the rows of one file to its part; returns the reasons of the warnings it gave and of its
    error, if any (as text: exceptions need not survive the way back)."""
    from varnel.core.ver100.moraine import FeatureExtractor

    path, output_format, columns, part = task
    binary = output_format == "parquet"
    with warnings.catch_warnings(record=True) as caught, \
            open(part, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8", "newline": ""})) as out:
        warnings.simplefilter("always", RuntimeWarning)
        writer = open_writer(output_format, columns, out, out, header=False)
        error = None
        try:
            for row in FeatureExtractor().iter_pcap(os.fsencode(path)):
                writer.write({"file": path, **row})
        except RuntimeError as failure:
            error = reason_of(failure)
        writer.close()
    return [reason_of(warning.message) for warning in caught], error


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
    status = EXIT_OK
    progress = Progress(total_files=len(args.files))
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory(prefix="varnel-") as scratch, Output(args, columns) as output:
        parts = [os.path.join(scratch, f"part{index}") for index in range(len(args.files))]
        tasks = [(path, args.format, columns, part) for path, part in zip(args.files, parts)]
        pool = context.Pool(min(args.jobs, len(tasks)), initializer=_ignore_interrupts)
        try:
            progress.files()
            # imap hands the results back in file order while later files are still being worked on.
            for (path, _, _, part), (messages, error) in zip(tasks, pool.imap(_worker, tasks)):
                warn_about(path, messages)
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
    return status
