"""Leak check of the package's native code under LeakSanitizer, run by `make test-sanitize`.

The interpreter keeps much of its own memory until exit, so a whole-process leak report is mostly
about the interpreter. Instead, a child process (the ASan runtime preloaded, objects allocated
through malloc) runs every entry point of every extension module that is built, many times,
drops everything, collects garbage, and asks LeakSanitizer for the blocks that are unreachable at
that moment, while the interpreter is still alive and holds everything it means to keep. A leak
counts when its allocation stack passes through the package's modules or libpcap: a PyObject whose
reference our code lost, a C++ stream body, a capture handle never closed.

Usage: lsan_check.py [--corpus DIR] (default: tests/captures). Exit status 1 on a leak.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import re
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
OURS = re.compile(r"/varnel/|/src/native/|libpcap")


def run_workload(corpus: Path | None) -> None:
    sys.path[:0] = [str(ROOT), str(ROOT / "tests")]
    from testkit.frames import ETH_IPV6, arp, ethernet, icmp, ipv4, ipv6, pcap_bytes, tcp, udp
    from support.loopback import LoopbackTraffic
    from varnel.core.base.grapnel import read_pcap, start_sniff

    warnings.simplefilter("ignore")
    scratch = Path(tempfile.mkdtemp(prefix="varnel-lsan-"))
    frames = [ethernet(ipv4(tcp(flags=0x32))), ethernet(ipv4(udp(), proto=17)), arp(),
              ethernet(ipv6(icmp(128), next_hdr=58), eth_type=ETH_IPV6), ethernet(ipv4(tcp()))[:40]]
    generated = {"mixed.pcap": pcap_bytes(frames * 20), "damaged.pcap": pcap_bytes(frames)[:-3],
                 "raw.pcap": pcap_bytes(frames, linktype=101), "garbage.pcap": b"not a capture" * 9}
    for name, data in generated.items():
        (scratch / name).write_bytes(data)
    files = [bytes(scratch / name) for name in generated]
    if corpus is not None and corpus.is_dir():
        files += [bytes(p) for p in sorted(corpus.iterdir()) if p.suffix in {".pcap", ".pcapng", ".cap"}]

    readers, live_streams = [read_pcap], [start_sniff]
    try:
        from varnel.core.ver100.moraine import FeatureExtractor
    except ImportError:
        pass
    else:
        extractor = FeatureExtractor()
        readers += [extractor.process_pcap, getattr(extractor, "iter_pcap", extractor.process_pcap)]
        live_streams.append(extractor.process_live)

    def attempt(function, *args, **kwargs) -> None:
        try:
            result = function(*args, **kwargs)
            if hasattr(result, "__next__"):
                for _ in result:
                    pass
        except (TypeError, ValueError, RuntimeError, OSError, UnicodeDecodeError, KeyError):
            pass

    for _ in range(3):
        for path in files:
            for reader in readers:
                attempt(reader, path)
    mixed = files[0]
    for _ in range(20):
        attempt(read_pcap)
        attempt(read_pcap, mixed.decode())
        attempt(read_pcap, mixed, file_path=mixed)
        attempt(read_pcap, None)
        attempt(read_pcap, mixed + b"\0")
        attempt(start_sniff, b"varnel-no-such-device")
        for ending in ("throw", "close", "drop", "send"):
            generator = read_pcap(mixed)
            next(generator)
            if ending == "throw":
                attempt(generator.throw, KeyError("thrown"))
            elif ending == "close":
                generator.close()
            elif ending == "send":
                attempt(read_pcap(mixed).send, 1)
            del generator
    run_columns_workload(files, attempt)
    with LoopbackTraffic():
        for open_stream in live_streams:
            for ending in ("close", "throw", "drop"):
                live = open_stream(b"lo")
                next(live)
                if ending == "close":
                    live.close()
                elif ending == "throw":
                    attempt(live.throw, KeyError("thrown"))
                del live
    for path in scratch.iterdir():
        path.unlink()
    scratch.rmdir()


def run_columns_workload(files: list[bytes], attempt) -> None:
    """The Arrow columns: whole reads, streams dropped after one batch, capsules never read."""
    try:
        import pyarrow
        from varnel.columns import read_features_table, read_packets_table
    except ImportError:
        return
    for _ in range(2):
        for reader in (read_packets_table, read_features_table):
            attempt(lambda: pyarrow.table(reader(files, batch_size=7)))
            for path in files:
                attempt(lambda: pyarrow.table(reader(path, batch_size=16)))
                attempt(lambda: next(iter(pyarrow.RecordBatchReader.from_stream(reader(path, batch_size=3))), None))
                attempt(lambda: reader(path).__arrow_c_stream__())
                attempt(lambda: reader(path).__arrow_c_schema__())


def leaks_in(report: str) -> list[str]:
    """The leak records of a LeakSanitizer report whose allocation stacks pass through our code."""
    records = re.split(r"\n(?=(?:Direct|Indirect) leak of )", report)
    return [r.split("\n\n")[0] for r in records if re.match(r"(Direct|Indirect) leak of ", r) and OURS.search(r)]


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", type=Path, default=ROOT / "tests" / "captures")
    parser.add_argument("--workload", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.workload:
        run_workload(args.corpus)
        # Checked once the workload's frame, and everything only it referred to, is gone: the
        # interpreter keeps its frames in memory that LeakSanitizer does not scan.
        gc.collect()
        ctypes.CDLL(None).__lsan_do_recoverable_leak_check()
        return 0
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        print("lsan_check: run with the ASan runtime preloaded (make test-sanitize)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="varnel-lsan-log-") as logs:
        options = ("detect_leaks=1:leak_check_at_exit=0:fast_unwind_on_malloc=0:malloc_context_size=40:"
                   f"log_path={logs}/report")
        command = [sys.executable, __file__, "--workload"] + (["--corpus", str(args.corpus)] if args.corpus else [])
        done = subprocess.run(command, env={**os.environ, "ASAN_OPTIONS": options, "PYTHONMALLOC": "malloc"})
        report = "".join(p.read_text() for p in Path(logs).iterdir())
    if done.returncode != 0:
        print(report, file=sys.stderr)
        print(f"lsan_check: the workload failed (exit {done.returncode})", file=sys.stderr)
        return 1
    ours = leaks_in(report)
    total = len(re.findall(r"^(?:Direct|Indirect) leak of ", report, re.M))
    for record in ours:
        print(record, file=sys.stderr)
    print(f"lsan_check: {len(ours)} leak(s) through varnel or libpcap; "
          f"{total - len(ours)} unreachable block group(s) of the interpreter's own ignored")
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main())
