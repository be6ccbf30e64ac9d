"""The suite's independent reading of capture files: the dpkt reader the benchmark races too
(testkit/reference.py), and the count rule written plainly."""

from __future__ import annotations

from typing import Hashable, Iterable

from testkit import reference as _bench_reference
from testkit.reference import feature_rows, packet_dicts, records

__all__ = ["feature_rows", "packet_dicts", "records", "reference_counts"]


def __getattr__(name: str):
    """Everything else the benchmark's reader offers (its link types, its options)."""
    return getattr(_bench_reference, name)


def reference_counts(keys_and_times: Iterable[tuple[Hashable, float]]) -> list[int]:
    """The count rule with an unbounded table, one key per destination."""
    last_seen: dict = {}
    count: dict = {}
    result = []
    for key, time in keys_and_times:
        inside = key in last_seen and time - last_seen[key] <= 2.0
        count[key] = (count[key] + 1) % 2**32 if inside else 1
        last_seen[key] = time
        result.append(count[key])
    return result
