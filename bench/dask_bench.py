"""`make bench`, Dask part: varnel.dask against the serial columnar reader on the benchmark captures.

Figures are wall-clock seconds (parallel work is what is measured), the best of --repeat runs, on
Dask's local threaded scheduler and on a LocalCluster of two worker processes. Every run's counts
are checked against the serial read first, so the comparison is of equal work.

  python bench/dask_bench.py [--repeat N] [--split-mib N]
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import gen_capture  # noqa: E402
from run import best_cpu  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--split-mib", type=int, default=16, help="byte range per partition (MiB)")
    parser.add_argument("--cpu-only", action="store_true", help="only the CPU of byte ranges against a serial read")
    args = parser.parse_args()
    try:
        import distributed
        import pyarrow

        import varnel.columns
        import varnel.dask
    except ImportError as error:
        print(f"dask bench skipped: {error}")
        return
    captures = sorted(str(path) for path in gen_capture.DATA.glob("*.pcap"))
    if not captures:
        print("dask bench skipped: no capture in bench/data (run bench/run.py first)")
        return
    split = args.split_mib << 20
    if args.cpu_only:
        cpu_of_ranges(captures, split, args.repeat)
        return

    def serial(paths, continuous=False):
        return pyarrow.table(varnel.columns.read_features_table(paths, continuous=continuous)).column("count")

    cases = [(f"{Path(path).name}", [path], False) for path in captures]
    cases.append(("all files, continuous", captures, True))
    rows = []
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        for name, paths, continuous in cases:
            (base, want), = best_cpu(args.repeat, lambda: serial(paths, continuous), clock=time.perf_counter)
            want_list = want.to_pylist()
            figures = [name, f"{len(want_list):,}", f"{base:.3f}"]
            for where in ("local", "cluster"):
                client = distributed.Client(cluster) if where == "cluster" else None
                try:
                    for split_bytes in (None, split):
                        def run():
                            frame = varnel.dask.read_features(paths, continuous=continuous, split_bytes=split_bytes)
                            return frame, frame.compute()["count"]
                        (seconds, (frame, got)), = best_cpu(args.repeat, run, clock=time.perf_counter)
                        if got.tolist() != want_list:
                            raise SystemExit(f"{name}: counts differ from the serial read ({where})")
                        figures.append(f"{seconds:.3f} ({frame.npartitions}p)")
                finally:
                    if client is not None:
                        client.close()
            rows.append(figures)
    print_table(args, rows)
    cpu_of_ranges(captures, split, args.repeat)


TARGET_SPLIT_CPU = 1.3  # CPU of a read in byte ranges against the serial read of the same file


def cpu_of_ranges(captures: list[str], split: int, repeat: int) -> None:
    """The CPU a read in byte ranges costs against the serial read, every task run in this process
    (Dask's synchronous scheduler), so that the figure is work, not waiting."""
    import dask
    import pyarrow

    import varnel.columns
    import varnel.dask

    print(f"\nCPU of byte ranges against a serial read (best of {repeat}, synchronous scheduler; the serial read"
          " as an Arrow table, as a pandas frame, and as the same call without split_bytes: one partition)")
    for path in captures:
        with dask.config.set(scheduler="synchronous"):
            (table, _), (frame, _), (whole, _), (ranges, _), (walk, _) = best_cpu(
                repeat, lambda: pyarrow.table(varnel.columns.read_features_table(path)).num_rows,
                lambda: len(pyarrow.table(varnel.columns.read_features_table(path)).to_pandas()),
                lambda: len(varnel.dask.read_features(path).compute()),
                lambda: len(varnel.dask.read_features(path, split_bytes=split).compute()),
                lambda: len(varnel.dask._split(path, split, guess=True)))
        # Against the cheaper of the two serial reads that give a pandas frame.
        verdict = "met" if ranges / min(frame, whole) <= TARGET_SPLIT_CPU else "MISSED"
        print(f"  {Path(path).name}: serial table {table:.3f} s, serial frame {frame:.3f} s, one partition "
              f"{whole:.3f} s, ranges {ranges:.3f} s (the split points {walk:.3f} s of it): {ranges / table:.2f}x the "
              f"table, {ranges / whole:.2f}x one partition, {ranges / frame:.2f}x the frame (target at most "
              f"{TARGET_SPLIT_CPU}x the cheaper of these two: {verdict})")


def print_table(args, rows) -> None:
    header = ["capture", "rows", "serial columns", "local, per file", f"local, {args.split_mib} MiB ranges",
              "cluster, per file", f"cluster, {args.split_mib} MiB ranges"]
    widths = [max(len(str(row[i])) for row in [header, *rows]) for i in range(len(header))]
    print("\nvarnel.dask feature rows, wall seconds (best of %d; p: partitions)" % args.repeat)
    for row in [header, *rows]:
        print("  ".join(str(cell).rjust(width) for cell, width in zip(row, widths)))


if __name__ == "__main__":
    main()
