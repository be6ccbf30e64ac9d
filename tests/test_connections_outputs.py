"""Connection records through every output — dictionaries, columns, the command's formats, Dask —
and the behaviour they share with the packet and feature readers: options checked at the call,
files apart or as one, unreadable files, signals and live devices."""

from __future__ import annotations

import csv
import io
import json
import signal
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import pyarrow
import pyarrow.parquet as pq
import pytest

import varnel
from support.loopback import UdpTarget
from testkit.frames import ethernet, icmp, ipv4, ipv6, stamped, tcp, udp
from varnel import schema

DEADLINE = 20.0  # seconds; each wait below ends as soon as what it waits for has happened
SECOND = 1_000_000
SYN, ACK, FIN, RST = 0x02, 0x10, 0x01, 0x04


def mixed_frames(seed: int) -> list:
    """Connections of every protocol and several flag states, some open at the end."""
    frames = []
    for n in range(12):
        at = (seed * 50 + n) * 300_000
        host = f"10.0.{seed}.{n % 4 + 1}"
        frames += [
            stamped(ethernet(ipv4(tcp(40000 + n, 80, flags=SYN), proto=6, dst=host)), at),
            stamped(ethernet(ipv4(tcp(80, 40000 + n, flags=SYN | ACK), proto=6, src=host, dst="10.0.0.1")), at + 1),
            stamped(ethernet(ipv4(udp(5000 + n, 53, payload=b"q" * n), proto=17, dst=host)), at + 2),
            stamped(ethernet(ipv4(icmp(8, 0, b"\x00\x07\x00\x01"), proto=1, dst=host)), at + 3),
            stamped(ethernet(ipv6(tcp(41000 + n, 22, flags=SYN), dst=f"2001:db8::{n}"), eth_type=0x86DD), at + 4),
        ]
        if n % 3 == 0:
            frames.append(stamped(ethernet(ipv4(tcp(40000 + n, 80, flags=RST), proto=6, dst=host)), at + 5))
    return frames


@pytest.fixture(scope="module")
def captures(tmp_path_factory) -> list[Path]:
    from testkit.frames import write_pcap

    folder = tmp_path_factory.mktemp("connections")
    paths = [folder / f"part{seed}.pcap" for seed in range(3)]
    for seed, path in enumerate(paths):
        write_pcap(path, mixed_frames(seed))
    return paths


def dicts(paths, **options) -> list[dict]:
    return list(varnel.read_connections(paths, **options))


def with_files(paths, **options) -> list[dict]:
    """The records of each file read apart, each with its file first: what several files give."""
    return [{"file": str(path), **record} for path in paths for record in dicts(path, **options)]


def run_command(*args: object) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "varnel", "connections", *map(str, args)], capture_output=True,
                          timeout=120)


# ---- the same records everywhere

@pytest.mark.parametrize("jobs", [1, 2])
def test_columns_of_several_files_are_each_file_read_apart(captures, jobs):
    table = pyarrow.table(varnel.read_connections_table(captures, jobs=jobs, batch_size=7))
    assert table.column_names == ["file", *schema.connection_columns()]
    assert table.to_pylist() == with_files(captures)


def test_column_types_are_those_of_the_schema(captures):
    table = pyarrow.table(varnel.read_connections_table(captures[0]))
    for name, arrow_type in schema.CONNECTION_COLUMNS:
        field = table.schema.field(name)
        if name in ("protocol_type", "service", "flag"):
            assert pyarrow.types.is_dictionary(field.type) and field.type.value_type == pyarrow.string()
        else:
            assert field.type == pyarrow.type_for_alias(arrow_type), name
    # One dictionary for every batch: the whole table of names, not the names one batch holds.
    services = pyarrow.table(varnel.read_connections_table(captures[0], batch_size=2)).column("service")
    assert len({tuple(chunk.dictionary.to_pylist()) for chunk in services.chunks}) == 1


@pytest.mark.parametrize("fmt", ["csv", "jsonl", "parquet"])
def test_command_formats_hold_the_library_records(captures, tmp_path, fmt):
    target = tmp_path / f"out.{fmt}"
    result = run_command(*captures, "--service", "udp/53=dns", "--kdd-compat", "-o", target)
    assert (result.returncode, result.stderr) == (0, b"")
    expected = with_files(captures, services={("udp", 53): "dns"}, kdd_compat=True)
    assert expected and any(record["service"] == "dns" for record in expected)
    if fmt == "parquet":
        assert pq.read_table(target).to_pylist() == expected
    elif fmt == "jsonl":
        assert [json.loads(line) for line in target.read_text().splitlines()] == expected
    else:
        rows = list(csv.DictReader(io.StringIO(target.read_text())))
        assert rows == [{key: str(value) for key, value in record.items()} for record in expected]


