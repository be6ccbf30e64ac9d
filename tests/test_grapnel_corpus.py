"""Captures of real traffic, made by others: read end to end, packet by packet against an independent reading."""

import itertools
import warnings
from pathlib import Path

import pytest

from handles import open_count
from packet_model import expected_packets, read_capture
from varnel.core.base.grapnel import read_pcap

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
CAPTURES = sorted(path.name for path in CORPUS.glob("*") if path.suffix in (".pcap", ".pcapng", ".cap"))
LINKTYPE_ETHERNET = 1

# Files that libpcap stops reading with an error: what comes before it, then its text.
DAMAGED = {
    "ndpi-teams-truncated.pcap": (370, "truncated dump file; tried to read 66 captured bytes, only got 33"),
    "zeek-ldap-modify-request.pcapng": (0, "an interface has a snapshot length 8192 different from the snapshot "
                                           "length of the first interface"),
}

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


def read_all(path: Path, most: int) -> tuple[list[dict], list[str]]:
    """The packets of `path` (at most `most`, so that a reader that never stops fails) and the warnings."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        packets = list(itertools.islice(read_pcap(bytes(path)), most))
    assert all(w.category is RuntimeWarning for w in caught)
    return packets, [str(w.message) for w in caught]


@pytest.mark.parametrize("name", CAPTURES)
def test_every_capture_reads_as_the_rules_say(corpus, name):
    path = corpus / name
    linktype, frames = read_capture(path)
    packets, messages = read_all(path, most=len(frames) + 1)
    assert open_count(path) == 0
    if linktype != LINKTYPE_ETHERNET:
        assert packets == []
        assert len(messages) == 1 and messages[0].startswith("Could not read file: link-layer type ")
    elif name in DAMAGED:
        count, libpcap_text = DAMAGED[name]
        assert packets == expected_packets(frames)[:count]
        assert messages == [f"Could not read file: {libpcap_text}"]
    else:
        assert messages == []
        expected = expected_packets(frames)
        assert len(packets) == len(expected)
        assert [list(p) for p in packets] == [list(p) for p in expected]
        assert packets == expected


@pytest.mark.parametrize("name, count", NOTED_COUNTS.items())
def test_packet_counts_match_the_corpus_notes(corpus, name, count):
    packets, messages = read_all(corpus / name, most=count + 1)
    assert (len(packets), messages) == (count, [])
