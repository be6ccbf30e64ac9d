"""How frames become packet fields: dispatch, IPv4/IPv6 headers, layer 4, short frames, fragments.

Every file these tests read is also read by the dpkt reference, which must give the same dicts."""

import itertools

import pytest
from hypothesis import given, settings, strategies as st

from support import reference
from testkit.frames import ETH_ARP, ETH_IPV4, ETH_IPV6, ETH_VLAN, Record, ethernet, icmp, ipv4, ipv6, tcp, udp
from support.strategies import ip_records, raw_ip_records
from varnel import schema
from varnel.core.base.grapnel import read_pcap

GROUP_KEYS = tuple(field.name for field in schema.PACKET_FIELDS if field.group)


def typed(packets) -> list[list[tuple]]:
    return [[(key, type(value), value) for key, value in packet.items()] for packet in packets]


def read_as_the_reference_does(path: bytes, records: int) -> list[dict]:
    """read_pcap's dicts for `path`, once they equal the reference's in keys, order, types and values."""
    packets = list(itertools.islice(read_pcap(path), records + 1))
    assert typed(packets) == typed(reference.packet_dicts(path))
    return packets


@pytest.fixture(scope="module")
def read_packets(capture_file):
    """read(records, **options) -> read_pcap's dicts for a file of `records`, checked against the reference."""
    def read(records, **options) -> list[dict]:
        records = list(records)
        return read_as_the_reference_does(capture_file(records, **options), len(records))

    return read


def one_packet(packets: list[dict]) -> dict:
    assert len(packets) == 1, packets
    return packets[0]


def layer4_fields(packet: dict) -> dict:
    return {key: packet[key] for key in ("src_port", "dst_port", *GROUP_KEYS) if key in packet}


# ---- Ethernet dispatch: only IPv4 and IPv6 frames are yielded.

@pytest.mark.parametrize("eth_type, payload, yielded", [
    pytest.param(ETH_IPV4, ipv4(tcp()), True, id="IPv4"),
    pytest.param(ETH_IPV6, ipv6(tcp()), True, id="IPv6"),
    pytest.param(ETH_ARP, bytes(28), False, id="ARP"),
    pytest.param(ETH_VLAN, b"\x00\x01\x08\x00" + ipv4(tcp()), False, id="VLAN-tagged IPv4"),
    pytest.param(0x8847, b"\x00\x01\x01\x40" + ipv4(tcp()), False, id="MPLS"),
    pytest.param(0x0040, ipv4(tcp()), False, id="802.3 length"),
    pytest.param(0x0801, ipv4(tcp()), False, id="near IPv4"),
    pytest.param(0x86DE, ipv6(tcp()), False, id="near IPv6"),
])
def test_only_ipv4_and_ipv6_frames_are_yielded(read_packets, eth_type, payload, yielded):
    packets = read_packets([ethernet(payload, eth_type=eth_type)])
    assert len(packets) == int(yielded)


def test_skipped_frames_leave_the_others_in_file_order(read_packets):
    frames = [ethernet(ipv4(udp(sport=1))), ethernet(bytes(28), eth_type=ETH_ARP),
              ethernet(ipv6(udp(sport=2), next_hdr=17), eth_type=ETH_IPV6)]
    packets = read_packets(frames)
    assert [(p["version"], p["src_port"]) for p in packets] == [("IPv4", 1), ("IPv6", 2)]


def test_the_version_nibble_is_not_checked(read_packets):
    as_ipv4 = ethernet(ipv4(udp(sport=7), proto=17, version=6))
    as_ipv6 = ethernet(ipv6(udp(sport=8), next_hdr=17, first_word=0x40000000), eth_type=ETH_IPV6)
    packets = read_packets([as_ipv4, as_ipv6])
    assert [(p["version"], p["src_port"]) for p in packets] == [("IPv4", 7), ("IPv6", 8)]


# ---- IP headers.

@pytest.mark.parametrize("frame, ip_id", [
    pytest.param(ethernet(ipv4(tcp(), ident=0xABCD)), 43981, id="IPv4 identification"),
    pytest.param(ethernet(ipv4(tcp(), ident=0xFFFF)), 65535, id="IPv4 identification max"),
    pytest.param(ethernet(ipv6(tcp(), first_word=0x600ABCDE), eth_type=ETH_IPV6), 0xABCDE, id="IPv6 flow label"),
    pytest.param(ethernet(ipv6(tcp(), first_word=0x6FFFFFFF), eth_type=ETH_IPV6), 0xFFFFF,
                 id="IPv6 traffic class excluded"),
    pytest.param(ethernet(ipv6(tcp(), first_word=0x6FF00000), eth_type=ETH_IPV6), 0, id="IPv6 no flow label"),
])
def test_ip_id(read_packets, frame, ip_id):
    assert one_packet(read_packets([frame]))["ip_id"] == ip_id


