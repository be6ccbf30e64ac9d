"""`make bench`: the packet reader and the feature extractor against dpkt equivalents and a native floor.

Every figure is process CPU time (the machine is shared, so wall time would measure the neighbours),
the best of --repeat runs. The dpkt equivalents run on the first --dpkt-subset records of the same
capture and are scaled by rate. Before timing, the equivalents are checked to produce exactly what
the native modules produce on the first --sample records, so the comparison is of equal work.

  python bench/run.py [--repeat N] [--dpkt-subset N] [--sample N]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from itertools import islice
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(ROOT))

import gen_capture  # noqa: E402
import memory  # noqa: E402
from testkit import native_build, reference  # noqa: E402
from varnel.core.base.grapnel import read_pcap  # noqa: E402

TARGET_READ = 15.0
TARGET_FEATURES = 20.0
TARGET_ARROW_FEATURES = 2.5   # Arrow feature columns vs process_pcap, per CPU-second
TARGET_ARROW_FLOOR = 0.5      # Arrow feature columns vs the native floor
TARGET_ARROW_PACKETS = 2.0    # Arrow packet columns vs read_pcap
TARGET_ARROW_BYTES = 40       # bytes per row of the eight feature columns held as a pyarrow Table
TARGET_COMMAND_PARQUET = 1.5  # `varnel features X -o out.parquet` CPU at most this many times the reader's
TARGET_COMMAND_TEXT = 800_000  # feature rows per CPU-second written as CSV or JSON lines
TARGET_THREADS = 1.7          # two files on two threads vs one, rows per wall-second
TARGET_READ_FLOOR = 1.1       # Arrow feature columns vs libpcap's pcap_next handing over frames, decoding nothing
TARGET_GZIP = 0.5             # Arrow feature columns of a gzip copy vs the plain file
TARGET_DICTIONARY_BYTES = 60  # Table.nbytes per row of the packet columns with dictionary=True
NATIVE_SOURCE = BENCH / "native_floor.cpp"
COLUMNS = gen_capture.DATA / "feature-columns.pickle"
EXPIRY_AGE = 62.0  # a host is stale once its last packet is this much older than the newest time stamp
EXPIRY_THRESHOLD = 65_536  # hosts per address family before stale ones are dropped


def import_moraine():
    try:
        from varnel.core.ver100 import moraine
    except ImportError as error:
        return None, str(error)
    return moraine, None


# ---- Measuring

def best_cpu(runs: int, *works, clock=time.process_time) -> list[tuple[float, int]]:
    """For each of `works`, the lowest process CPU time (or time by `clock`) of `runs` calls and
    what its last call returned. The calls take turns, so that a busy spell on the machine slows
    all of them alike."""
    best = [float("inf")] * len(works)
    results = [0] * len(works)
    for _ in range(runs):
        for index, work in enumerate(works):
            started = clock()
            results[index] = work()
            best[index] = min(best[index], clock() - started)
    return list(zip(best, results))


def consume(iterable) -> int:
    count = 0
    for _ in iterable:
        count += 1
    return count


def same_items(ours: list[dict], theirs: list[dict], what: str) -> None:
    """Equal keys in equal order, values of equal type and value."""
    typed = lambda row: [(key, type(value), value) for key, value in row.items()]  # noqa: E731
    if len(ours) != len(theirs):
        raise SystemExit(f"{what}: {len(ours)} from varnel, {len(theirs)} from the dpkt equivalent")
    for index, (mine, other) in enumerate(zip(ours, theirs)):
        if typed(mine) != typed(other):
            raise SystemExit(f"{what}: item {index} differs\n  varnel: {mine}\n  dpkt:   {other}")


def native_floor(capture: Path, runs: int) -> dict:
    """Builds the native loop unless a build of its sources exists, then runs it."""
    binary = native_build.build(NATIVE_SOURCE, gen_capture.DATA)
    output = subprocess.run([str(binary), str(capture), str(runs)], check=True, capture_output=True,
                            text=True).stdout
    return json.loads(output)


READ_FLOOR_SOURCE = BENCH / "read_floor.cpp"


def read_floor(capture: Path, runs: int, *options: str) -> dict:
    """The reading floor: libpcap's pcap_next and the core's CaptureFile::next, each touching one byte
    of every frame and decoding nothing (bench/read_floor.cpp, built with the decompression
    libraries pkg-config finds)."""
    binary = native_build.build(READ_FLOOR_SOURCE, gen_capture.DATA, native_build.FILE_READER)
    output = subprocess.run([str(binary), str(capture), str(runs), *options], check=True,
                            capture_output=True, text=True).stdout
    return json.loads(output)


def read_floor_captures() -> list[tuple[str, Path]]:
    gen_capture.ensure_mixed()
    gen_capture.ensure_scan()
    return [("mixed capture", gen_capture.MIXED), ("mixed capture, gzip", gzip_copy(gen_capture.MIXED)),
            ("scan capture", gen_capture.SCAN)]


def gzip_copy(capture: Path) -> Path:
    """A gzip copy (level 6, as gzip makes it by default) of `capture` beside it, made once."""
    import gzip
    import shutil

    copy = capture.with_name(capture.name + ".gz")
    if not copy.exists() or copy.stat().st_mtime < capture.stat().st_mtime:
        with open(capture, "rb") as source, gzip.open(copy.with_suffix(".part"), "wb", compresslevel=6) as target:
            shutil.copyfileobj(source, target, 1 << 20)
        copy.with_suffix(".part").rename(copy)
    return copy


def bench_read_floor(captures: list[tuple[str, Path]], args) -> dict[str, dict]:
    """Reading alone, no decoding: libpcap's loop against the core's own reader, plain and gzip, and
    the peak memory of a process that only reads with the core's reader (flat whatever the size).
    Returns the floor measured on each capture libpcap reads."""
    rows = []
    plain_rate = {}
    libpcap_floors = {}
    for name, capture in captures:
        floor = read_floor(capture, args.repeat)
        alone = read_floor(capture, 1, "--ours-only")
        ours = rate(floor["ours_frames"], floor["ours_cpu_seconds"])
        memory = f"{alone['max_rss_kib'] / 1024:.1f} MiB"
        size = mib(capture.stat().st_size)
        if floor["libpcap_frames"] is None:
            base = plain_rate.get(name.removesuffix(", gzip"))
            rows.append([name, size, f"{floor['ours_frames']:,}", "—", f"{ours:,.0f}",
                         "—" if base is None else f"{ours / base:.2f}x of plain", memory])
            continue
        theirs = rate(floor["libpcap_frames"], floor["libpcap_cpu_seconds"])
        plain_rate[name] = ours
        libpcap_floors[name] = floor
        rows.append([name, size, f"{floor['ours_frames']:,}", f"{theirs:,.0f}", f"{ours:,.0f}",
                     f"{ours / theirs:.2f}x", memory])
    print_table(f"Reading floor: one byte of each frame touched, nothing decoded (best CPU time of {args.repeat})",
                ["capture", "file", "frames", "pcap_next frames/s", "CaptureFile frames/s", "ours vs libpcap",
                 "peak RSS, ours alone"], rows)
    return libpcap_floors


def probe(*args: str) -> dict:
    """Runs one memory probe in a fresh interpreter; its last output line is JSON."""
    output = subprocess.run([sys.executable, str(BENCH / "memory.py"), *args], check=True, capture_output=True,
                            text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


# ---- Printing

def rate(frames: int, seconds: float) -> float:
    return frames / seconds if seconds > 0 else float("inf")


def print_table(title: str, header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    line = lambda cells: "  ".join(  # noqa: E731
        str(cell).ljust(width) if index == 0 else str(cell).rjust(width)
        for index, (cell, width) in enumerate(zip(cells, widths)))
    print(f"\n{title}")
    print(line(header))
    print("  ".join("-" * width for width in widths))
    for row in rows:
        print(line(row))


def mib(size: float) -> str:
    return f"{size / 2**20:,.1f} MiB"


SPEED_COLUMNS = ["frames", "CPU s", "frames/s", "us/frame", "vs dpkt"]


def speed_row(name: str, frames: int, cpu_seconds: float, dpkt_rate: float, digits: int = 2) -> list[str]:
    """One line of a speed table: `frames` read in `cpu_seconds`, compared with the dpkt rate."""
    frames_per_second = rate(frames, cpu_seconds)
    return [name, f"{frames:,}", f"{cpu_seconds:.3f}", f"{frames_per_second:,.0f}",
            f"{1e6 / frames_per_second:.{digits}f}", f"{frames_per_second / dpkt_rate:.1f}x"]


def verdict(ratio: float, target: float) -> str:
    return f"{ratio:.2f}x (target {target:g}x: {'met' if ratio >= target else 'MISSED'})"


# ---- The benchmark sections

def bench_reader(capture: bytes, meta: dict, args) -> None:
    sample = reference.packet_dicts(capture, args.sample)
    expected = list(sample)
    same_items(list(islice(read_pcap(capture), len(expected))), expected, "read_pcap agreement")
    print(f"agreement: read_pcap and the dpkt reader give identical dicts (keys, order, types, values) "
          f"on the first {args.sample:,} records ({len(expected):,} dicts)")

    frames = meta["packets"]
    subset = min(args.dpkt_subset, frames)
    (ours, dicts), (theirs, _) = best_cpu(args.repeat, lambda: consume(read_pcap(capture)),
                                          lambda: consume(reference.packet_dicts(capture, subset)))
    floor = native_floor(Path(os.fsdecode(capture)), args.repeat)

    ours_rate, theirs_rate, floor_rate = rate(frames, ours), rate(subset, theirs), rate(floor["frames"],
                                                                                       floor["cpu_seconds"])
    print_table(
        f"Packet dicts ({frames:,} frames, {dicts:,} dicts; best CPU time of {args.repeat})",
        ["reader"] + SPEED_COLUMNS,
        [
            speed_row("read_pcap, fully consumed", frames, ours, theirs_rate),
            speed_row(f"dpkt reader (first {subset:,} frames)", subset, theirs, theirs_rate),
            speed_row("native floor (pcap_next_ex + decoder)", floor["frames"], floor["cpu_seconds"],
                      theirs_rate, digits=3),
        ])
    print(f"read_pcap vs dpkt: {verdict(ours_rate / theirs_rate, TARGET_READ)}; "
          f"read_pcap runs at {100 * ours_rate / floor_rate:.1f}% of the native floor's rate")


def bench_features(moraine, capture: bytes, meta: dict, args) -> None:
    extractor = moraine.FeatureExtractor()
    expected = reference.feature_rows(capture, args.sample)
    same_items(extractor.process_pcap(capture)[:len(expected)], expected, "process_pcap agreement")
    print(f"\nagreement: process_pcap and the dpkt equivalent give identical rows on the first "
          f"{args.sample:,} records ({len(expected):,} rows)")

    frames = meta["packets"]
    subset = min(args.dpkt_subset, frames)
    (ours, rows), (theirs, _) = best_cpu(args.repeat, lambda: len(extractor.process_pcap(capture)),
                                         lambda: len(reference.feature_rows(capture, subset)))
    ours_rate, theirs_rate = rate(frames, ours), rate(subset, theirs)
    print_table(
        f"Feature rows ({frames:,} frames, {rows:,} rows; best CPU time of {args.repeat})",
        ["extractor"] + SPEED_COLUMNS,
        [
            speed_row("FeatureExtractor().process_pcap", frames, ours, theirs_rate),
            speed_row(f"dpkt equivalent (first {subset:,} frames)", subset, theirs, theirs_rate),
        ])
    print(f"process_pcap vs dpkt: {verdict(ours_rate / theirs_rate, TARGET_FEATURES)}")

    kept = probe("rows", os.fsdecode(capture), str(COLUMNS))
    plain = probe("plain-list", str(COLUMNS))
    COLUMNS.unlink(missing_ok=True)
    print_table(
        f"Memory of {kept['rows']:,} rows kept in a list (RSS over the interpreter's own, fresh process each)",
        ["rows built by", "peak", "kept", "bytes/row kept", "sys.getsizeof(row)"],
        [
            ["process_pcap", mib(kept["peak_delta"]), mib(kept["kept_delta"]),
             f"{kept['kept_delta'] / kept['rows']:.0f}", str(kept["row_sizeof"])],
            ["plain Python list of dict literals", mib(plain["peak_delta"]), mib(plain["kept_delta"]),
             f"{plain['kept_delta'] / plain['rows']:.0f}", str(plain["row_sizeof"])],
        ])


def bounded_size(hosts: dict[bytes, tuple[int, float]], newest: float) -> int:
    """How many of the unbounded table's `hosts` the bounded one holds, time stamps being in order:
    per address family all of them up to the threshold; past it, the threshold or, when more, the
    hosts seen within the last 62 s."""
    held = 0
    for width in (4, 16):
        family = [last for key, (_, last) in hosts.items() if len(key) == width]
        recent = sum(newest - last <= EXPIRY_AGE for last in family)
        held += min(len(family), max(EXPIRY_THRESHOLD, recent))
    return held


def unbounded_table(capture: Path, at_rows: list[int]) -> tuple[list[tuple[int, int]], int]:
    """What the unbounded host table would do on `capture`, read straight from the file: after each
    of `at_rows` rows, how many destinations it holds and how many the bounded table should hold;
    and the digest of every row's count."""
    data = capture.read_bytes()
    hosts: dict[bytes, tuple[int, float]] = {}
    newest = float("-inf")
    sizes = []
    digest = 0
    wanted = iter(at_rows)
    target = next(wanted, None)
    rows = 0
    offset = 24
    while offset + 16 <= len(data):
        second = int.from_bytes(data[offset:offset + 4], "little", signed=True)
        usec = int.from_bytes(data[offset + 4:offset + 8], "little")
        caplen = int.from_bytes(data[offset + 8:offset + 12], "little")
        frame = data[offset + 16:offset + 16 + caplen]
        offset += 16 + caplen
        eth_type = frame[12:14]
        if eth_type == b"\x08\x00" and len(frame) >= 34:
            destination = frame[30:34]
        elif eth_type == b"\x86\xdd" and len(frame) >= 54:
            destination = frame[38:54]
        else:
            continue
        timestamp = second + usec / 1e6
        newest = max(newest, timestamp)
        state = hosts.get(destination)
        count = state[0] + 1 if state is not None and timestamp - state[1] <= 2.0 else 1
        hosts[destination] = (count, timestamp)
        digest = memory.fold_count(digest, count)
        rows += 1
        if rows == target:
            sizes.append((len(hosts), bounded_size(hosts, newest)))
            target = next(wanted, None)
    return sizes, digest


