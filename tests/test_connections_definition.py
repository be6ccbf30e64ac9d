"""Connection records: the definition, held by hand-written expectations; the native readers (the
dictionaries of varnel.read_connections and the columns of read_connections_table) and the
benchmark's pure-Python competitor (testkit/connections_fast.py) held to the plain reference
(testkit/connections.py) value for value.

Every capture here goes through all of them: `records(...)` fails unless they agree, then the test
checks the values the definition gives. The native driver (the core without the interpreter)
checks what no capture reaches: the whole service table and the rounding of every share."""

from __future__ import annotations

import struct
import subprocess
import warnings
from pathlib import Path

import pyarrow
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import varnel
from testkit import connections_driver
from testkit import connections as reference
from testkit import connections_fast as BENCH
from testkit.frames import (
    ETH_IPV6, Record, ethernet, icmp, ipv4, ipv6, ipv6_fragment, ipv6_options, stamped, tcp, udp,
)

CORPUS = Path(__file__).resolve().parent / "captures"
# The reference reads files through libpcap, which refuses this one (its interfaces have several link types).
READ_BEYOND_LIBPCAP = {"zeek-ldap-modify-request.pcapng"}
CORPUS_FILES = sorted(path for path in CORPUS.iterdir()
                      if path.suffix in (".pcap", ".pcapng", ".cap") and path.name not in READ_BEYOND_LIBPCAP)

FIN, SYN, RST, ACK, URG = 0x01, 0x02, 0x04, 0x10, 0x20
SA, FA, RA = SYN | ACK, FIN | ACK, RST | ACK
CLIENT, SERVER = "10.0.0.1", "10.0.0.2"
SECOND = 1_000_000


@pytest.fixture(scope="session")
def driver() -> Path:
    return connections_driver.build()


@pytest.fixture
def records(capture_file):
    """records(frames or Records, **options) -> (records, stats), after checking that the native
    readers and the reference agree on them exactly."""
    def run(items, **options):
        path = capture_file([item if isinstance(item, Record) else stamped(item, 0) for item in items])
        return agreed(path, **options)
    return run


def native(paths, decode_vlan: bool = True, **options) -> tuple[list[dict], dict]:
    """The records of the dictionary reader, after checking that the columns hold the same, and its
    stats (the reference's keys)."""
    stream = varnel.read_connections(paths, skip_vlan=not decode_vlan, **options)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # damaged captures: the reference stops there too
        records = list(stream)
    columns = varnel.read_connections_table(paths, skip_vlan=not decode_vlan, file_column=False, **options)
    assert pyarrow.table(columns).to_pylist() == records
    stats = stream.stats()
    assert {key: columns.stats()[key] for key in reference.STATS} == {key: stats[key] for key in reference.STATS}
    return records, {key: stats[key] for key in reference.STATS}


def agreed(path, **options):
    expected = reference.records(path, **options)
    assert native(path, **options) == expected
    assert BENCH.records(path, **options) == expected
    return expected


# ---- Frames

def tcp_packet(src=CLIENT, dst=SERVER, sport=40000, dport=80, flags=ACK, payload=b"", **ip) -> bytes:
    return ethernet(ipv4(tcp(sport, dport, flags=flags, payload=payload), proto=6, src=src, dst=dst, **ip))


def udp_packet(src=CLIENT, dst=SERVER, sport=40000, dport=53, payload=b"", **ip) -> bytes:
    return ethernet(ipv4(udp(sport, dport, payload=payload), proto=17, src=src, dst=dst, **ip))


def icmp_packet(icmp_type=8, code=0, ident=7, src=CLIENT, dst=SERVER) -> bytes:
    return ethernet(ipv4(icmp(icmp_type, code, struct.pack("!HH", ident, 1)), proto=1, src=src, dst=dst))


def conversation(steps, start=0, gap=1000, **ports) -> list[Record]:
    """TCP packets between CLIENT:40000 ('>') and SERVER:80 ('<'), `gap` µs apart."""
    sport, dport = ports.get("sport", 40000), ports.get("dport", 80)
    out = []
    for index, (direction, flags) in enumerate(steps):
        if direction == ">":
            frame = tcp_packet(CLIENT, SERVER, sport, dport, flags)
        else:
            frame = tcp_packet(SERVER, CLIENT, dport, sport, flags)
        out.append(stamped(frame, start + index * gap))
    return out


# ---- Flags

