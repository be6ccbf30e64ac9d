"""Link layers other than plain Ethernet, frame by frame: where the network packet starts, which MAC
addresses a frame carries, VLAN tags. Every file is also read by the dpkt reference, which must give
the same dicts: read_pcap with tags skipped, varnel.read_packets with tags looked through."""

import itertools
import warnings

import pytest

from support import reference
import varnel
from testkit.frames import (
    ETH_ARP, ETH_IPV4, ETH_IPV6, ETH_QINQ, ETH_QINQ_OLD, ETH_VLAN, LINKTYPE_ETHERNET, LINKTYPE_IPV4, LINKTYPE_IPV6,
    LINKTYPE_LINUX_SLL, LINKTYPE_LINUX_SLL2, LINKTYPE_LOOP, LINKTYPE_NULL, LINKTYPE_RAW, LINKTYPE_IEEE802_11, Record,
    ethernet, ipv4, ipv6, linux_sll, linux_sll2, loopback, tcp, udp, vlan_tags,
)
from support.resources import open_count
from varnel.core.base.grapnel import read_pcap

V4 = ipv4(udp(), proto=17, src="10.1.0.1", dst="10.1.0.2")
V6 = ipv6(tcp(), src="2001:db8::a", dst="2001:db8::b")
SENDER = bytes.fromhex("0a1b2c3d4e5f")

