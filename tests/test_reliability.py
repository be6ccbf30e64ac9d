"""Endings the library must survive: a device that goes down, a file that blocks on open, long runs
of skipped frames, a generator carried across fork(), a time stamp the C library cannot convert."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from testkit.frames import ethernet, ipv4, pcap_bytes, pcapng_bytes, udp
from support.isolation import TESTS, namespaces_available, report_of, run_isolated
from varnel.core.base.grapnel import read_pcap

DEVICE_GOES_DOWN = """
    import json, os, subprocess, threading, time
    from support.loopback import send_datagram
    from support.resources import packet_socket_count

    # Only ever in a namespace of this test's own.
    assert os.readlink("/proc/self/ns/net") != os.readlink(f"/proc/{{os.getppid()}}/ns/net")
    {setup}
    first_frame = threading.Event()
    def take_down():
        subprocess.run(["ip", "link", "set", "lo", "down"], check=True)
        took_down.append(time.monotonic())
    def send_then_take_down():
        while not first_frame.wait(0.05):
            send_datagram()
        if {from_thread}:
            take_down()
    took_down = []
    threading.Thread(target=send_then_take_down, daemon=True).start()
    try:
        for _ in stream:
            first_frame.set()
            if not {from_thread} and not took_down:
                take_down()  # while nobody polls the device: the next read meets the error first
        report = {{"ended": "without error"}}
    except RuntimeError as error:
        report = {{"ended": str(error), "after": time.monotonic() - took_down[0]}}
    report["sockets"] = packet_socket_count()
    print(json.dumps(report))
"""


@pytest.mark.skipif(not namespaces_available(), reason="network namespaces cannot be made here")
@pytest.mark.parametrize("setup, message", [
    ("from varnel.core.base.grapnel import start_sniff; stream = start_sniff(b'lo')",
     "Could not read from device: The interface went down"),
    ("from varnel.core.ver100.moraine import FeatureExtractor; stream = FeatureExtractor().process_live(b'lo')",
     "Lỗi đọc card mạng: The interface went down"),
    ("import varnel; stream = varnel.sniff_packets('lo')", "lo: The interface went down"),
], ids=["start_sniff", "process_live", "sniff_packets"])
@pytest.mark.parametrize("from_thread", [True, False], ids=["while-waiting", "between-frames"])
def test_a_device_going_down_ends_the_stream_at_once(setup, message, from_thread):
    report = report_of(run_isolated(DEVICE_GOES_DOWN.format(setup=setup, from_thread=from_thread)), timeout=30)
    assert report["ended"] == message
    assert report["after"] < 2.0  # about one wait slice, never a blocking read
    assert report["sockets"] == 0


def run_child(script: str, **options) -> subprocess.Popen:
    prologue = f"import sys; sys.path.insert(0, {str(TESTS)!r})\n"
    return subprocess.Popen([sys.executable, "-c", prologue + textwrap.dedent(script)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **options)


def wait_until(condition, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.01)


def in_poll(pid: int) -> bool:
    """Whether the process's main thread is inside poll(2) (system call 7 on x86-64)."""
    with open(f"/proc/{pid}/syscall") as status:
        return status.read().split()[0] == "7"


def test_a_fifo_without_a_writer_lets_other_threads_run_and_ctrl_c_through(tmp_path):
    fifo = tmp_path / "capture.fifo"
    os.mkfifo(fifo)
    child = run_child(f"""
        import threading, time
        from varnel.core.base.grapnel import read_pcap
        ticks = []
        threading.Thread(target=lambda: [ticks.append(time.sleep(0.01)) for _ in range(50)], daemon=True).start()
        try:
            next(read_pcap({bytes(fifo)!r}))
        except KeyboardInterrupt:
            print("interrupted after", len(ticks), "ticks of the other thread")
    """)
    wait_until(lambda: in_poll(child.pid))
    time.sleep(0.6)  # the other thread's 50 ticks need the interpreter lock for 0.5 s
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=10)
    assert out.strip() == "interrupted after 50 ticks of the other thread", err


