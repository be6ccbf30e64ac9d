"""The packet and feature functions of this build against those of an earlier revision, in the same
run: CPU time per frame on the benchmark captures, best of --repeat, the two builds taking turns; then
the top-level functions against them, in this build.

The earlier revision is built once into bench/data/baseline-REV/ (git archive + pip --target) and
kept. Each measurement runs in a fresh interpreter, since both builds have the same module names.

  python bench/baseline.py [--rev REV] [--repeat N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import gen_capture  # noqa: E402

# The last revision before the frame pipeline: the figures of the first round were measured on it.
DEFAULT_REV = "1acc90b"
# The last revision read through libpcap's file loop, before the one capture reader and our own file reader.
TABLES_REV = "581aec3"

# The column readers, against TABLES_REV. pyarrow's first import of a stream costs some 0.3 s of one-off
# set-up in a process: a read of the sample capture pays it before the clock starts.
SAMPLE = ROOT / "samples" / "sample.pcap"
TABLE_WORKS = {
    "features_table": "import pyarrow\nfrom varnel.columns import read_features_table\n"
                      f"pyarrow.table(read_features_table({bytes(SAMPLE)!r}))\n"
                      "work = lambda: pyarrow.table(read_features_table(PATH)).num_rows",
    "packets_table": "import pyarrow\nfrom varnel.columns import read_packets_table\n"
                     f"pyarrow.table(read_packets_table({bytes(SAMPLE)!r}))\n"
                     "work = lambda: pyarrow.table(read_packets_table(PATH)).num_rows",
}

# The top-level functions, skipping VLAN tags so that they see the frames the functions above see.
API_WORKS = {
    "read_packets": "import varnel\n"
                    "work = lambda: sum(1 for _ in varnel.read_packets(PATH, skip_vlan=True))",
    "read_features": "import varnel\n"
                     "work = lambda: sum(1 for _ in varnel.read_features(PATH, skip_vlan=True))",
}

# Streamed, like the top-level feature stream (process_pcap keeps every row).
STREAMED_FEATURES = {
    "iter_pcap": "from varnel.core.ver100.moraine import FeatureExtractor\n"
                 "work = lambda: sum(1 for _ in FeatureExtractor().iter_pcap(PATH))",
}

WORKS = {
    "read_pcap": "from varnel.core.base.grapnel import read_pcap\n"
                 "work = lambda: sum(1 for _ in read_pcap(PATH))",
    "process_pcap": "from varnel.core.ver100.moraine import FeatureExtractor\n"
                    "work = lambda: len(FeatureExtractor().process_pcap(PATH))",
}

MEASURE = """
import json, sys, time
PATH = sys.argv[1].encode()
{setup}
started = time.process_time()
frames = work()
print(json.dumps({{"seconds": time.process_time() - started, "frames": frames}}))
"""


def build_baseline(rev: str) -> Path:
    site = gen_capture.DATA / f"baseline-{rev}" / "site"
    if (site / "varnel").is_dir():
        return site
    with tempfile.TemporaryDirectory() as scratch:
        archive = Path(scratch) / "source.tar"
        subprocess.run(["git", "-C", str(ROOT), "archive", "-o", str(archive), rev], check=True)
        with tarfile.open(archive) as tar:
            tar.extractall(Path(scratch) / "source", filter="data")
        subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                        "--target", str(site), "-C", f"build-dir={scratch}/build", str(Path(scratch) / "source")],
                       check=True)
    return site


def compare(works: dict[str, str], rev: str, baseline: Path, captures: list[Path], repeat: int) -> None:
    """Each work of this build against `rev`'s, the two taking turns."""
    print(f"{'capture':<24}{'function':<16}{'this build':>12}{rev:>12}{'ratio':>8}   (M frames/CPU-s)")
    for capture in captures:
        for work in works:
            best = {"now": float("inf"), "then": float("inf")}
            for _ in range(repeat):
                for label, site in (("then", baseline), ("now", None)):
                    result = measure(site, work, capture)
                    best[label] = min(best[label], result["seconds"])
            frames = result["frames"]
            now, then = frames / best["now"] / 1e6, frames / best["then"] / 1e6
            print(f"{capture.name:<24}{work:<16}{now:>12.2f}{then:>12.2f}{now / then:>8.2f}")


def measure(site: Path | None, work: str, capture: Path) -> dict:
    environment = dict(os.environ)
    if site is not None:
        environment["PYTHONPATH"] = str(site)
    script = MEASURE.format(setup={**WORKS, **API_WORKS, **STREAMED_FEATURES, **TABLE_WORKS}[work])
    result = subprocess.run([sys.executable, "-c", script, str(capture)], capture_output=True, text=True,
                            env=environment, check=True)
    return json.loads(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rev", default=DEFAULT_REV, help="the earlier revision to measure against")
    parser.add_argument("--repeat", type=int, default=5, help="runs per build; the best counts")
    args = parser.parse_args()
    baseline = build_baseline(args.rev)
    gen_capture.ensure_mixed()
    gen_capture.ensure_scan()
    captures = [gen_capture.MIXED, gen_capture.SCAN]
    compare(WORKS, args.rev, baseline, captures, args.repeat)
    print()
    compare(TABLE_WORKS, TABLES_REV, build_baseline(TABLES_REV), captures, args.repeat)
    print(f"\n{'capture':<24}{'top level':<15}{'M frames/CPU-s':>15}{'vs':>14}{'ratio':>8}   (this build)")
    for capture in captures:
        for api, module_function in zip(API_WORKS, ("read_pcap", "iter_pcap")):
            best = {api: float("inf"), module_function: float("inf")}
            for _ in range(args.repeat):
                for work in best:
                    result = measure(None, work, capture)
                    best[work] = min(best[work], result["seconds"])
            ratio = best[module_function] / best[api]
            print(f"{capture.name:<24}{api:<15}{result['frames'] / best[api] / 1e6:>15.2f}{module_function:>14}"
                  f"{ratio:>8.2f}")


if __name__ == "__main__":
    main()