def bench_bounded_table(scan_meta: dict) -> None:
    outcome = probe("bounded", str(gen_capture.SCAN), str(scan_meta["packets"]))
    distinct = scan_meta["distinct_destinations"]
    title = (f"Bounded host table: {scan_meta['packets']:,} frames over {scan_meta['seconds']} s of time "
             f"stamps touching {distinct:,} distinct destinations")
    if outcome["mode"] != "iter_pcap":
        print(f"\n{title}\nFeatureExtractor has no iter_pcap: ran process_pcap instead, which keeps every "
              f"row, so the table cannot be sampled while it runs. Peak RSS over the interpreter's: "
              f"{mib(outcome['peak_delta'])}; tracked hosts afterwards: {outcome['tracked_after']}.")
        return
    unbounded, digest = unbounded_table(gen_capture.SCAN, [point["rows"] for point in outcome["samples"]])
    if digest != outcome["counts_digest"]:
        raise SystemExit("bounded host table: the stream's counts differ from the unbounded table's")
    if any(point["tracked"] not in (None, bounded) for point, (_, bounded) in zip(outcome["samples"], unbounded)):
        raise SystemExit("bounded host table: tracked hosts differ from max(threshold, hosts seen in 62 s)")
    rows = [[f"{point['rows']:,}", f"{point['seconds']:.0f}",
             "n/a" if point["tracked"] is None else f"{point['tracked']:,}", f"{held:,}", mib(point["rss_delta"])]
            for point, (held, _) in zip(outcome["samples"], unbounded)]
    print_table(f"{title} (rows streamed through iter_pcap, not kept; stale hosts dropped past "
                f"{EXPIRY_THRESHOLD:,} per address family)",
                ["rows", "capture s", "tracked hosts", "unbounded table", "RSS growth"], rows)
    tracked = [point["tracked"] for point in outcome["samples"] if point["tracked"] is not None]
    if tracked:
        print(f"tracked hosts: at most {max(tracked):,} (an unbounded table would end at {distinct:,}); "
              f"{outcome['tracked_after']} after the stream ended")
    print(f"every one of the {outcome['rows']:,} counts equals the unbounded table's; "
          f"peak RSS growth over the whole stream: {mib(outcome['peak_delta'])}; "
          f"{rate(outcome['rows'], outcome['cpu_seconds']):,.0f} rows/s")