def test_csv_is_the_default_and_count_counts_records(captures):
    result = run_command(captures[0], "-c", 5)
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 0
    assert lines[0] == ",".join(schema.connection_columns()) and len(lines) == 6


@pytest.mark.parametrize("continuous", [False, True])
def test_dask_partitions_hold_what_the_serial_reader_gives(captures, continuous):
    import varnel.dask

    frame = varnel.dask.read_connections([str(path) for path in captures], continuous=continuous, time_window=5.0)
    assert frame.npartitions == (1 if continuous else len(captures))
    table = varnel.read_connections_table(captures, continuous=continuous, file_column=True, time_window=5.0)
    expected = pyarrow.table(table).to_pandas()
    got = varnel.dask.compute(frame).reset_index(drop=True)
    assert got.astype(str).equals(expected.astype(str))


# ---- options

@pytest.mark.parametrize("options, error", [
    ({"tcp_timeout": -1.0}, ValueError),
    ({"udp_timeout": float("nan")}, ValueError),
    ({"close_linger": "5"}, TypeError),
    ({"time_window": True}, TypeError),
    ({"host_window": 0}, ValueError),
    ({"max_connections": 0}, ValueError),
    ({"max_connections": 2.5}, TypeError),
    ({"services": {("sctp", 80): "web"}}, ValueError),
    ({"services": {("tcp", 70000): "web"}}, ValueError),
    ({"services": {("tcp", 80): ""}}, ValueError),
    ({"services": [("tcp", 80)]}, TypeError),
])
@pytest.mark.parametrize("reader", ["read_connections", "read_connections_table", "sniff_connections",
                                    "sniff_connections_table"])
def test_options_are_checked_at_the_call(reader, options, error):
    # Nothing opens: the device and the file do not exist.
    with pytest.raises(error):
        getattr(varnel, reader)(*(["missing.pcap"] if reader.startswith("read") else ["no-such-device"]), **options)


def test_a_bad_option_is_a_usage_error_of_the_command(captures):
    result = run_command(captures[0], "--max-connections", "0")
    assert result.returncode == 2 and b"max_connections" in result.stderr


# ---- the stream's statistics and its endings

def test_stats_add_the_connection_counts(captures):
    stream = varnel.read_connections(captures[0], max_connections=3)
    records = list(stream)
    stats = stream.stats()
    assert stats["connections"] == len(records) and stats["open_connections"] == 0 and stats["evicted"] > 0
    columns = varnel.read_connections_table(captures[0], max_connections=3)
    pyarrow.table(columns)
    assert {key: columns.stats()[key] for key in ("connections", "evicted", "other_protocol")} == \
        {key: stats[key] for key in ("connections", "evicted", "other_protocol")}


def test_a_file_that_cannot_be_opened_comes_after_the_open_connections(captures, tmp_path):
    # As one capture, the first file's connections are still open when the second cannot be opened:
    # they end first, then the error is raised.
    expected = dicts(captures[0])
    stream = varnel.read_connections([captures[0], tmp_path / "missing.pcap"], continuous=True)
    got = []
    with pytest.raises(FileNotFoundError):
        for record in stream:
            got.append(record)
    assert got == expected


