"""Several sources read on threads at once, their items handed on in source order.

Output in order means that what later sources produce waits until the consumer comes to them. A
bound per source in items would stall a later source after a few batches, so the bound is a byte
budget shared by all of them: everything read and not yet written out (waiting, being read, being
written) stays within READ_AHEAD_BYTES, except that the source being consumed may always read its
next item when it has none waiting (the consumer waits for it, so it is never starved by the
others), and that at the start, before any item's size is known, each thread reads one item.
"""

from __future__ import annotations

import collections
import threading
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import Any

READ_AHEAD_BYTES = 128 * 2**20


class _Failed:
    """A source's iterator raised: the exception goes to the consumer, at the source's turn."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException):
        self.error = error


_END = object()


class _Held:
    """What has been read and not yet written out, per source, under one lock. The budget counts
    all of it: the items waiting for the consumer, each item being read (counted before it is
    read, at the size of the last item read, then at its own), and the item the consumer is
    writing (until it comes back for the next)."""

    def __init__(self, sources: int, budget: int):
        self._ready = threading.Condition()
        self._items: list[collections.deque] = [collections.deque() for _ in range(sources)]
        self._bytes = 0
        self._budget = budget
        self._typical = 0  # the size of the last item read: what the next one is counted at (0: unknown yet)
        self._taken = 0  # the size of the item the consumer is writing
        self.current = 0
        self.stopped = False

    def _room(self, index: int, size: int) -> bool:
        if index < self.current:
            return True  # passed over: put() drops it
        if index == self.current and not self._items[index]:
            return True  # the consumer waits for this one: never held back
        return self._bytes == 0 or self._bytes + size <= self._budget

    def reserve(self, index: int) -> int | None:
        """Waits for room to read the next item of source `index`; the bytes counted for it, or None
        once the run has stopped or passed the source over."""
        with self._ready:
            self._ready.wait_for(lambda: self.stopped or self._room(index, self._typical))
            if self.stopped or index < self.current:
                return None
            size = self._typical
            self._bytes += size
            return size

    def put(self, index: int, item: Any, size: int, reserved: int = 0) -> bool:
        """Hands on an item read in the room `reserved` for it; False once the run has stopped."""
        with self._ready:
            self._bytes -= reserved
            if size:
                self._typical = size
            if self.stopped or index < self.current:
                self._ready.notify_all()
                return False
            self._items[index].append((item, size))
            self._bytes += size
            self._ready.notify_all()
            return True

    def take(self, index: int, timeout: float | None) -> tuple[bool, Any]:
        """(True, item), or (False, None) when nothing came within `timeout`. The consumer is done
        with the item it took before."""
        with self._ready:
            self._written()
            if not self._ready.wait_for(lambda: self._items[index], timeout):
                return False, None
            item, size = self._items[index].popleft()
            self._taken = size
            self._ready.notify_all()
            return True, item

    def _written(self) -> None:
        self._bytes -= self._taken
        self._taken = 0
        self._ready.notify_all()

    def advance(self) -> None:
        """The consumer is done with the current source; what it left is dropped."""
        with self._ready:
            self._written()
            self._bytes -= sum(size for _, size in self._items[self.current])
            self._items[self.current].clear()
            self.current += 1
            self._ready.notify_all()

    def stop(self) -> None:
        with self._ready:
            self.stopped = True
            self._ready.notify_all()


def in_order(sources: list[Iterable], jobs: int, size_of: Callable[[Any], int], *,
             interrupted: Callable[[], bool] | None = None, poll: float = 0.1,
             budget: int = READ_AHEAD_BYTES) -> Iterator[Iterator]:
    """Iterates `sources` on `jobs` threads; yields, in order, one iterator of each source's items.
    Take each iterator to its end before the next. An exception a source raised is raised from
    its iterator. With `interrupted`, looked at every `poll` seconds while waiting, an iterator
    ends early once it returns true. Closing this generator stops and joins every thread (a
    source's iterator is closed by the thread that ran it)."""
    held = _Held(len(sources), budget)

    def read(index: int, source: Iterable) -> None:
        items = iter(source)
        reserved: int | None = 0
        try:
            while (reserved := held.reserve(index)) is not None:
                item = next(items, _END)
                if item is _END:
                    held.put(index, _END, 0, reserved)
                    return
                if not held.put(index, item, size_of(item), reserved):
                    return
        except BaseException as error:  # noqa: BLE001 - handed to the consumer, in order
            held.put(index, _Failed(error), 0, reserved or 0)
        finally:
            close = getattr(items, "close", None)
            if close is not None:
                close()

    def items_of(index: int) -> Iterator:
        while True:
            got, item = held.take(index, poll if interrupted is not None else None)
            if not got:
                if interrupted is not None and interrupted():
                    return
                continue
            if item is _END:
                return
            if isinstance(item, _Failed):
                raise item.error
            yield item

    pool = ThreadPoolExecutor(max_workers=jobs, thread_name_prefix="varnel-in-order")
    try:
        for index, source in enumerate(sources):
            pool.submit(read, index, source)
        for index in range(len(sources)):
            yield items_of(index)
            held.advance()
    finally:
        held.stop()
        pool.shutdown(wait=True, cancel_futures=True)