def test_a_fifo_is_read_while_its_writer_in_this_process_takes_turns(tmp_path):
    # The writer is a thread of the reading process, writing in two parts: a reader waiting for the
    # second part must not hold the interpreter lock the writer needs. A fault hangs the child.
    fifo = tmp_path / "capture.fifo"
    os.mkfifo(fifo)
    child = run_child(f"""
        import errno, os, threading, time
        from testkit.frames import ethernet, ipv4, pcap_bytes, udp
        from varnel.core.base.grapnel import read_pcap

        data = pcap_bytes([ethernet(ipv4(udp(), proto=17, dst=f"10.0.0.{{n}}")) for n in range(1, 6)])
        result = []
        reader = threading.Thread(target=lambda: result.extend(read_pcap({bytes(fifo)!r})))
        reader.start()
        while True:  # a non-blocking open for writing succeeds once the reader has the FIFO open
            try:
                descriptor = os.open({str(fifo)!r}, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:
                assert error.errno == errno.ENXIO
                time.sleep(0.01)
        os.set_blocking(descriptor, True)
        os.write(descriptor, data[:100])
        time.sleep(0.2)  # the reader now waits inside libpcap for the rest
        os.write(descriptor, data[100:])
        os.close(descriptor)
        reader.join()
        print(*[packet["dst_ip"] for packet in result])
    """)
    out, err = child.communicate(timeout=20)
    assert out.split() == [f"10.0.0.{n}" for n in range(1, 6)], err


def test_long_runs_of_skipped_frames_let_other_threads_run(tmp_path):
    # 24 bytes of file header, then 256 MiB of holes: 16 million empty records, each skipped as too short.
    path = tmp_path / "sparse.pcap"
    with open(path, "wb") as capture:
        capture.write(pcap_bytes([]))
        capture.truncate(24 + (256 << 20))
    gaps, done = [], threading.Event()

    def read_all():
        list(read_pcap(bytes(path)))
        done.set()

    started = time.monotonic()
    threading.Thread(target=read_all).start()
    last = time.monotonic()
    while not done.wait(0.001):
        now = time.monotonic()
        gaps.append(now - last)
        last = now
    assert time.monotonic() - started > 0.3, "the read was too short to show a stall"
    assert max(gaps) < 0.25


def test_a_stream_carried_across_fork_refuses_to_read_in_the_child(capture_file):
    path = capture_file([ethernet(ipv4(udp(), proto=17, dst=f"10.0.0.{n}")) for n in range(1, 9)])
    child = run_child(f"""
        import os
        from varnel.core.base.grapnel import read_pcap
        stream = read_pcap({path!r})
        first = next(stream)["dst_ip"]
        pid = os.fork()
        if pid == 0:
            try:
                next(stream)
                os._exit(1)
            except RuntimeError as error:
                os._exit(0 if "another process" in str(error) else 2)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), first, *[p["dst_ip"] for p in stream])
    """)
    out, err = child.communicate(timeout=30)
    assert out.split() == ["0"] + [f"10.0.0.{n}" for n in range(1, 9)], err


def test_a_time_stamp_beyond_the_c_library_keeps_the_error_and_names_the_stamp(tmp_path):
    path = tmp_path / "far.pcapng"
    frame = ethernet(ipv4(udp(), proto=17))
    path.write_bytes(pcapng_bytes([(1_700_000_000, frame), (1 << 62, frame)], seconds_resolution=True))
    stream = read_pcap(bytes(path))
    assert next(stream)["timestamp"] == 1_700_000_000.0
    with pytest.raises(OSError) as raised:
        next(stream)
    assert raised.value.errno == 75
    assert raised.value.__notes__ == [f"frame time stamp: {1 << 62} s"]
