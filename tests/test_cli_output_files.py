"""An output file is whole or absent: written beside its target and renamed over it when complete,
whatever else writes the same file or however the run ends; what is not a regular file is written
in place."""

from __future__ import annotations

import contextlib
import errno
import os
import resource
import signal
import stat
import subprocess
import sys
import time
from collections.abc import Iterator
from pathlib import Path

import pytest

from test_cli_endings import big  # noqa: F401 - a fixture
from test_cli_endings import SAMPLE, complete_rows, run, temporary_of, wait_for_rows_in
from varnel.cli import main

pq = pytest.importorskip("pyarrow.parquet")

FORMATS = ["csv", "jsonl", "parquet"]
WAIT = 60.0  # seconds: bounds every wait, none is expected to take it


@contextlib.contextmanager
def start(*arguments, **options) -> Iterator[subprocess.Popen]:
    """The command in a child process, killed if a failed assertion leaves it running."""
    with subprocess.Popen([sys.executable, "-m", "varnel", *map(str, arguments)], stderr=subprocess.PIPE,
                          **options) as process:
        try:
            yield process
        finally:
            if process.poll() is None:
                process.kill()


def siblings(target: Path) -> list[str]:
    return sorted(path.name for path in target.parent.iterdir() if path.name.startswith(f".{target.name}."))


def dead_pid() -> int:
    """The pid of a process that has ended."""
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


@pytest.mark.parametrize("fmt", FORMATS)
def test_two_processes_writing_one_output_leave_one_whole_output(tmp_path, big, fmt):
    target = tmp_path / f"out.{fmt}"
    inputs = [big] * 3
    with start("features", *inputs, "-o", target) as first:
        # The first stands still part-way through its rows until the second has written some too.
        assert wait_for_rows_in(temporary_of(target, first.pid)), first.stderr.read()
        first.send_signal(signal.SIGSTOP)
        with start("features", *inputs, "-o", target) as second:
            try:
                assert wait_for_rows_in(temporary_of(target, second.pid)), second.stderr.read()
            finally:
                first.send_signal(signal.SIGCONT)
            assert (first.wait(WAIT), second.wait(WAIT)) == (0, 0)
            assert first.stderr.read() == second.stderr.read() == b""
    alone = tmp_path / f"alone.{fmt}"
    assert run("features", *inputs, "-o", alone).returncode == 0
    if fmt == "parquet":
        assert pq.read_table(target).equals(pq.read_table(alone))
    else:
        assert target.read_bytes() == alone.read_bytes()
    assert siblings(target) == []


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
def test_sigkill_leaves_the_target_as_it_was_and_the_next_run_clears_up(tmp_path, big, fmt):
    target = tmp_path / f"out.{fmt}"
    target.write_bytes(b"the previous output")
    with start("read", *[big] * 4, "-o", target) as process:
        assert wait_for_rows_in(temporary_of(target, process.pid)), process.stderr.read()
        process.kill()
        process.wait(WAIT)
    assert target.read_bytes() == b"the previous output"
    assert siblings(target) == [temporary_of(target, process.pid).name]
    # A temporary file of a live process (this one) is never taken for a stale one.
    live = temporary_of(target, os.getpid())
    live.write_bytes(b"")
    stale = temporary_of(target, dead_pid())
    stale.write_bytes(b"")
    assert run("features", SAMPLE, "-o", target).returncode == 0
    assert complete_rows(target, fmt) == 18
    assert siblings(target) == [live.name]


