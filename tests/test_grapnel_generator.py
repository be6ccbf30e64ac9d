"""The generators: opened at the first advance, closed on every way out, and the generator protocol."""

import collections.abc
import gc
import itertools
import os
import signal
import struct
import threading
import time

import pytest

from testkit.frames import ETH_ARP, ethernet, ipv4, pcap_bytes, tcp
from support.resources import open_count, packet_socket_count
from varnel.core.base.grapnel import read_pcap, start_sniff


@pytest.fixture
def three_packets(capture_file) -> bytes:
    return capture_file([ethernet(ipv4(tcp(sport=port))) for port in (1, 2, 3)])


def test_the_call_opens_nothing(three_packets):
    file_generator = read_pcap(three_packets)
    live_generator = start_sniff(b"lo")
    assert (open_count(three_packets), packet_socket_count()) == (0, 0)
    next(file_generator)
    assert open_count(three_packets) == 1
    del file_generator, live_generator


def test_the_file_is_closed_at_its_end(three_packets):
    generator = read_pcap(three_packets)
    assert [packet["src_port"] for packet in itertools.islice(generator, 4)] == [1, 2, 3]
    assert open_count(three_packets) == 0
    with pytest.raises(StopIteration):
        next(generator)


@pytest.mark.parametrize("leave, raised, message", [
    pytest.param(lambda g: g.close(), None, None, id="close"),
    pytest.param(lambda g: g.throw(ValueError("thrown in")), ValueError, "thrown in", id="throw"),
    pytest.param(lambda g: g.throw(KeyboardInterrupt), KeyboardInterrupt, "", id="throw KeyboardInterrupt"),
    pytest.param(lambda g: g.throw(StopIteration), RuntimeError, "generator raised StopIteration",
                 id="throw StopIteration"),
    pytest.param(lambda g: g.throw(GeneratorExit), GeneratorExit, "", id="throw GeneratorExit"),
])
def test_a_suspended_generator_closes_its_file_on_every_way_out(three_packets, leave, raised, message):
    generator = read_pcap(three_packets)
    next(generator)
    assert open_count(three_packets) == 1
    if raised is None:
        leave(generator)
    else:
        with pytest.raises(raised) as error:
            leave(generator)
        assert str(error.value) == message
    assert open_count(three_packets) == 0
    with pytest.raises(StopIteration):
        next(generator)


@pytest.mark.parametrize("in_a_cycle", [False, True], ids=["dropped", "dropped in a reference cycle"])
def test_a_dropped_suspended_generator_closes_its_file(three_packets, in_a_cycle):
    holder = [read_pcap(three_packets)]
    if in_a_cycle:
        holder.append(holder)
    next(holder[0])
    assert open_count(three_packets) == 1
    del holder
    if in_a_cycle:
        assert open_count(three_packets) == 1
        gc.collect()
    assert open_count(three_packets) == 0


def test_a_thrown_stop_iteration_is_chained(three_packets):
    generator = read_pcap(three_packets)
    next(generator)
    stop = StopIteration("inner")
    with pytest.raises(RuntimeError) as error:
        generator.throw(stop)
    assert error.value.__cause__ is stop


@pytest.mark.parametrize("leave, raised", [
    pytest.param(lambda g: g.close(), None, id="close"),
    pytest.param(lambda g: g.throw(ValueError("never started")), ValueError, id="throw"),
    pytest.param(lambda g: g.throw(StopIteration), StopIteration, id="throw StopIteration"),
])
def test_ending_a_created_generator_opens_nothing(three_packets, leave, raised):
    generator = read_pcap(three_packets)
    if raised is None:
        leave(generator)
    else:
        with pytest.raises(raised):
            leave(generator)
    with pytest.raises(StopIteration):
        next(generator)
    assert open_count(three_packets) == 0


