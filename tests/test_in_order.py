"""Sources read on threads, handed on in order: later sources read ahead within the byte budget,
and the source being consumed is never starved by them."""

from __future__ import annotations

import threading

import pytest

from varnel._in_order import _Held, in_order

WAIT = 10.0  # seconds: bounds every wait, none is expected to take it


def consume_all(files) -> list[list]:
    return [list(items) for items in files]


def test_a_later_source_reads_to_its_end_while_the_first_is_consumed():
    later_done = threading.Event()
    seen_while_waiting = []

    def first():
        yield "a0"
        seen_while_waiting.append(later_done.wait(WAIT))
        yield "a1"

    def later():
        yield from (f"b{n}" for n in range(50))
        later_done.set()

    got = consume_all(in_order([first(), later()], jobs=2, size_of=lambda item: 10))
    assert got == [["a0", "a1"], [f"b{n}" for n in range(50)]]
    assert seen_while_waiting == [True]


def test_the_budget_counts_what_waits_what_is_being_written_and_what_is_being_read():
    held = _Held(sources=3, budget=25)
    assert held.put(0, "first", 10, held.reserve(0))
    assert held.put(1, 0, 10, held.reserve(1))
    assert not held._room(1, 10) and not held._room(2, 10)  # 20 waiting: another 10 would pass 25
    assert held.take(0, timeout=0) == (True, "first")
    assert held._room(0, 10)  # the source being consumed, with nothing waiting, always has room
    assert not held._room(2, 10)  # the item being written still counts
    held.advance()
    assert held._room(2, 10)
    # An item being read counts before it is there, at the size of the last one read.
    reading = _Held(sources=2, budget=35)
    assert reading.put(0, "a", 10, reading.reserve(0))
    assert reading.reserve(1) == 10 and reading.reserve(1) == 10
    assert not reading._room(1, 10)  # 10 waiting, 20 being read
    assert reading.put(1, "b", 5, 10)
    assert reading._room(1, 10)
    # An item larger than the whole budget still goes in, alone.
    large = _Held(sources=3, budget=35)
    assert large.put(0, "x", 1000, large.reserve(0)) and large.take(0, timeout=0) == (True, "x")
    large.advance()
    assert large._room(2, 1000)


@pytest.mark.parametrize("jobs", [2, 4])
def test_items_read_and_not_yet_written_stay_within_the_budget(jobs):
    # Each item costs 10; the budget holds three. An item is alive from the moment its source
    # starts reading it until the consumer comes back for the next one.
    lock = threading.Lock()
    alive = peak = 0

    def source(name: str):
        nonlocal alive, peak
        for n in range(200):
            with lock:
                alive += 1
                peak = max(peak, alive)
            yield f"{name}{n}"

    files = in_order([source(name) for name in "abcd"], jobs, lambda item: 10, budget=35)
    for items in files:
        for _ in items:
            with lock:
                alive -= 1
    # Three within the budget (or one per thread at the start, before an item's size is known), and
    # one more that the source being consumed may always read when it has none waiting.
    assert peak <= max(3, jobs) + 1


@pytest.mark.parametrize("jobs", [1, 2, 3])
def test_the_current_source_goes_on_when_the_budget_is_spent(jobs):
    def source(name: str):
        yield from (f"{name}{n}" for n in range(40))

    sources = [source(name) for name in "abc"]
    worker = threading.Thread(target=lambda: got.extend(consume_all(in_order(sources, jobs, len, budget=1))))
    got: list[list[str]] = []
    worker.start()
    worker.join(WAIT)
    assert not worker.is_alive()
    assert got == [[f"{name}{n}" for n in range(40)] for name in "abc"]


def test_a_failure_is_raised_at_its_sources_turn_and_closing_stops_the_others():
    started = threading.Event()
    closed = threading.Event()

    def failing():
        yield "x"
        raise ValueError("damaged")

    def endless():
        started.set()
        try:
            n = 0
            while True:
                yield n
                n += 1
        finally:
            closed.set()

    files = in_order([failing(), endless()], jobs=2, size_of=lambda item: 1, budget=100)
    items = next(files)
    assert next(items) == "x"
    with pytest.raises(ValueError, match="damaged"):
        next(items)
    assert started.wait(WAIT)
    files.close()
    assert closed.is_set()  # the thread that ran it closed it before the pool was joined


def test_an_interrupted_consumer_stops_waiting():
    release = threading.Event()
    stop = threading.Event()

    def slow():
        release.wait(WAIT)
        yield "late"

    files = in_order([slow()], jobs=1, size_of=len, interrupted=stop.is_set, poll=0.01)
    stop.set()
    assert list(next(files)) == []
    release.set()
    files.close()
