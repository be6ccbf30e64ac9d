"""Address texts must be exactly the interpreter's own (socket.inet_ntop), whatever the bit pattern."""

import ipaddress
import socket

import pyarrow
from hypothesis import given, settings, strategies as st

from testkit.frames import ETH_IPV6, Record, ethernet, ipv4, ipv6, udp, write_pcap
from varnel.columns import read_packets_table
from varnel.core.base.grapnel import read_pcap

# Zero and all-ones groups are where compressed IPv6 text has its special cases (the longest zero
# run, the embedded IPv4 forms ::a.b.c.d and ::ffff:a.b.c.d).
group = st.one_of(st.just(0), st.just(0xFFFF), st.integers(0, 0xFFFF))
ipv6_packed = st.lists(group, min_size=8, max_size=8).map(lambda groups: b"".join(g.to_bytes(2, "big") for g in groups))
ipv4_packed = st.binary(min_size=4, max_size=4)


def read_addresses(tmp_path, frames):
    path = write_pcap(tmp_path / "addresses.pcap", [Record(frame) for frame in frames])
    return [(packet["src_ip"], packet["dst_ip"]) for packet in read_pcap(path)]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(ipv6_packed, ipv6_packed), min_size=1, max_size=40))
def test_ipv6_text_equals_inet_ntop(tmp_path_factory, pairs):
    tmp_path = tmp_path_factory.mktemp("v6")
    frames = [ethernet(ipv6(udp(), next_hdr=17, src=str(ipaddress.IPv6Address(src)),
                            dst=str(ipaddress.IPv6Address(dst))), eth_type=ETH_IPV6) for src, dst in pairs]
    expected = [(socket.inet_ntop(socket.AF_INET6, src), socket.inet_ntop(socket.AF_INET6, dst))
                for src, dst in pairs]
    assert read_addresses(tmp_path, frames) == expected


@settings(max_examples=30, deadline=None)
@given(st.lists(st.tuples(ipv4_packed, ipv4_packed), min_size=1, max_size=40))
def test_ipv4_text_equals_inet_ntoa(tmp_path_factory, pairs):
    tmp_path = tmp_path_factory.mktemp("v4")
    frames = [ethernet(ipv4(udp(), proto=17, src=socket.inet_ntoa(src), dst=socket.inet_ntoa(dst)))
              for src, dst in pairs]
    expected = [(socket.inet_ntoa(src), socket.inet_ntoa(dst)) for src, dst in pairs]
    assert read_addresses(tmp_path, frames) == expected


def every_byte_rows(width):
    """Rows of `width` bytes in which every byte value stands at every position."""
    return [bytes((value + position) % 256 for position in range(width)) for value in range(256)]


def test_every_octet_and_mac_byte_in_dicts_and_columns(tmp_path):
    addresses, macs = every_byte_rows(4), every_byte_rows(6)
    frames = [ethernet(ipv4(udp(), proto=17, src=socket.inet_ntoa(address), dst=socket.inet_ntoa(address[::-1])),
                       src=mac.hex(":"), dst=mac[::-1].hex(":"))
              for address, mac in zip(addresses, macs)]
    path = write_pcap(tmp_path / "bytes.pcap", [Record(frame) for frame in frames])
    expected = [{"src_ip": socket.inet_ntoa(address), "dst_ip": socket.inet_ntoa(address[::-1]),
                 "src_mac": mac.hex(":"), "dst_mac": mac[::-1].hex(":")} for address, mac in zip(addresses, macs)]
    fields = list(expected[0])
    assert [{field: packet[field] for field in fields} for packet in read_pcap(path)] == expected
    table = pyarrow.table(read_packets_table(path, batch_size=100))
    assert table.select(fields).to_pylist() == expected


def test_ipv6_groups_of_every_digit_count_in_dicts_and_columns(tmp_path):
    # Each byte value in groups of one to four digits, at each place a digit can stand.
    addresses = [b"".join(group.to_bytes(2, "big") for group in
                          (value >> 4, value, value << 4, value << 8, 1, 0x100 | value, 0x1000 | value, value ^ 0xFFFF))
                 for value in range(256)]
    texts = [socket.inet_ntop(socket.AF_INET6, address) for address in addresses]
    frames = [ethernet(ipv6(udp(), next_hdr=17, src=text, dst=text), eth_type=ETH_IPV6) for text in texts]
    path = write_pcap(tmp_path / "groups.pcap", [Record(frame) for frame in frames])
    expected = [(text, text) for text in texts]
    assert read_addresses(tmp_path, frames) == expected
    table = pyarrow.table(read_packets_table(path, batch_size=100))
    assert list(zip(table["src_ip"].to_pylist(), table["dst_ip"].to_pylist())) == expected
