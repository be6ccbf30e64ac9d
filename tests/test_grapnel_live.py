"""Live capture, on the loopback device only.

Tests that need an idle device run in a child process with a network namespace of its own, whose
only device is its own `lo`: traffic from anything else on this machine cannot wake their reads.
"""

import os
import queue
import signal
import threading
import time

import pytest

from support.isolation import report_of, run_isolated
from support.loopback import LoopbackTraffic, UdpTarget
from support.resources import packet_socket_count
from varnel.core.base.grapnel import start_sniff



@pytest.mark.parametrize("address, version", [
    pytest.param("127.0.0.1", "IPv4", id="IPv4"),
    pytest.param("::1", "IPv6", id="IPv6"),
])
@pytest.mark.parametrize("leave", ["close", "drop"])
def test_sees_datagrams_sent_to_the_loopback(address, version, leave):
    payload = os.urandom(16)
    with UdpTarget(address) as target:
        port = target.port
        generator = start_sniff(b"lo")
        found: queue.Queue = queue.Queue()

        def watch():  # the generator is opened by this first advance
            for packet in generator:
                if packet["protocol_type"] == "UDP" and packet["dst_port"] == port:
                    found.put(packet)
                    return

        watcher = threading.Thread(target=watch, daemon=True)
        watcher.start()
        # The sender keeps sending until seen, since the capture opens some time after the watcher starts.
        with LoopbackTraffic(port, address, payload, interval=0.05, seconds=20):
            packet = found.get(timeout=15)  # libpcap may hold frames for up to its 1000 ms read time-out
        watcher.join(timeout=5)
    assert (packet["version"], packet["src_ip"], packet["dst_ip"]) == (version, address, address)
    assert (packet["udp_length"], packet["src_mac"]) == (8 + len(payload), "00:00:00:00:00:00")
    assert packet_socket_count() == 1
    if leave == "close":
        generator.close()
    else:
        del generator
    assert packet_socket_count() == 0


WAITING_READ = """
    import json, threading, time
    from support.loopback import send_datagram
    from support.resources import packet_socket_count
    from varnel.core.base.grapnel import start_sniff

    generator = start_sniff(b"lo")
    packets = []
    reader = threading.Thread(target=lambda: packets.append(next(generator)), daemon=True)
    reader.start()
    # The generator is marked running from the first advance; this thread can see it only if the
    # reader let go of the interpreter while it waits for a frame.
    while not generator.gi_running:
        time.sleep(0.001)

    # Work done here while the reader waits.
    work, started = 0, time.monotonic()
    while time.monotonic() - started < 0.2:
        work += 1
    still_waiting = reader.is_alive() and generator.gi_running

    refusals = {}
    for name, call in [("next", lambda: next(generator)), ("send", lambda: generator.send(None)),
                       ("throw", lambda: generator.throw(KeyError("x"))), ("close", generator.close)]:
        try:
            call()
            refusals[name] = None
        except Exception as error:
            refusals[name] = f"{type(error).__name__}: {error}"

    send_datagram(9999, payload=b"wake up")
    reader.join(timeout=10)
    sockets_open = packet_socket_count()
    generator.close()
    print(json.dumps({"work": work, "still_waiting": still_waiting, "refusals": refusals,
                      "packet": packets[0] if packets else None, "sockets_open": sockets_open,
                      "sockets_after_close": packet_socket_count()}))
"""


@pytest.fixture(scope="module")
def waiting_read_report() -> dict:
    return report_of(run_isolated(WAITING_READ), timeout=30)


def test_other_threads_run_while_a_live_read_waits(waiting_read_report):
    assert waiting_read_report["still_waiting"]
    assert waiting_read_report["work"] > 10_000


def test_a_second_advance_during_a_live_read_is_refused(waiting_read_report):
    assert waiting_read_report["refusals"] == dict.fromkeys(
        ["next", "send", "throw", "close"], "ValueError: generator already executing")


def test_the_waiting_read_goes_on_after_the_refusals(waiting_read_report):
    packet = waiting_read_report["packet"]
    assert (packet["protocol_type"], packet["dst_ip"], packet["dst_port"]) == ("UDP", "127.0.0.1", 9999)
    assert (waiting_read_report["sockets_open"], waiting_read_report["sockets_after_close"]) == (1, 0)


IDLE_READ = """
    import json, signal, threading, time
    from support.resources import packet_socket_count
    from varnel.core.base.grapnel import start_sniff

    signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
    generator = start_sniff(b"lo")

    def announce_the_wait():
        while not generator.gi_running:
            time.sleep(0.001)
        print("waiting", flush=True)

    threading.Thread(target=announce_the_wait, daemon=True).start()
    try:
        next(generator)
    except KeyboardInterrupt:
        print(json.dumps({"interrupted": True, "sockets_open": packet_socket_count()}))
"""


def test_ctrl_c_interrupts_a_read_on_an_idle_device():
    child = run_isolated(IDLE_READ)
    assert child.stdout.readline() == "waiting\n"
    interrupted_at = time.monotonic()
    child.send_signal(signal.SIGINT)
    report = report_of(child, timeout=3)
    assert time.monotonic() - interrupted_at < 2.5
    assert report == {"interrupted": True, "sockets_open": 0}


ANY_DEVICE = """
    import json, socket, threading
    from support.resources import packet_socket_count
    from varnel.core.base.grapnel import start_sniff

    generator = start_sniff(b"any")
    seen = threading.Event()
    found = []

    def watch():
        for packet in generator:
            if packet["protocol_type"] == "UDP" and packet["dst_port"] == 9999:
                found.append(packet)
                seen.set()
                return

    threading.Thread(target=watch, daemon=True).start()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for _ in range(100):  # 10 s at most; the capture opens some time after the watcher starts
            sender.sendto(b"any device", ("127.0.0.1", 9999))
            if seen.wait(0.1):
                break
    sockets_open = packet_socket_count()
    generator.close()
    print(json.dumps({"packet": found[0] if found else None, "sockets_open": sockets_open,
                      "sockets_after_close": packet_socket_count()}))
"""


def test_the_any_device_yields_cooked_frames():
    # "any" delivers Linux cooked frames; in the child's namespace it covers only its own lo.
    report = report_of(run_isolated(ANY_DEVICE), timeout=30)
    packet = report["packet"]
    assert packet is not None
    assert (packet["version"], packet["src_ip"], packet["dst_ip"], packet["udp_length"]) == (
        "IPv4", "127.0.0.1", "127.0.0.1", 8 + len(b"any device"))
    assert (packet["src_mac"], packet["dst_mac"]) == ("00:00:00:00:00:00", "")  # lo's address, no destination
    assert (report["sockets_open"], report["sockets_after_close"]) == (1, 0)


UNSUPPORTED_DEVICE = """
    import json
    from support.resources import packet_socket_count
    from varnel.core.base.grapnel import start_sniff

    try:
        next(start_sniff(b"nflog"))
        message = None
    except RuntimeError as error:
        message = str(error)
    print(json.dumps({"message": message, "sockets_open": packet_socket_count()}))
"""


def test_a_device_of_an_unsupported_link_type_is_refused():
    report = report_of(run_isolated(UNSUPPORTED_DEVICE), timeout=30)
    assert report == {"message": "Could not open device: link-layer type NFLOG (239) is not supported; "
                                 "no frame can be decoded", "sockets_open": 0}
