"""The top-level functions live on `lo`: a filter applied by the kernel, statistics while the stream
runs in another thread and after it ends, immediate delivery, and the automatic device choice."""

import json
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import varnel
import varnel.core.base.portolan as portolan
from support.resources import packet_socket_count

STOP = b"stop"


class Watcher:
    """Reads a live stream in a thread of its own, handing on each item with the time it arrived,
    until an item to the port with the stop payload's length comes."""

    def __init__(self, stream, port: int) -> None:
        self.stream, self.port = stream, port
        self.items: queue.Queue = queue.Queue()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self) -> None:
        for item in self.stream:
            self.items.put((time.monotonic(), item))
            if item.get("udp_length", item.get("src_bytes")) in (8 + len(STOP), 42 + len(STOP)):
                return

    def next_item(self, timeout: float):
        return self.items.get(timeout=timeout)


def open_capture(sender: socket.socket, port: int, watcher: Watcher) -> None:
    """Sends until the first datagram is seen, which proves the capture open; bounded at 10 s."""
    for _ in range(100):
        sender.sendto(b"hello", ("127.0.0.1", port))
        try:
            watcher.next_item(timeout=0.1)
            break
        except queue.Empty:
            continue
    else:
        pytest.fail("the capture never saw a datagram")
    while not watcher.items.empty():  # the tail of the opening burst
        watcher.items.get()


@pytest.fixture
def port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver:
        receiver.bind(("127.0.0.1", 0))
        yield receiver.getsockname()[1]


@pytest.mark.parametrize("function", [varnel.sniff_packets, varnel.sniff_features])
def test_datagrams_sent_show_in_the_items_and_the_statistics(port, function):
    stream = function("lo", filter=f"udp and dst port {port}", immediate=True, snaplen=256,
                      buffer_size=4 << 20, timeout=0.5)
    watcher = Watcher(stream, port)
    sent = 20
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        open_capture(sender, port, watcher)
        during = stream.stats()  # from this thread, while the watcher's next() waits for frames
        for n in range(sent):
            sender.sendto(os.urandom(10 + n), ("127.0.0.1", port))
        items = [watcher.next_item(timeout=10)[1] for _ in range(sent)]
        sender.sendto(STOP, ("127.0.0.1", port))
        watcher.thread.join(timeout=10)
    assert not watcher.thread.is_alive()
    assert all(item["dst_port"] == port for item in items)  # the filter ran in the kernel
    sizes = [item["udp_length"] - 8 if "udp_length" in item else item["src_bytes"] - 42 for item in items]
    assert sizes == [10 + n for n in range(sent)]
    stream.close()
    after = stream.stats()
    assert packet_socket_count() == 0
    # lo may hand over a frame of each datagram both as sent and as received: read counts what came.
    assert after["read"] >= sent + 2 and after["read"] == after["decoded"]
    assert after["received"] >= after["read"] and after["dropped"] == 0
    assert during["read"] <= after["read"] - sent and during["received"] is not None


def test_immediate_mode_delivers_a_frame_as_it_arrives(port):
    stream = varnel.sniff_packets("lo", filter=f"udp and dst port {port}", immediate=True, timeout=5)
    watcher = Watcher(stream, port)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        open_capture(sender, port, watcher)
        sent_at = time.monotonic()
        sender.sendto(STOP, ("127.0.0.1", port))
        arrived_at, packet = watcher.next_item(timeout=10)
    watcher.thread.join(timeout=10)
    stream.close()
    assert packet["udp_length"] == 8 + len(STOP)
    # Without immediate mode libpcap would hold it until the 5 s read time-out.
    assert arrived_at - sent_at < 0.5


def test_the_automatic_device_choice_is_asked_at_the_call(monkeypatch):
    monkeypatch.setattr(portolan, "get_all_devices", lambda: [{"name": "lo", "description": "", "flags": 55}])
    stream = varnel.sniff_features(None, filter="udp port 9")
    monkeypatch.setattr(portolan, "get_all_devices", lambda: [])
    with pytest.raises(RuntimeError, match="no capture device"):
        varnel.sniff_packets()
    stream.close()


def test_a_filter_that_does_not_fit_a_device_names_it():
    with pytest.raises(ValueError, match="^any: the filter cannot be applied to this capture: "):
        next(varnel.sniff_packets("any", filter="ether host 02:00:00:00:00:01"))
    assert packet_socket_count() == 0


def test_capturing_without_the_privilege_raises_permission_error():
    # A root process whose capability bounding set lacks what packet sockets need.
    script = ("import varnel\n"
              "try:\n"
              "    next(varnel.sniff_packets('lo'))\n"
              "except PermissionError as error:\n"
              "    print(error.errno, error.filename)\n")
    result = subprocess.run(["setpriv", "--bounding-set=-net_raw,-net_admin", sys.executable, "-c", script],
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "1 lo\n", "")


IDLE_READ = """
import json, signal, sys, threading, time
sys.path.insert(0, sys.argv[1])
from support.resources import packet_socket_count
import varnel

signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
stream = varnel.sniff_features("lo", timeout=30)  # a read time-out far longer than the test


def announce_the_wait():
    while not stream.gi_running:
        time.sleep(0.001)
    time.sleep(0.3)  # into the wait for frames, past the opening
    print("waiting", flush=True)


threading.Thread(target=announce_the_wait, daemon=True).start()
try:
    next(stream)
except KeyboardInterrupt:
    print(json.dumps({"interrupted": True, "sockets_open": packet_socket_count(),
                      "received": stream.stats()["received"]}))
"""


def test_ctrl_c_interrupts_an_idle_live_stream_whatever_its_read_time_out():
    # A network namespace of its own, whose idle lo nothing else on this machine can wake.
    command = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" -c "$1" "$2"', sys.executable,
               IDLE_READ, str(Path(__file__).parent)]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as child:
        assert child.stdout.readline() == "waiting\n"
        interrupted_at = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=10)
    assert time.monotonic() - interrupted_at < 2.0
    assert child.returncode == 0, err
    assert json.loads(out) == {"interrupted": True, "sockets_open": 0, "received": 0}