# (link type, frame, what read_packets makes of it: the version, src_ip, src_mac and dst_mac of the
# packet, or the reason the frame is skipped; tagged: read_pcap skips it as VLAN-tagged instead).
CASES = {
    "NULL little-endian IPv4": (LINKTYPE_NULL, loopback(V4, 2, "<"), ("IPv4", "10.1.0.1", "", "")),
    "NULL big-endian IPv4": (LINKTYPE_NULL, loopback(V4, 2, ">"), ("IPv4", "10.1.0.1", "", "")),
    "NULL Linux IPv6": (LINKTYPE_NULL, loopback(V6, 10, "<"), ("IPv6", "2001:db8::a", "", "")),
    "NULL FreeBSD IPv6": (LINKTYPE_NULL, loopback(V6, 28, "<"), ("IPv6", "2001:db8::a", "", "")),
    "NULL OpenBSD IPv6 big-endian": (LINKTYPE_NULL, loopback(V6, 24, ">"), ("IPv6", "2001:db8::a", "", "")),
    "NULL macOS IPv6": (LINKTYPE_NULL, loopback(V6, 30, "<"), ("IPv6", "2001:db8::a", "", "")),
    "NULL other family": (LINKTYPE_NULL, loopback(V4, 7, "<"), "not_ip"),
    "NULL header cut": (LINKTYPE_NULL, b"\x02\x00\x00", "too_short"),
    "LOOP IPv4": (LINKTYPE_LOOP, loopback(V4, 2, ">"), ("IPv4", "10.1.0.1", "", "")),
    "LOOP IPv6": (LINKTYPE_LOOP, loopback(V6, 30, ">"), ("IPv6", "2001:db8::a", "", "")),
    "LOOP little-endian family": (LINKTYPE_LOOP, loopback(V4, 2, "<"), "not_ip"),
    "RAW IPv4": (LINKTYPE_RAW, V4, ("IPv4", "10.1.0.1", "", "")),
    "RAW IPv6": (LINKTYPE_RAW, V6, ("IPv6", "2001:db8::a", "", "")),
    "RAW version 5": (LINKTYPE_RAW, ipv4(tcp(), version=5), "not_ip"),
    "RAW IPv4 cut": (LINKTYPE_RAW, V4[:19], "too_short"),
    "RAW empty": (LINKTYPE_RAW, b"", "too_short"),
    "IPV4": (LINKTYPE_IPV4, V4, ("IPv4", "10.1.0.1", "", "")),
    "IPV4 with version 6": (LINKTYPE_IPV4, ipv4(udp(), proto=17, src="10.1.0.1", version=6),
                            ("IPv4", "10.1.0.1", "", "")),
    "IPV6": (LINKTYPE_IPV6, V6, ("IPv6", "2001:db8::a", "", "")),
    "IPV6 cut": (LINKTYPE_IPV6, V6[:39], "too_short"),
    "SLL IPv4": (LINKTYPE_LINUX_SLL, linux_sll(V4, address=SENDER), ("IPv4", "10.1.0.1", "0a:1b:2c:3d:4e:5f", "")),
    "SLL IPv6": (LINKTYPE_LINUX_SLL, linux_sll(V6, ETH_IPV6, SENDER), ("IPv6", "2001:db8::a", "0a:1b:2c:3d:4e:5f", "")),
    "SLL 4-byte address": (LINKTYPE_LINUX_SLL, linux_sll(V4, address=b"\x0a\x00\x00\x01"),
                           ("IPv4", "10.1.0.1", "", "")),
    "SLL no address": (LINKTYPE_LINUX_SLL, linux_sll(V4, address=b""), ("IPv4", "10.1.0.1", "", "")),
    "SLL ARP": (LINKTYPE_LINUX_SLL, linux_sll(bytes(28), ETH_ARP), "not_ip"),
    "SLL header cut": (LINKTYPE_LINUX_SLL, linux_sll(V4)[:15], "too_short"),
    "SLL2 IPv4": (LINKTYPE_LINUX_SLL2, linux_sll2(V4, address=SENDER), ("IPv4", "10.1.0.1", "0a:1b:2c:3d:4e:5f", "")),
    "SLL2 8-byte address": (LINKTYPE_LINUX_SLL2, linux_sll2(V6, ETH_IPV6, bytes(8)), ("IPv6", "2001:db8::a", "", "")),
    "SLL2 header cut": (LINKTYPE_LINUX_SLL2, linux_sll2(V4)[:19], "too_short"),
}
TAGGED = {
    "Ethernet one tag": (LINKTYPE_ETHERNET, ethernet(vlan_tags(V4, ETH_IPV4, ETH_VLAN), ETH_VLAN),
                         ("IPv4", "10.1.0.1", "02:00:00:00:00:01", "02:00:00:00:00:02")),
    "Ethernet 802.1ad then 802.1Q": (
        LINKTYPE_ETHERNET, ethernet(vlan_tags(V6, ETH_IPV6, ETH_QINQ, ETH_VLAN), ETH_QINQ),
        ("IPv6", "2001:db8::a", "02:00:00:00:00:01", "02:00:00:00:00:02")),
    "Ethernet old QinQ": (LINKTYPE_ETHERNET, ethernet(vlan_tags(V4, ETH_IPV4, ETH_QINQ_OLD), ETH_QINQ_OLD),
                          ("IPv4", "10.1.0.1", "02:00:00:00:00:01", "02:00:00:00:00:02")),
    "Ethernet third tag": (LINKTYPE_ETHERNET,
                           ethernet(vlan_tags(V4, ETH_IPV4, ETH_VLAN, ETH_VLAN, ETH_VLAN), ETH_VLAN), "vlan_tagged"),
    "Ethernet tag cut": (LINKTYPE_ETHERNET, ethernet(vlan_tags(V4, ETH_IPV4, ETH_VLAN), ETH_VLAN)[:17],
                         "too_short"),
    "Ethernet tagged ARP": (LINKTYPE_ETHERNET, ethernet(vlan_tags(bytes(28), ETH_ARP, ETH_VLAN), ETH_VLAN),
                            "not_ip"),
    "SLL tagged": (LINKTYPE_LINUX_SLL, linux_sll(vlan_tags(V4, ETH_IPV4, ETH_VLAN), ETH_VLAN, SENDER),
                   ("IPv4", "10.1.0.1", "0a:1b:2c:3d:4e:5f", "")),
    "SLL2 two tags": (LINKTYPE_LINUX_SLL2,
                      linux_sll2(vlan_tags(V6, ETH_IPV6, ETH_QINQ, ETH_VLAN), ETH_QINQ, SENDER),
                      ("IPv6", "2001:db8::a", "0a:1b:2c:3d:4e:5f", "")),
    "SLL2 third tag": (LINKTYPE_LINUX_SLL2,
                       linux_sll2(vlan_tags(V6, ETH_IPV6, ETH_VLAN, ETH_VLAN, ETH_VLAN), ETH_VLAN), "vlan_tagged"),
}
SKIP_REASONS = ("not_ip", "vlan_tagged", "too_short", "unsupported_link")


