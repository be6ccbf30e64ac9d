"""What the read-ahead of several files on threads costs in memory: the command with -j 4 over four
copies of the mixed capture, each run in a fresh process whose resident memory is sampled from
outside, against the same command over an empty capture (the interpreter and its imports).

    python bench/read_ahead.py [--jobs 4] [--formats jsonl,csv,parquet] [--arena-max 2]

Writes the copies into bench/data/ once (hard links would do as well: only the reading matters).
Prints, per format, the peak RSS above the empty run's and above the same files read with -j 1 (what
the read-ahead adds to the writer's own memory).
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "bench" / "data"
sys.path.insert(0, str(ROOT / "bench"))
import gen_capture  # noqa: E402

EMPTY_CAPTURE = bytes.fromhex("d4c3b2a1" "02000400" "00000000" "00000000" "ffff0000" "01000000")
MIB = 2**20


def copies(count: int) -> list[Path]:
    gen_capture.ensure_mixed()
    source = gen_capture.MIXED
    paths = [DATA / f"mixed-copy-{n}.pcap" for n in range(count)]
    for path in paths:
        if not path.exists() or path.stat().st_size != source.stat().st_size:
            shutil.copyfile(source, path)
    return paths


def peak_rss(command: list[str], env: dict[str, str], interval: float = 0.02) -> tuple[int, float]:
    """(the highest resident size seen while `command` ran, its wall seconds). The kernel's own
    high-water mark (VmHWM) is sampled with it, so a peak between two samples is not missed."""
    started = time.monotonic()
    process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    peak = 0
    while process.poll() is None:
        try:
            with open(f"/proc/{process.pid}/status") as status:
                for line in status:
                    if line.startswith(("VmRSS:", "VmHWM:")):
                        peak = max(peak, int(line.split()[1]) * 1024)
        except (FileNotFoundError, ProcessLookupError):
            break
        time.sleep(interval)
    if process.wait() != 0:
        raise RuntimeError(f"{command} ended with status {process.returncode}")
    return peak, time.monotonic() - started


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=4)
    parser.add_argument("--formats", default="jsonl,csv,parquet")
    parser.add_argument("--arena-max", type=int, help="run with MALLOC_ARENA_MAX set to this")
    args = parser.parse_args()

    from varnel._columns import READ_AHEAD_BYTES

    env = dict(os.environ)
    if args.arena_max:
        env["MALLOC_ARENA_MAX"] = str(args.arena_max)
    files = copies(args.jobs)
    varnel = [sys.executable, "-m", "varnel", "read"]
    print(f"read-ahead budget {READ_AHEAD_BYTES / MIB:.0f} MiB, -j {args.jobs}, {len(files)} copies of the mixed "
          f"capture{f', MALLOC_ARENA_MAX={args.arena_max}' if args.arena_max else ''}")
    with tempfile.TemporaryDirectory(dir=DATA) as scratch:
        empty = Path(scratch) / "empty.pcap"
        empty.write_bytes(EMPTY_CAPTURE)
        for fmt in args.formats.split(","):
            output = str(Path(scratch) / f"out.{fmt}")
            empty_peak, _ = peak_rss([*varnel, str(empty), "-o", output], env)
            serial_peak, _ = peak_rss([*varnel, *map(str, files), "-o", output], env)
            peak, seconds = peak_rss([*varnel, *map(str, files), "-j", str(args.jobs), "-o", output], env)
            print(f"  {fmt:8} peak RSS {(peak - empty_peak) / MIB:4.0f} MiB above an empty run "
                  f"({empty_peak / MIB:.0f} MiB), {(peak - serial_peak) / MIB:4.0f} MiB above -j 1 "
                  f"({serial_peak / MIB:.0f} MiB); {seconds:.1f} s")


if __name__ == "__main__":
    main()