@pytest.mark.parametrize("flag, steps", [
    ("SF", [(">", SYN), ("<", SA), (">", ACK), (">", FA), ("<", FA), (">", ACK)]),
    ("S0", [(">", SYN)]),
    ("S0", [(">", SYN), (">", SYN), (">", SYN)]),
    ("S1", [(">", SYN), ("<", SA), (">", ACK)]),
    ("S2", [(">", SYN), ("<", SA), (">", ACK), (">", FA)]),
    ("S3", [(">", SYN), ("<", SA), (">", ACK), ("<", FA)]),
    ("REJ", [(">", SYN), ("<", RA)]),
    ("REJ", [(">", SYN), (">", RST), ("<", RST)]),        # the responder's RST is the first rule
    ("RSTO", [(">", SYN), ("<", SA), (">", ACK), (">", RST), ("<", RST)]),
    ("RSTR", [(">", SYN), ("<", SA), ("<", RST), (">", RST)]),
    ("RSTOS0", [(">", SYN), (">", RST)]),
    ("SH", [(">", SYN), (">", FIN)]),
    ("RSTRH", [("<", SA), ("<", RST)]),
    ("SHR", [("<", SA), ("<", FA)]),
    ("OTH", [("<", SA)]),
    ("OTH", [(">", ACK), ("<", ACK)]),
    ("S0", [("<", SYN)]),                                 # the sender of a first SYN opens, whichever side
    ("OTH", [(">", ACK), ("<", SYN)]),                    # a SYN from the responder counts for nothing
    ("S3", [(">", SYN), ("<", SYN | ACK | FIN)]),       # a SYN-ACK that also closes: the responder's FIN only
    ("RSTOS0", [(">", SYN | FIN | RST)]),
])
def test_flag_from_what_each_side_sent(records, flag, steps):
    (record,), _ = records(conversation(steps))
    assert record["flag"] == flag


def test_a_first_syn_ack_makes_its_receiver_the_originator(records):
    (record,), _ = records(conversation([("<", SA), (">", ACK), (">", ACK)]))
    assert (record["src_ip"], record["src_port"], record["dst_ip"], record["dst_port"]) == (CLIENT, 40000, SERVER, 80)
    assert (record["src_packets"], record["dst_packets"], record["service"]) == (2, 1, "http")


def test_kdd_compat_writes_the_flags_the_data_sets_know(records):
    steps = [[("<", SA), ("<", RST)], [("<", SA), ("<", FA)]]
    found = [records(conversation(step), kdd_compat=True)[0][0]["flag"] for step in steps]
    assert found == ["RSTR", "SH"]


# ---- Services

@pytest.mark.parametrize("protocol, sport, dport, service", [
    ("tcp", 40000, 80, "http"), ("tcp", 40000, 8080, "http"), ("tcp", 40000, 443, "http_443"),
    ("tcp", 40000, 53, "domain"), ("udp", 40000, 53, "domain_u"), ("udp", 40000, 69, "tftp_u"),
    ("tcp", 40000, 69, "other"), ("udp", 40000, 123, "ntp_u"), ("tcp", 40000, 123, "other"),
    ("tcp", 40000, 6063, "X11"), ("tcp", 40000, 6064, "other"), ("udp", 40000, 5193, "aol"),
    ("tcp", 40000, 73, "remote_job"), ("tcp", 20, 40000, "ftp_data"), ("udp", 20, 53, "ftp_data"),
    ("tcp", 40000, 49151, "other"), ("tcp", 40000, 49152, "private"), ("udp", 40000, 65535, "private"),
    ("tcp", 0, 0, "other"),
])
def test_port_services(records, protocol, sport, dport, service):
    packet = tcp_packet(sport=sport, dport=dport, flags=SYN) if protocol == "tcp" else \
        udp_packet(sport=sport, dport=dport)
    (record,), _ = records([packet])
    assert (record["protocol_type"], record["service"], record["src_port"], record["dst_port"]) == \
        (protocol, service, sport, dport)


@pytest.mark.parametrize("version, icmp_type, code, service", [
    (4, 8, 0, "eco_i"), (4, 0, 0, "ecr_i"), (4, 3, 1, "urh_i"), (4, 3, 3, "urp_i"), (4, 3, 0, "other"),
    (4, 5, 1, "red_i"), (4, 11, 0, "tim_i"), (4, 13, 0, "other"),
    (6, 128, 0, "eco_i"), (6, 129, 0, "ecr_i"), (6, 1, 3, "urh_i"), (6, 1, 4, "urp_i"), (6, 1, 1, "other"),
    (6, 137, 0, "red_i"), (6, 3, 0, "tim_i"), (6, 135, 0, "other"),
])
def test_icmp_services(records, version, icmp_type, code, service):
    message = icmp(icmp_type, code, b"\x00\x05\x00\x01" + b"x" * 12)
    packet = ethernet(ipv4(message, proto=1)) if version == 4 else \
        ethernet(ipv6(message, next_hdr=58), eth_type=ETH_IPV6)
    (record,), _ = records([packet])
    assert (record["protocol_type"], record["service"], record["flag"]) == ("icmp", service, "SF")
    assert (record["src_port"], record["dst_port"], record["src_bytes"], record["dst_packets"]) == (0, 0, 12, 0)


