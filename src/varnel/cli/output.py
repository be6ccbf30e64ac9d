"""Where the output goes: standard output or the -o file, as bytes. A failure to write becomes one
line naming the output and the cause; a reader that went away ends the run quietly."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import sys
from typing import BinaryIO, Iterator

STANDARD_OUTPUT = "standard output"


class OutputFailed(Exception):
    """Writing the output failed; str() is the line to print."""

    def __init__(self, name: str, error: BaseException):
        number = getattr(error, "errno", None)
        if number is None and (found := re.search(r"[Ee]rrno (\d+)", str(error))):
            number = int(found.group(1))  # pyarrow names the errno only in its text
        self.closed_pipe = isinstance(error, BrokenPipeError) or number == errno.EPIPE
        cause = os.strerror(number) if number else str(error)
        super().__init__(f"{name}: {cause}")


@contextlib.contextmanager
def open_output(path: str | None) -> Iterator[BinaryIO]:
    """The destination as a binary file, closed on every way out. OSError met inside (writing,
    flushing, closing) comes out as OutputFailed."""
    name = STANDARD_OUTPUT if path is None else path
    try:
        if path is None:
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        else:
            with open(path, "wb") as out:
                yield out
    except OSError as error:
        failure = OutputFailed(name, error)
        if path is None:
            drop_standard_output()
        raise failure from None


def drop_standard_output() -> None:
    """For a reader of standard output that went away (`varnel read x.pcap | head`), or a device
    that is full: what is still buffered goes nowhere at the interpreter's last flush, instead of
    failing again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
