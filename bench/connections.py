"""`make bench`, connection records: the native readers against read_features_table and against the
pure-Python connection records of testkit/connections_fast.py, in one process, CPU time, best of
--repeat runs taking turns. Python runs on the first --python-frames frames of each capture (its
records checked equal to the native ones first) and is scaled by rate. Memory: the native connection
table without the interpreter (testkit/connections_driver.cpp) counts the heap bytes each open
connection and each record held for the windows take, before the final flush.

  python bench/connections.py [--repeat N] [--python-frames N]
"""

from __future__ import annotations

import argparse
import struct
import sys
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(ROOT))

import gen_capture  # noqa: E402
from run import best_cpu  # noqa: E402
import pyarrow  # noqa: E402

import varnel  # noqa: E402
from testkit import connections_driver, connections_fast  # noqa: E402

TARGET_TABLE_RATE = 2.0e6  # frames per CPU-second of read_connections_table on the mixed capture
TARGET_VS_FEATURES = 0.6   # read_connections_table's rate against read_features_table's
TARGET_DICT_RATE = 0.5e6   # records per CPU-second of read_connections where records are many
TARGET_OPEN_BYTES = 256    # heap bytes per open connection
TARGET_HELD_BYTES = 64     # heap bytes per record held for the windows


def head_of(capture: Path, frames: int, folder: Path) -> Path:
    """The first `frames` records of a classic little-endian pcap file, as a file of their own."""
    data = capture.read_bytes()
    at = 24
    for _ in range(frames):
        if at + 16 > len(data):
            break
        at += 16 + struct.unpack_from("<I", data, at + 8)[0]
    head = folder / f"head-{capture.name}"
    head.write_bytes(data[:at])
    return head


def table_rows(path: Path, reader) -> int:
    return pyarrow.table(reader(str(path))).num_rows


def dict_records(path: Path) -> int:
    return sum(1 for _ in varnel.read_connections(str(path)))


def measure(name: str, capture: Path, frames: int, args, folder: Path) -> None:
    head = head_of(capture, args.python_frames, folder)
    native_head = list(varnel.read_connections(str(head)))
    python_head, _ = connections_fast.records(head)
    if native_head != python_head:
        raise SystemExit(f"{name}: the Python records of the first {args.python_frames:,} frames differ")
    (features, _), (table, records), (dicts, _) = best_cpu(
        args.repeat, lambda: table_rows(capture, varnel.read_features_table),
        lambda: table_rows(capture, varnel.read_connections_table), lambda: dict_records(capture))
    (python, _), = best_cpu(1, lambda: len(connections_fast.records(head)[0]))
    python_rate = args.python_frames / python
    print(f"\n{name}: {frames:,} frames, {records:,} connection records (CPU seconds, best of {args.repeat})")
    print(f"  {'reader':<34}{'CPU s':>8}{'M frames/s':>12}{'k records/s':>13}{'vs Python':>11}")
    for label, seconds in (("read_features_table", features), ("read_connections_table", table),
                           ("read_connections (dicts)", dicts)):
        print(f"  {label:<34}{seconds:>8.3f}{frames / seconds / 1e6:>12.2f}{records / seconds / 1e3:>13.0f}"
              f"{frames / seconds / python_rate:>10.0f}x")
    print(f"  {'Python (testkit/connections_fast)':<34}{'':>8}{python_rate / 1e6:>12.3f}"
          f"{python_rate * records / frames / 1e3:>13.0f}{1:>10.0f}x   (first {args.python_frames:,} frames)")
    ratio = features / table
    print(f"  table against features: {ratio:.2f}x (target {TARGET_VS_FEATURES}x); table rate "
          f"{frames / table / 1e6:.2f} M frames/s (target {TARGET_TABLE_RATE / 1e6:.1f} M); dicts "
          f"{records / dicts / 1e6:.2f} M records/s (target {TARGET_DICT_RATE / 1e6:.1f} M where records are many)")


def measure_memory(capture: Path) -> None:
    held = connections_driver.memory(connections_driver.build(), capture)
    print(f"  memory: {held['bytes_per_open_connection']:.0f} bytes per open connection "
          f"({held['open_connections']:,} open; target at most {TARGET_OPEN_BYTES}), "
          f"{held['bytes_per_record_held']:.0f} per record held ({held['records_held']:,}; target at most "
          f"{TARGET_HELD_BYTES})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--python-frames", type=int, default=100_000)
    args = parser.parse_args()
    mixed, scan = gen_capture.ensure_mixed(), gen_capture.ensure_scan()
    with tempfile.TemporaryDirectory(dir=gen_capture.DATA) as folder:
        measure("mixed capture", gen_capture.MIXED, mixed["packets"], args, Path(folder))
        measure_memory(gen_capture.MIXED)
        measure("scan capture", gen_capture.SCAN, scan["packets"], args, Path(folder))
        measure_memory(gen_capture.SCAN)


if __name__ == "__main__":
    main()
