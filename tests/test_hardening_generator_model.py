"""The native generator against the interpreter's own generators: any sequence of next, send, throw
and close gives the same items and the same exceptions as a Python generator over the same
packets, and leaves no capture open."""

from __future__ import annotations

import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from testkit.frames import arp, ethernet, icmp, ipv4, tcp, udp, write_pcap
from support.resources import open_fds
from varnel.core.base.grapnel import read_pcap

OPERATIONS = {
    "next": lambda g: next(g),
    "send None": lambda g: g.send(None),
    "send value": lambda g: g.send(17),
    "throw instance": lambda g: g.throw(KeyError("thrown")),
    "throw class": lambda g: g.throw(ValueError),
    "throw StopIteration": lambda g: g.throw(StopIteration()),
    "throw GeneratorExit": lambda g: g.throw(GeneratorExit()),
    "throw non-exception": lambda g: g.throw(1),
    "throw class and value": lambda g: g.throw(KeyError, "value"),
    "throw instance and value": lambda g: g.throw(KeyError("a"), "b"),
    "throw bad traceback": lambda g: g.throw(KeyError, None, 5),
    "throw no argument": lambda g: g.throw(),
    "close": lambda g: g.close(),
    "iterate rest": lambda g: list(g),
}


def outcome(operation, generator):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # throw(type, value, traceback)
            return ("returned", operation(generator))
    except BaseException as error:  # the exception is the outcome being compared
        return ("raised", type(error), str(error))


@pytest.fixture(scope="module")
def capture(tmp_path_factory):
    frames = [ethernet(ipv4(tcp(flags=0x12))), arp(), ethernet(ipv4(udp(), proto=17)),
              ethernet(ipv4(icmp(), proto=1))]
    path = write_pcap(tmp_path_factory.mktemp("model") / "four.pcap", frames)
    return path, list(read_pcap(path))


@settings(max_examples=150, deadline=None)
@given(steps=st.lists(st.sampled_from(sorted(OPERATIONS)), max_size=10))
def test_same_outcomes_as_a_python_generator(capture, steps):
    path, packets = capture

    def model():
        for packet in packets:  # not `yield from`: a list iterator has no send()
            yield packet

    fds = open_fds()
    native, reference = read_pcap(path), model()
    for step in steps:
        assert outcome(OPERATIONS[step], native) == outcome(OPERATIONS[step], reference), step
        assert native.gi_running is False and native.gi_suspended == reference.gi_suspended, step
    if not native.gi_suspended:
        assert open_fds() == fds, "a finished generator kept its capture open"
    del native
    assert open_fds() == fds, "a dropped generator kept its capture open"