def test_the_service_table_whole(driver):
    table = connections_driver.service_table(driver)
    names = table["names"]
    ports = reference.port_table(None)
    for protocol in ("tcp", "udp"):
        found = [names[service] for service in table[protocol]]
        assert found == [reference.port_service(ports, protocol, 1, port) for port in range(65536)]
    for version in (4, 6):
        found = [names[service] for service in table[f"icmp{version}"]]
        assert found == [reference.icmp_service(version, code >> 8, code & 0xFF) for code in range(65536)]
    named = {names[service] for protocol in ("tcp", "udp") for service in table[protocol]}
    icmp_only = {"eco_i", "ecr_i", "urh_i", "urp_i", "red_i", "tim_i"}
    assert named | icmp_only == set(names) and not named & icmp_only and len(names) == len(set(names)) == 68


def test_services_added_and_overridden(records):
    services = {("tcp", 8080): "web_alt", ("udp", 9999): "game", ("tcp", 20): "active_ftp", ("tcp", 23): "http"}
    packets = [tcp_packet(sport=40000, dport=8080, flags=SYN), udp_packet(dport=9999),
               tcp_packet(sport=20, dport=40001, flags=SYN), tcp_packet(sport=40002, dport=23, flags=SYN),
               tcp_packet(sport=40003, dport=9999, flags=SYN)]
    found, _ = records([stamped(packet, index) for index, packet in enumerate(packets)], services=services)
    assert [record["service"] for record in found] == ["web_alt", "game", "active_ftp", "http", "other"]


# ---- Time-outs, linger, reuse

@pytest.mark.parametrize("gap, options, count", [
    (60 * SECOND - 1, {}, 1), (60 * SECOND, {}, 2),
    (int(1.5 * SECOND) - 1, {"udp_timeout": 1.5}, 1), (int(1.5 * SECOND), {"udp_timeout": 1.5}, 2),
])
def test_udp_time_out(records, gap, options, count):
    found, _ = records([stamped(udp_packet(), 0), stamped(udp_packet(src=SERVER, dst=CLIENT, sport=53,
                                                                       dport=40000), gap)], **options)
    assert len(found) == count
    assert found[0]["dst_packets"] == (1 if count == 1 else 0)


