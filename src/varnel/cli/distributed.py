"""`varnel features` over many files as one capture (`--continuous`), on a Dask cluster
(`--scheduler`), or into a Parquet dataset directory (`-o DIR/ --format parquet`)."""

from __future__ import annotations

import argparse
import os
from contextlib import nullcontext
from typing import Any

from .messages import EXIT_OK, fail


def add_arguments(command: argparse.ArgumentParser) -> None:
    command.add_argument("--continuous", action="store_true",
                         help="read the files, in order, as one capture: counts run on across them")
    command.add_argument("--scheduler", metavar="ADDRESS",
                         help="run on the Dask cluster at ADDRESS (tcp://host:8786); needs varnel[dask]")
    command.add_argument("--split-bytes", type=int, metavar="BYTES",
                         help="with --scheduler or a dataset directory: read classic pcap files in byte "
                              "ranges of about BYTES each")


def wanted(args: Any) -> bool:
    """Whether this module runs the command: any of its options, or a dataset directory."""
    return bool(args.continuous or args.scheduler or args.split_bytes is not None or _dataset(args))


def _dataset(args: Any) -> bool:
    output = args.output
    return args.format == "parquet" and output is not None and (output.endswith(os.sep) or os.path.isdir(output))


def run(args: Any, columns: tuple[str, ...]) -> int:
    if args.interface is not None:
        return fail("--continuous, --scheduler and dataset directories read capture files only")
    if args.scheduler is None and not _dataset(args) and args.split_bytes is None:
        return _run_serial(args, columns)
    for given, name in ((args.filter, "--filter"), (args.count, "--count")):
        if given is not None:
            return fail(f"{name} is not available with --scheduler, --split-bytes or a dataset directory")
    try:
        import varnel.dask
    except ImportError as error:
        return fail(f"this needs varnel[dask] ({error})")
    try:
        with _client(args.scheduler):
            frame = varnel.dask.read_features(args.files, flow_key=args.flow_key, skip_vlan=args.skip_vlan,
                                              continuous=args.continuous, split_bytes=args.split_bytes)
            if _dataset(args):
                varnel.dask.to_parquet(frame, args.output)
                return EXIT_OK
            return _write_partitions(args, frame, columns)
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


def _write_partitions(args: Any, frame: Any, columns: tuple[str, ...]) -> int:
    import varnel.dask

    from .output import Output

    with Output(args, columns) as output:
        for index in range(frame.npartitions):
            part = varnel.dask.compute(frame.get_partition(index))
            for row in part.to_dict("records"):
                output.writer.write(row)
    return EXIT_OK


def _run_serial(args: Any, columns: tuple[str, ...]) -> int:
    import varnel

    from .messages import warnings_named
    from .output import Output

    try:
        stream = varnel.read_features(args.files, filter=args.filter, skip_vlan=args.skip_vlan,
                                      flow_key=args.flow_key, continuous=True)
    except ValueError as error:
        return fail(str(error))
    remaining = args.count
    with Output(args, columns) as output, warnings_named(", ".join(args.files)):
        try:
            for row in stream:
                if remaining == 0:
                    break
                output.writer.write(row)
                if remaining is not None:
                    remaining -= 1
        except (RuntimeError, OSError) as error:
            return fail(str(error))
        finally:
            stream.close()
    return EXIT_OK