# A classic pcap file header and no records: magic, version 2.4, zone, accuracy, snapshot length, Ethernet.
EMPTY_CAPTURE = bytes.fromhex("d4c3b2a1" "02000400" "00000000" "00000000" "ffff0000" "01000000")


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_signal_before_the_first_row_leaves_a_valid_output_without_rows(tmp_path, fmt):
    # The first input is a FIFO: the run waits in its opening, the output begun, until the test
    # has signalled it; the FIFO then gives an empty capture, and the next file is never read.
    fifo = tmp_path / "input.pcap"
    os.mkfifo(fifo)
    target = tmp_path / f"out.{fmt}"
    with start("features", fifo, SAMPLE, "-o", target) as process:
        # Signalled once it waits on the FIFO: a signal before it opens its first input ends the run at once.
        assert wait_until(lambda: (temporary_of(target, process.pid).exists() and holds_open(process.pid, fifo))
                          or process.poll() is not None)
        process.send_signal(signal.SIGHUP)
        with open(writing_end(fifo, process), "wb") as writer:
            writer.write(EMPTY_CAPTURE)
        assert process.wait(WAIT) == 128 + signal.SIGHUP, process.stderr.read()
    if fmt == "parquet":
        assert pq.read_schema(target).names[0] == "file" and pq.read_table(target).num_rows == 0
    else:
        assert target.read_bytes() == (b"file,timestamp,src_port,dst_port,protocol_type,src_bytes,land,"
                                       b"wrong_fragment,count\n" if fmt == "csv" else b"")
    assert siblings(target) == []


def holds_open(pid: int, path: Path) -> bool:
    descriptors = Path(f"/proc/{pid}/fd")
    with contextlib.suppress(OSError):
        return any(os.readlink(descriptor) == str(path) for descriptor in descriptors.iterdir())
    return False


def writing_end(fifo: Path, reader: subprocess.Popen) -> int:
    """The FIFO opened for writing once `reader` has it open (opening without blocking fails until then)."""
    deadline = time.monotonic() + WAIT
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO or reader.poll() is not None or time.monotonic() > deadline:
                raise
        time.sleep(0.01)


def wait_until(done, seconds: float = WAIT) -> bool:
    deadline = time.monotonic() + seconds
    while not done():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def test_an_output_that_fails_leaves_the_target_as_it_was(tmp_path, big):
    target = tmp_path / "out.csv"
    target.write_bytes(b"the previous output")

    def small_files_only():
        resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, resource.RLIM_INFINITY))

    result = run("features", big, "-o", target, preexec_fn=small_files_only)
    assert (result.returncode, result.stderr.decode()) == (1, f"varnel: {target}: File too large\n")
    assert target.read_bytes() == b"the previous output"
    assert siblings(target) == []


def test_a_symlinks_target_is_replaced_and_keeps_its_mode(tmp_path):
    real = tmp_path / "real.csv"
    real.write_bytes(b"old")
    real.chmod(0o640)
    link = tmp_path / "link.csv"
    link.symlink_to(real)
    assert main(["features", str(SAMPLE), "-o", str(link)]) == 0
    assert link.is_symlink() and link.resolve() == real
    assert complete_rows(real, "csv") == 18
    assert stat.S_IMODE(real.stat().st_mode) == 0o640


@pytest.mark.parametrize("kind", ["fifo", "/dev/stdout", "/dev/fd/1"])
def test_what_is_not_a_regular_file_is_written_in_place(tmp_path, kind):
    expected = run("features", SAMPLE).stdout
    if kind != "fifo":
        # A regular file the shell opened: written through the descriptor, not renamed over.
        captured = tmp_path / "captured.csv"
        with open(captured, "wb") as out:
            assert run("features", SAMPLE, "-o", kind, stdout=out).returncode == 0
            assert os.stat(captured).st_ino == os.fstat(out.fileno()).st_ino  # the file the shell opened
        assert captured.read_bytes() == expected and siblings(captured) == []
        return
    fifo = tmp_path / "out.csv"
    os.mkfifo(fifo)
    # Open before the writer, without blocking; the output fits in the FIFO's buffer.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    with open(reader, "rb") as got:
        assert run("features", SAMPLE, "-o", fifo).returncode == 0
        assert got.read() == expected
    assert stat.S_ISFIFO(fifo.stat().st_mode) and siblings(fifo) == []