@pytest.mark.parametrize("gap, count", [(300 * SECOND - 1, 1), (300 * SECOND, 2)])
def test_tcp_and_icmp_time_outs(records, gap, count):
    packets = conversation([(">", SYN)]) + [stamped(tcp_packet(flags=ACK), gap)]
    assert len(records(packets)[0]) == count
    echo = [stamped(icmp_packet(), 0), stamped(icmp_packet(), gap // 5)]
    assert len(records(echo)[0]) == count


@pytest.mark.parametrize("closing", [[(">", FA), ("<", FA)], [("<", RA)], [(">", RST)]])
@pytest.mark.parametrize("after, count", [(5 * SECOND - 1, 1), (5 * SECOND, 2)])
def test_closing_connections_end_after_their_linger(records, closing, after, count):
    packets = conversation([(">", SYN), ("<", SA), (">", ACK), *closing])
    last = packets[-1]
    late = stamped(tcp_packet(flags=ACK), (last.ts_sec - 1_700_000_000) * SECOND + last.ts_usec + after)
    found, _ = records(packets + [late])
    assert len(found) == count
    assert found[-1]["flag"] == ("OTH" if count == 2 else found[0]["flag"])


def test_a_syn_on_a_closed_key_ends_the_connection_at_once(records):
    first = conversation([(">", SYN), ("<", SA), (">", ACK), (">", FA), ("<", FA)])
    again = conversation([(">", SYN), ("<", SA), (">", ACK)], start=10_000)
    other = [stamped(udp_packet(), 9_000)]
    found, _ = records(first + other + again)
    # The first record comes out when the second SYN arrives: before the UDP record flushed at the end.
    assert [(record["flag"], record["src_packets"]) for record in found] == [("SF", 3), ("SF", 1), ("S1", 2)]
    assert found[0]["count"] == 1 and found[2]["count"] == 3   # the end-time window: all three


def test_a_syn_on_an_open_key_is_one_more_packet(records):
    found, _ = records(conversation([(">", SYN), ("<", SA), (">", SYN), ("<", RST), (">", ACK)]))
    assert [(record["flag"], record["src_packets"]) for record in found] == [("RSTR", 3)]


def test_time_never_steps_back_for_expiry(records):
    stamps = [10 * SECOND, 5 * SECOND, 12 * SECOND]
    (record,), _ = records([stamped(udp_packet(), stamp) for stamp in stamps])
    assert (record["start_time"], record["end_time"], record["duration"]) == (1_700_000_010.0, 1_700_000_012.0, 2)
    # A connection stamped before the newest time stamp less its time-out ends before the next packet.
    packets = [stamped(udp_packet(), 0), stamped(udp_packet(dport=54), 100 * SECOND),
               stamped(udp_packet(), SECOND), stamped(udp_packet(dport=55), 100 * SECOND + 1)]
    found, _ = records(packets)
    assert [(record["dst_port"], record["start_time"]) for record in found] == [
        (53, 1_700_000_000.0), (53, 1_700_000_001.0), (54, 1_700_000_100.0), (55, 1_700_000_100.000001)]


def test_times_are_exact_microseconds(records):
    (record,), _ = records([stamped(udp_packet(), 1), stamped(udp_packet(), 2 * SECOND + 999_999)])
    assert (record["start_time"], record["end_time"], record["duration"]) == (1_700_000_000.000001,
                                                                              1_700_000_002.999999, 2)


def flows_open_at_the_end(pattern: str, flows: int = 40, start: int = 0) -> list[Record]:
    """UDP flows made 1 ms apart from `start`, each ended (by a second packet) as `pattern` says."""
    late = start + 200_000
    second_packet = {
        "single packets": lambda n: None,
        "a long one in seven": lambda n: late + n if n % 7 == 3 else None,
        "the newest ends first": lambda n: late - n * 1000,
        "equal ends": lambda n: late if n % 2 else None,
    }[pattern]
    packets = []
    for n in range(flows):
        packets.append(stamped(udp_packet(sport=20000 + n), start + n * 1000))
        if (end := second_packet(n)) is not None:
            packets.append(stamped(udp_packet(sport=20000 + n), end))
    return sorted(packets, key=lambda record: (record.ts_sec, record.ts_usec))


@pytest.mark.parametrize("pattern", ["single packets", "a long one in seven", "the newest ends first", "equal ends"])
@pytest.mark.parametrize("reused", [False, True])
def test_the_connections_open_at_the_end_come_out_by_end_start_and_creation(records, pattern, reused):
    # Flows timed out before the later ones start leave their places in the table to them.
    earlier = flows_open_at_the_end("a long one in seven", start=0) if reused else []
    found, _ = records(earlier + flows_open_at_the_end(pattern, start=100 * SECOND))
    flushed = found[-40:]
    order = [(record["end_time"], record["start_time"]) for record in flushed]
    assert order == sorted(order)


# ---- Eviction, and which frames move time

def test_beyond_max_connections_the_idle_longest_ends(records):
    packets = [stamped(udp_packet(dport=53), 0), stamped(udp_packet(dport=54), 1),
               stamped(udp_packet(dport=53), 2), stamped(udp_packet(dport=55), 3)]
    found, stats = records(packets, max_connections=2)
    assert [record["dst_port"] for record in found] == [54, 53, 55]
    assert stats == {"connections": 3, "open_connections": 0, "evicted": 1, "other_protocol": 0,
                     "unattributed_fragments": 0}


@pytest.mark.parametrize("between, evicted", [
    (ethernet(ipv4(b"\x00" * 8, proto=47)), 0),               # another protocol: an IP frame
    (ethernet(ipv4(tcp(), proto=6, ihl=3)), 0),                 # a header length below 20
    (tcp_packet(flags=ACK)[:40], 0),                            # a TCP header cut short
    (tcp_packet(flags=ACK)[:14 + 12], 1),                       # an IP header cut short: no IP frame
    (ethernet(b"\x00" * 28, eth_type=0x0806), 1),              # ARP
])
def test_every_ip_frame_moves_time(records, between, evicted):
    packets = [stamped(udp_packet(dport=53), 0), stamped(between, 100 * SECOND),
               stamped(udp_packet(dport=54), 50 * SECOND)]
    _, stats = records(packets, max_connections=1)
    assert stats["evicted"] == evicted


# ---- Bytes, land, urgent, other protocols

def test_bytes_come_from_the_length_fields(records):
    packets = [Record(udp_packet(payload=b"q" * 1000), caplen=60),
               Record(udp_packet(src=SERVER, dst=CLIENT, sport=53, dport=40000, payload=b"a" * 30))]
    (record,), _ = records(packets)
    assert (record["src_bytes"], record["dst_bytes"], record["src_packets"], record["dst_packets"]) == (1000, 30, 1, 1)


@pytest.mark.parametrize("packet, src_bytes", [
    (ethernet(ipv4(tcp(flags=SYN, payload=b"x" * 10, data_offset=2), proto=6)), 30 - 8),
    (ethernet(ipv4(tcp(flags=SYN, payload=b"x" * 10, data_offset=15), proto=6)), 0),
    (ethernet(ipv4(tcp(flags=SYN, payload=b"x" * 10, data_offset=0), proto=6)), 30),
    (ethernet(ipv4(udp(payload=b"x" * 10, length=3), proto=17)), 10),
    (ethernet(ipv4(tcp(flags=SYN, payload=b"x" * 10), proto=6, total_len=10)), 0),
    (ethernet(ipv4(tcp(flags=SYN, payload=b"x" * 10), proto=6, total_len=45)), 5),
    (ethernet(ipv4(tcp(flags=SYN), proto=6, ihl=6, options=b"\x01" * 4)), 0),
])
def test_malformed_headers_make_defined_records(records, packet, src_bytes):
    (record,), _ = records([packet])
    assert record["src_bytes"] == src_bytes


def test_land_urgent_and_protocols(records):
    packets = [
        tcp_packet(src=CLIENT, dst=CLIENT, sport=139, dport=139, flags=SYN),
        udp_packet(src=CLIENT, dst=CLIENT, sport=53, dport=54),
        icmp_packet(src=SERVER, dst=SERVER),
        tcp_packet(sport=41000, flags=SYN | URG), tcp_packet(src=SERVER, dst=CLIENT, sport=80, dport=41000,
                                                            flags=SA | URG),
        tcp_packet(sport=41000, flags=ACK),
    ]
    found, _ = records([stamped(packet, index) for index, packet in enumerate(packets)])
    assert [(record["land"], record["urgent"]) for record in found] == [(1, 0), (0, 0), (1, 0), (0, 2)]
    assert (found[0]["src_packets"], found[0]["dst_packets"]) == (1, 0)   # a land connection's packets: all one way


def test_other_protocols_are_counted_not_recorded(records):
    packets = [ethernet(ipv4(b"\x00" * 8, proto=47)), ethernet(ipv4(icmp(128), proto=58)),
               ethernet(ipv6(icmp(8), next_hdr=1), eth_type=ETH_IPV6),
               ethernet(ipv6(b"\x00" * 16, next_hdr=51), eth_type=ETH_IPV6), tcp_packet(flags=SYN)[:50]]
    found, stats = records(packets)
    assert (found, stats["other_protocol"]) == ([], 4)


# ---- Fragments

def fragment(offset_units, payload, more=True, ident=7, proto=17, src=CLIENT, dst=SERVER) -> bytes:
    return ethernet(ipv4(payload, proto=proto, src=src, dst=dst, ident=ident,
                         flags_frag=(0x2000 if more else 0) | offset_units))


FIRST = fragment(0, udp(40000, 53, length=40, payload=b"f" * 8))   # bytes 0-16 of the datagram


@pytest.mark.parametrize("later, wrong, src_bytes", [
    ([fragment(2, b"l" * 24, more=False)], 0, 8 + 24),                     # contiguous
    ([fragment(1, b"l" * 16, more=False)], 1, 8 + 16),                     # overlaps the first
    ([fragment(2, b"a" * 8), fragment(2, b"b" * 8, more=False)], 1, 8 + 16),   # a duplicate
    ([fragment(3, b"a" * 8), fragment(2, b"b" * 8, more=False)], 0, 8 + 16),   # out of order, touching
    ([fragment(8180, b"x" * 100, more=False)], 1, 8 + 100),               # ends past 65,535
    ([fragment(8189, b"x" * 23, more=False)], 0, 8 + 23),                 # ends at 65,535 exactly
    ([fragment(8189, b"x" * 24, more=False)], 1, 8 + 24),                 # overlaps nothing, past the end
    ([fragment(1, b"x" * 65_500, more=False)], 1, 8 + 65_500),            # overlapping and past: once
])
def test_fragments_reach_their_connection(records, later, wrong, src_bytes):
    (record,), stats = records([stamped(frame, index) for index, frame in enumerate([FIRST, *later])])
    assert (record["wrong_fragment"], record["src_bytes"], record["src_packets"]) == (wrong, src_bytes, 1 + len(later))
    assert stats["unattributed_fragments"] == 0


@pytest.mark.parametrize("frames, unattributed, packets", [
    ([(0, fragment(2, b"l" * 24)), (1, FIRST)], 1, 1),                                  # the first comes late
    ([(0, FIRST), (30 * SECOND - 1, fragment(2, b"l" * 24))], 0, 2),                    # within 30 s
    ([(0, FIRST), (30 * SECOND, fragment(2, b"l" * 24))], 1, 1),                        # 30 s after: forgotten
    ([(0, FIRST), (1, fragment(2, b"l" * 24, ident=8))], 1, 1),                         # another datagram
    ([(0, FIRST), (1, fragment(2, b"l" * 24, src=SERVER, dst=CLIENT))], 1, 1),          # other addresses
    ([(0, FIRST), (1, fragment(2, b"l" * 24, proto=6))], 1, 1),                         # another protocol
    ([(0, FIRST), (1, fragment(2, b"l" * 24, proto=47))], 0, 1),                        # counted as such
])
def test_fragments_that_find_no_datagram(records, frames, unattributed, packets):
    found, stats = records([stamped(frame, stamp) for stamp, frame in frames])
    assert stats["unattributed_fragments"] == unattributed
    assert sum(record["src_packets"] for record in found) == packets


def test_a_fragment_after_its_connection_ended_is_unattributed(records):
    packets = [stamped(FIRST, 0), stamped(udp_packet(dport=54), 25 * SECOND),
               stamped(fragment(2, b"l" * 24), 25 * SECOND + 1)]
    found, stats = records(packets, udp_timeout=10)
    assert stats["unattributed_fragments"] == 1 and len(found) == 2


def test_a_fragment_counts_in_the_direction_of_its_first(records):
    answer = fragment(0, udp(53, 40000, payload=b"a" * 8), ident=9, src=SERVER, dst=CLIENT)
    packets = [stamped(udp_packet(), 0), stamped(answer, 1),
               stamped(fragment(2, b"r" * 40, ident=9, src=SERVER, dst=CLIENT, more=False), 5 * SECOND)]
    (record,), _ = records(packets)
    assert (record["dst_packets"], record["dst_bytes"], record["end_time"]) == (2, 48, 1_700_000_005.0)


# ---- IPv6

def test_ipv6_extension_headers_are_followed(records):
    segment = tcp(40000, 22, flags=SYN, payload=b"x" * 10)
    # Hop-by-hop, routing (16 bytes), destination options, a first fragment: 40 bytes before TCP.
    chain = ipv6_options(43, ipv6_options(60, ipv6_options(44, ipv6_fragment(6, segment, more=True)),
                                          length_units=1))
    packet = ethernet(ipv6(chain, next_hdr=0), eth_type=ETH_IPV6)
    later = ethernet(ipv6(ipv6_fragment(6, b"y" * 40, offset_units=5), next_hdr=44), eth_type=ETH_IPV6)
    (record,), stats = records([stamped(packet, 0), stamped(later, 1)])
    assert (record["protocol_type"], record["service"], record["flag"], record["src_bytes"]) == ("tcp", "ssh", "S0", 10)
    assert (record["src_ip"], record["dst_ip"], stats["unattributed_fragments"]) == ("2001:db8::1", "2001:db8::2", 1)


@pytest.mark.parametrize("caplen, found_records", [(None, 1), (14 + 40 + 8 + 8, 1), (14 + 40 + 8 + 7, 0),
                                                    (14 + 40 + 7, 0)])
def test_ipv6_headers_cut_short(records, caplen, found_records):
    packet = ethernet(ipv6(ipv6_options(17, udp(payload=b"z" * 4)), next_hdr=0), eth_type=ETH_IPV6)
    found, stats = records([Record(packet, caplen=caplen)])
    assert (len(found), stats["other_protocol"]) == (found_records, 0)


# ---- Traffic windows

@pytest.mark.parametrize("kdd_compat", [False, True])
def test_rates_and_times_are_floats_on_the_hundredths_or_off_them(records, kdd_compat):
    packets = [stamped(tcp_packet(sport=42000 + n, flags=SYN), n * 1000) for n in range(2)]
    packets += conversation([(">", SYN), ("<", SA), (">", ACK), (">", FA), ("<", FA)], start=10_000, sport=42010)
    found, _ = records(packets, kdd_compat=kdd_compat)
    assert [record["serror_rate"] for record in found] == [1.0, 1.0, 0.67 if kdd_compat else 2 / 3]
    for record in found:
        assert all(type(value) is float for key, value in record.items() if key.endswith(("_rate", "_time")))
    single, lasting = found[0], found[-1]
    assert single["start_time"] == single["end_time"] and lasting["end_time"] > lasting["start_time"]


SERVICE_PORTS = [21, 22, 23, 25, 37, 42, 43, 53, 70, 79, 80, 109, 110, 111, 113, 119, 143, 179, 389, 443]


def test_twenty_syns_to_twenty_services_of_one_host(records):
    packets = [stamped(tcp_packet(sport=41000 + index, dport=port, flags=SYN), index * 50_000)
               for index, port in enumerate(SERVICE_PORTS)]
    found, _ = records(packets)
    assert len({record["service"] for record in found}) == 20
    last = found[-1]
    assert (last["count"], last["serror_rate"], last["diff_srv_rate"], last["same_srv_rate"]) == (20, 1.0, 0.95, 0.05)
    assert (last["srv_count"], last["dst_host_count"], last["dst_host_serror_rate"]) == (1, 20, 1.0)
    assert [record["count"] for record in found] == list(range(1, 21))


def test_windows_by_end_time_and_by_emission(records):
    # Three HTTP connections to SERVER and one to another host; the time window is 2 s of end times.
    packets = [stamped(tcp_packet(sport=41000, flags=SYN), 0),
               stamped(tcp_packet(sport=41001, flags=SYN), SECOND),
               stamped(tcp_packet(dst="10.0.0.3", sport=41002, flags=SYN), 2 * SECOND),
               stamped(tcp_packet(sport=41003, flags=SYN), 3 * SECOND)]
    found, _ = records(packets, host_window=2)
    assert [(record["count"], record["srv_count"], record["srv_diff_host_rate"]) for record in found] == [
        (1, 1, 0.0), (2, 2, 0.0), (1, 3, 2 / 3), (2, 3, 1 / 3)]
    assert [(record["dst_host_count"], record["dst_host_srv_count"]) for record in found] == [
        (1, 1), (2, 2), (1, 2), (1, 2)]


def test_rej_and_same_src_port_rates(records):
    packets = []
    for index in range(4):
        packets += conversation([(">", SYN), ("<", RA)], start=index * 10_000, sport=41000 + index % 2)
    found, _ = records(packets)
    last = found[-1]
    assert (last["rerror_rate"], last["srv_rerror_rate"], last["dst_host_rerror_rate"]) == (1.0, 1.0, 1.0)
    assert last["dst_host_same_src_port_rate"] == 0.5


def test_kdd_compat_rounds_rates_and_caps_counts(records):
    packets = [stamped(tcp_packet(sport=42000, flags=SYN), 0)]
    for index in range(1, 8):
        packets += conversation([(">", SYN), ("<", SA), (">", ACK), (">", FA), ("<", FA)],
                                start=index * 10_000, sport=42000 + index)
    exact, _ = records(packets)
    shaped, _ = records(packets, kdd_compat=True)
    assert (exact[-1]["serror_rate"], exact[-1]["dst_host_serror_rate"]) == (0.125, 0.125)
    assert (shaped[-1]["serror_rate"], shaped[-1]["dst_host_serror_rate"]) == (0.13, 0.13)   # ties away from 0
    many = [stamped(udp_packet(sport=20000 + index, dport=53), index * 100) for index in range(600)]
    found, _ = records(many, kdd_compat=True, host_window=400)
    assert (found[-1]["count"], found[-1]["srv_count"], found[-1]["dst_host_count"]) == (511, 511, 255)
    assert found[-1]["same_srv_rate"] == 1.0


@pytest.mark.parametrize("rate, rounded", [
    (0.125, 0.13), (0.375, 0.38), (0.625, 0.63), (0.875, 0.88), (1 / 3, 0.33), (2 / 3, 0.67), (0.005, 0.01),
    (0.0049999999999999, 0.0), (0.994, 0.99), (0.995, 0.99), (1.0, 1.0), (0.0, 0.0), (0.115, 0.12), (0.145, 0.14),
])
def test_rate_rounding(rate, rounded):
    assert reference.round_rate(rate) == rounded


def test_native_rate_rounding_matches_on_every_share(driver):
    rates = sorted({part / whole for whole in range(1, 301) for part in range(whole + 1)})
    rates += [0.125, 0.005, 0.995, 0.145, 0.0049999999999999996, 0.12500000000000003, 0.12499999999999999]
    printed = subprocess.run([str(driver), "--round", *map(repr, rates)], check=True, capture_output=True,
                             text=True).stdout.split()
    assert list(map(float, printed)) == [reference.round_rate(rate) for rate in rates]


# ---- Captures as one or several

def test_files_start_afresh_unless_continuous(capture_file):
    first = capture_file([stamped(udp_packet(), 0), stamped(tcp_packet(flags=SYN), 1)])
    second = capture_file([stamped(udp_packet(), SECOND)])
    separate, separate_stats = native([first, second])
    one, one_stats = native([first, second], continuous=True)
    assert [record["protocol_type"] for record in separate] == ["udp", "tcp", "udp"]
    assert [(record["protocol_type"], record["src_packets"]) for record in one] == [("tcp", 1), ("udp", 2)]
    assert separate == reference.records(first)[0] + reference.records(second)[0]
    frames = [frame for path in (first, second) for frame in reference._frames_of(path)]
    assert (one, one_stats) == reference.records_of_frames(frames)
    assert separate_stats["connections"] == 3 and one_stats["connections"] == 2


# ---- The native table and the reference, everywhere

@pytest.mark.parametrize("capture", CORPUS_FILES, ids=lambda path: path.name)
@pytest.mark.parametrize("options", [
    {},
    {"tcp_timeout": 2.0, "udp_timeout": 1.0, "icmp_timeout": 0.5, "close_linger": 0.25, "time_window": 0.5,
     "host_window": 3, "max_connections": 5, "kdd_compat": True, "decode_vlan": False},
    {"time_window": 3600.0, "host_window": 1, "max_connections": 1},
], ids=["defaults", "tight", "wide"])
def test_native_table_matches_the_reference_on_every_capture(capture, options):
    agreed(capture, **options)


ENDPOINTS = [("10.0.0.1", 4), ("10.0.0.2", 4), ("10.0.0.3", 4), ("2001:db8::1", 6), ("2001:db8::2", 6)]


@st.composite
def packets(draw) -> bytes:
    (src, version), (dst, _) = draw(st.sampled_from([(a, b) for a in ENDPOINTS for b in ENDPOINTS if a[1] == b[1]]))
    kind = draw(st.sampled_from(["tcp", "tcp", "udp", "icmp", "first", "later", "other"]))
    ports = draw(st.sampled_from([20, 53, 80, 443, 40000, 50000])), draw(st.sampled_from([20, 53, 80, 40000]))
    payload = b"p" * draw(st.integers(0, 40))
    ident = draw(st.integers(0, 2))
    if kind == "tcp":
        flags = draw(st.sampled_from([SYN, SA, ACK, FA, RST, RA, SYN | FIN | RST, ACK | URG, FIN]))
        inner, proto = tcp(*ports, flags=flags, payload=payload), 6
    elif kind in ("udp", "first"):
        inner, proto = udp(*ports, payload=payload), 17
    elif kind == "icmp":
        inner = icmp(draw(st.sampled_from([8, 0, 3, 128, 129, 1])), draw(st.integers(0, 4)), b"\x00\x01\x00\x01")
        proto = 1 if version == 4 else 58
    elif kind == "later":
        inner, proto = payload, 17
    else:
        inner, proto = payload, 47
    if version == 6:
        if kind == "first":
            return ethernet(ipv6(ipv6_fragment(17, inner, more=True, ident=ident), next_hdr=44), eth_type=ETH_IPV6)
        if kind == "later":
            return ethernet(ipv6(ipv6_fragment(17, inner, offset_units=3, ident=ident), next_hdr=44),
                            eth_type=ETH_IPV6)
        return ethernet(ipv6(inner, next_hdr=proto, src=src, dst=dst), eth_type=ETH_IPV6)
    fragment_field = {"first": 0x2000, "later": draw(st.sampled_from([0x2001, 0x0002, 0x2003, 8189]))}.get(kind, 0)
    return ethernet(ipv4(inner, proto=proto, src=src, dst=dst, ident=ident, flags_frag=fragment_field))


@st.composite
def captures(draw) -> list[Record]:
    frames = draw(st.lists(packets(), min_size=1, max_size=40))
    stamps, now = [], 0
    for _ in frames:
        now += draw(st.sampled_from([0, 1, 300_000, 900_000, 2_000_000, -700_000, -5_000_000]))
        stamps.append(now)
    return [stamped(frame, stamp) for frame, stamp in zip(frames, stamps)]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(capture=captures(), options=st.fixed_dictionaries({}, optional={
    "tcp_timeout": st.sampled_from([0.0, 1.0, 3.0]), "udp_timeout": st.sampled_from([0.5, 2.0]),
    "icmp_timeout": st.sampled_from([0.3, 1.0]), "close_linger": st.sampled_from([0.0, 0.2, 1.0]),
    "time_window": st.sampled_from([0.0, 1.0, 4.0]), "host_window": st.integers(1, 5),
    "max_connections": st.integers(1, 4), "kdd_compat": st.booleans()}))
def test_native_table_matches_the_reference_on_random_captures(capture_file, capture, options):
    agreed(capture_file(capture), **options)