@pytest.mark.parametrize("flags_frag, wrong_fragment", [
    pytest.param(0x0000, 0, id="unfragmented"),
    pytest.param(0x4000, 0, id="don't fragment"),
    pytest.param(0x2000, 1, id="first fragment"),
    pytest.param(0x6000, 1, id="first fragment, don't fragment"),
    pytest.param(0x0001, 1, id="last fragment"),
    pytest.param(0x2001, 1, id="middle fragment"),
    pytest.param(0x1FFF, 1, id="largest offset"),
])
def test_wrong_fragment(read_packets, flags_frag, wrong_fragment):
    packet = one_packet(read_packets([ethernet(ipv4(udp(), proto=17, flags_frag=flags_frag))]))
    assert packet["wrong_fragment"] == wrong_fragment


def test_ipv6_is_never_a_wrong_fragment(read_packets):
    fragment_header = bytes([17, 0, 0x00, 0x09, 0, 0, 0, 1])  # offset 1, more fragments
    packet = one_packet(read_packets([ethernet(ipv6(fragment_header + udp(), next_hdr=44), eth_type=ETH_IPV6)]))
    assert packet["wrong_fragment"] == 0


# ---- Layer 4 at the offset the header length gives.

TCP_SEGMENT = tcp(sport=1111, dport=2222, seq=3333, ack=4444, flags=0x18)
TCP_FIELDS = {"src_port": 1111, "dst_port": 2222, "tcp_flag": 0x18, "tcp_seq": 3333, "tcp_ack": 4444, "urgent": 0}


@pytest.mark.parametrize("ihl, options, fields", [
    pytest.param(5, b"", TCP_FIELDS, id="no options"),
    pytest.param(6, b"\x00\x07\x00\x08", TCP_FIELDS, id="one option word: layer 4 at 38"),
    pytest.param(15, bytes(range(40)), TCP_FIELDS, id="largest header: layer 4 at 74"),
    # A header length below 5 words is used as it is: here layer 4 starts on the destination address.
    pytest.param(4, b"", {"src_port": 0x0A00, "dst_port": 0x0002, "tcp_flag": 0x00,
                          "tcp_seq": (1111 << 16) | 2222, "tcp_ack": 3333, "urgent": 0}, id="4 words: at 30"),
])
def test_ipv4_header_length_places_layer4(read_packets, ihl, options, fields):
    frame = ethernet(ipv4(TCP_SEGMENT, proto=6, dst="10.0.0.2", ihl=ihl, options=options))
    assert layer4_fields(one_packet(read_packets([frame]))) == fields


@pytest.mark.parametrize("ip_header", [
    pytest.param(lambda payload: ethernet(ipv4(payload, proto=6)), id="IPv4"),
    pytest.param(lambda payload: ethernet(ipv6(payload, next_hdr=6), eth_type=ETH_IPV6), id="IPv6"),
])
def test_tcp_fields_over_both_versions(read_packets, ip_header):
    assert layer4_fields(one_packet(read_packets([ip_header(TCP_SEGMENT)]))) == TCP_FIELDS


@pytest.mark.parametrize("frame", [
    pytest.param(ethernet(ipv4(TCP_SEGMENT, total_len=24)), id="IPv4 total length short of the segment"),
    pytest.param(ethernet(ipv4(TCP_SEGMENT[:12] + b"\x51" + TCP_SEGMENT[13:])), id="nonce bit beside the flags"),
])
def test_tcp_fields_come_from_the_captured_bytes_alone(read_packets, frame):
    assert layer4_fields(one_packet(read_packets([frame]))) == TCP_FIELDS


