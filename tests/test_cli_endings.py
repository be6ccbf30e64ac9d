"""Every way the command ends: signals, a full disk, the output named as an input, damaged inputs,
threads; each leaves complete output and the exit status the README gives."""

from __future__ import annotations

import csv
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from conftest import CORPUS
from testkit.frames import LINKTYPE_IEEE802_11, ethernet, ipv4, ipv6, stamped, tcp, udp, write_pcap
from varnel.cli import main

pq = pytest.importorskip("pyarrow.parquet")

SAMPLE = Path(__file__).resolve().parents[1] / "samples" / "sample.pcap"
TRUNCATED = CORPUS / "ndpi-teams-truncated.pcap"


def run(*arguments, **options) -> subprocess.CompletedProcess:
    options.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([sys.executable, "-m", "varnel", *map(str, arguments)], stderr=subprocess.PIPE,
                          timeout=120, **options)


@pytest.fixture(scope="module")
def big(tmp_path_factory) -> Path:
    """200,000 frames: enough that reading a dozen copies outlasts the wait for a signal."""
    base = [ethernet(ipv4(tcp(sport=1000 + n % 500, dport=80, seq=n), dst=f"10.0.{n % 7}.{n % 250}")) if n % 3 else
            ethernet(ipv6(udp(sport=53, dport=3000 + n % 100), next_hdr=17), eth_type=0x86DD) for n in range(1000)]
    records = (stamped(base[n % 1000], micros=100 * n) for n in range(200_000))
    return Path(write_pcap(tmp_path_factory.mktemp("big") / "big.pcap", records).decode())


def temporary_of(target: Path, pid: int) -> Path:
    """Where a run writes `target` until its output is complete."""
    return target.with_name(f".{target.name}.varnel-{pid}.tmp")


