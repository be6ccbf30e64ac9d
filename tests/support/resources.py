"""What the process holds, seen from /proc and the allocators: descriptors on capture files, packet
sockets, interpreter blocks and the C heap; and the leak assertion built on them."""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import tracemalloc
from dataclasses import dataclass
from typing import Callable


def _descriptor_targets() -> list[str]:
    targets = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            targets.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:  # the descriptor listdir itself used, already closed
            pass
    return targets


def open_fds() -> int:
    """How many descriptors this process has open."""
    return len(os.listdir("/proc/self/fd"))


def open_count(path: bytes | str) -> int:
    """How many descriptors of this process are open on the file `path`."""
    target = os.path.realpath(os.fsdecode(path))
    return _descriptor_targets().count(target)


def packet_socket_count() -> int:
    """How many packet sockets (live capture handles) this process holds open."""
    with open("/proc/net/packet") as table:
        lines = table.read().splitlines()
    inode_column = lines[0].split().index("Inode")
    packet_inodes = {line.split()[inode_column] for line in lines[1:]}
    ours = {target[len("socket:["):-1] for target in _descriptor_targets() if target.startswith("socket:[")}
    return len(ours & packet_inodes)


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except AttributeError:  # a libc without it
    _mallinfo2 = None


def native_heap_bytes() -> int:
    """Bytes in use in the C library's heap: C++ objects and libpcap's buffers land here."""
    return _mallinfo2().uordblks if _mallinfo2 else 0


@dataclass
class Usage:
    blocks: int
    heap: int
    fds: int
    refs: list[int]


def usage(watched: list) -> Usage:
    gc.collect()
    return Usage(sys.getallocatedblocks(), native_heap_bytes(), open_fds(), [sys.getrefcount(o) for o in watched])


def traced_bytes(operation: Callable[[], object], rounds: int) -> int:
    """Growth of the interpreter's traced memory over `rounds` runs; tracemalloc sees every
    allocator, including the plain malloc the sanitizer run uses."""
    tracemalloc.start()
    try:
        gc.collect()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            operation()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()


def assert_no_growth(operation: Callable[[], object], watched: list, rounds: int = 200, warmup: int = 20,
                     block_allowance: int | None = None) -> None:
    """Runs `operation` `rounds` times after a warm-up and asserts that interpreter blocks, the C
    heap, open descriptors and the reference counts of `watched` did not grow with the rounds, then
    that traced memory did not either (in a second pass: tracemalloc's own tables live in the C
    heap). The allowances are below one small object per round, so a per-round leak shows."""
    for _ in range(warmup):
        operation()
    before = usage(watched)
    for _ in range(rounds):
        operation()
    after = usage(watched)
    assert after.fds == before.fds, "open file descriptors grew"
    assert after.refs == before.refs, "references to the arguments grew"
    blocks, heap = after.blocks - before.blocks, after.heap - before.heap
    allowance = max(rounds // 4, 2) if block_allowance is None else block_allowance
    assert blocks < allowance, f"interpreter blocks grew by {blocks}"
    assert heap < max(rounds * 16, 256), f"C heap grew by {heap} B"
    growth = traced_bytes(operation, rounds)
    # The floor covers the interpreter's free lists refilling after the collection before the
    # pass; a leaked packet dictionary or row per round exceeds it even over a few rounds.
    assert growth < max(rounds * 4, 1024), f"traced memory grew by {growth} B"


def raises(exception: type[BaseException], function, *args, **kwargs) -> None:
    """Calls `function`, which must raise `exception` (a leak workload step, outside pytest.raises)."""
    try:
        function(*args, **kwargs)
    except exception:
        return
    raise AssertionError(f"{function} did not raise {exception.__name__}")
