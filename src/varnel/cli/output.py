"""Where the output goes: standard output or the -o file, as bytes. A failure to write becomes one
line naming the output and the cause; a reader that went away ends the run quietly.

A regular file is written whole or not at all: into a temporary file beside it, renamed over it
when the run ends with its output complete (at the end, or at a signal that ends it between
batches); an output that failed, or a process killed, leaves the file as it was. Standard output,
/dev/stdout, FIFOs and devices are written in place: they have no place beside them to rename from.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import stat
import sys
from typing import BinaryIO, Iterator

from .._replace import create_beside

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
    """The destination as a binary file, closed on every way out; a regular file takes the output's
    place only when the block ends without an exception. OSError met inside (opening, writing,
    flushing, closing, renaming) comes out as OutputFailed."""
    name = STANDARD_OUTPUT if path is None else path
    try:
        if path is None:
            yield sys.stdout.buffer
            sys.stdout.buffer.flush()
        elif written_in_place(path):
            with open(path, "wb") as out:
                yield out
        else:
            with replacing(os.path.realpath(path)) as out:  # a symlink's target is replaced, not the link
                yield out
    except OSError as error:
        failure = OutputFailed(name, error)
        if path is None:
            drop_standard_output()
        raise failure from None


def written_in_place(path: str) -> bool:
    """Whether `path` is written where it is: not a regular file, or a name of an open descriptor
    (/dev/stdout, /dev/fd/N), which may stand for a regular file the shell opened."""
    directory = os.path.realpath(os.path.dirname(os.path.abspath(path)))
    if directory in ("/dev", "/proc") or directory.startswith("/proc/"):  # not /dev/shm: files like any other
        return True
    try:
        return not stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        return False  # a new file, or one whose opening will say what is wrong


@contextlib.contextmanager
def replacing(target: str) -> Iterator[BinaryIO]:
    """A temporary file beside `target`, renamed over it at a normal end, removed on an exception."""
    try:
        existing = os.stat(target)
    except FileNotFoundError:
        existing = None
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC
    temporary, descriptor = create_beside(target, lambda name: os.open(name, flags, 0o666))
    try:
        with open(descriptor, "wb") as out:
            if existing is not None:
                keep_owner_and_mode(descriptor, existing)
            yield out
            out.flush()
            os.fsync(descriptor)  # the rename must not land before the data
        os.rename(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def keep_owner_and_mode(descriptor: int, existing: os.stat_result) -> None:
    """The replacement keeps the mode of the file it replaces, and its owner where we may set it."""
    if (existing.st_uid, existing.st_gid) != (os.getuid(), os.getgid()):
        with contextlib.suppress(PermissionError):
            os.fchown(descriptor, existing.st_uid, existing.st_gid)
    os.fchmod(descriptor, stat.S_IMODE(existing.st_mode))  # after the owner: chown clears set-id bits


def drop_standard_output() -> None:
    """For a reader of standard output that went away (`varnel read x.pcap | head`), or a device
    that is full: what is still buffered goes nowhere at the interpreter's last flush, instead of
    failing again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
