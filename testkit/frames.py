"""Frames and capture files built from explicit field values, for the tests and benchmarks."""

from __future__ import annotations

import ipaddress
import struct
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable

ETH_IPV4 = 0x0800
ETH_IPV6 = 0x86DD
ETH_ARP = 0x0806
ETH_VLAN = 0x8100

ETH_QINQ = 0x88A8
ETH_QINQ_OLD = 0x9100

# Link types as a file header gives them (LINKTYPE_RAW is 101 there; libpcap reports it as DLT_RAW).
LINKTYPE_NULL = 0
LINKTYPE_ETHERNET = 1
LINKTYPE_RAW = 101
LINKTYPE_LOOP = 108
LINKTYPE_LINUX_SLL = 113
LINKTYPE_IEEE802_11 = 105  # Wi-Fi: no row decodes it
LINKTYPE_IPV4 = 228
LINKTYPE_IPV6 = 229
LINKTYPE_LINUX_SLL2 = 276


def mac(text: str) -> bytes:
    return bytes(int(part, 16) for part in text.split(":"))


def ethernet(payload: bytes = b"", eth_type: int = ETH_IPV4,
             src: str = "02:00:00:00:00:01", dst: str = "02:00:00:00:00:02") -> bytes:
    return mac(dst) + mac(src) + struct.pack("!H", eth_type) + payload


def vlan_tags(payload: bytes, eth_type: int, *tag_types: int) -> bytes:
    """The tags after a header whose type field holds tag_types[0]: each two bytes of tag control
    (VLAN id 5 + position) and the next type, the last one `eth_type`."""
    types = [*tag_types[1:], eth_type]
    return b"".join(struct.pack("!HH", 5 + n, next_type) for n, next_type in enumerate(types)) + payload


def linux_sll(payload: bytes = b"", protocol: int = ETH_IPV4, address: bytes = bytes.fromhex("020000000001"),
              packet_type: int = 0) -> bytes:
    """A Linux cooked (v1) header: the sender's address in an 8-byte field, its length given apart."""
    return struct.pack("!HHH8sH", packet_type, 1, len(address), address[:8], protocol) + payload


def linux_sll2(payload: bytes = b"", protocol: int = ETH_IPV4, address: bytes = bytes.fromhex("020000000001"),
               interface: int = 3) -> bytes:
    return struct.pack("!HHiHBB8s", protocol, 0, interface, 1, 0, len(address), address[:8]) + payload


def loopback(payload: bytes = b"", family: int = 2, byte_order: str = "<") -> bytes:
    """A BSD loopback header: the address family, in the byte order of the capturing host (NULL) or
    of the network (LOOP, '>')."""
    return struct.pack(byte_order + "I", family) + payload


def ipv4(payload: bytes = b"", proto: int = 6, src: str = "10.0.0.1", dst: str = "10.0.0.2",
         ident: int = 0, flags_frag: int = 0, ihl: int = 5, version: int = 4,
         options: bytes = b"", ttl: int = 64, total_len: int | None = None) -> bytes:
    """An IPv4 header (checksum left 0) followed by `payload`; `ihl` is not checked against `options`."""
    if total_len is None:
        total_len = 20 + len(options) + len(payload)
    header = struct.pack("!BBHHHBBH4s4s", (version << 4) | ihl, 0, total_len & 0xFFFF, ident, flags_frag,
                         ttl, proto, 0, ipaddress.IPv4Address(src).packed, ipaddress.IPv4Address(dst).packed)
    return header + options + payload


def ipv6(payload: bytes = b"", next_hdr: int = 6, src: str = "2001:db8::1", dst: str = "2001:db8::2",
         flow_label: int = 0, traffic_class: int = 0, first_word: int | None = None) -> bytes:
    if first_word is None:
        first_word = (6 << 28) | (traffic_class << 20) | flow_label
    return struct.pack("!IHBB16s16s", first_word, len(payload), next_hdr, 64,
                       ipaddress.IPv6Address(src).packed, ipaddress.IPv6Address(dst).packed) + payload


def tcp(sport: int = 1234, dport: int = 80, seq: int = 0, ack: int = 0, flags: int = 0x02,
        payload: bytes = b"", urgent_pointer: int = 0, data_offset: int = 5) -> bytes:
    """A TCP header of 20 bytes whatever `data_offset` (in 32-bit words) says, then `payload`."""
    return struct.pack("!HHIIBBHHH", sport, dport, seq, ack, data_offset << 4, flags, 8192, 0,
                       urgent_pointer) + payload


def ipv6_options(next_hdr: int, payload: bytes = b"", length_units: int = 0) -> bytes:
    """A hop-by-hop, routing or destination-options header of 8 * (length_units + 1) bytes."""
    return bytes([next_hdr, length_units]) + bytes(6 + 8 * length_units) + payload