def test_the_end_of_a_capture_with_many_connections_open_ends_them_in_order(tmp_path):
    from testkit.frames import write_pcap

    # More than the flush hands out at once, so that the end of the file is several flushes.
    frames = [stamped(ethernet(ipv4(tcp(1024 + n % 60000, 80 + n // 60000, flags=SYN), proto=6,
                                    dst=f"10.1.{n // 250}.{n % 250}")), n) for n in range(9000)]
    path = tmp_path / "syns.pcap"
    write_pcap(path, frames)
    records = dicts(path, host_window=5)
    assert len(records) == 9000 and all(record["flag"] == "S0" for record in records)
    assert [record["start_time"] for record in records] == sorted(record["start_time"] for record in records)
    # Every unanswered SYN of the file sees the others within the time window (9 ms of them).
    assert [record["count"] for record in records[:3]] == [1, 1, 1]  # each to its own host
    assert records[-1]["dst_host_count"] == 1 and records[-1]["dst_host_serror_rate"] == 1.0


def test_end_read_ends_the_open_connections(captures):
    columns = varnel.read_connections_table(captures, batch_size=1, continuous=True)
    with pyarrow.RecordBatchReader.from_stream(columns) as reader:
        first = reader.read_next_batch()
        columns.end_read()
        rest = [batch for batch in reader]
    records = pyarrow.Table.from_batches([first, *rest]).to_pylist()
    assert columns.stats()["open_connections"] == 0 and columns.stats()["finished"]
    # Fewer than a whole read gives, each a whole record, the last ones the connections left open.
    assert 1 < len(records) < len(dicts(captures, continuous=True))


# ---- live, on lo

def test_an_idle_device_ends_connections_by_the_clock():
    with UdpTarget() as target:
        stream = varnel.sniff_connections("lo", filter=f"udp and dst port {target.port}", udp_timeout=0.2)
        captured = threading.Event()

        def send_until_captured() -> None:
            end = time.monotonic() + DEADLINE
            while not captured.is_set() and time.monotonic() < end:
                target.send()
                if stream.stats()["read"] > 0:
                    return
                captured.wait(0.02)

        sender = threading.Thread(target=send_until_captured)
        sender.start()
        try:
            record = next(stream)  # no frame follows the last datagram: only the clock can end it
        finally:
            captured.set()
            sender.join()
            stream.close()
    assert (record["protocol_type"], record["dst_ip"], record["dst_port"]) == ("udp", "127.0.0.1", target.port)
    assert record["src_packets"] >= 1 and record["dst_packets"] == 0


def start_command(*arguments: object) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "varnel", "connections", *map(str, arguments)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def wait_for_record(process: subprocess.Popen, port: int, send, seen: list[dict]) -> None:
    """Sends to `port` until the command writes a record of it: each datagram is followed by a
    quiet second, in which the UDP time-out ends its connection."""
    import os
    import select

    buffered = b""
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        send()
        quiet_until = time.monotonic() + 1.0
        while (left := quiet_until - time.monotonic()) > 0:
            ready, _, _ = select.select([process.stdout], [], [], left)
            if not ready:
                break
            chunk = os.read(process.stdout.fileno(), 65536)
            assert chunk, process.stderr.read().decode()
            *lines, buffered = (buffered + chunk).split(b"\n")
            new = [json.loads(line) for line in lines]
            seen += new
            if any(record["dst_port"] == port for record in new):
                return
    pytest.fail(f"no record for 127.0.0.1:{port} within {DEADLINE} s")


def test_ctrl_c_writes_the_connections_still_open_and_exits_130():
    import socket

    with UdpTarget() as udp_target, socket.create_server(("127.0.0.1", 0)) as listener:
        tcp_port = listener.getsockname()[1]
        udp_port = udp_target.port
        process = start_command("-i", "lo", "--format", "jsonl", "--udp-timeout", "0.3",
                                "--filter", f"host 127.0.0.1 and (port {tcp_port} or port {udp_port})")
        with process:
            seen: list[dict] = []
            wait_for_record(process, udp_port, udp_target.send, seen)  # the capture runs
            with socket.create_connection(("127.0.0.1", tcp_port)):
                # Frames are read in order: once a later datagram's record is out, the handshake was read.
                seen.clear()
                wait_for_record(process, udp_port, udp_target.send, seen)
                process.send_signal(signal.SIGINT)
                rest, stderr = process.communicate(timeout=DEADLINE)
    assert process.returncode == 130 and stderr == b""
    records = seen + [json.loads(line) for line in rest.splitlines()]
    opened = [record for record in records if record["dst_port"] == tcp_port]
    assert len(opened) == 1 and opened[0]["flag"] == "S1" and opened[0]["protocol_type"] == "tcp"


def test_a_live_table_stops_at_its_limit():
    with UdpTarget() as target:
        columns = varnel.sniff_connections_table("lo", filter=f"udp and dst port {target.port}", udp_timeout=0.1,
                                                 limit=1, batch_timeout=0.05)
        stop = threading.Event()

        def send() -> None:
            while not stop.wait(0.3):  # gaps longer than the time-out: one record per datagram
                target.send()

        sender = threading.Thread(target=send)
        sender.start()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                table = pyarrow.table(columns)
        finally:
            stop.set()
            sender.join()
    assert table.num_rows == 1 and table.column("dst_port").to_pylist() == [target.port]