def bench_columns(moraine, captures: list[tuple[str, bytes, dict]], libpcap_floors: dict[str, dict], args) -> None:
    """Feature rows and packets as Arrow record batches, against the dict and row APIs and the floor."""
    try:
        import pyarrow

        from varnel.columns import read_features_table, read_packets_table
    except ImportError as error:
        print(f"\nArrow columns: {error}; skipped")
        return
    for name, capture, meta in captures:
        frames = meta["packets"]
        extractor = moraine.FeatureExtractor()
        # The dict and row APIs do not look through VLAN tags: neither do the columns here, for equal work.
        features = read_features_table(capture, skip_vlan=True)
        packets = read_packets_table(capture, skip_vlan=True)
        rows = extractor.process_pcap(capture)
        table = pyarrow.table(features)
        if table.to_pylist()[:args.sample] != rows[:args.sample] or table.num_rows != len(rows):
            raise SystemExit(f"{name}: the feature columns differ from process_pcap's rows")
        del rows, table
        (arrow_features, count), (dict_rows, _), (arrow_packets, _), (dict_packets, _) = best_cpu(
            args.repeat, lambda: pyarrow.table(features).num_rows, lambda: len(extractor.process_pcap(capture)),
            lambda: pyarrow.table(packets).num_rows, lambda: consume(read_pcap(capture)))
        floor = native_floor(Path(os.fsdecode(capture)), args.repeat)
        floor_rate = rate(floor["frames"], floor["cpu_seconds"])
        reading = libpcap_floors[name]
        reading_rate = rate(reading["libpcap_frames"], reading["libpcap_cpu_seconds"])
        rows_rate = rate(frames, dict_rows)
        print_table(
            f"Arrow columns, {name} ({frames:,} frames, {count:,} rows; best CPU time of {args.repeat})",
            ["reader", "frames", "CPU s", "frames/s", "us/frame", "vs dict/row API"],
            [
                speed_row("pyarrow.table(read_features_table)", frames, arrow_features, rows_rate),
                speed_row("FeatureExtractor().process_pcap", frames, dict_rows, rows_rate),
                speed_row("pyarrow.table(read_packets_table)", frames, arrow_packets, rate(frames, dict_packets)),
                speed_row("read_pcap, fully consumed", frames, dict_packets, rate(frames, dict_packets)),
                speed_row("native floor (pcap_next_ex + decoder)", floor["frames"], floor["cpu_seconds"], rows_rate,
                          digits=3),
                speed_row("libpcap read floor (pcap_next, 1 byte)", reading["libpcap_frames"],
                          reading["libpcap_cpu_seconds"], rows_rate, digits=3),
            ])
        features_rate = rate(frames, arrow_features)
        print(f"feature columns vs libpcap's read floor: {features_rate / reading_rate:.2f}x (target "
              f"{TARGET_READ_FLOOR}x: {'met' if features_rate / reading_rate >= TARGET_READ_FLOOR else 'MISSED'})")
        if name == "mixed capture":
            gzipped = gzip_copy(Path(os.fsdecode(capture)))
            (plain, _), (compressed, _) = best_cpu(
                args.repeat, lambda: pyarrow.table(read_features_table(capture, skip_vlan=True)).num_rows,
                lambda: pyarrow.table(read_features_table(gzipped, skip_vlan=True)).num_rows)
            print(f"feature columns of the gzip copy vs the plain file: {plain / compressed:.2f}x "
                  f"(target {TARGET_GZIP}x: {'met' if plain / compressed >= TARGET_GZIP else 'MISSED'})")
        print(f"feature columns vs process_pcap: {verdict(features_rate / rows_rate, TARGET_ARROW_FEATURES)}; "
              f"vs the native floor: {features_rate / floor_rate:.2f}x (target {TARGET_ARROW_FLOOR}x: "
              f"{'met' if features_rate / floor_rate >= TARGET_ARROW_FLOOR else 'MISSED'}); "
              f"packet columns vs read_pcap: {verdict(dict_packets / arrow_packets, TARGET_ARROW_PACKETS)}")
    name, capture, _ = captures[0]
    held = probe("arrow-features", os.fsdecode(capture))
    per_row = held["kept_delta"] / held["rows"]
    print_table(
        f"Memory of the {held['rows']:,} feature rows of {name} held as a pyarrow Table (fresh process)",
        ["held as", "peak", "kept (RSS)", "bytes/row kept", "Table.nbytes/row"],
        [["pyarrow.table(read_features_table)", mib(held["peak_delta"]), mib(held["kept_delta"]), f"{per_row:.1f}",
          f"{held['table_bytes'] / held['rows']:.1f}"]])
    print(f"bytes per row kept: {per_row:.1f} (target at most {TARGET_ARROW_BYTES}: "
          f"{'met' if per_row <= TARGET_ARROW_BYTES else 'MISSED'})")


