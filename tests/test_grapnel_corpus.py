"""Captures of real traffic, made by others: each read end to end with read_pcap and with the top-level
functions (VLAN tags looked through), and compared, packet by packet and field by field, with an
independent dpkt-based reading of the same file."""

from __future__ import annotations

import itertools
import re
import struct
import warnings
from pathlib import Path

import pytest

import varnel
from conftest import CORPUS
from support import reference
from support.resources import open_count
from varnel.core.base.grapnel import read_pcap

LINKTYPE_ETHERNET = 1
CAPTURES = sorted(p for p in CORPUS.glob("*") if p.suffix in {".pcap", ".pcapng", ".cap"})
ROW = re.compile(r"^\| `(?P<name>[^`]+)` \|[^|]*\|\s*(?P<link>\d+)[^|]*\|\s*(?P<count>\d+)(?P<error> \(then libpcap error\))?")


def corpus_table() -> dict[str, tuple[int, int, bool]]:
    """name -> (link type, frames libpcap delivers, whether libpcap then reports an error), from the
    corpus README, which counted them independently."""
    rows = (ROW.match(line) for line in (CORPUS / "README.md").read_text().splitlines())
    return {m["name"]: (int(m["link"]), int(m["count"]), bool(m["error"])) for m in rows if m}


TABLE = corpus_table()
DECODED = [p for p in CAPTURES if TABLE.get(p.name, (None,))[0] in reference.LINK_TYPES]
ETHERNET = [p for p in DECODED if TABLE[p.name][0] == LINKTYPE_ETHERNET]
OTHER_LINKS = [p for p in DECODED if p not in ETHERNET]

# Files that libpcap stops reading with an error: the packets before it, then its text.
DAMAGED = {
    "ndpi-fuzz-2021-10-13.pcap": (0, "truncated dump file; tried to read 16 header bytes, only got 2"),
    "ndpi-teams-truncated.pcap": (370, "truncated dump file; tried to read 66 captured bytes, only got 33"),
}
# Files libpcap refuses part-way that our reader reads whole (interfaces of several snapshot lengths).
READ_BEYOND_LIBPCAP = {"zeek-ldap-modify-request.pcapng"}

# Packet counts from the corpus notes (IPv4 + IPv6 frames, less those too short for their IP header).
NOTED_COUNTS = {
    "ndpi-1kxun.pcap": 1659 + 64,
    "ndpi-nintendo.pcap": 996,
    "ndpi-reddit.pcap": 1942,
    "ndpi-dns_fragmented.pcap": 22 + 44,
    "zeek-mixed-vlan-mpls.pcap": 22,
    "zeek-tcp-timestamp.pcap": 878,
    "packets-icmp_traceroute.pcapng": 54,
    "packets-arp_resolution.pcapng": 0,
    "zeek-trunc-ip4-trunc.pcap": 0,
    "zeek-trunc-ip6-trunc.pcap": 0,
}


def read_all(path: Path, most: int, stream=lambda path: read_pcap(bytes(path))) -> tuple[list[dict], list[str]]:
    """The packets of `path` (at most `most`, so that a reader that never stops fails) and the warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        packets = list(itertools.islice(stream(path), most))
    assert all(w.category is RuntimeWarning for w in caught)
    return packets, [str(w.message) for w in caught]


def differences(got: dict, want: dict) -> dict:
    if list(got) != list(want):
        return {"keys": (list(got), list(want))}
    return {key: (got[key], want[key]) for key in want
            if got[key] != want[key] or type(got[key]) is not type(want[key])}


def test_corpus_is_present_and_described(corpus):
    assert ETHERNET and OTHER_LINKS, "expected Ethernet and other-link captures in the corpus"
    assert {p.name for p in CAPTURES} <= set(TABLE), "a capture the README does not count"
    assert set(DECODED) == set(CAPTURES), "a capture of a link type nothing decodes"
    assert {p.name for p in DECODED if TABLE[p.name][2]} == set(DAMAGED) | READ_BEYOND_LIBPCAP
    assert {TABLE[p.name][0] for p in OTHER_LINKS} == {0, 12, 113, 229, 276}


def check_capture(path: Path, stream, expected: list[dict], prefix: str) -> None:
    packets, messages = read_all(path, most=TABLE[path.name][1] + 1, stream=stream)
    assert open_count(path) == 0
    assert len(packets) == len(expected)
    for index, (got, want) in enumerate(zip(packets, expected)):
        assert not differences(got, want), f"{path.name} item {index}: {differences(got, want)}"
    if path.name in DAMAGED:
        count, libpcap_text = DAMAGED[path.name]
        assert len(packets) == count
        assert messages == [f"{prefix}{libpcap_text}"]
    else:
        assert messages == []


@pytest.mark.parametrize("path", DECODED, ids=lambda p: p.name)
def test_capture_matches_the_dpkt_reading(path):
    _, frames, _ = TABLE[path.name]
    assert sum(1 for _ in reference.records(bytes(path))) == frames, "the reference disagrees with the corpus count"
    check_capture(path, lambda path: read_pcap(bytes(path)), list(reference.packet_dicts(bytes(path))),
                  "Could not read file: ")


def test_a_file_libpcap_refuses_part_way_is_read_whole():
    # Its second interface has another snapshot length: libpcap stops before the first frame.
    path = CORPUS / "zeek-ldap-modify-request.pcapng"
    stream = varnel.read_packets(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        packets = list(stream)
    assert stream.stats()["read"] == len(packets) == enhanced_packet_blocks(path)  # VLAN-tagged LDAP over TCP
    assert {(p["protocol_type"], min(p["src_port"], p["dst_port"])) for p in packets} == {("TCP", 389)}


def enhanced_packet_blocks(path: Path) -> int:
    """The enhanced packet blocks of a little-endian pcapng file, counted from its block headers."""
    data, offset, count = path.read_bytes(), 0, 0
    while offset + 8 <= len(data):
        block_type, length = struct.unpack_from("<II", data, offset)
        count += block_type == 6
        offset += length
    return count


@pytest.mark.parametrize("path", [p for p in DECODED if p.name not in READ_BEYOND_LIBPCAP], ids=lambda p: p.name)
def test_capture_read_through_vlan_tags_matches_the_dpkt_reading(path):
    check_capture(path, varnel.read_packets, list(reference.packet_dicts(bytes(path), decode_vlan=True)),
                  f"{path}: ")
    check_capture(path, varnel.read_features, reference.feature_rows(bytes(path), decode_vlan=True), f"{path}: ")


def test_vlan_tags_are_looked_through_only_when_asked(corpus):
    path = corpus / "zeek-mixed-vlan-mpls.pcap"
    plain = varnel.read_packets(path, skip_vlan=True)
    tagged = varnel.read_packets(path)
    assert len(list(plain)) == 22 and len(list(tagged)) == 22 + 14
    assert (plain.stats()["vlan_tagged"], tagged.stats()["vlan_tagged"]) == (14, 0)
    assert plain.stats()["read"] == tagged.stats()["read"] == 47


@pytest.mark.parametrize("name, count", NOTED_COUNTS.items())
def test_packet_counts_match_the_corpus_notes(corpus, name, count):
    packets, messages = read_all(corpus / name, most=count + 1)
    assert (len(packets), messages) == (count, [])