def wait_for_rows_in(path: Path, seconds: float = 60) -> bool:
    """Polls until `path` holds some bytes beyond any header; False when the time runs out."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if path.exists() and path.stat().st_size > 4096:
            return True
        time.sleep(0.01)
    return False


def complete_rows(path: Path, fmt: str) -> int:
    """The rows of a finished output, every one checked whole."""
    if fmt == "parquet":
        return pq.read_table(path).num_rows
    data = path.read_bytes()
    assert data.endswith(b"\n")
    lines = data.decode().splitlines()
    if fmt == "csv":
        rows = list(csv.reader(lines))
        assert {len(row) for row in rows} == {len(rows[0])}
        return len(rows) - 1
    for line in lines:
        assert isinstance(json.loads(line), dict)
    return len(lines)


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
@pytest.mark.parametrize("number", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda n: n.name)
def test_a_signal_leaves_a_complete_file_and_its_status(tmp_path, big, fmt, number):
    target = tmp_path / f"out.{fmt}"
    with subprocess.Popen([sys.executable, "-m", "varnel", "read", *[big] * 12, "-o", target],
                          stderr=subprocess.PIPE) as process:
        # Rows are being written: the signal lands part-way through the reading.
        assert wait_for_rows_in(temporary_of(target, process.pid)), "no rows written within the time allowed"
        process.send_signal(number)
        assert process.wait(timeout=60) == 128 + number
        assert process.stderr.read() == b""
    assert 0 < complete_rows(target, fmt) < 12 * 200_000
    assert not temporary_of(target, process.pid).exists()


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
@pytest.mark.parametrize("to_stdout", [False, True], ids=["-o", "stdout"])
def test_a_full_disk_is_one_line_and_status_1(fmt, to_stdout):
    if to_stdout:
        with open("/dev/full", "wb") as full:
            result = run("features", SAMPLE, "--format", fmt, stdout=full)
        name = "standard output"
    else:
        result = run("features", SAMPLE, "--format", fmt, "-o", "/dev/full")
        name = "/dev/full"
    assert (result.returncode, result.stderr.decode()) == (1, f"varnel: {name}: No space left on device\n")


@pytest.mark.parametrize("alias", ["same", "hard link", "symlink"])
def test_the_output_naming_an_input_is_refused_before_anything_opens(tmp_path, alias):
    original = tmp_path / "in.pcap"
    original.write_bytes(SAMPLE.read_bytes())
    output = {"same": original, "hard link": tmp_path / "link.pcap", "symlink": tmp_path / "sym.csv"}[alias]
    if alias == "hard link":
        os.link(original, output)
    elif alias == "symlink":
        output.symlink_to(original)
    result = run("features", SAMPLE, original, "-o", output)
    assert result.returncode == 2 and len(result.stderr.splitlines()) == 1
    assert original.read_bytes() == SAMPLE.read_bytes()


@pytest.fixture(scope="module")
def wifi(tmp_path_factory) -> Path:
    return Path(write_pcap(tmp_path_factory.mktemp("wifi") / "wifi.pcap", [b"\x08" * 40],
                           linktype=LINKTYPE_IEEE802_11).decode())


@pytest.mark.parametrize("inputs, strict, status, rows", [
    (["TRUNCATED"], False, 3, "some"),
    (["WIFI"], False, 3, 0),
    (["TRUNCATED", "SAMPLE"], False, 3, "some+18"),
    (["TRUNCATED", "SAMPLE"], True, 3, "some"),  # stops at the damage
    (["SAMPLE", "SAMPLE"], True, 0, 36),
    (["SAMPLE", "missing.pcap", "SAMPLE"], False, 1, 36),
])
def test_damage_and_unsupported_links_give_status_3(tmp_path, wifi, inputs, strict, status, rows):
    paths = {"TRUNCATED": TRUNCATED, "WIFI": wifi, "SAMPLE": SAMPLE}
    target = tmp_path / "out.jsonl"
    result = run("read", *[paths.get(name, tmp_path / name) for name in inputs], *(["--strict"] if strict else []),
                 "-o", target)
    assert result.returncode == status
    written = complete_rows(target, "jsonl") if target.stat().st_size else 0
    truncated_rows = len(run("read", TRUNCATED).stdout.splitlines())
    assert written == {"some": truncated_rows, "some+18": truncated_rows + 18}.get(rows, rows)


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_two_threads_give_what_one_gives(tmp_path, big, fmt):
    inputs = [big, SAMPLE, TRUNCATED, SAMPLE]
    one, two = tmp_path / f"one.{fmt}", tmp_path / f"two.{fmt}"
    assert run("features", *inputs, "-j", 1, "-o", one).returncode == 3
    assert run("features", *inputs, "-j", 2, "-o", two).returncode == 3
    if fmt == "parquet":
        assert pq.read_table(one).equals(pq.read_table(two))
    else:
        assert one.read_bytes() == two.read_bytes()


def test_a_bad_file_among_good_ones_on_threads(tmp_path):
    bad = tmp_path / "bad.pcap"
    bad.write_bytes(b"not a capture at all")
    result = run("features", SAMPLE, bad, SAMPLE, "-j", 2, "--format", "jsonl")
    assert result.returncode == 1
    assert result.stderr.decode().splitlines() == [f"varnel: {bad}: unknown file format"]
    assert len(result.stdout.splitlines()) == 36


def test_a_stream_that_fails_part_way_ends_the_run_with_one_line(monkeypatch, capsys, tmp_path):
    import pyarrow
    import varnel.columns

    real = varnel.columns.read_features_table

    class Failing:
        """The reader's batches up to the second, then an error nothing in the reader reports."""

        def __init__(self, columns):
            self.columns = columns
            self.problems = []

        def __arrow_c_stream__(self, requested_schema=None):
            schema = pyarrow.schema(self.columns)

            def batches():
                with pyarrow.RecordBatchReader.from_stream(self.columns) as reader:
                    yield next(iter(reader))
                raise ZeroDivisionError("broken on purpose")
            return pyarrow.RecordBatchReader.from_batches(schema, batches()).__arrow_c_stream__(requested_schema)

        def stats(self):
            return self.columns.stats()

    monkeypatch.setattr(varnel.columns, "read_features_table", lambda *a, **k: Failing(real(*a, **k)))
    assert main(["features", str(SAMPLE), str(SAMPLE), "-o", str(tmp_path / "o.csv")]) == 1
    [line] = capsys.readouterr().err.splitlines()
    assert line.startswith("varnel: ") and "broken on purpose" in line


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_file_names_that_are_not_utf8(tmp_path, fmt):
    odd = os.path.join(os.fsencode(tmp_path), b"caf\xe9.pcap")
    with open(odd, "wb") as out:
        out.write(SAMPLE.read_bytes())
    target = tmp_path / f"out.{fmt}"
    result = subprocess.run([sys.executable, "-m", "varnel", "features", odd, odd, "-o", target],
                            capture_output=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, b"")
    if fmt == "csv":
        assert target.read_bytes().splitlines()[1].startswith(odd + b",")
    elif fmt == "jsonl":
        assert os.fsencode(json.loads(target.read_bytes().splitlines()[0])["file"]) == odd
    else:
        assert pq.read_table(target).num_rows == 36
    missing = subprocess.run([sys.executable, "-m", "varnel", "read", odd + b"x"], capture_output=True, timeout=60)
    assert missing.returncode == 1 and missing.stderr.startswith(b"varnel: ") and b"\\xe9" in missing.stderr


def test_a_message_ends_the_progress_line_first(monkeypatch):
    import io

    from varnel.cli.messages import warn
    from varnel.cli.progress import Progress

    terminal = io.StringIO()
    terminal.isatty = lambda: True
    monkeypatch.setattr(sys, "stderr", terminal)
    progress = Progress(total_bytes=4096, total_files=2, stream=terminal)
    progress.rows(10, 2048, 1)
    warn("a.pcap: cut short")
    assert "[1/2],  50% of 4.0 KB, 10 rows" in terminal.getvalue()
    assert terminal.getvalue().endswith(" left\r\x1b[Kvarnel: warning: a.pcap: cut short\n")
