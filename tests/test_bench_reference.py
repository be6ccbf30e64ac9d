"""The dpkt reference's feature rows must be exactly the native extractor's work, or the comparison
`make bench` prints is not of equal work. They are checked against rows derived from read_pcap's
dicts by the counting rule; the reference's dicts themselves are checked by the decoding and corpus
tests."""

import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from support import reference
from testkit.frames import (ETH_ARP, ETH_IPV6, ETH_VLAN, Record, ethernet, icmp, ipv4, ipv6, pcap_bytes, tcp, udp,
                    write_pcap)
from support.strategies import ip_records, raw_ip_records
from varnel.core.base.grapnel import read_pcap


def typed(rows):
    return [[(key, type(value), value) for key, value in row.items()] for row in rows]


def rows_from_dicts(path: bytes) -> list[dict]:
    hosts, rows = {}, []
    for packet in read_pcap(path):
        key, timestamp = (packet["version"], packet["dst_ip"]), packet["timestamp"]
        state = hosts.get(key)
        count = state[0] + 1 if state and timestamp - state[1] <= 2.0 else 1
        hosts[key] = (count, timestamp)
        proto = packet["ip_proto"]
        rows.append({"timestamp": timestamp, "src_port": packet["src_port"], "dst_port": packet["dst_port"],
                     "protocol_type": "TCP" if proto == 6 else "UDP" if proto == 17 else "ICMP",
                     "src_bytes": packet["frame_length"], "land": packet["land"],
                     "wrong_fragment": packet["wrong_fragment"], "count": count})
    return rows


def assert_rows_equivalent(path: bytes) -> None:
    assert typed(reference.feature_rows(path)) == typed(rows_from_dicts(path))


TCP4 = ethernet(ipv4(tcp(sport=80, dport=443, seq=7, ack=9, flags=0x38)))
CASES = {
    "tcp4": [TCP4],
    "header options": [ethernet(ipv4(tcp(), ihl=6, options=b"\x01\x01\x01\x00"))],
    "header length below 5 words": [ethernet(ipv4(tcp(), ihl=3))],
    "ipv4 cut before its addresses end": [TCP4[:33]],
    "tcp cut at every length": [TCP4[:cut] for cut in range(34, 56)],
    "udp cut short": [ethernet(ipv4(udp(), proto=17))[:cut] for cut in (35, 38, 40, 42)],
    "total length too small": [ethernet(ipv4(tcp(), total_len=24))],
    "first fragment": [ethernet(ipv4(udp(), proto=17, flags_frag=0x2000))],
    "later fragments": [ethernet(ipv4(tcp(), flags_frag=0x2010)), ethernet(ipv4(udp(), proto=17, flags_frag=5)),
                        ethernet(ipv4(icmp(), proto=1, flags_frag=0x2001))],
    "land": [ethernet(ipv4(tcp(sport=80, dport=80), src="10.0.0.1", dst="10.0.0.1"))],
    "ipv6 tcp, udp, icmpv6": [ethernet(ipv6(tcp(), flow_label=0xABCDE), ETH_IPV6),
                              ethernet(ipv6(udp(), next_hdr=17, dst="::ffff:1.2.3.4"), ETH_IPV6),
                              ethernet(ipv6(icmp(128), next_hdr=58, src="::"), ETH_IPV6)],
    "ipv6 extension header": [ethernet(ipv6(bytes([6, 0]) + bytes(6) + tcp(), next_hdr=0), ETH_IPV6)],
    "ipv6 cut short": [ethernet(ipv6(tcp()), ETH_IPV6)[:53], ethernet(ipv6(tcp()), ETH_IPV6)[:58]],
    "skipped frames": [ethernet(bytes(28), ETH_ARP), ethernet(b"\x00\x64\x08\x00" + ipv4(tcp()), ETH_VLAN),
                       TCP4[:13]],
}


@pytest.mark.parametrize("frames", CASES.values(), ids=CASES.keys())
def test_rows_match_on_edge_frames(tmp_path, frames):
    records = [Record(frame, ts_sec=1_700_000_000 + index, ts_usec=250_000) for index, frame in enumerate(frames)]
    assert_rows_equivalent(write_pcap(tmp_path / "edge.pcap", records))


def test_count_window_and_snapshot_cut(tmp_path):
    # Same destination at 0, 2.0, 4.000001 and (stepping back) 3.5 s; the wire length exceeds the capture.
    times = [(0, 0), (2, 0), (4, 1), (3, 500_000)]
    records = [Record(TCP4, ts_sec=1_700_000_000 + second, ts_usec=usec, wire_len=1514) for second, usec in times]
    path = write_pcap(tmp_path / "window.pcap", records)
    assert [row["count"] for row in reference.feature_rows(path)] == [1, 2, 1, 2]
    assert_rows_equivalent(path)


def test_truncated_file_ends_before_its_cut_record(tmp_path):
    path = tmp_path / "cut.pcap"
    path.write_bytes(pcap_bytes([TCP4, TCP4])[:-10])
    with pytest.warns(RuntimeWarning):
        assert_rows_equivalent(bytes(path))
    assert len(reference.feature_rows(bytes(path))) == 1


@settings(max_examples=200, deadline=None)
@given(st.lists(st.one_of(ip_records(), raw_ip_records()), min_size=1, max_size=8))
def test_rows_match_on_random_ip_frames(records):
    with tempfile.TemporaryDirectory() as directory:
        assert_rows_equivalent(write_pcap(Path(directory) / "random.pcap", records))
