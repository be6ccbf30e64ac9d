"""The `varnel` command: packet dictionaries, feature rows, connection records and capture devices
from the shell."""

from __future__ import annotations

import argparse
import collections
import os
import sys

from . import distributed
from .messages import (EXIT_DAMAGED, EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, devices_error, fail)
from .writers import EXTENSIONS, FORMAT_ALIASES, FORMATS, MissingExtra, import_pyarrow

__all__ = ["EXIT_DAMAGED", "EXIT_ERROR", "EXIT_INTERRUPTED", "EXIT_OK", "EXIT_USAGE", "build_parser", "main"]

EXIT_STATUSES = """exit status:
  0    every input was read to its end
  1    an input could not be opened or read at all, or the output could not be written (an
       -o file is then left as it was)
  2    the command line is wrong (or -o names one of the inputs)
  3    finished, but an input was damaged part-way, of an unsupported link type, or ended at a
       time stamp out of range (--strict stops there)
  130, 143, 129
       ended by SIGINT (Ctrl+C), SIGTERM or SIGHUP; the output holds every row read before, complete
Frames skipped inside a good file and frames dropped by the kernel leave the status alone."""


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="varnel", description="Turn network traffic into data for analysis.",
                                     epilog=EXIT_STATUSES, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    devices = commands.add_parser("devices", help="list capture devices; * marks the automatic choice")
    devices.set_defaults(run=run_devices)

    for name, help_text, default_format, runner in (
        ("read", "packet dictionaries from capture files or a live device", "jsonl", run_read),
        ("features", "KDD-style feature rows from capture files or a live device", "csv", run_features),
        ("connections", "KDD'99 connection records from capture files or a live device", "csv", run_connections),
    ):
        command = commands.add_parser(name, help=help_text, description=help_text, epilog=EXIT_STATUSES,
                                      formatter_class=argparse.RawDescriptionHelpFormatter)
        command.set_defaults(default_format=default_format)
        command.add_argument("files", nargs="*", metavar="FILE", help="pcap or pcapng files, read in order")
        command.add_argument("-i", "--interface", nargs="?", const="", metavar="DEVICE",
                             help="capture live from DEVICE (no DEVICE: the automatic choice)")
        command.add_argument("--format", choices=FORMATS + tuple(FORMAT_ALIASES),
                             help=f"output format (default: from the -o extension .parquet, .csv, .jsonl or "
                                  f".json, else {default_format}; json is jsonl; parquet needs varnel[parquet])")
        command.add_argument("-c", "--count", type=_at_least(0), metavar="N", help="stop after N rows")
        command.add_argument("-o", "--output", metavar="FILE",
                             help="write to FILE instead of standard output (a regular file is replaced only "
                                  "once the output is complete)")
        command.add_argument("-j", "--jobs", type=_at_least(1), default=1, metavar="N",
                             help="read several files on N threads (output keeps file order)")
        command.add_argument("--strict", action="store_true",
                             help="stop at the first damaged input, with exit status 3")
        command.add_argument("--filter", metavar="EXPR", help="keep only the frames this BPF expression matches")
        command.add_argument("--skip-vlan", action="store_true",
                             help="skip VLAN-tagged frames instead of looking through up to two tags")
        command.add_argument("--file-column", action="store_true",
                             help="begin each row with the file it came from (always with several files)")
        command.add_argument("--snaplen", type=_at_least(1), default=65535, metavar="N",
                             help="live: bytes kept of each frame (default 65535)")
        command.add_argument("--buffer-size", type=_at_least(0), default=0, metavar="BYTES",
                             help="live: kernel buffer size (default: room for 4,000 frames of --snaplen, "
                                  "at most 64 MiB)")
        command.add_argument("--no-promisc", dest="promisc", action="store_false",
                             help="live: leave the device out of promiscuous mode")
        command.add_argument("--no-immediate", dest="immediate", action="store_false",
                             help="live: let libpcap deliver frames in batches instead of one by one")
        if name == "features":
            command.add_argument("--flow-key", action="store_true", help="add src_ip, dst_ip and ip_proto to each row")
            distributed.add_arguments(command)
        elif name == "connections":
            command.set_defaults(flow_key=False)
            add_connection_arguments(command)
        else:
            command.set_defaults(flow_key=False, continuous=False)
        command.set_defaults(run=runner)
    return parser