def summary(packet: dict) -> tuple:
    return packet["version"], packet["src_ip"], packet["src_mac"], packet["dst_mac"]


def read_both(capture_file, link: int, frame: bytes):
    """(read_pcap's packets, read_packets' packets and stats), each equal to the reference's reading."""
    path = capture_file([Record(frame)] * 2, linktype=link)
    old = list(itertools.islice(read_pcap(path), 3))
    assert old == list(reference.packet_dicts(path))
    stream = varnel.read_packets(path)
    new = list(itertools.islice(stream, 3))
    assert new == list(reference.packet_dicts(path, decode_vlan=True))
    assert open_count(path) == 0
    return old, new, stream.stats()


def check(expected, packets: list[dict], stats: dict) -> None:
    if isinstance(expected, str):
        assert packets == []
        assert {reason: stats[reason] for reason in SKIP_REASONS} == {
            reason: 2 if reason == expected else 0 for reason in SKIP_REASONS}
    else:
        assert [summary(packet) for packet in packets] == [expected] * 2
        assert stats["decoded"] == 2
    assert stats["read"] == 2


@pytest.mark.parametrize("link, frame, expected", CASES.values(), ids=CASES)
def test_link_layer_frames(capture_file, link, frame, expected):
    old, new, stats = read_both(capture_file, link, frame)
    assert old == new
    check(expected, new, stats)


@pytest.mark.parametrize("link, frame, expected", TAGGED.values(), ids=TAGGED)
def test_vlan_tagged_frames(capture_file, link, frame, expected):
    old, new, stats = read_both(capture_file, link, frame)
    check(expected, new, stats)
    assert old == []  # the old functions skip every tagged frame, as skip_vlan does
    skipped = varnel.read_packets(capture_file([Record(frame)] * 2, linktype=link), skip_vlan=True)
    assert list(skipped) == []
    assert skipped.stats()["vlan_tagged"] == 2


def test_the_ip_header_is_decoded_from_the_link_layers_offset(capture_file):
    segment = tcp(sport=4000, dport=443, seq=7, flags=0x12)
    frame = linux_sll2(ipv4(segment, proto=6, src="192.0.2.1", dst="192.0.2.1", ident=99), address=SENDER)
    [packet] = read_both(capture_file, LINKTYPE_LINUX_SLL2, frame)[1][:1]
    assert {key: packet[key] for key in ("ip_id", "src_port", "dst_port", "tcp_seq", "tcp_flag", "frame_length")} \
        == {"ip_id": 99, "src_port": 4000, "dst_port": 443, "tcp_seq": 7, "tcp_flag": 0x12,
            "frame_length": len(frame)}


@pytest.mark.parametrize("read, prefix", [
    pytest.param(lambda path: read_pcap(path), "Could not read file: ", id="read_pcap"),
    pytest.param(lambda path: varnel.read_packets(path), "{path}: ", id="read_packets"),
])
def test_an_unsupported_link_type_warns_and_yields_nothing(capture_file, read, prefix):
    path = capture_file([ethernet(V4), ethernet(V4)], linktype=LINKTYPE_IEEE802_11)
    stream = read(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert list(stream) == []
    assert [(w.category, str(w.message)) for w in caught] == [
        (RuntimeWarning, prefix.format(path=path.decode()) +
         "link-layer type IEEE802_11 (105) is not supported; no frame can be decoded")]
    assert stream.stats()["unsupported_link"] == 2
    assert open_count(path) == 0


def test_the_columns_name_an_unsupported_link_type_as_the_streams_do(capture_file):
    path = capture_file([ethernet(V4)], linktype=LINKTYPE_IEEE802_11)
    columns = varnel.read_packets_table(path)
    assert columns.read_all().num_rows == 0
    assert columns.warnings == [f"{path.decode()}: Could not read file: "
                                "link-layer type IEEE802_11 (105) is not supported; no frame can be decoded"]