@pytest.mark.parametrize("flags, urgent_pointer, urgent", [
    pytest.param(0x32, 0, 1, id="URG ACK SYN"),
    pytest.param(0x12, 0, 0, id="ACK SYN"),
    pytest.param(0x20, 0, 1, id="URG alone"),
    pytest.param(0xFF, 0, 1, id="every flag"),
    pytest.param(0xDF, 0, 0, id="every flag but URG"),
    pytest.param(0x10, 0xFFFF, 0, id="urgent pointer without the flag"),
])
def test_urgent_comes_from_the_flag(read_packets, flags, urgent_pointer, urgent):
    packet = one_packet(read_packets([ethernet(ipv4(tcp(flags=flags, urgent_pointer=urgent_pointer)))]))
    assert (packet["tcp_flag"], packet["urgent"]) == (flags, urgent)


@pytest.mark.parametrize("frame", [
    pytest.param(ethernet(ipv4(icmp(11, 3), proto=1)), id="ICMP in IPv4"),
    pytest.param(ethernet(ipv4(icmp(11, 3), proto=58)), id="ICMPv6 number in IPv4"),
    pytest.param(ethernet(ipv6(icmp(11, 3), next_hdr=58), eth_type=ETH_IPV6), id="ICMPv6 in IPv6"),
    pytest.param(ethernet(ipv6(icmp(11, 3), next_hdr=1), eth_type=ETH_IPV6), id="ICMP number in IPv6"),
])
def test_icmp_type_and_code_whatever_the_version(read_packets, frame):
    packet = one_packet(read_packets([frame]))
    assert packet["protocol_type"] == "ICMP"
    assert layer4_fields(packet) == {"src_port": 0, "dst_port": 0, "icmp_type": 11, "icmp_code": 3}


@pytest.mark.parametrize("frame, ip_proto", [
    pytest.param(ethernet(ipv6(udp(), next_hdr=44), eth_type=ETH_IPV6), 44, id="IPv6 fragment header"),
    pytest.param(ethernet(ipv6(udp(), next_hdr=0), eth_type=ETH_IPV6), 0, id="IPv6 hop-by-hop"),
    pytest.param(ethernet(ipv6(bytes([6, 0]) + bytes(6) + tcp(), next_hdr=0), eth_type=ETH_IPV6), 0,
                 id="IPv6 hop-by-hop before TCP"),
    pytest.param(ethernet(ipv6(udp(), next_hdr=43), eth_type=ETH_IPV6), 43, id="IPv6 routing"),
    pytest.param(ethernet(ipv6(ipv4(udp()), next_hdr=4), eth_type=ETH_IPV6), 4, id="IPv4 in IPv6"),
    pytest.param(ethernet(ipv4(udp(), proto=47)), 47, id="GRE"),
    pytest.param(ethernet(ipv4(udp(), proto=132)), 132, id="SCTP"),
])
def test_other_protocols_read_no_layer4(read_packets, frame, ip_proto):
    packet = one_packet(read_packets([frame]))
    assert packet["ip_proto"] == ip_proto
    assert packet["protocol_type"] == "Others"
    assert layer4_fields(packet) == {"src_port": 0, "dst_port": 0}
    assert packet["wrong_fragment"] == 0


@pytest.mark.parametrize("frame, land", [
    pytest.param(ethernet(ipv4(tcp(80, 80), src="10.0.0.1", dst="10.0.0.1")), 1, id="IPv4 TCP same both"),
    pytest.param(ethernet(ipv4(tcp(80, 81), src="10.0.0.1", dst="10.0.0.1")), 0, id="ports differ"),
    pytest.param(ethernet(ipv4(tcp(80, 80), src="10.0.0.1", dst="10.0.0.2")), 0, id="addresses differ"),
    pytest.param(ethernet(ipv6(tcp(80, 80), src="::1", dst="::1"), eth_type=ETH_IPV6), 0, id="IPv6"),
    pytest.param(ethernet(ipv4(udp(80, 80), proto=17, src="10.0.0.1", dst="10.0.0.1")), 0, id="UDP"),
    pytest.param(ethernet(ipv4(tcp(80, 80), src="10.0.0.1", dst="10.0.0.1", flags_frag=0x0010)), 0,
                 id="non-first fragment"),
    pytest.param(ethernet(ipv4(tcp(80, 80), src="10.0.0.1", dst="10.0.0.1", flags_frag=0x2000)), 1,
                 id="first fragment"),
])
def test_land(read_packets, frame, land):
    assert one_packet(read_packets([frame]))["land"] == land