def bench_packet_dictionary(captures: list[tuple[str, bytes, dict]], args) -> None:
    """Packet columns with dictionary=True against the plain ones: memory per row and CPU time."""
    try:
        import pyarrow

        from varnel.columns import read_packets_table
    except ImportError as error:
        print(f"\npacket dictionaries: {error}; skipped")
        return
    rows = []
    for name, capture, _ in captures:
        plain, encoded = read_packets_table(capture), read_packets_table(capture, dictionary=True)
        sizes = [(table.nbytes / table.num_rows, table.num_rows)
                 for table in (pyarrow.table(plain), pyarrow.table(encoded))]
        (plain_cpu, _), (encoded_cpu, _) = best_cpu(args.repeat, lambda: pyarrow.table(plain).num_rows,
                                                    lambda: pyarrow.table(encoded).num_rows)
        rows.append([name, f"{sizes[0][0]:.1f}", f"{sizes[1][0]:.1f}", f"{plain_cpu:.3f}", f"{encoded_cpu:.3f}",
                     f"{plain_cpu / encoded_cpu:.2f}x"])
        if name == "mixed capture":
            bytes_verdict = "met" if sizes[1][0] <= TARGET_DICTIONARY_BYTES else "MISSED"
            speed_verdict = "met" if encoded_cpu <= plain_cpu else "MISSED"
    print_table(f"Packet columns with dictionary=True (best CPU time of {args.repeat})",
                ["capture", "plain B/row", "dictionary B/row", "plain CPU s", "dictionary CPU s", "speed-up"], rows)
    print(f"dictionary bytes per row on the mixed capture: target at most {TARGET_DICTIONARY_BYTES}: "
          f"{bytes_verdict}; no slower than plain: {speed_verdict}")


