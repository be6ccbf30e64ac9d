"""What the command tells its user: the exit statuses, and one line per error or warning, naming the
file or device it is about."""

from __future__ import annotations

import contextlib
import sys
import warnings
from typing import Iterable, Iterator

EXIT_OK, EXIT_ERROR, EXIT_INTERRUPTED = 0, 1, 130

# The modules' fixed message prefixes; the command says instead which file or device failed.
MODULE_PREFIXES = (
    "Could not open file: ", "Could not read file: ", "Could not open device: ", "Could not read from device: ",
    "Lỗi mở file PCAP: ", "Lỗi đọc file PCAP: ", "Lỗi mở card mạng: ", "Lỗi đọc card mạng: ",
    "Lỗi tìm thiết bị: ",
)


def reason_of(problem: BaseException | str) -> str:
    """libpcap's reason in a module's error or warning: its `reason` attribute where it has one,
    else its text without the module's prefix."""
    reason = getattr(problem, "reason", None)
    if reason is not None:
        return str(reason)
    message = str(problem)
    for prefix in MODULE_PREFIXES:
        if message.startswith(prefix):
            return message[len(prefix):]
    return message


def about(source: str, problem: BaseException | str) -> str:
    """`source: reason`, from a module's error or warning about `source`."""
    # libpcap's reasons often start with the file's name already.
    return f"{source}: {reason_of(problem).removeprefix(source + ': ')}"


def fail(message: str) -> int:
    """Prints the error line; returns the exit status for it."""
    print(f"varnel: {message}", file=sys.stderr)
    return EXIT_ERROR


def warn_about(source: str, problems: Iterable[BaseException | str]) -> None:
    for problem in problems:
        print(f"varnel: warning: {about(source, problem)}", file=sys.stderr)


@contextlib.contextmanager
def warnings_named(source: str) -> Iterator[None]:
    """Each warning a stream gives (a damaged file) becomes one line naming the file."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)  # two files damaged alike give two lines
        try:
            yield
        finally:
            warn_about(source, (warning.message for warning in caught))


def capture_error(source: str, error: Exception) -> str | None:
    """The line for a capture that cannot be opened or read; None for an error of something else (the
    output file)."""
    if isinstance(error, OSError):
        return f"{source}: {error.strerror}" if error.filename == source else None
    return about(source, error)


def tally(args, stats: dict) -> None:
    """Adds a finished stream's skipped and dropped frames to the run's totals."""
    for key in ("vlan_tagged", "unsupported_link", "dropped"):
        args.totals[key] += stats.get(key) or 0


def summary(totals) -> str | None:
    """One line on what the output lacks: frames skipped for want of decoding, or lost by the kernel."""
    parts = [f"{totals[key]:,} frames skipped: {reason}"
             for key, reason in (("vlan_tagged", "VLAN-tagged"), ("unsupported_link", "unsupported link type"))
             if totals[key]]
    if totals["dropped"]:
        parts.append(f"{totals['dropped']:,} dropped by the kernel")
    return "; ".join(parts) or None
