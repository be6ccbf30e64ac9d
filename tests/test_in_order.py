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


def test_later_sources_hold_at_most_the_budget():
    held = _Held(sources=3, budget=35)
    for n in range(3):
        assert held.put(1, n, 10)
    assert not held._room(1, 10) and not held._room(2, 10)  # 30 held: another 10 would pass 35
    assert held._room(0, 10)  # the source being consumed always has room
    assert held.take(1, timeout=0) == (True, 0)
    assert held._room(2, 10)
    # An item larger than the whole budget still goes in, alone.
    empty = _Held(sources=2, budget=35)
    assert empty._room(1, 1000)


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
    closed = threading.Event()

    def failing():
        yield "x"
        raise ValueError("damaged")

    def endless():
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
