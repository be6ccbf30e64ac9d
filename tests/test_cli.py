"""The `varnel` command end to end, in subprocesses, against the library's own output."""

from __future__ import annotations

import csv
import io
import json
import os
import re
import pty
import subprocess
import sys
from pathlib import Path

import pytest

from support.json_lines import library_dicts
from testkit.frames import arp, ethernet, icmp, ipv4, ipv6, pcap_bytes, stamped, tcp, udp, write_pcap
from varnel import schema
from varnel.core.base.grapnel import read_pcap
from varnel.core.ver100.moraine import FeatureExtractor


def varnel(*args: object, **options) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "varnel", *map(str, args)], capture_output=True, text=True,
                          timeout=120, **options)


def frames(count: int, seed: int) -> list:
    """Every protocol group over IPv4 and IPv6, ARP among them, to a handful of hosts, 0.3 s apart."""
    makers = (
        lambda n: ethernet(ipv4(tcp(sport=1000 + n, dport=80, seq=n, flags=0x18), dst=f"10.0.0.{n % 5}")),
        lambda n: ethernet(ipv4(udp(sport=2000 + n, payload=bytes(n % 30)), proto=17, ident=n)),
        lambda n: ethernet(ipv4(icmp(), proto=1, flags_frag=0x2000 if n % 2 else 0)),
        lambda n: ethernet(ipv6(icmp(icmp_type=128), next_hdr=58), eth_type=0x86DD),
        lambda n: arp(),
        lambda n: ethernet(ipv4(b"\x11" * 8, proto=2, dst="224.0.0.1")),
        lambda n: ethernet(ipv6(tcp(dport=443, seq=0xFFFFFFFF), dst=f"2001:db8::{n % 3}"), eth_type=0x86DD),
    )
    return [stamped(makers[(n + seed) % len(makers)](n), micros=300_000 * n + seed) for n in range(count)]


@pytest.fixture(scope="module")
def captures(tmp_path_factory) -> dict[str, Path]:
    folder = tmp_path_factory.mktemp("captures")
    sizes = {"a.pcap": 400, "b.pcap": 30, "c.pcap": 150, "big.pcap": 5000}
    paths = {name: folder / name for name in sizes}
    for seed, (name, count) in enumerate(sizes.items()):
        write_pcap(paths[name], frames(count, seed))
    damaged = pcap_bytes(frames(20, 0))
    paths["damaged.pcap"] = folder / "damaged.pcap"
    paths["damaged.pcap"].write_bytes(damaged[:-10])  # ends inside the last frame
    return paths


def packets(path: Path, file_column: bool = False) -> list[dict]:
    dicts = list(read_pcap(bytes(path)))
    return [{"file": str(path), **packet} for packet in dicts] if file_column else dicts


def features(path: Path, file_column: bool = False) -> list[dict]:
    rows = FeatureExtractor().process_pcap(bytes(path))
    return [{"file": str(path), **row} for row in rows] if file_column else rows


def json_rows(text: str) -> list[dict]:
    return library_dicts(text)


def as_csv_cells(rows: list[dict], header: list[str]) -> list[dict]:
    return [{key: str(row[key]) if key in row else "" for key in header} for row in rows]


def assert_clean_failure(result: subprocess.CompletedProcess, *words: str) -> None:
    assert result.returncode == 1
    lines = result.stderr.splitlines()
    assert len(lines) == 1, result.stderr
    assert lines[0].startswith("varnel: ") and all(word in lines[0] for word in words), lines[0]


# ---- output equals the library's

@pytest.mark.parametrize("command, library", [("read", packets), ("features", features)])
def test_json_lines_are_the_library_rows_in_order(captures, command, library):
    result = varnel(command, "--format", "json", captures["a.pcap"])
    assert result.returncode == 0 and result.stderr == ""
    expected = library(captures["a.pcap"])
    columns = schema.packet_columns() if command == "read" else schema.feature_columns()
    # Key order too: the library's dictionaries with every column, null for the keys one leaves out.
    assert [list(json.loads(line).items()) for line in result.stdout.splitlines()] == [
        [(key, row.get(key)) for key in columns] for row in expected]


@pytest.mark.parametrize("command, library", [("read", packets), ("features", features)])
def test_csv_has_one_column_per_key_and_the_library_values(captures, command, library):
    result = varnel(command, "--format", "csv", captures["a.pcap"])
    assert result.returncode == 0
    reader = csv.DictReader(io.StringIO(result.stdout))
    expected = library(captures["a.pcap"])
    assert set(reader.fieldnames) == {key for row in expected for key in row}
    assert list(reader) == as_csv_cells(expected, reader.fieldnames)


