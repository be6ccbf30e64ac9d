"""The `varnel` command on the loopback device: Ctrl+C and --count end a live capture cleanly."""

from __future__ import annotations

import json
import os
import select
import signal
import subprocess
import sys
import time

import pytest

from support.loopback import UdpTarget
from varnel import schema

DEADLINE = 20.0  # seconds; each wait below ends as soon as what it waits for has happened


def start(*arguments: object, **options) -> subprocess.Popen:
    # A shell without job control starts background jobs with SIGINT ignored, and a child inherits
    # that; give the command the default disposition a terminal's foreground job has.
    return subprocess.Popen([sys.executable, "-m", "varnel", *map(str, arguments)], stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL), **options)


@pytest.fixture
def udp_target():
    """A bound UDP port on 127.0.0.1 and a way to send to it."""
    with UdpTarget() as target:
        yield target.port, target.send


def read_until_row_to(process: subprocess.Popen, port: int, send) -> bytes:
    """Sends datagrams to `port` until the command has written a row for one; returns the output so far."""
    output = b""
    end = time.monotonic() + DEADLINE
    while time.monotonic() < end:
        send()
        ready, _, _ = select.select([process.stdout], [], [], 0.05)
        if ready:
            chunk = os.read(process.stdout.fileno(), 65536)
            assert chunk, "the command ended: " + process.stderr.read().decode()
            output += chunk
            complete = output[:output.rfind(b"\n") + 1]
            if any(json.loads(line)["dst_port"] == port for line in complete.splitlines()):
                return output
    pytest.fail(f"no row for a datagram to 127.0.0.1:{port} within {DEADLINE} s")


@pytest.mark.parametrize("command", ["read", "features"])
def test_ctrl_c_writes_every_row_read_and_exits_130(udp_target, command):
    port, send = udp_target
    with start(command, "-i", "lo", "--format", "json", stdout=subprocess.PIPE) as process:
        before = read_until_row_to(process, port, send)
        process.send_signal(signal.SIGINT)
        rest, stderr = process.communicate(timeout=DEADLINE)
    assert process.returncode == 130
    assert stderr == b""
    output = before + rest
    assert output.endswith(b"\n")
    rows = [json.loads(line) for line in output.splitlines()]  # every line whole
    assert any(row["dst_port"] == port for row in rows)


def test_count_ends_a_live_capture(udp_target):
    port, send = udp_target
    with start("read", "-i", "lo", "-c", 3, stdout=subprocess.PIPE) as process:
        end = time.monotonic() + DEADLINE
        while process.poll() is None and time.monotonic() < end:
            send()
            select.select([process.stderr], [], [], 0.05)  # wakes at once if the command fails
        output, stderr = process.communicate(timeout=DEADLINE)
    assert (process.returncode, stderr) == (0, b"")
    assert len([json.loads(line) for line in output.splitlines()]) == 3


def test_ctrl_c_leaves_a_complete_parquet_file(udp_target, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet", reason="pyarrow is not installed (pip install 'varnel[parquet]')")
    port, send = udp_target
    target = tmp_path / "live.parquet"
    with start("features", "-i", "lo", "--format", "parquet", "-o", target) as process:
        # Until the capture ends, the output is written beside its target.
        writing = tmp_path / f".live.parquet.varnel-{process.pid}.tmp"
        end = time.monotonic() + DEADLINE
        while not writing.exists() and process.poll() is None and time.monotonic() < end:
            send()
            select.select([process.stderr], [], [], 0.05)
        assert writing.exists() and not target.exists()
        send()
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=DEADLINE)
    assert (process.returncode, stderr) == (130, b"")
    # Readable only when the footer was written, that is when the writer was closed.
    assert pq.read_schema(target).names == list(schema.feature_columns())
    assert not writing.exists()


@pytest.mark.parametrize("command", ["read", "features"])
def test_live_options_reach_the_capture(udp_target, command):
    port, send = udp_target
    with start(command, "-i", "lo", "--format", "json", "--filter", f"udp dst port {port}", "--snaplen", 128,
               "--buffer-size", 1 << 20, "--no-promisc", "--no-immediate", "-c", 2, stdout=subprocess.PIPE) as process:
        output = read_until_row_to(process, port, send)
        end = time.monotonic() + DEADLINE
        while output.count(b"\n") < 2 and time.monotonic() < end:  # a second row ends the command
            send()
            if select.select([process.stdout], [], [], 0.05)[0]:
                chunk = os.read(process.stdout.fileno(), 65536)
                if not chunk:
                    break
                output += chunk
        rest, stderr = process.communicate(timeout=DEADLINE)
    assert (process.returncode, stderr) == (0, b"")
    rows = [json.loads(line) for line in (output + rest).splitlines()]
    assert len(rows) == 2 and all(row["dst_port"] == port for row in rows)  # only what the filter keeps
