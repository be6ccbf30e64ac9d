"""The `varnel` command: packet dictionaries, feature rows and capture devices from the shell."""

from __future__ import annotations

import argparse
import collections
import contextlib
import os
import sys
from typing import Iterator

from .messages import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, about, capture_error, fail, summary, tally, warnings_named
from . import distributed
from .output import Output, drop_standard_output
from .writers import FEATURE_COLUMNS, FORMATS, PACKET_COLUMNS, MissingExtra, check_format_available

FLOW_KEY_COLUMNS = ("src_ip", "dst_ip", "ip_proto")

__all__ = ["EXIT_ERROR", "EXIT_INTERRUPTED", "EXIT_OK", "build_parser", "main"]


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="varnel", description="Turn network traffic into data for analysis.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    devices = commands.add_parser("devices", help="list capture devices; * marks the automatic choice")
    devices.set_defaults(run=run_devices)

    for name, help_text, default_format, runner in (
        ("read", "packet dictionaries from capture files or a live device", "json", run_read),
        ("features", "KDD-style feature rows from capture files or a live device", "csv", run_features),
    ):
        command = commands.add_parser(name, help=help_text, description=help_text)
        command.add_argument("files", nargs="*", metavar="FILE", help="pcap or pcapng files, read in order")
        command.add_argument("-i", "--interface", nargs="?", const="", metavar="DEVICE",
                             help="capture live from DEVICE (no DEVICE: the automatic choice)")
        command.add_argument("--format", choices=FORMATS, default=default_format,
                             help=f"output format (default {default_format}; parquet needs varnel[parquet])")
        command.add_argument("-c", "--count", type=_at_least(0), metavar="N", help="stop after N rows")
        command.add_argument("-o", "--output", metavar="FILE", help="write to FILE instead of standard output")
        command.add_argument("--filter", metavar="EXPR", help="keep only the frames this BPF expression matches")
        command.add_argument("--skip-vlan", action="store_true",
                             help="skip VLAN-tagged frames instead of looking through up to two tags")
        command.add_argument("--snaplen", type=_at_least(1), default=65535, metavar="N",
                             help="live: bytes kept of each frame (default 65535)")
        command.add_argument("--buffer-size", type=_at_least(0), default=0, metavar="BYTES",
                             help="live: kernel buffer size (default: libpcap's)")
        command.add_argument("--no-promisc", dest="promisc", action="store_false",
                             help="live: leave the device out of promiscuous mode")
        command.add_argument("--no-immediate", dest="immediate", action="store_false",
                             help="live: let libpcap deliver frames in batches instead of one by one")
        if name == "features":
            command.add_argument("--flow-key", action="store_true", help="add src_ip, dst_ip and ip_proto to each row")
            command.add_argument("-j", "--jobs", type=_at_least(1), default=1, metavar="N",
                                 help="process several files in N worker processes (output keeps file order)")
            distributed.add_arguments(command)
        command.set_defaults(run=runner)
    return parser


def _at_least(lowest: int):
    def parse(text: str) -> int:
        value = int(text)
        if value < lowest:
            raise ValueError(text)
        return value
    parse.__name__ = "non-negative integer" if lowest <= 0 else "positive integer"  # argparse names the type in errors
    return parse


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    args.totals = collections.Counter()
    if args.command != "devices":
        if bool(args.files) == (args.interface is not None):
            parser.error("give either FILE arguments or -i [DEVICE]")
        if args.format == "parquet" and args.output is None and sys.stdout.isatty():
            parser.error("--format parquet is binary: give -o FILE or redirect standard output")
    try:
        return args.run(args)
    except MissingExtra as error:
        return fail(str(error))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        drop_standard_output()  # the reader went away: stop quietly
        return EXIT_OK
    except OSError as error:  # the output file: cannot be created, disk full
        return fail(f"{error.filename}: {error.strerror}" if error.filename else str(error))


# ---- devices

_FLAG_NAMES = ((1, "loopback"), (2, "up"), (4, "running"), (8, "wireless"))
_CONNECTION_STATUS = {0x10: "connected", 0x20: "disconnected", 0x30: "not applicable"}


def describe_flags(flags: int) -> str:
    words = [word for bit, word in _FLAG_NAMES if flags & bit]
    status = _CONNECTION_STATUS.get(flags & 0x30)
    if status:
        words.append(status)
    return ", ".join(words) or "-"


def run_devices(args) -> int:
    from varnel.core.base.portolan import get_all_devices, get_auto_device

    try:
        devices = get_all_devices()
        chosen = get_auto_device()
    except RuntimeError as error:
        return fail(about("cannot list capture devices", error))
    chosen_name = chosen.decode() if chosen is not None else None
    rows = [(("*" if device["name"] == chosen_name else " "), device["name"], device["description"],
             describe_flags(device["flags"])) for device in devices]
    name_width = max([len("NAME")] + [len(row[1]) for row in rows])
    flags_width = max([len("FLAGS")] + [len(row[3]) for row in rows])
    print(f"  {'NAME':<{name_width}}  {'FLAGS':<{flags_width}}  DESCRIPTION")
    for mark, name, description, flags in rows:
        print(f"{mark} {name:<{name_width}}  {flags:<{flags_width}}  {description}".rstrip())
    if chosen_name is None:
        print("no device to choose automatically", file=sys.stderr)
    return EXIT_OK


