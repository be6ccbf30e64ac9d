"""The packet dictionary: keys in order, value types and ranges, MAC, address and date texts."""

import json
import os
import socket
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings, strategies as st

from testkit.frames import ETH_IPV6, Record, ethernet, icmp, ipv4, ipv6, tcp, udp
from varnel import schema
from varnel.core.base.grapnel import read_pcap

DATE_FORMAT = "%Y-%m-%d %H:%M:%S"


def over_ipv4(payload: bytes, proto: int) -> bytes:
    return ethernet(ipv4(payload, proto=proto))


def over_ipv6(payload: bytes, proto: int) -> bytes:
    return ethernet(ipv6(payload, next_hdr=proto), eth_type=ETH_IPV6)


PROTOCOLS = [
    pytest.param(6, tcp(), "TCP", 20, id="TCP"),
    pytest.param(17, udp(), "UDP", 17, id="UDP"),
    pytest.param(1, icmp(), "ICMP", 18, id="ICMP"),
    pytest.param(58, icmp(), "ICMP", 18, id="ICMPv6"),
    pytest.param(2, bytes(8), "Others", 16, id="IGMP"),
]


@pytest.mark.parametrize("ip_frame, version", [(over_ipv4, "IPv4"), (over_ipv6, "IPv6")], ids=["IPv4", "IPv6"])
@pytest.mark.parametrize("proto, payload, protocol_type, key_count", PROTOCOLS)
def test_keys_in_order(read_packets, ip_frame, version, proto, payload, protocol_type, key_count):
    [packet] = read_packets([ip_frame(payload, proto)])
    assert list(packet) == list(schema.packet_keys(schema.group_of(protocol_type)))
    assert len(packet) == key_count
    assert (packet["version"], packet["protocol_type"], packet["ip_proto"]) == (version, protocol_type, proto)


VALUE_TYPES = {"success": bool, "timestamp": float, "date_time": str, "src_mac": str, "dst_mac": str,
               "version": str, "src_ip": str, "dst_ip": str, "protocol_type": str}


@pytest.mark.parametrize("proto, payload, protocol_type, key_count", PROTOCOLS)
def test_value_types(read_packets, proto, payload, protocol_type, key_count):
    [packet] = read_packets([over_ipv4(payload, proto)])
    assert {key: type(value) for key, value in packet.items()} == {
        key: VALUE_TYPES.get(key, int) for key in packet}
    assert packet["success"] is True


@pytest.mark.parametrize("record, expected", [
    pytest.param(Record(over_ipv4(tcp(seq=0xFFFFFFFF, ack=0xFFFFFFFF, flags=0xFF), 6), wire_len=0xFFFFFFFF),
                 {"frame_length": 4294967295, "tcp_seq": 4294967295, "tcp_ack": 4294967295, "tcp_flag": 255},
                 id="TCP and frame length"),
    pytest.param(Record(over_ipv4(tcp(seq=0x80000000, ack=0x80000000), 6), wire_len=0x80000000),
                 {"frame_length": 2147483648, "tcp_seq": 2147483648, "tcp_ack": 2147483648},
                 id="top bit only"),
    pytest.param(Record(ethernet(ipv4(udp(0xFFFF, 0xFFFF, length=0xFFFF), proto=17, ident=0xFFFF))),
                 {"src_port": 65535, "dst_port": 65535, "udp_length": 65535, "ip_id": 65535}, id="UDP"),
    pytest.param(Record(over_ipv6(icmp(0xFF, 0xFF), 58)), {"icmp_type": 255, "icmp_code": 255}, id="ICMP"),
    pytest.param(Record(over_ipv4(b"", 0xFF)), {"ip_proto": 255}, id="protocol"),
    pytest.param(Record(ethernet(ipv6(first_word=0x6FFFFFFF), eth_type=ETH_IPV6)), {"ip_id": 1048575},
                 id="flow label"),
])
def test_unsigned_values_stay_positive(read_packets, record, expected):
    [packet] = read_packets([record])
    assert {key: packet[key] for key in expected} == expected


@pytest.mark.parametrize("src, dst", [
    pytest.param("00:0a:ff:10:09:a0", "01:02:03:04:05:06", id="leading zeros"),
    pytest.param("ff:ff:ff:ff:ff:ff", "00:00:00:00:00:00", id="all ones, all zeros"),
    pytest.param("de:ad:be:ef:00:01", "de:ad:be:ef:00:02", id="differ in the last byte"),
])
def test_mac_texts(read_packets, src, dst):
    [packet] = read_packets([ethernet(ipv4(tcp()), src=src, dst=dst)])
    assert (packet["src_mac"], packet["dst_mac"]) == (src, dst)