def test_send(three_packets):
    generator = read_pcap(three_packets)
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started generator$"):
        generator.send(1)
    assert open_count(three_packets) == 0
    assert generator.send(None)["src_port"] == 1
    assert generator.send("ignored")["src_port"] == 2
    assert next(generator)["src_port"] == 3
    with pytest.raises(StopIteration):
        generator.send("anything")


def test_a_finished_generator(three_packets):
    generator = read_pcap(three_packets)
    list(generator)
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(generator)
    with pytest.raises(StopIteration):
        generator.send(None)
    generator.close()
    with pytest.raises(ValueError, match="^after the end$"):
        generator.throw(ValueError("after the end"))


@pytest.mark.parametrize("function, argument, name", [
    (read_pcap, b"x.pcap", "read_pcap"),
    (start_sniff, b"lo", "start_sniff"),
])
def test_a_generator_by_name_and_kind(function, argument, name):
    generator = function(argument)
    assert (generator.__name__, generator.__qualname__) == (name, name)
    assert repr(generator).startswith(f"<generator object {name} at ")
    assert isinstance(generator, collections.abc.Generator)
    assert iter(generator) is generator
    assert function(argument) is not generator
    generator.close()


@pytest.mark.parametrize("attribute", ["__next__", "send", "close", "read_position"])
def test_the_generator_type_cannot_be_patched(attribute):
    # One type serves every stream: patching it would change them all.
    generator = read_pcap(b"x.pcap")
    with pytest.raises(TypeError, match="immutable type"):
        setattr(type(generator), attribute, lambda *args: None)
    generator.close()


def test_two_generators_over_one_file_are_independent(three_packets):
    first, second = read_pcap(three_packets), read_pcap(three_packets)
    assert next(first)["src_port"] == 1
    assert next(second)["src_port"] == 1
    assert next(first)["src_port"] == 2
    assert open_count(three_packets) == 2
    first.close()
    assert open_count(three_packets) == 1
    assert [packet["src_port"] for packet in second] == [2, 3]
    assert open_count(three_packets) == 0


def test_read_position(three_packets):
    size = os.path.getsize(three_packets)
    generator = read_pcap(three_packets)
    assert generator.read_position is None
    next(generator)
    assert 0 < generator.read_position < size
    list(generator)
    assert generator.read_position == size
    assert start_sniff(b"lo").read_position is None


class Interrupted(Exception):
    pass


def test_a_signal_interrupts_a_long_run_of_skipped_frames(tmp_path):
    # A million frames that are all skipped (ARP, their Ethernet headers alone captured): one next()
    # stays in native code throughout, past several moments at which it looks for signals.
    arp_record = struct.pack("<IIII", 0, 0, 14, 42) + ethernet(b"", eth_type=ETH_ARP)
    skipped = 1_000_000
    path = tmp_path / "arp.pcap"
    path.write_bytes(pcap_bytes([]) + arp_record * skipped + pcap_bytes([ethernet(ipv4(tcp()))])[24:])

    def interrupt(signum, frame):
        raise Interrupted

    def signal_once_open():
        # The signal goes once the file is open, so that it lands inside next(), however fast the
        # frames go by (a timer set beforehand could fire after the last one).
        deadline = time.monotonic() + 30
        while open_count(path) == 0 and time.monotonic() < deadline:
            time.sleep(0.0002)
        signal.pthread_kill(threading.main_thread().ident, signal.SIGALRM)

    generator = read_pcap(bytes(path))
    previous = signal.signal(signal.SIGALRM, interrupt)
    sender = threading.Thread(target=signal_once_open)
    try:
        with pytest.raises(Interrupted):
            sender.start()
            next(generator)
    finally:
        sender.join()
        signal.signal(signal.SIGALRM, previous)
    # Raised inside the generator, which then finished and closed its file well before the end.
    assert not generator.gi_suspended
    assert open_count(path) == 0
    assert 24 < generator.read_position < len(arp_record) * skipped