# ---- read and features

def file_options(args) -> dict:
    """The options of varnel.read_packets and read_features the command line gives."""
    return {"filter": args.filter, "skip_vlan": args.skip_vlan}


def live_options(args) -> dict:
    return {**file_options(args), "snaplen": args.snaplen, "buffer_size": args.buffer_size,
            "promisc": args.promisc, "immediate": args.immediate}


def run_read(args) -> int:
    import varnel

    return _run_streams(args, PACKET_COLUMNS, file_stream=lambda path: varnel.read_packets(path, **file_options(args)),
                        live_stream=lambda device: varnel.sniff_packets(device, **live_options(args)))


def run_features(args) -> int:
    import varnel

    if distributed.wanted(args):
        return distributed.run(args, FEATURE_COLUMNS + (FLOW_KEY_COLUMNS if args.flow_key else ()))
    several = len(args.files) > 1
    columns = (("file",) if several else ()) + FEATURE_COLUMNS + (FLOW_KEY_COLUMNS if args.flow_key else ())
    if several and args.jobs > 1 and args.count is None:
        from .parallel import run_parallel_features
        if (error := _filter_error(args)) is not None:
            return fail(error)
        return run_parallel_features(args, columns)
    flow_key = {"flow_key": args.flow_key}
    return _run_streams(args, columns,
                        file_stream=lambda path: varnel.read_features(path, **file_options(args), **flow_key),
                        live_stream=lambda device: varnel.sniff_features(device, **live_options(args), **flow_key),
                        file_column=several)


def _filter_error(args) -> str | None:
    """Why the filter expression is refused, before anything opens; None for a good one."""
    import varnel

    try:
        varnel.read_packets([], filter=args.filter).close()
    except ValueError as error:
        return str(error)
    return None


def _run_streams(args, columns, file_stream, live_stream, file_column: bool = False) -> int:
    from .progress import Progress

    check_format_available(args.format)
    if (error := _filter_error(args)) is not None:
        return fail(error)
    progress = Progress(total_files=len(args.files))
    with Output(args, columns) as output:
        try:
            if args.interface is not None:
                return _write_live(args, live_stream, output.writer, progress)
            return _write_files(args, file_stream, output.writer, progress, file_column)
        except KeyboardInterrupt:
            # Leaving the block flushes everything written so far.
            return EXIT_INTERRUPTED
        finally:
            progress.finish()
            if (line := summary(args.totals)) is not None:
                print(f"varnel: {line}", file=sys.stderr)


def _write_live(args, live_stream, writer, progress) -> int:
    try:
        device = _device(args.interface)
    except _NoDevice as error:
        return fail(str(error))
    name = device.decode(errors="replace")
    stream = live_stream(device)
    try:
        # Each row goes out as it arrives: a live capture is watched, or piped into another tool.
        _drain(_live_rows(stream, name, progress), writer, args.count, flush_each=True)
    except (RuntimeError, ValueError, OSError) as error:
        if (line := capture_error(name, error)) is None:
            raise
        return fail(line)
    finally:
        tally(args, stream.stats())
    return EXIT_OK


def _write_files(args, file_stream, writer, progress, file_column: bool) -> int:
    status = EXIT_OK
    remaining = args.count
    for path in args.files:
        if remaining == 0:
            break
        stream = file_stream(os.fsencode(path))
        rows = _file_rows(stream, path, progress, file_column)
        try:
            with warnings_named(path):
                written = _drain(rows, writer, remaining)
        except (RuntimeError, ValueError, OSError) as error:  # this file cannot be opened; go on with the next
            if (line := capture_error(path, error)) is None:
                raise
            status = fail(line)
            continue
        finally:
            tally(args, stream.stats())
        progress.file_done()
        if remaining is not None:
            remaining -= written
    return status


def _drain(rows: Iterator[dict], writer, limit: int | None, flush_each: bool = False) -> int:
    """Writes rows as they come, at most `limit`; closes the stream, so its capture closes at once."""
    written = 0
    with contextlib.closing(rows):
        if limit == 0:
            return 0
        for row in rows:
            writer.write(row)
            if flush_each:
                writer.flush()
            written += 1
            if written == limit:
                break
    return written


def _file_rows(stream, name: str, progress, file_column: bool) -> Iterator[dict]:
    from .progress import file_size

    size = file_size(os.fsencode(name))
    try:
        for row in stream:
            if file_column:
                row = {"file": name, **row}
            yield row
            progress.file(name, stream, size)
    finally:
        stream.close()


def _live_rows(stream, device: str, progress) -> Iterator[dict]:
    packets = 0
    try:
        for row in stream:
            packets += 1
            yield row
            progress.live(device, packets)
    finally:
        stream.close()


class _NoDevice(Exception):
    pass


def _device(name: str) -> bytes:
    if name:
        return os.fsencode(name)
    from varnel.core.base.portolan import get_auto_device

    try:
        chosen = get_auto_device()
    except RuntimeError as error:
        raise _NoDevice(about("cannot list capture devices", error)) from None
    if chosen is None:
        raise _NoDevice("no capture device found; name one with -i DEVICE")
    return chosen