def ipv6_fragment(next_hdr: int, payload: bytes = b"", offset_units: int = 0, more: bool = False,
                  ident: int = 0) -> bytes:
    """An IPv6 fragment header (offset in 8-byte units), then `payload`."""
    return struct.pack("!BBHI", next_hdr, 0, (offset_units << 3) | int(more), ident) + payload


def udp(sport: int = 5353, dport: int = 53, length: int | None = None, payload: bytes = b"") -> bytes:
    if length is None:
        length = 8 + len(payload)
    return struct.pack("!HHHH", sport, dport, length, 0) + payload


def icmp(icmp_type: int = 8, code: int = 0, payload: bytes = b"\x00\x01\x00\x01") -> bytes:
    return struct.pack("!BBH", icmp_type, code, 0) + payload


def arp() -> bytes:
    return ethernet(bytes(28), eth_type=ETH_ARP, dst="ff:ff:ff:ff:ff:ff")


# Whole frames between two hosts, for tests about rows rather than headers.
def tcp4(dst: str = "10.0.0.2", src: str = "10.0.0.1", sport: int = 1234, dport: int = 80, flags: int = 0x02,
         **ip) -> bytes:
    return ethernet(ipv4(tcp(sport, dport, flags=flags), proto=6, src=src, dst=dst, **ip))


def udp4(dst: str = "10.0.0.2", src: str = "10.0.0.1", sport: int = 5353, dport: int = 53, **ip) -> bytes:
    return ethernet(ipv4(udp(sport, dport), proto=17, src=src, dst=dst, **ip))


def ip6(payload: bytes | None = None, next_hdr: int = 6, dst: str = "2001:db8::2", src: str = "2001:db8::1") -> bytes:
    return ethernet(ipv6(tcp() if payload is None else payload, next_hdr=next_hdr, src=src, dst=dst),
                    eth_type=ETH_IPV6)


@dataclass
class Record:
    """One capture record: `frame` at `ts_sec` + `ts_usec`; `wire_len` defaults to len(frame).

    With `caplen`, only the first `caplen` bytes of `frame` are captured (a short snapshot length),
    while the wire length stays that of the whole frame unless `wire_len` says otherwise.
    """
    frame: bytes
    ts_sec: int = 1_700_000_000
    ts_usec: int = 0
    wire_len: int | None = None
    caplen: int | None = None

    @property
    def captured(self) -> bytes:
        return self.frame if self.caplen is None else self.frame[:self.caplen]


def stamped(frame: bytes, micros: int, wire_len: int | None = None, base_sec: int = 1_700_000_000) -> Record:
    """A record `micros` microseconds (may be negative) after `base_sec`, exact to the microsecond."""
    sec, usec = divmod(base_sec * 1_000_000 + micros, 1_000_000)
    return Record(frame, ts_sec=sec, ts_usec=usec, wire_len=wire_len)


def pcap_bytes(records: Iterable[Record | bytes], linktype: int = LINKTYPE_ETHERNET,
               snaplen: int = 65535) -> bytes:
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, snaplen, linktype)]
    for record in records:
        if isinstance(record, bytes):
            record = Record(record)
        wire_len = len(record.frame) if record.wire_len is None else record.wire_len
        data = record.captured
        out.append(struct.pack("<IIII", record.ts_sec & 0xFFFFFFFF, record.ts_usec, len(data), wire_len))
        out.append(data)
    return b"".join(out)


def write_pcap(path: Path, records: Iterable[Record | bytes], **options) -> bytes:
    """Writes a classic little-endian microsecond pcap file; returns its path as bytes."""
    path.write_bytes(pcap_bytes(records, **options))
    return bytes(path)


def pcapng_bytes(frames: Iterable[tuple[int, bytes]], linktype: int = LINKTYPE_ETHERNET,
                 seconds_resolution: bool = False) -> bytes:
    """A pcapng section with one interface and an enhanced packet block per (time stamp, frame). The
    time stamps count microseconds, or whole seconds with `seconds_resolution` (if_tsresol 0), which
    reaches far beyond what the C library's localtime can convert."""
    def block(kind: int, body: bytes) -> bytes:
        body += b"\0" * (-len(body) % 4)
        length = 12 + len(body)
        return struct.pack("<II", kind, length) + body + struct.pack("<I", length)

    options = struct.pack("<HHB3x", 9, 1, 0) + struct.pack("<HH", 0, 0) if seconds_resolution else b""
    out = [block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
           block(1, struct.pack("<HHI", linktype, 0, 65535) + options)]
    for stamp, frame in frames:
        out.append(block(6, struct.pack("<IIIII", 0, stamp >> 32, stamp & 0xFFFFFFFF, len(frame), len(frame))
                         + frame))
    return b"".join(out)
