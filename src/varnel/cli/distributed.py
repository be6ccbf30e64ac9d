"""`varnel features` on Dask: on a cluster (`--scheduler`), in byte ranges (`--split-bytes`), or into
a Parquet dataset directory (`-o DIR/ --format parquet`, one file per partition; a directory that
already holds files only with --overwrite, which replaces it whole). `--continuous` alone reads the
files in this process, through the columnar path like any other run."""

from __future__ import annotations

import argparse
import os
from contextlib import nullcontext
from typing import Any

from .._replace import holds_files
from .messages import EXIT_OK, EXIT_USAGE, fail


def add_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument("--continuous", action="store_true",
                         help="read the files, in order, as one capture: counts run on across them")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the Dask cluster at ADDRESS (tcp://host:8786); needs varnel[dask]")
    command.add_argument("--split-bytes", type=int, metavar="BYTES",
                         help="with --scheduler or a dataset directory: read each capture file in byte "
                              "ranges of about BYTES each (a compressed file stays whole)")
    command.add_argument("--overwrite", action="store_true",
                         help="replace a dataset directory that already holds files (without it, such a "
                              "directory is refused)")


def wanted(args: Any) -> bool:
    """Whether this module runs the command: a cluster, byte ranges or a dataset directory."""
    return bool(args.scheduler or args.split_bytes is not None or _dataset(args))


def _dataset(args: Any) -> bool:
    output = args.output
    return args.format == "parquet" and output is not None and (output.endswith(os.sep) or os.path.isdir(output))


def run(args: Any) -> int:
    if args.interface is not None:
        return fail("--scheduler, --split-bytes and dataset directories read capture files only", EXIT_USAGE)
    if not _dataset(args):
        return fail("--scheduler and --split-bytes write a Parquet dataset directory: give -o DIR/ --format parquet",
                    EXIT_USAGE)
    for given, name in ((args.filter, "--filter"), (args.count, "--count")):
        if given is not None:
            return fail(f"{name} is not available with --scheduler, --split-bytes or a dataset directory", EXIT_USAGE)
    try:
        occupied = holds_files(args.output)
    except OSError as error:
        return fail(f"{args.output}: {error.strerror}")
    if occupied and not args.overwrite:
        # Its old files would read as part of the new dataset.
        return fail(f"{args.output}: the directory holds files; --overwrite replaces them", EXIT_USAGE)
    try:
        import varnel.dask
    except ImportError as error:
        return fail(f"this needs varnel[dask] ({error})")
    try:
        with _client(args.scheduler):
            frame = varnel.dask.read_features(args.files, flow_key=args.flow_key, skip_vlan=args.skip_vlan,
                                              continuous=args.continuous, split_bytes=args.split_bytes)
            varnel.dask.to_parquet(frame, args.output, overwrite=args.overwrite)
            return EXIT_OK
    except (varnel.dask.CaptureReadError, OSError, ValueError) as error:
        return fail(str(error))


def _client(address: str | None) -> Any:
    if address is None:
        return nullcontext()
    from distributed import Client

    try:
        return Client(address)
    except OSError as error:
        raise OSError(f"cannot reach the scheduler at {address}: {error}") from None