def add_connection_arguments(command: argparse.ArgumentParser) -> None:
    from varnel._connection_options import DEFAULTS

    command.add_argument("--continuous", action="store_true",
                         help="read the files, in order, as one capture: connections and windows run on across them")
    for option, what in (("tcp_timeout", "a TCP connection ends this long after its last packet"),
                         ("udp_timeout", "a UDP connection ends this long after its last packet"),
                         ("icmp_timeout", "an ICMP connection ends this long after its last packet"),
                         ("close_linger", "a closed TCP connection ends this long after its last packet"),
                         ("time_window", "the time window of count, srv_count and their rates")):
        command.add_argument("--" + option.replace("_", "-"), type=float, default=DEFAULTS[option],
                             metavar="SECONDS", help=f"{what} (default {DEFAULTS[option]:g})")
    command.add_argument("--host-window", type=int, default=DEFAULTS["host_window"], metavar="N",
                         help="the host window of the dst_host_* columns, in records (default 100)")
    command.add_argument("--max-connections", type=int, default=DEFAULTS["max_connections"], metavar="N",
                         help="connections open at once; beyond, the one idle longest ends early (default 1048576)")
    command.add_argument("--service", dest="services", action="append", type=_service, metavar="PROTO/PORT=NAME",
                         help="name a port's service, e.g. tcp/8443=https (repeatable; overrides the table)")
    command.add_argument("--kdd-compat", action="store_true",
                         help="shape records as the published data sets: rates to two decimals, capped counts, "
                              "RSTRH as RSTR and SHR as SH")


def _service(text: str) -> tuple[tuple[str, int], str]:
    """PROTO/PORT=NAME as a services entry."""
    key, separator, name = text.partition("=")
    protocol, slash, port = key.partition("/")
    if not (separator and slash and port.isdigit() and name):
        raise ValueError(text)
    return (protocol.lower(), int(port)), name


_service.__name__ = "service (PROTO/PORT=NAME)"


def connection_options(args) -> dict:
    """The connection options of the command line, as the readers take them."""
    from varnel._connection_options import DEFAULTS

    options = {name: getattr(args, name) for name in DEFAULTS if name != "services"}
    options["services"] = dict(args.services) if args.services else None
    return options


def _at_least(lowest: int):
    def parse(text: str) -> int:
        value = int(text)
        if value < lowest:
            raise ValueError(text)
        return value
    parse.__name__ = "non-negative integer" if lowest <= 0 else "positive integer"  # argparse names the type in errors
    return parse


def output_format(args) -> str:
    if args.format is not None:
        return FORMAT_ALIASES.get(args.format, args.format)
    if args.output is not None:
        extension = os.path.splitext(args.output)[1].lower()
        if extension in EXTENSIONS:
            return EXTENSIONS[extension]
    return args.default_format


def output_among_inputs(args) -> str | None:
    """The input the -o file is (the same file, whatever its name), or None."""
    if args.output is None:
        return None
    try:
        output = os.stat(args.output)
    except OSError:
        return None
    for path in args.files:
        try:
            found = os.stat(path)
        except OSError:
            continue
        if (found.st_dev, found.st_ino) == (output.st_dev, output.st_ino):
            return path
    return None


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    args.totals = collections.Counter()
    if args.command != "devices":
        if bool(args.files) == (args.interface is not None):
            parser.error("give either FILE arguments or -i [DEVICE]")
        args.format = output_format(args)
        if args.format == "parquet" and args.output is None and sys.stdout.isatty():
            parser.error("--format parquet is binary: give -o FILE or redirect standard output")
        if (same := output_among_inputs(args)) is not None:
            return fail(f"{args.output}: the output is the input {same}; refusing to overwrite it", EXIT_USAGE)
    try:
        return args.run(args)
    except MissingExtra as error:
        return fail(str(error))
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


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
        return fail(devices_error(error))
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

def run_read(args) -> int:
    return _run(args, "packets")


def run_features(args) -> int:
    if distributed.wanted(args):
        return distributed.run(args)
    return _run(args, "features")


def run_connections(args) -> int:
    from varnel._connection_options import connection_options as checked

    try:
        checked(**connection_options(args))
    except (TypeError, ValueError) as error:
        return fail(str(error), EXIT_USAGE)
    return _run(args, "connections")


def _run(args, kind: str) -> int:
    from .engine import Run

    if args.format == "parquet":
        import_pyarrow()
    if (error := _filter_error(args)) is not None:
        return fail(error)
    return Run(args, kind).execute()


def _filter_error(args) -> str | None:
    """Why the filter expression is refused, before anything opens; None for a good one."""
    import varnel

    try:
        varnel._filter_text(args.filter)  # compiled once, and not at all when there is none
    except ValueError as error:
        return str(error)
    return None


def device_name(name: str) -> str | None:
    """The device to capture on; None (the line printed) when there is none to choose."""
    if name:
        return name
    from varnel.core.base.portolan import get_auto_device

    try:
        chosen = get_auto_device()
    except RuntimeError as error:
        fail(devices_error(error))
        return None
    if chosen is None:
        fail("no capture device found; name one with -i DEVICE")
        return None
    return os.fsdecode(chosen)