@pytest.mark.parametrize("captured_l4_bytes, land", [
    pytest.param(2, 0, id="destination port missing"),
    pytest.param(3, 0, id="destination port half there"),
    pytest.param(4, 1, id="both ports there"),
])
def test_land_needs_both_ports_captured(read_packets, captured_l4_bytes, land):
    frame = ethernet(ipv4(tcp(0, 0), src="10.0.0.1", dst="10.0.0.1"))
    packet = one_packet(read_packets([Record(frame, caplen=34 + captured_l4_bytes)]))
    assert (packet["src_port"], packet["dst_port"], packet["land"]) == (0, 0, land)


@pytest.mark.parametrize("ts_sec, ts_usec, timestamp", [
    pytest.param(1_700_000_000, 250_000, 1_700_000_000.25, id="quarter second"),
    pytest.param(0, 0, 0.0, id="epoch"),
    pytest.param(0, 999_999, 0.999999, id="last microsecond"),
    pytest.param(2**31 - 1, 500_000, 2147483647.5, id="last 32-bit second"),
    pytest.param(-1, 750_000, -0.25, id="before the epoch"),
])
def test_timestamp_is_seconds_plus_microseconds(read_packets, ts_sec, ts_usec, timestamp):
    packet = one_packet(read_packets([Record(ethernet(ipv4(tcp())), ts_sec=ts_sec, ts_usec=ts_usec)]))
    assert packet["timestamp"] == timestamp


def test_frame_length_is_the_wire_length(read_packets):
    packet = one_packet(read_packets([Record(ethernet(ipv4(tcp(payload=bytes(1460)))), caplen=54)]))
    assert packet["frame_length"] == 14 + 20 + 20 + 1460


# ---- Short frames: nothing is read past the captured bytes.

@pytest.mark.parametrize("frame, caplen, yielded", [
    pytest.param(ethernet(ipv4(tcp())), 0, False, id="nothing captured"),
    pytest.param(ethernet(ipv4(tcp())), 13, False, id="Ethernet header cut"),
    pytest.param(ethernet(ipv4(tcp())), 14, False, id="Ethernet header only"),
    pytest.param(ethernet(ipv4(tcp())), 33, False, id="IPv4 header cut"),
    pytest.param(ethernet(ipv4(tcp())), 34, True, id="IPv4 header complete"),
    pytest.param(ethernet(ipv6(tcp()), eth_type=ETH_IPV6), 53, False, id="IPv6 header cut"),
    pytest.param(ethernet(ipv6(tcp()), eth_type=ETH_IPV6), 54, True, id="IPv6 header complete"),
    pytest.param(ethernet(ipv4(tcp(), ihl=15, options=bytes(40))), 34, True, id="IPv4 options cut"),
])
def test_frames_too_short_for_their_ip_header_are_skipped(read_packets, frame, caplen, yielded):
    packets = read_packets([Record(frame, caplen=caplen)])
    assert len(packets) == int(yielded)


# Where each layer-4 field lies, from the start of its header: (offset, size).
FIELD_SPANS = {
    "TCP": {"src_port": (0, 2), "dst_port": (2, 2), "tcp_seq": (4, 4), "tcp_ack": (8, 4),
            "tcp_flag": (13, 1), "urgent": (13, 1)},
    "UDP": {"src_port": (0, 2), "dst_port": (2, 2), "udp_length": (4, 2)},
    "ICMP": {"icmp_type": (0, 1), "icmp_code": (1, 1)},
}
# A first packet that fills every field, then the one under test with other values.
EARLIER = {
    "TCP": (6, tcp(9, 9, seq=9, ack=9, flags=0x3F)),
    "UDP": (17, udp(9, 9, length=9)),
    "ICMP": (1, icmp(9, 9)),
}
UNDER_TEST = {
    "TCP": (tcp(0x0102, 0x0304, seq=0x05060708, ack=0x090A0B0C, flags=0x20),
            {"src_port": 0x0102, "dst_port": 0x0304, "tcp_seq": 0x05060708, "tcp_ack": 0x090A0B0C,
             "tcp_flag": 0x20, "urgent": 1}),
    "UDP": (udp(0x0102, 0x0304, length=0x0506), {"src_port": 0x0102, "dst_port": 0x0304, "udp_length": 0x0506}),
    "ICMP": (icmp(0x0D, 0x0E), {"icmp_type": 0x0D, "icmp_code": 0x0E}),
}
IP_VERSIONS = {
    4: (lambda payload, proto: ethernet(ipv4(payload, proto=proto)), 34),
    6: (lambda payload, proto: ethernet(ipv6(payload, next_hdr=proto), eth_type=ETH_IPV6), 54),
}
PARTIAL_LAYER4_CASES = [
    pytest.param(version, protocol, captured, id=f"IPv{version} {protocol} {captured} bytes")
    for version in IP_VERSIONS
    for protocol, spans in FIELD_SPANS.items()
    for captured in range(max(offset + size for offset, size in spans.values()) + 1)
]


