"""Memory probes, each run by bench/run.py in a fresh interpreter so that one probe's heap does not
blur the next. Each prints one JSON object as its last line.

  memory.py rows CAPTURE COLUMNS     process_pcap's peak and kept memory; saves the rows' values
  memory.py plain-list COLUMNS       the same rows as a list of dicts built in Python
  memory.py bounded CAPTURE FRAMES   a stream over a scan: tracked hosts and RSS as it goes
  memory.py arrow-features CAPTURE   the feature rows as a pyarrow Table: its buffers and RSS kept
"""

from __future__ import annotations

import array
import json
import os
import pickle
import sys
import time

PAGE = os.sysconf("SC_PAGE_SIZE")
PROTOCOL_NAMES = ("TCP", "UDP", "ICMP")


def fold_count(digest: int, count: int) -> int:
    """A running digest of the rows' counts, to compare two runs without keeping either."""
    return (digest * 1_000_003 + count) & 0xFFFF_FFFF_FFFF_FFFF


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def peak_rss() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


def reset_peak() -> None:
    """Starts the peak-RSS mark afresh from the current RSS (Linux: clear_refs 5)."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def save_columns(rows: list[dict], path: str) -> None:
    columns = {
        "timestamp": array.array("d"), "src_port": array.array("H"), "dst_port": array.array("H"),
        "protocol": array.array("B"), "src_bytes": array.array("Q"), "land": array.array("B"),
        "wrong_fragment": array.array("B"), "count": array.array("I"),
    }
    for row in rows:
        columns["timestamp"].append(row["timestamp"])
        columns["src_port"].append(row["src_port"])
        columns["dst_port"].append(row["dst_port"])
        columns["protocol"].append(PROTOCOL_NAMES.index(row["protocol_type"]))
        columns["src_bytes"].append(row["src_bytes"])
        columns["land"].append(row["land"])
        columns["wrong_fragment"].append(row["wrong_fragment"])
        columns["count"].append(row["count"])
    with open(path, "wb") as file:
        pickle.dump(columns, file, protocol=pickle.HIGHEST_PROTOCOL)


def probe_rows(capture: str, columns_path: str) -> dict:
    from varnel.core.ver100.moraine import FeatureExtractor

    extractor = FeatureExtractor()
    before = rss()
    reset_peak()
    started = time.process_time()
    rows = extractor.process_pcap(os.fsencode(capture))
    cpu = time.process_time() - started
    result = {"rows": len(rows), "rss_before": before, "peak_delta": peak_rss() - before,
              "kept_delta": rss() - before, "cpu_seconds": cpu, "row_sizeof": sys.getsizeof(rows[0])}
    save_columns(rows, columns_path)
    return result


def probe_plain_list(columns_path: str) -> dict:
    with open(columns_path, "rb") as file:
        columns = pickle.load(file)
    timestamps, src_ports, dst_ports = columns["timestamp"], columns["src_port"], columns["dst_port"]
    protocols, src_bytes, lands = columns["protocol"], columns["src_bytes"], columns["land"]
    fragments, counts = columns["wrong_fragment"], columns["count"]
    names = PROTOCOL_NAMES
    before = rss()
    reset_peak()
    rows = [
        {"timestamp": timestamps[i], "src_port": src_ports[i], "dst_port": dst_ports[i],
         "protocol_type": names[protocols[i]], "src_bytes": src_bytes[i], "land": lands[i],
         "wrong_fragment": fragments[i], "count": counts[i]}
        for i in range(len(timestamps))
    ]
    return {"rows": len(rows), "rss_before": before, "peak_delta": peak_rss() - before,
            "kept_delta": rss() - before, "row_sizeof": sys.getsizeof(rows[0])}


def probe_bounded(capture: str, total: int, samples: int = 10) -> dict:
    """Streams the rows without keeping them, sampling the tracked-host count and RSS."""
    from varnel.core.ver100.moraine import FeatureExtractor

    extractor = FeatureExtractor()
    path = os.fsencode(capture)
    tracked = lambda: getattr(extractor, "_tracked_hosts", None)  # noqa: E731
    before = rss()
    if not hasattr(extractor, "iter_pcap"):
        reset_peak()
        started = time.process_time()
        rows = extractor.process_pcap(path)
        return {"mode": "process_pcap", "rows": len(rows), "cpu_seconds": time.process_time() - started,
                "rss_before": before, "peak_delta": peak_rss() - before, "samples": [],
                "tracked_after": tracked()}
    reset_peak()
    points = []
    first_time = None
    rows = 0
    started = time.process_time()
    every = max(1, total // samples)
    digest = 0
    for row in extractor.iter_pcap(path):
        rows += 1
        digest = fold_count(digest, row["count"])
        if first_time is None:
            first_time = row["timestamp"]
        if rows % every == 0:
            points.append({"rows": rows, "seconds": row["timestamp"] - first_time, "tracked": tracked(),
                           "rss_delta": rss() - before})
    return {"mode": "iter_pcap", "rows": rows, "counts_digest": digest, "cpu_seconds": time.process_time() - started,
            "rss_before": before, "peak_delta": peak_rss() - before, "samples": points,
            "tracked_after": tracked()}


def probe_arrow_features(capture: str) -> dict:
    import pyarrow

    from varnel.columns import read_features_table

    columns = read_features_table(capture, skip_vlan=True)
    # pyarrow sets itself up on first use (pandas is imported to check for data frames, pools are
    # made): once, on no file, before measuring.
    pyarrow.table(read_features_table([]))
    before = rss()
    reset_peak()
    started = time.process_time()
    table = pyarrow.table(columns)
    cpu = time.process_time() - started
    return {"rows": table.num_rows, "rss_before": before, "peak_delta": peak_rss() - before,
            "kept_delta": rss() - before, "cpu_seconds": cpu, "table_bytes": table.nbytes}


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "rows":
        outcome = probe_rows(sys.argv[2], sys.argv[3])
    elif mode == "plain-list":
        outcome = probe_plain_list(sys.argv[2])
    elif mode == "arrow-features":
        outcome = probe_arrow_features(sys.argv[2])
    elif mode == "bounded":
        outcome = probe_bounded(sys.argv[2], int(sys.argv[3]))
    else:
        raise SystemExit(f"unknown probe {mode!r}")
    print(json.dumps(outcome))
