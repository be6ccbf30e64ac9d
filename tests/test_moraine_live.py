"""process_live on the loopback device, with UDP sent to 127.0.0.1 from a thread every 20 ms."""

import signal
import threading
import time

import pytest

from support.loopback import UdpStream
from support.resources import packet_socket_count
from varnel import schema
from varnel.core.ver100.moraine import FeatureExtractor

# libpcap hands frames over at the latest when its 1000 ms read time-out expires.
DEADLINE_S = 15.0
PAYLOAD = b"varnel-moraine-live"


def rows_to(stream, port, wanted):
    rows = []
    deadline = time.monotonic() + DEADLINE_S
    while len(rows) < wanted:
        assert time.monotonic() < deadline, "no traffic seen on lo"
        row = next(stream)
        if row["dst_port"] == port:
            rows.append(row)
    return rows


def test_live_rows_from_loopback_and_closing_empties_the_table():
    extractor = FeatureExtractor()
    sockets_before = packet_socket_count()
    stream = extractor.process_live(b"lo")
    assert (stream.__name__, stream.__qualname__) == ("process_live", "FeatureExtractor.process_live")
    with UdpStream(payload=PAYLOAD) as sender:
        rows = rows_to(stream, sender.port, 3)
        source_port = sender.source_port
    for row in rows:
        assert list(row) == list(schema.feature_columns())
        assert row["protocol_type"] == "UDP"
        assert row["src_bytes"] == 14 + 20 + 8 + len(PAYLOAD)
        assert row["src_port"] == source_port
        assert (row["land"], row["wrong_fragment"]) == (0, 0)
    # Datagrams 20 ms apart to one destination: every one adds at least one to its count.
    assert all(later["count"] > earlier["count"] for earlier, later in zip(rows, rows[1:]))
    assert abs(rows[-1]["timestamp"] - time.time()) < 60
    assert extractor._tracked_hosts >= 1
    stream.close()
    assert extractor._tracked_hosts == 0
    assert packet_socket_count() == sockets_before
    with pytest.raises(StopIteration):
        next(stream)


def test_dropping_a_live_stream_closes_it():
    extractor = FeatureExtractor()
    sockets_before = packet_socket_count()
    stream = extractor.process_live(device_name=b"lo")
    with UdpStream(payload=PAYLOAD) as sender:
        rows_to(stream, sender.port, 1)
    del stream
    assert extractor._tracked_hosts == 0
    assert packet_socket_count() == sockets_before


def _wait_until(condition):
    deadline = time.monotonic() + DEADLINE_S
    stop = threading.Event()
    while not condition():
        assert time.monotonic() < deadline
        stop.wait(0.005)


class Interrupted(Exception):
    pass


def test_a_signal_during_the_wait_ends_the_stream_cleanly():
    extractor = FeatureExtractor()
    main = threading.main_thread().ident
    sockets_before = packet_socket_count()

    def interrupt_while_waiting(stream):
        # Waits until a next() is waiting for frames, then delivers the signal to its thread.
        _wait_until(lambda: stream.gi_running)
        signal.pthread_kill(main, signal.SIGINT)

    def on_sigint(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGINT, on_sigint)
    ended_inside = False
    try:
        # Traffic on lo from elsewhere may let the signal land between two next() calls, outside the
        # stream; then the stream is still suspended and the attempt is repeated.
        for _ in range(5):
            stream = extractor.process_live(b"lo")
            with UdpStream(payload=PAYLOAD) as sender:
                rows_to(stream, sender.port, 1)
            assert extractor._tracked_hosts >= 1
            interrupter = threading.Thread(target=interrupt_while_waiting, args=(stream,))
            interrupter.start()
            try:
                with pytest.raises(Interrupted):
                    for _ in stream:
                        pass
            finally:
                interrupter.join()
            ended_inside = not stream.gi_suspended
            if ended_inside:
                break
            stream.close()
    finally:
        signal.signal(signal.SIGINT, previous)
    assert ended_inside
    assert extractor._tracked_hosts == 0
    assert packet_socket_count() == sockets_before
    with pytest.raises(StopIteration):
        next(stream)
