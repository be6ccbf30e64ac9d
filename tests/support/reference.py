"""The suite's independent reading of capture files: the benchmark's dpkt reader (bench/reference.py,
which stays beside the benchmark that races it), and the count rule written plainly."""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Hashable, Iterable

_BENCH = str(Path(__file__).resolve().parents[2] / "bench")
if _BENCH not in sys.path:
    sys.path.insert(0, _BENCH)

import reference as _bench_reference  # noqa: E402
from reference import feature_rows, packet_dicts, records  # noqa: E402

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
