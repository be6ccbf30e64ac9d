"""Leak checks of the top-level functions: whole files, several files, filters, open files,
statistics and every error path, run many times, must leave memory, descriptors and the
arguments' reference counts as they were."""

from __future__ import annotations

import itertools
import warnings
from pathlib import Path

import pytest

import varnel
from testkit.frames import ETH_IPV6, ETH_VLAN, LINKTYPE_IEEE802_11, LINKTYPE_LINUX_SLL, arp, ethernet, icmp, ipv4, ipv6, \
    linux_sll, pcap_bytes, tcp, udp, vlan_tags, write_pcap
from support.resources import assert_no_growth, raises


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, str]:
    directory: Path = tmp_path_factory.mktemp("capture-leaks")
    mixed = [ethernet(ipv4(tcp(flags=0x32))), ethernet(ipv4(udp(), proto=17)), arp(),
             ethernet(ipv6(icmp(128), next_hdr=58), eth_type=ETH_IPV6),
             ethernet(vlan_tags(ipv4(tcp()), 0x0800, ETH_VLAN), ETH_VLAN)]
    paths = {
        "mixed": write_pcap(directory / "mixed.pcap", mixed * 5),
        "cooked": write_pcap(directory / "cooked.pcap", [linux_sll(ipv4(udp(), proto=17))] * 5,
                             linktype=LINKTYPE_LINUX_SLL),
        "wifi": write_pcap(directory / "wifi.pcap", mixed, linktype=LINKTYPE_IEEE802_11),
    }
    (directory / "damaged.pcap").write_bytes(pcap_bytes(mixed)[:-5])
    (directory / "garbage.pcap").write_bytes(b"this is not a capture file" * 4)
    paths["damaged"] = bytes(directory / "damaged.pcap")
    paths["garbage"] = bytes(directory / "garbage.pcap")
    return {name: path.decode() for name, path in paths.items()}


def drain(stream) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for _ in stream:
            pass
        stream.stats()


UNFIT = "ether src 1:2:3:4:5:6"  # refused by libpcap for a cooked capture
RUNS = {
    "packets of every file": lambda f: drain(varnel.read_packets([f["mixed"], f["cooked"], f["wifi"], f["damaged"]])),
    "rows with the flow key": lambda f: drain(varnel.read_features([f["mixed"], f["cooked"]], flow_key=True)),
    "filtered": lambda f: drain(varnel.read_features(f["mixed"], filter="tcp or ip6")),
    "open file": lambda f: drain_open(f["mixed"]),
    "closed early": lambda f: list(itertools.islice(varnel.read_packets(f["mixed"]), 2)),
    "bad filter": lambda f: raises(ValueError, varnel.read_packets, f["mixed"], filter="tcp portx 1"),
    "filter unfit": lambda f: raises(ValueError, next, varnel.read_packets(f["cooked"], filter=UNFIT)),
    "missing file": lambda f: raises(FileNotFoundError, next, varnel.read_features(f["mixed"] + ".missing")),
    "no capture": lambda f: raises(RuntimeError, next, varnel.read_packets(f["garbage"])),
    "missing device": lambda f: raises(RuntimeError, next, varnel.sniff_features("varnel-no-such0")),
    "bad source": lambda f: raises(TypeError, varnel.read_packets, [f["mixed"], 3.5]),
}


def drain_open(path: str) -> None:
    with open(path, "rb") as file:
        drain(varnel.read_packets(file))


@pytest.mark.parametrize("run", RUNS.values(), ids=RUNS)
def test_no_growth(files, run):
    assert_no_growth(lambda: run(files), list(files.values()), rounds=100)
