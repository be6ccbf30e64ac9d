"""`make bench`, signals part: Ctrl+C lands in every state where a read waits, also on a loaded machine.

For each waiting state a child process enters it, says so, and is sent SIGINT; the time from the
signal to the child's exit is measured, with CPU hogs running beside it the whole time. Every run
must end within --limit seconds; the worst and the median latency of each state are printed.

  python bench/signal_stress.py [--runs N] [--hogs N] [--limit SECONDS]

The idle-device states run in a private network namespace (unshare -n), whose `lo` carries no
traffic; they are left out where namespaces cannot be made.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import gen_capture  # noqa: E402

# Each child prints "waiting" once it is inside the state, then is interrupted; it prints
# "interrupted" from its KeyboardInterrupt handler, so that an ending by another cause is seen.
ANNOUNCE = """
import threading, time
def announce(is_waiting):
    def watch():
        while not is_waiting():
            time.sleep(0.001)
        time.sleep(0.02)  # well inside the wait
        print("waiting", flush=True)
    threading.Thread(target=watch, daemon=True).start()
"""

STATES = {
    "large file": """
        from varnel.core.base.grapnel import read_pcap
        stream = read_pcap({capture_bytes!r})
        announce(lambda: stream.gi_running)
        for _ in stream:
            pass
    """,
    "FIFO without a writer": """
        from varnel.core.base.grapnel import read_pcap
        stream = read_pcap({fifo!r})
        announce(lambda: stream.gi_running)
        next(stream)
    """,
    "idle device, start_sniff": """
        from varnel.core.base.grapnel import start_sniff
        stream = start_sniff(b"lo")
        announce(lambda: stream.gi_running)
        next(stream)
    """,
    "idle device, process_live": """
        from varnel.core.ver100.moraine import FeatureExtractor
        stream = FeatureExtractor().process_live(b"lo")
        announce(lambda: stream.gi_running)
        next(stream)
    """,
    "batches() of a jobs=2 table read": """
        import varnel
        batches = []
        announce(lambda: len(batches) > 2)
        for batch in varnel.read_features_table([{capture!r}] * 8, jobs=2, batch_size=4096).batches():
            batches.append(batch.num_rows)
    """,
}
NEEDS_NAMESPACE = {"idle device, start_sniff", "idle device, process_live"}


def child_script(state: str, capture: str, fifo: str) -> str:
    body = textwrap.dedent(STATES[state]).format(capture=capture, capture_bytes=os.fsencode(capture),
                                                 fifo=os.fsencode(fifo))
    indented = textwrap.indent(body, "    ")
    return f"{ANNOUNCE}\ntry:\n{indented}\nexcept KeyboardInterrupt:\n    print('interrupted', flush=True)\n"


def command(state: str, script: str) -> list[str]:
    python = [sys.executable, "-c", script]
    if state in NEEDS_NAMESPACE:
        return ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" "$@"', *python]
    return python


def one_run(state: str, script: str, limit: float) -> float:
    """Seconds from SIGINT to the child's end; inf when it did not end within `limit`."""
    child = subprocess.Popen(command(state, script), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        line = child.stdout.readline()
        if line != "waiting\n":
            raise SystemExit(f"{state}: the child did not reach its wait: {line!r} {child.stderr.read()}")
        sent = time.monotonic()
        # The namespace's shell exec'd Python, so the child's pid is the interpreter's.
        child.send_signal(signal.SIGINT)
        try:
            out, err = child.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            return float("inf")
        if "interrupted" not in out:
            raise SystemExit(f"{state}: the child ended without KeyboardInterrupt: {out!r} {err[-500:]!r}")
        return time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()


def hog(stop) -> None:
    while not stop.is_set():
        sum(i * i for i in range(10_000))


def namespaces_work() -> bool:
    return subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode == 0


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=100, help="signals sent to each waiting state")
    parser.add_argument("--hogs", type=int, default=4, help="busy processes beside the children")
    parser.add_argument("--limit", type=float, default=2.0, help="seconds a child may take to end")
    args = parser.parse_args()
    gen_capture.ensure_mixed()
    capture = str(gen_capture.MIXED)
    states = [state for state in STATES if state not in NEEDS_NAMESPACE or namespaces_work()]
    stop = multiprocessing.Event()
    hogs = [multiprocessing.Process(target=hog, args=(stop,), daemon=True) for _ in range(args.hogs)]
    for process in hogs:
        process.start()
    failed = False
    print(f"\nCtrl+C in each waiting state: {args.runs} SIGINTs each, {args.hogs} CPU hogs beside, "
          f"limit {args.limit:.1f} s")
    try:
        with tempfile.TemporaryDirectory() as scratch:
            fifo = os.path.join(scratch, "capture.fifo")
            os.mkfifo(fifo)
            for state in states:
                script = child_script(state, capture, fifo)
                latencies = [one_run(state, script, args.limit) for _ in range(args.runs)]
                late = sum(1 for seconds in latencies if seconds > args.limit)
                failed = failed or late > 0
                worst = max(latencies)
                print(f"  {state:34s} median {statistics.median(latencies) * 1000:7.1f} ms   "
                      f"worst {worst * 1000:7.1f} ms   over the limit: {late}")
    finally:
        stop.set()
        for process in hogs:
            process.join()
    if failed:
        raise SystemExit("a signal did not end its read in time")


if __name__ == "__main__":
    main()