def bench_command(capture: bytes, args) -> None:
    """The command in this process (`varnel.cli.main`, interpreter start-up left out), per CPU-second
    and, for -j, per wall-second; against the columnar reader it writes from."""
    import tempfile

    try:
        import pyarrow

        from varnel.cli import main as command
        from varnel.columns import read_features_table
    except ImportError as error:
        print(f"\ncommand: {error}; skipped")
        return
    path = os.fsdecode(capture)
    rows = pyarrow.table(read_features_table(capture)).num_rows
    packets = pyarrow.table(varnel_packets_table(capture)).num_rows
    with tempfile.TemporaryDirectory(prefix="varnel-bench-") as scratch:
        def run(*arguments: str, fmt: str) -> int:
            status = command([*arguments, "-o", os.path.join(scratch, f"out.{fmt}"), "--format", fmt])
            if status != 0:
                raise SystemExit(f"varnel {' '.join(arguments)}: exit status {status}")
            return status

        cpu = best_cpu(
            args.repeat,
            lambda: pyarrow.table(read_features_table(capture)).num_rows,
            lambda: run("features", path, fmt="parquet"),
            lambda: run("features", path, fmt="csv"),
            lambda: run("features", path, fmt="jsonl"),
            lambda: run("read", path, fmt="jsonl"),
        )
        reader, parquet, csv_text, json_text, read_json = (seconds for seconds, _ in cpu)
        print_table(
            f"The command, in process ({rows:,} feature rows, {packets:,} packets; best CPU time of {args.repeat})",
            ["work", "rows", "CPU s", "rows/CPU-s", "vs reader"],
            [[name, f"{count:,}", f"{seconds:.3f}", f"{rate(count, seconds):,.0f}", f"{seconds / reader:.2f}x"]
             for name, count, seconds in (
                 ("pyarrow.table(read_features_table)", rows, reader),
                 ("varnel features -o out.parquet", rows, parquet),
                 ("varnel features --format csv", rows, csv_text),
                 ("varnel features --format jsonl", rows, json_text),
                 ("varnel read --format jsonl", packets, read_json),
             )])
        print(f"parquet command vs reader CPU: {parquet / reader:.2f}x (target at most {TARGET_COMMAND_PARQUET}x: "
              f"{'met' if parquet / reader <= TARGET_COMMAND_PARQUET else 'MISSED'}); "
              + "; ".join(f"{name} {rate(rows, seconds):,.0f} rows/CPU-s (target {TARGET_COMMAND_TEXT:,}: "
                          f"{'met' if rate(rows, seconds) >= TARGET_COMMAND_TEXT else 'MISSED'})"
                          for name, seconds in (("CSV", csv_text), ("JSON lines", json_text))))

        def reader_threads(jobs: int) -> int:
            return pyarrow.table(read_features_table([capture, capture], jobs=jobs)).num_rows

        works = [lambda: reader_threads(1), lambda: reader_threads(2)]
        formats = ("parquet", "csv", "jsonl")
        for fmt in formats:
            for jobs in (1, 2):
                works.append(lambda fmt=fmt, jobs=jobs: run("features", path, path, "-j", str(jobs), fmt=fmt))
        wall = [seconds for seconds, _ in best_cpu(args.repeat, *works, clock=time.perf_counter)]
        table_rows = [["read_features_table, 2 files, 1 thread", f"{rate(2 * rows, wall[0]):,.0f}", "1.00x"],
                      ["read_features_table, 2 files, 2 threads", f"{rate(2 * rows, wall[1]):,.0f}",
                       f"{wall[0] / wall[1]:.2f}x"]]
        for index, fmt in enumerate(formats):
            one, two = wall[2 + 2 * index], wall[3 + 2 * index]
            table_rows.append([f"varnel features -j 1 ({fmt}), 2 files", f"{rate(2 * rows, one):,.0f}", "1.00x"])
            table_rows.append([f"varnel features -j 2 ({fmt}), 2 files", f"{rate(2 * rows, two):,.0f}",
                               f"{one / two:.2f}x"])
        print_table(f"Two files on threads ({os.cpu_count()} CPUs; best wall time of {args.repeat})",
                    ["work", "rows/wall-s", "vs 1 thread"], table_rows)
        print(f"reader, 2 threads vs 1: {verdict(wall[0] / wall[1], TARGET_THREADS)}")