@pytest.mark.parametrize("version, protocol, captured", PARTIAL_LAYER4_CASES)
def test_each_layer4_field_is_zero_unless_all_its_bytes_were_captured(read_packets, version, protocol,
                                                                      captured):
    ip_frame, l4_offset = IP_VERSIONS[version]
    proto, earlier = EARLIER[protocol]
    header, full_values = UNDER_TEST[protocol]
    records = [ip_frame(earlier, proto), Record(ip_frame(header, proto), caplen=l4_offset + captured)]
    packet = read_packets(records)[1]
    expected = {"src_port": 0, "dst_port": 0}
    expected.update({field: full_values[field] if offset + size <= captured else 0
                     for field, (offset, size) in FIELD_SPANS[protocol].items()})
    assert layer4_fields(packet) == expected


@pytest.mark.parametrize("ihl, caplen", [
    pytest.param(8, 46, id="layer 4 starts at the captured length"),
    pytest.param(15, 60, id="layer 4 starts past the captured length"),
])
def test_header_length_beyond_the_captured_bytes_reads_no_layer4(read_packets, ihl, caplen):
    earlier = ethernet(ipv4(tcp(9, 9, seq=9, ack=9, flags=0x3F)))
    frame = ethernet(ipv4(TCP_SEGMENT, ihl=ihl, options=bytes(4 * ihl - 20)))
    packet = read_packets([earlier, Record(frame, caplen=caplen)])[1]
    assert layer4_fields(packet) == {"src_port": 0, "dst_port": 0, "tcp_flag": 0, "tcp_seq": 0, "tcp_ack": 0,
                                     "urgent": 0}


def test_a_file_with_a_short_snapshot_length(read_packets):
    snaplen = 42  # IPv4 + 8 bytes of layer 4; too short for any IPv6 frame
    frames = [
        ethernet(ipv4(tcp(1, 2, seq=3, ack=4, flags=0x20, payload=bytes(100)))),
        ethernet(ipv6(udp(5, 6)), eth_type=ETH_IPV6),
        ethernet(ipv4(udp(7, 8, payload=bytes(50)), proto=17)),
        ethernet(ipv4(icmp(8, 0, payload=bytes(56)), proto=1)),
    ]
    records = [Record(frame, caplen=snaplen) for frame in frames]
    packets = read_packets(records, snaplen=snaplen)
    assert [(p["frame_length"], layer4_fields(p)) for p in packets] == [
        (154, {"src_port": 1, "dst_port": 2, "tcp_seq": 3, "tcp_ack": 0, "tcp_flag": 0, "urgent": 0}),
        (92, {"src_port": 7, "dst_port": 8, "udp_length": 58}),
        (94, {"src_port": 0, "dst_port": 0, "icmp_type": 8, "icmp_code": 0}),
    ]


# ---- Non-first IPv4 fragments carry payload, not a layer-4 header.

@pytest.mark.parametrize("protocol", FIELD_SPANS)
@pytest.mark.parametrize("flags_frag, decoded", [
    pytest.param(0x2000, True, id="first fragment"),
    pytest.param(0x2001, False, id="middle fragment"),
    pytest.param(0x00B9, False, id="last fragment"),
])
def test_only_first_fragments_read_layer4(read_packets, protocol, flags_frag, decoded):
    proto, earlier = EARLIER[protocol]
    header, full_values = UNDER_TEST[protocol]
    fragment = ethernet(ipv4(header, proto=proto, flags_frag=flags_frag))
    packet = read_packets([ethernet(ipv4(earlier, proto=proto)), fragment])[1]
    expected = {"src_port": 0, "dst_port": 0} | (full_values if decoded else dict.fromkeys(full_values, 0))
    assert layer4_fields(packet) == expected
    assert (packet["wrong_fragment"], packet["land"]) == (1, 0)


# ---- Any sequence of frames, against the reference.

@settings(max_examples=200, deadline=None)
@given(st.lists(st.one_of(ip_records(), raw_ip_records()), max_size=8))
def test_any_frames_decode_as_the_reference_reads_them(capture_file, records):
    read_as_the_reference_does(capture_file(records), len(records))
