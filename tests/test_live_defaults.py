"""The top-level live readers deliver each frame as it arrives and hold a burst by default: in a
private network namespace, whose `lo` carries only what the test sends (to 127.0.0.1)."""

import pytest

from support.isolation import namespaces_available, report_of, run_isolated

pytestmark = pytest.mark.skipif(not namespaces_available(), reason="needs network namespaces (root)")

LATENCY = """
    import json, socket, threading, time
    import varnel

    stream = varnel.sniff_packets("lo", filter="udp port 9999")
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    opened = threading.Event()

    def prime():  # until the capture is open: a datagram sent before would be missed
        while not opened.wait(0.01):
            sender.sendto(b"p", ("127.0.0.1", 9999))

    primer = threading.Thread(target=prime)
    primer.start()
    next(stream)
    opened.set()
    primer.join()
    late = []
    for _ in range(5):
        time.sleep(0.05)  # the stream waits for a frame by now
        sent = time.monotonic()
        sender.sendto(b"ping", ("127.0.0.1", 9999))
        while next(stream)["udp_length"] != 12:
            pass
        late.append(time.monotonic() - sent)
    print(json.dumps({"late": max(late)}))
"""

BURST = """
    import json, socket, subprocess, sys, threading, time
    import varnel

    BURST_SIZE = 300

    stream = varnel.sniff_packets("lo", filter="udp port 9998")
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    quiet = threading.Event()

    def tick():  # small datagrams now and then: the capture opens, and next() never waits for ever
        while not quiet.wait(0.01):
            sender.sendto(b"p", ("127.0.0.1", 9998))

    ticker = threading.Thread(target=tick)
    ticker.start()
    next(stream)  # the capture is open: the burst is not sent before it

    # As fast as a socket sends, from another process (as from another host), while the stream reads.
    subprocess.Popen([sys.executable, "-c", "import socket; out = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
                      f"[out.sendto(n.to_bytes(4, 'big') * 50, ('127.0.0.1', 9998)) for n in range({BURST_SIZE})]"])
    seen, deadline = 0, time.monotonic() + 20
    while seen < BURST_SIZE and time.monotonic() < deadline:
        seen += next(stream)["udp_length"] == 208
    quiet.set()
    ticker.join()
    stats = stream.stats()
    print(json.dumps({"seen": seen, "dropped": stats["dropped"], "received": stats["received"]}))
"""


def test_a_frame_is_delivered_as_it_arrives_by_default():
    report = report_of(run_isolated(LATENCY), timeout=60)
    # Delivered in libpcap's batches it would wait for the read time-out (1 s); one by one it comes
    # at once. Half the time-out leaves room for a loaded machine.
    assert report["late"] < 0.5


def test_a_burst_fits_the_default_buffer():
    # Frames delivered one by one take a slot of the snapshot length each: libpcap's own default
    # buffer holds 16 of 65535 bytes, and on lo each datagram fills two (sent and received).
    report = report_of(run_isolated(BURST), timeout=120)
    assert report["seen"] == 300
    assert report["dropped"] == 0
