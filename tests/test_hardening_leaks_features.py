"""Leak checks of the feature extractor's entry points, as for the packet reader: whole files, the
error paths, and live streams on the loopback device opened and ended, many times."""

from __future__ import annotations

import warnings

import pytest

from testkit.frames import ETH_IPV6, Record, arp, ethernet, icmp, ipv4, ipv6, pcap_bytes, tcp, udp, write_pcap
from support.loopback import LoopbackTraffic
from support.resources import assert_no_growth

moraine = pytest.importorskip("varnel.core.ver100.moraine")
FeatureExtractor = moraine.FeatureExtractor
FAILURES = (TypeError, ValueError, RuntimeError, StopIteration, KeyError)


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, bytes]:
    directory = tmp_path_factory.mktemp("feature-leaks")
    mixed = [ethernet(ipv4(tcp(flags=0x32), dst=f"10.0.0.{i}")) for i in range(20)]
    mixed += [ethernet(ipv4(udp(), proto=17)), arp(), ethernet(ipv6(icmp(128), next_hdr=58), eth_type=ETH_IPV6),
              Record(ethernet(ipv4(tcp()))[:40], wire_len=60)]
    (directory / "damaged.pcap").write_bytes(pcap_bytes(mixed)[:-5])
    return {"mixed": write_pcap(directory / "mixed.pcap", mixed),
            "raw_ip": write_pcap(directory / "raw.pcap", [ipv4(tcp())], linktype=101),
            "damaged": bytes(directory / "damaged.pcap")}


def attempt(function, *args, **kwargs) -> None:
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = function(*args, **kwargs)
            if hasattr(result, "__next__"):
                for _ in result:
                    pass
    except FAILURES:
        pass


@pytest.mark.parametrize("name", ["mixed", "raw_ip", "damaged"])
def test_process_pcap_whole_files(files, name):
    path = files[name]
    extractor = FeatureExtractor()
    assert_no_growth(lambda: attempt(extractor.process_pcap, path), [path, extractor])


CALLS = {
    "no argument": lambda e, path: attempt(e.process_pcap),
    "text path": lambda e, path: attempt(e.process_pcap, path.decode()),
    "None": lambda e, path: attempt(e.process_pcap, None),
    "embedded NUL": lambda e, path: attempt(e.process_pcap, path + b"\0"),
    "missing file": lambda e, path: attempt(e.process_pcap, path + b".missing"),
    "missing device": lambda e, path: attempt(next, e.process_live(b"varnel-no-such-device")),
    "pickling": lambda e, path: attempt(e.__reduce__),
    "throw into a new stream": lambda e, path: attempt(e.process_live(b"lo").throw, KeyError("new")),
}


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_feature_error_paths(files, call):
    path = files["mixed"]
    extractor = FeatureExtractor()
    assert_no_growth(lambda: call(extractor, path), [path, extractor])


def test_process_live_on_loopback_opened_and_ended():
    """Few rounds, as for start_sniff: the first frame comes with the one-second read time-out."""
    device = b"lo"
    extractor = FeatureExtractor()
    rounds = iter(range(1_000_000))

    def open_read_end():
        stream = extractor.process_live(device)
        assert isinstance(next(stream), dict)
        ending = next(rounds) % 3
        if ending == 0:
            stream.close()
        elif ending == 1:
            attempt(stream.throw, KeyError("thrown"))
        del stream  # ending 2: dropped while suspended

    with LoopbackTraffic():
        assert_no_growth(open_read_end, [device, extractor], rounds=6, warmup=6, block_allowance=12)
