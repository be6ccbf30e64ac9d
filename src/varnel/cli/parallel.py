"""`varnel features -j N FILE...`: files in worker processes, output in file order, memory flat.

Each worker streams its file's rows into a temporary file of the chosen format; the parent copies
the finished parts to the output in file order as they become ready.
"""

from __future__ import annotations

import multiprocessing
import os
import shutil
import sys
import tempfile
import warnings
from concurrent.futures import ProcessPoolExecutor

from .writers import open_writer


def _worker(path: str, output_format: str, columns: tuple[str, ...], part: str) -> tuple[list[str], str | None]:
    """Writes the rows of one file to `part`; returns the warnings it gave and its error, if any."""
    from varnel.core.ver100.moraine import FeatureExtractor

    with warnings.catch_warnings(record=True) as caught, open(part, "w" if output_format != "parquet" else "wb",
                                                               newline="") as out:
        warnings.simplefilter("always")
        writer = open_writer(output_format, columns, out, out, header=False)
        error = None
        try:
            for row in FeatureExtractor().iter_pcap(os.fsencode(path)):
                writer.write({"file": path, **row})
        except RuntimeError as failure:
            error = str(failure)
        writer.close()
    return [str(warning.message) for warning in caught], error


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
    from . import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, _Output
    from .progress import Progress

    status = EXIT_OK
    progress = Progress(total_files=len(args.files))
    context = multiprocessing.get_context("spawn")
    with tempfile.TemporaryDirectory(prefix="varnel-") as scratch, _Output(args, columns) as output:
        try:
            with ProcessPoolExecutor(max_workers=args.jobs, mp_context=context) as pool:
                parts = [os.path.join(scratch, f"part{index}") for index in range(len(args.files))]
                futures = [pool.submit(_worker, path, args.format, columns, part)
                           for path, part in zip(args.files, parts)]
                for future, part in zip(futures, parts):
                    messages, error = future.result()
                    for message in messages:
                        print(f"varnel: warning: {message}", file=sys.stderr)
                    if error is not None:
                        print(f"varnel: {error}", file=sys.stderr)
                        status = EXIT_ERROR
                    _copy_part(part, args.format, output)
                    progress.file_done()
                    progress.files()
        except KeyboardInterrupt:
            status = EXIT_INTERRUPTED
        finally:
            progress.finish()
    return status