@pytest.mark.parametrize("command, fmt", [("read", "csv"), ("features", "json")])
def test_output_file_gets_what_standard_output_would(captures, tmp_path, command, fmt):
    target = tmp_path / "rows"
    result = varnel(command, "--format", fmt, "-o", target, captures["b.pcap"])
    assert (result.returncode, result.stdout) == (0, "")
    assert target.read_text() == varnel(command, "--format", fmt, captures["b.pcap"]).stdout


# ---- --count

@pytest.mark.parametrize("count, names", [
    (0, ["a.pcap"]),
    (7, ["a.pcap"]),
    (1000, ["b.pcap"]),  # more than there are
    (30, ["b.pcap", "c.pcap"]),  # the count runs across files
])
def test_count_stops_after_that_many_rows_over_all_files(captures, count, names):
    result = varnel("read", "-c", count, *(captures[name] for name in names))
    assert result.returncode == 0
    every_row = [row for name in names for row in packets(captures[name], file_column=len(names) > 1)]
    assert json_rows(result.stdout) == every_row[:count]


# ---- several files

@pytest.mark.parametrize("fmt", ["csv", "json"])
def test_parallel_files_give_the_rows_of_each_file_in_file_order(captures, fmt):
    names = [captures["a.pcap"], captures["b.pcap"], captures["c.pcap"]]  # the first is the slowest
    parallel = varnel("features", "-j", 2, "--format", fmt, *names)
    one_by_one = varnel("features", "-j", 1, "--format", fmt, *names)
    assert parallel.returncode == 0 and parallel.stderr == ""
    assert parallel.stdout == one_by_one.stdout
    expected = [row for name in names for row in features(name, file_column=True)]
    if fmt == "json":
        assert json_rows(parallel.stdout) == expected
    else:
        reader = csv.DictReader(io.StringIO(parallel.stdout))
        assert reader.fieldnames[0] == "file"
        assert list(reader) == as_csv_cells(expected, reader.fieldnames)


# ---- failures: one line, exit 1, no traceback

@pytest.mark.parametrize("command", ["read", "features"])
def test_missing_file_is_one_line_naming_it(tmp_path, command):
    missing = tmp_path / "nowhere.pcap"
    assert_clean_failure(varnel(command, missing), str(missing), "No such file or directory")


@pytest.mark.parametrize("arguments, words", [
    (["read", "-i", "varnel-no-such0"], ["varnel-no-such0"]),
    (["features", "-i", "varnel-no-such0"], ["varnel-no-such0"]),
    (["read", "-o", "/nonexistent-dir/out.json", "FILE"], ["/nonexistent-dir/out.json"]),
])
def test_unopenable_device_or_output_is_one_line(captures, arguments, words):
    arguments = [captures["b.pcap"] if argument == "FILE" else argument for argument in arguments]
    assert_clean_failure(varnel(*arguments), *words)


@pytest.mark.parametrize("jobs", [1, 2])
def test_a_file_that_cannot_be_read_leaves_the_others_written(captures, tmp_path, jobs):
    not_a_capture = tmp_path / "notes.txt"
    not_a_capture.write_text("not a capture\n" * 10)
    result = varnel("features", "-j", jobs, "--format", "json", not_a_capture, captures["b.pcap"])
    assert_clean_failure(result, str(not_a_capture))
    assert json_rows(result.stdout) == features(captures["b.pcap"], file_column=True)


@pytest.mark.parametrize("arguments", [
    ["read", "DAMAGED"],
    ["features", "DAMAGED"],
    ["features", "-j", "2", "DAMAGED", "DAMAGED"],
])
def test_damaged_file_warns_once_per_file_and_keeps_its_rows(captures, arguments):
    damaged = captures["damaged.pcap"]
    result = varnel(*[damaged if argument == "DAMAGED" else argument for argument in arguments], "--format", "json")
    assert result.returncode == 3  # finished, but the input was damaged
    warnings = result.stderr.splitlines()
    assert len(warnings) == arguments.count("DAMAGED")
    assert all(line.startswith(f"varnel: warning: {damaged}: ") for line in warnings), warnings
    with pytest.warns(RuntimeWarning, match="truncated"):
        library = packets(damaged) if arguments[0] == "read" else features(damaged, file_column=len(warnings) > 1)
    assert library and json_rows(result.stdout) == library * len(warnings)


# ---- closed pipe

@pytest.mark.parametrize("arguments", [
    ["read", "BIG"],
    ["features", "BIG"],
    ["features", "-j", "2", "BIG", "BIG", "BIG"],
])
def test_closed_pipe_ends_quietly(captures, arguments):
    command = [sys.executable, "-m", "varnel", *[str(captures["big.pcap"]) if a == "BIG" else a for a in arguments]]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert process.stdout.readline()
        process.stdout.close()  # as `| head -1` does
        stderr = process.stderr.read().decode()
        assert process.wait(timeout=60) == 0
    assert stderr == ""


# ---- progress

