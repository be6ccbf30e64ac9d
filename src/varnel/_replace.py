"""Outputs replaced whole: what is written goes first to a sibling of the target, named after the
target and the writing process (`.NAME.varnel-PID.tmp`), and takes the target's place once it is
complete. A process killed part-way leaves its sibling behind and the target as it was; the next
writer of the same target removes such siblings, unless their process is still alive.
"""

from __future__ import annotations

import errno
import itertools
import os
import re
import shutil
from collections.abc import Callable, Iterator
from typing import TypeVar

T = TypeVar("T")


def _sibling_names(target: str) -> Iterator[str]:
    directory, name = os.path.split(target)
    pid = os.getpid()
    # Several writers in one process (threads, or a test calling the command twice) take turns at
    # the suffix; the pid stays first, so that a stale sibling says whose it was.
    for turn in itertools.count():
        suffix = f"{pid}" if turn == 0 else f"{pid}-{turn}"
        yield os.path.join(directory, f".{name}.varnel-{suffix}.tmp")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True  # another user's process
    return True


def remove_stale(target: str) -> None:
    """Removes the siblings of `target` that processes no longer alive left behind."""
    directory, name = os.path.split(target)
    pattern = re.compile(re.escape(f".{name}.varnel-") + r"(\d+)(?:-\d+)?\.tmp")
    try:
        entries = os.listdir(directory or ".")
    except OSError:
        return  # the writing itself will say what is wrong with the directory
    for entry in entries:
        found = pattern.fullmatch(entry)
        if found is None or _alive(int(found.group(1))):
            continue
        path = os.path.join(directory, entry)
        try:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.unlink(path)
        except FileNotFoundError:
            pass  # another writer of the same target removed it first


def create_beside(target: str, create: Callable[[str], T]) -> tuple[str, T]:
    """A new sibling of `target` made by `create(path)` (which raises FileExistsError for a path
    that is taken), after the stale ones are removed: (its path, what `create` returned)."""
    remove_stale(target)
    for path in _sibling_names(target):
        try:
            return path, create(path)
        except FileExistsError:
            continue
    raise AssertionError("unreachable")  # the names never run out


def holds_files(directory: str) -> bool:
    """Whether `directory` exists and has anything in it."""
    try:
        with os.scandir(directory) as entries:
            return next(entries, None) is not None
    except FileNotFoundError:
        return False


def swap_in(staging: str, target: str) -> None:
    """Puts the directory `staging` where `target` is: at once when `target` is absent or empty,
    else by moving the old one aside first and removing it after."""
    try:
        os.rename(staging, target)
        return
    except OSError as error:
        if error.errno not in (errno.ENOTEMPTY, errno.EEXIST):
            raise
    old, _ = create_beside(target, os.mkdir)
    os.rename(target, old)  # onto the empty directory just made there
    try:
        os.rename(staging, target)
    except OSError:
        os.rename(old, target)  # the old one back, rather than left under a name taken for stale
        raise
    shutil.rmtree(old, ignore_errors=True)
