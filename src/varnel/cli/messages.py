"""What the command tells its user: the exit statuses, and one line per error or warning, naming the
file or device it is about."""

from __future__ import annotations

import sys

# 0: every input read to its end; 1: an input could not be opened or read at all, or the output
# failed; 2: the command line is wrong; 3: finished, but an input was damaged part-way, of an
# unsupported link type, or ended at a time stamp out of range; 128 + N: ended by signal N.
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_DAMAGED, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
_SEVERITY = {EXIT_OK: 0, EXIT_DAMAGED: 1, EXIT_ERROR: 2}


def worse(status: int, other: int) -> int:
    """The status that says more of what went wrong: 1 over 3 over 0."""
    return other if _SEVERITY.get(other, 3) > _SEVERITY.get(status, 3) else status


def devices_error(error: BaseException) -> str:
    """The line for a device list libpcap cannot give: its reason, which the error carries alone."""
    return f"cannot list capture devices: {getattr(error, 'reason', error)}"


def say(line: str) -> None:
    """One line on stderr, on a line of its own even while progress is drawn."""
    from .progress import end_line

    end_line()
    print(line, file=sys.stderr, flush=True)


def fail(message: str, status: int = EXIT_ERROR) -> int:
    """Prints the error line; returns the exit status for it."""
    say(f"varnel: {message}")
    return status


def warn(message: str) -> None:
    say(f"varnel: warning: {message}")


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