def varnel_packets_table(capture: bytes):
    from varnel.columns import read_packets_table

    return read_packets_table(capture)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement; the best counts")
    parser.add_argument("--dpkt-subset", type=int, default=100_000, help="records the dpkt equivalents read")
    parser.add_argument("--sample", type=int, default=10_000, help="records checked for agreement")
    parser.add_argument("--only-command", action="store_true", help="run the command's figures alone")
    parser.add_argument("--only-read-floor", action="store_true", help="run the reading floor alone")
    args = parser.parse_args()
    if args.only_read_floor:
        bench_read_floor(read_floor_captures(), args)
        return
    if args.only_command:
        gen_capture.ensure_mixed()
        bench_command(os.fsencode(gen_capture.MIXED), args)
        return

    meta = gen_capture.ensure_mixed()
    capture = os.fsencode(gen_capture.MIXED)
    print(f"capture: {gen_capture.MIXED.relative_to(ROOT)} ({meta['packets']:,} frames, "
          f"{gen_capture.MIXED.stat().st_size / 1e6:,.0f} MB); dpkt equivalents timed on the first "
          f"{min(args.dpkt_subset, meta['packets']):,} frames and scaled by rate")
    bench_reader(capture, meta, args)
    scan_meta = gen_capture.ensure_scan()
    libpcap_floors = bench_read_floor(read_floor_captures(), args)

    moraine, why = import_moraine()
    if moraine is None:
        print(f"\nfeature rows: varnel.core.ver100.moraine does not import ({why}); skipped")
        return
    bench_features(moraine, capture, meta, args)
    bench_bounded_table(scan_meta)
    bench_columns(moraine, [("mixed capture", capture, meta), ("scan capture", os.fsencode(gen_capture.SCAN), scan_meta)],
                  libpcap_floors, args)
    bench_packet_dictionary([("mixed capture", capture, meta), ("scan capture", os.fsencode(gen_capture.SCAN),
                                                                 scan_meta)], args)
    bench_command(capture, args)


if __name__ == "__main__":
    main()
