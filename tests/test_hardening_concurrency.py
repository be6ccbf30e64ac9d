"""Several threads on the capture generators at once: separate files read in parallel give what they
give alone, and threads racing next() on one live generator never run it twice."""

from __future__ import annotations

import threading
import time
from pathlib import Path

import pytest

from testkit.frames import ETH_IPV6, Record, arp, ethernet, icmp, ipv4, ipv6, tcp, udp, write_pcap
from support.loopback import send_datagram
from varnel.core.base.grapnel import read_pcap, start_sniff

THREADS_PER_FILE = 3


def capture_records(seed: int, count: int = 3000) -> list[Record]:
    """A different, deterministic mix of frames for each seed."""
    records = []
    for i in range(count):
        n = seed * 7919 + i
        kind = n % 5
        if kind == 0:
            frame = ethernet(ipv4(tcp(n % 65536, 80, seq=n * 2654435761 % 2**32, flags=n % 256), ident=n % 65536))
        elif kind == 1:
            frame = ethernet(ipv4(udp(53, n % 65536), proto=17, src=f"10.{seed}.{n % 256}.1"))
        elif kind == 2:
            frame = ethernet(ipv6(icmp(n % 256, seed), next_hdr=58, flow_label=n % 2**20), eth_type=ETH_IPV6)
        elif kind == 3:
            frame = arp()
        else:
            frame = ethernet(ipv4(tcp(), flags_frag=n % 0x2000))
        records.append(Record(frame, ts_sec=1_600_000_000 + seed * 1000 + i // 7, ts_usec=(n * 37) % 1_000_000))
    return records


@pytest.fixture(scope="module")
def capture_paths(tmp_path_factory) -> list[bytes]:
    directory: Path = tmp_path_factory.mktemp("threads")
    return [write_pcap(directory / f"capture{seed}.pcap", capture_records(seed)) for seed in range(4)]


def test_threads_reading_different_files_get_what_one_thread_gets(capture_paths):
    alone = {path: list(read_pcap(path)) for path in capture_paths}
    jobs = [path for path in capture_paths for _ in range(THREADS_PER_FILE)]
    results: list[list[dict] | BaseException | None] = [None] * len(jobs)
    start = threading.Barrier(len(jobs))

    def read(index: int) -> None:
        start.wait()
        try:
            results[index] = list(read_pcap(jobs[index]))
        except BaseException as error:  # reported below, not lost in the thread
            results[index] = error

    threads = [threading.Thread(target=read, args=(i,)) for i in range(len(jobs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    for path, result in zip(jobs, results):
        assert result == alone[path]
    assert all(len(packets) == 2400 for packets in alone.values())


def wait_until(condition, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.001)
    return True


def race_once(losers: int) -> tuple[object, list[object]] | None:
    """One thread enters next() on a live loopback generator and waits there for a frame; `losers`
    threads then call next() on it too. Returns (the first thread's result, the others' results), or
    None when other loopback traffic woke the first thread before all the others had tried."""
    generator = start_sniff(b"lo")
    winner: list[object] = []
    others: list[object] = []

    def advance(into: list) -> None:
        try:
            into.append(next(generator))
        except BaseException as error:
            into.append(error)

    first = threading.Thread(target=advance, args=(winner,))
    first.start()
    assert wait_until(lambda: generator.gi_running or winner), "the first next() never started"
    threads = [threading.Thread(target=advance, args=(others,)) for _ in range(losers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=10)
    conclusive = not winner  # the first call was still waiting while every other call was made
    deadline = time.monotonic() + 10
    while first.is_alive() and time.monotonic() < deadline:
        send_datagram()
        first.join(timeout=0.05)
    assert not first.is_alive(), "the waiting next() never returned"
    generator.close()
    return (winner[0], others) if conclusive else None


def test_threads_racing_next_on_one_live_generator():
    outcome = None
    for _ in range(5):  # retried only when outside traffic on lo ends the first call early
        outcome = race_once(losers=6)
        if outcome is not None:
            break
    assert outcome is not None, "loopback never quiet enough to race"
    winner, others = outcome
    assert isinstance(winner, dict) and winner["version"] in ("IPv4", "IPv6")
    assert len(others) == 6
    for result in others:
        assert isinstance(result, ValueError) and str(result) == "generator already executing"