@pytest.mark.parametrize("src, dst", [
    pytest.param("192.168.1.10", "10.0.0.1", id="private"),
    pytest.param("0.0.0.0", "255.255.255.255", id="extremes"),
    pytest.param("1.2.3.4", "100.20.3.0", id="one, two and three digits"),
])
def test_ipv4_texts(read_packets, src, dst):
    [packet] = read_packets([ethernet(ipv4(tcp(), src=src, dst=dst))])
    assert (packet["src_ip"], packet["dst_ip"]) == (src, dst)


@pytest.mark.parametrize("src, dst", [
    pytest.param("::", "::1", id="unspecified, loopback"),
    pytest.param("2001:db8::1", "fe80::1:2:3:4", id="compressed"),
    pytest.param("::ffff:1.2.3.4", "64:ff9b::102:304", id="IPv4 mapped"),
    pytest.param("1:0:0:1:0:0:0:1", "1:2:3:4:5:6:7:8", id="longest zero run, no run"),
])
def test_ipv6_texts_are_the_interpreters(read_packets, src, dst):
    [packet] = read_packets([ethernet(ipv6(tcp(), src=src, dst=dst), eth_type=ETH_IPV6)])
    expected = [socket.inet_ntop(socket.AF_INET6, socket.inet_pton(socket.AF_INET6, a)) for a in (src, dst)]
    assert [packet["src_ip"], packet["dst_ip"]] == expected


def address_text(raw: bytes) -> str:
    return socket.inet_ntoa(raw) if len(raw) == 4 else socket.inet_ntop(socket.AF_INET6, raw)


def frame_between(src: bytes, dst: bytes, src_mac: bytes, dst_mac: bytes) -> bytes:
    macs = {"src": src_mac.hex(":"), "dst": dst_mac.hex(":")}
    if len(src) == 4:
        return ethernet(ipv4(tcp(), src=address_text(src), dst=address_text(dst)), **macs)
    return ethernet(ipv6(tcp(), src=address_text(src), dst=address_text(dst)), eth_type=ETH_IPV6, **macs)


def address_pairs(size: int):
    return st.tuples(st.binary(min_size=size, max_size=size), st.binary(min_size=size, max_size=size))


mac_bytes = st.binary(min_size=6, max_size=6)


# Many different endpoints in one file: each dictionary carries its own frame's texts.
@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(st.one_of(address_pairs(4), address_pairs(16)), mac_bytes, mac_bytes),
                min_size=1, max_size=40))
def test_texts_of_many_frames(read_packets, endpoints):
    packets = read_packets([frame_between(src, dst, src_mac, dst_mac) for (src, dst), src_mac, dst_mac in endpoints])
    assert [(p["src_ip"], p["dst_ip"], p["src_mac"], p["dst_mac"]) for p in packets] == [
        (address_text(src), address_text(dst), src_mac.hex(":"), dst_mac.hex(":"))
        for (src, dst), src_mac, dst_mac in endpoints]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(-2**31, 2**31 - 1), min_size=1, max_size=20))
def test_date_time_is_the_local_time_of_the_second(read_packets, seconds):
    packets = read_packets([Record(ethernet(ipv4(tcp())), ts_sec=s, ts_usec=999_999) for s in seconds])
    assert [p["date_time"] for p in packets] == [time.strftime(DATE_FORMAT, time.localtime(s)) for s in seconds]


TIME_ZONE_PROBE = """
import json, sys
from varnel.core.base.grapnel import read_pcap
print(json.dumps([p["date_time"] for p in read_pcap(sys.argv[1].encode())]))
"""


@pytest.mark.parametrize("zone, texts", [
    pytest.param("UTC0", ["1970-01-01 00:00:00", "2023-07-01 12:00:00", "1969-12-31 23:59:59"], id="UTC"),
    pytest.param("JST-9", ["1970-01-01 09:00:00", "2023-07-01 21:00:00", "1970-01-01 08:59:59"], id="UTC+9"),
    pytest.param("EST5EDT,M3.2.0,M11.1.0", ["1969-12-31 19:00:00", "2023-07-01 08:00:00", "1969-12-31 18:59:59"],
                 id="UTC-5, summer time"),
])
def test_date_time_follows_the_process_time_zone(capture_file, zone, texts):
    seconds = [0, 1_688_212_800, -1]  # the epoch, 2023-07-01 12:00 UTC, one second before the epoch
    path = capture_file([Record(ethernet(ipv4(tcp())), ts_sec=s) for s in seconds])
    result = subprocess.run([sys.executable, "-c", TIME_ZONE_PROBE, os.fsdecode(path)], capture_output=True,
                            text=True, env={**os.environ, "TZ": zone}, timeout=30, check=True)
    assert json.loads(result.stdout) == texts


def test_each_dictionary_is_a_new_object(capture_file):
    generator = read_pcap(capture_file([ethernet(ipv4(tcp(sport=1))), ethernet(ipv4(tcp(sport=2)))]))
    first = next(generator)
    first["success"] = False
    first["src_port"] = 99
    first.clear()
    second = next(generator)
    assert (second["success"], second["src_port"], len(second)) == (True, 2, 20)