@pytest.mark.parametrize("terminal", [True, False])
def test_progress_only_on_a_terminal(captures, terminal):
    command = [sys.executable, "-m", "varnel", "features", captures["big.pcap"], captures["b.pcap"]]
    if not terminal:
        result = subprocess.run(command, capture_output=True, timeout=60)
        assert result.returncode == 0 and result.stderr == b""
        return
    controller, terminal_end = pty.openpty()
    try:
        with subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=terminal_end) as process:
            os.close(terminal_end)
            shown = b""
            while chunk := _read_terminal(controller):
                shown += chunk
            assert process.wait(timeout=60) == 0
    finally:
        os.close(controller)
    # Files read of total, the share of their bytes read, rows, the rate and the time left.
    total = (captures["big.pcap"].stat().st_size + captures["b.pcap"].stat().st_size) / 1024
    line = re.compile(rb"\[[01]/2\], +\d+% of " + f"{total:.1f}".encode() +
                      rb" KB, [\d,]+ rows, [\d,]+ rows/s(, \d+:\d\d left)?")
    assert line.search(shown), shown


def _read_terminal(controller: int) -> bytes:
    try:
        return os.read(controller, 4096)
    except OSError:  # the other end is closed: the process has ended
        return b""


# ---- parquet

def declared_columns(pa, names: list[str]) -> list[tuple[str, str, bool]]:
    """(name, Arrow type, nullable) of each column as the field table declares it; the file column is
    dictionary-encoded text, never null."""
    return [(name, "dictionary<values=string, indices=int32, ordered=0>", False) if name == "file" else
            # The columns' small text sets are dictionary-encoded, as the readers give them.
            (name, "dictionary<values=string, indices=int8, ordered=0>", False)
            if name in ("version", "protocol_type") else
            (name, str(pa.type_for_alias(schema.BY_NAME[name].arrow_type)), schema.BY_NAME[name].nullable)
            for name in names]


@pytest.mark.parametrize("arguments, library", [
    (["read", "a.pcap"], lambda paths: packets(paths[0])),
    (["features", "a.pcap"], lambda paths: features(paths[0])),
    (["features", "-j", "2", "a.pcap", "c.pcap"],
     lambda paths: [row for path in paths for row in features(path, file_column=True)]),
])
def test_parquet_holds_the_library_rows(captures, tmp_path, arguments, library):
    pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is not installed (pip install 'varnel[parquet]')")
    pa = pytest.importorskip("pyarrow")
    paths = [captures[argument] for argument in arguments if argument.endswith(".pcap")]
    arguments = [captures.get(argument, argument) for argument in arguments]
    target = tmp_path / "rows.parquet"
    result = varnel(*arguments, "--format", "parquet", "-o", target)
    assert (result.returncode, result.stderr) == (0, "")
    table = pq.read_table(target)
    expected = library(paths)
    # A packet without a protocol group's key has a null there.
    assert table.to_pylist() == [{name: row.get(name) for name in table.column_names} for row in expected]
    columns = [(field.name, str(field.type), field.nullable) for field in table.schema]
    assert columns == declared_columns(pa, table.column_names)


@pytest.mark.parametrize("command", ["read", "features"])
def test_other_readers_take_the_parquet_file(captures, tmp_path, command):
    """The file's encodings (split time stamps, delta-encoded integers, dictionary text) are ones
    polars and DuckDB read to the same values as pyarrow."""
    pq = pytest.importorskip("pyarrow.parquet")
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    target = tmp_path / "rows.parquet"
    options = ["--flow-key"] if command == "features" else []
    assert varnel(command, captures["big.pcap"], *options, "-o", target).returncode == 0
    expected = pq.read_table(target)
    assert expected.num_rows == len(packets(captures["big.pcap"]))
    by_polars = polars.read_parquet(target)
    assert by_polars.equals(polars.from_arrow(expected))
    with duckdb.connect() as connection:
        by_duckdb = connection.sql(f"select * from read_parquet('{target}')").fetchall()
    assert by_duckdb == [tuple(row.values()) for row in expected.to_pylist()]


def test_without_pyarrow_the_message_names_the_extra(captures):
    hide_pyarrow = "import sys; sys.modules['pyarrow'] = None; from varnel.cli import main; sys.exit(main())"
    result = subprocess.run([sys.executable, "-c", hide_pyarrow, "features", "--format", "parquet", "-o", "x",
                             str(captures["b.pcap"])], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and "varnel[parquet]" in result.stderr


# ---- devices

def test_devices_lists_lo_and_marks_one_choice():
    result = varnel("devices")
    assert result.returncode == 0
    rows = result.stdout.splitlines()[1:]
    lo = [row for row in rows if row[2:].split()[0] == "lo"]
    assert len(lo) == 1 and "loopback" in lo[0] and "up" in lo[0]
    assert sum(row.startswith("*") for row in rows) == 1
