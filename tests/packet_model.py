"""An independent reading of capture files and of the packet rules, in plain Python.

The native reader is checked against this on real captures and on generated frames. It is written
from the rules (fixed offsets, short frames, fragments, one record per stream), not from the C++.
"""

from __future__ import annotations

import socket
import struct
import time
from dataclasses import dataclass
from pathlib import Path

DATE_FORMAT = "%Y-%m-%d %H:%M:%S"


@dataclass
class Captured:
    """One frame as libpcap hands it over: time stamp in seconds and microseconds, wire length, bytes."""
    ts_sec: int
    ts_usec: int
    wire_len: int
    data: bytes


# ---- Capture files: classic pcap (both byte orders, micro- and nanosecond) and pcapng.

PCAP_MAGICS = {
    b"\xd4\xc3\xb2\xa1": ("<", 1), b"\xa1\xb2\xc3\xd4": (">", 1),
    b"\x4d\x3c\xb2\xa1": ("<", 1000), b"\xa1\xb2\x3c\x4d": (">", 1000),
}
PCAPNG_SECTION = 0x0A0D0D0A


def read_capture(path: Path) -> tuple[int, list[Captured]]:
    """The link type of the file's first interface and every frame in it, in file order."""
    data = Path(path).read_bytes()
    if data[:4] in PCAP_MAGICS:
        return _read_pcap(data)
    if struct.unpack("<I", data[:4])[0] == PCAPNG_SECTION:
        return _read_pcapng(data)
    raise ValueError(f"{path}: not a capture file")


def _read_pcap(data: bytes) -> tuple[int, list[Captured]]:
    order, ticks_per_usec = PCAP_MAGICS[data[:4]]
    linktype = struct.unpack_from(order + "I", data, 20)[0] & 0x0FFFFFFF
    frames, offset = [], 24
    while offset + 16 <= len(data):
        # libpcap 1.10 takes the 32-bit seconds as signed.
        ts_sec, ts_frac, caplen, wire_len = struct.unpack_from(order + "iIII", data, offset)
        offset += 16
        if offset + caplen > len(data):
            break  # cut inside the record: libpcap reports an error here
        frames.append(Captured(ts_sec, ts_frac // ticks_per_usec, wire_len, data[offset:offset + caplen]))
        offset += caplen
    return linktype, frames


@dataclass
class _Interface:
    linktype: int
    snaplen: int
    ticks_per_second: int = 1_000_000
    offset_seconds: int = 0


def _read_pcapng(data: bytes) -> tuple[int, list[Captured]]:
    interfaces: list[_Interface] = []
    frames: list[Captured] = []
    order, offset = "<", 0
    while offset + 12 <= len(data):
        block_type = struct.unpack_from(order + "I", data, offset)[0]
        if block_type == PCAPNG_SECTION:
            order = "<" if data[offset + 8:offset + 12] == b"\x4d\x3c\x2b\x1a" else ">"
            interfaces = []
        block_len = struct.unpack_from(order + "I", data, offset + 4)[0]
        body = data[offset + 8:offset + block_len - 4]
        if block_type == 1:
            interfaces.append(_interface(order, body))
        elif block_type == 6:  # enhanced packet
            iface, ts_high, ts_low, caplen, wire_len = struct.unpack_from(order + "IIIII", body)
            frames.append(_stamped(interfaces[iface], ts_high, ts_low, wire_len, body[20:20 + caplen]))
        elif block_type == 3:  # simple packet: no time stamp
            wire_len = struct.unpack_from(order + "I", body)[0]
            caplen = min(wire_len, interfaces[0].snaplen or wire_len)
            frames.append(Captured(0, 0, wire_len, body[4:4 + caplen]))
        elif block_type == 2:  # obsolete packet block
            iface, _, ts_high, ts_low, caplen, wire_len = struct.unpack_from(order + "HHIIII", body)
            frames.append(_stamped(interfaces[iface], ts_high, ts_low, wire_len, body[20:20 + caplen]))
        offset += block_len
    return (interfaces[0].linktype if interfaces else -1), frames


def _interface(order: str, body: bytes) -> _Interface:
    linktype, _, snaplen = struct.unpack_from(order + "HHI", body)
    iface = _Interface(linktype, snaplen)
    offset = 8
    while offset + 4 <= len(body):
        code, length = struct.unpack_from(order + "HH", body, offset)
        value = body[offset + 4:offset + 4 + length]
        if code == 0:
            break
        if code == 9:  # if_tsresol: a power of ten, or of two with the top bit set
            exponent = value[0] & 0x7F
            iface.ticks_per_second = 2 ** exponent if value[0] & 0x80 else 10 ** exponent
        elif code == 14:  # if_tsoffset
            iface.offset_seconds = struct.unpack(order + "q", value)[0]
        offset += 4 + (length + 3) // 4 * 4
    return iface


def _stamped(iface: _Interface, ts_high: int, ts_low: int, wire_len: int, frame: bytes) -> Captured:
    ticks = (ts_high << 32) | ts_low
    seconds, fraction = divmod(ticks, iface.ticks_per_second)
    usec = fraction * 1_000_000 // iface.ticks_per_second
    return Captured(seconds + iface.offset_seconds, usec, wire_len, frame)


# ---- The packet rules.

GROUP_KEYS = {
    "TCP": ("tcp_flag", "tcp_seq", "tcp_ack", "urgent"),
    "UDP": ("udp_length",),
    "ICMP": ("icmp_type", "icmp_code"),
    "Others": (),
}
PROTOCOL_NAMES = {6: "TCP", 17: "UDP", 1: "ICMP", 58: "ICMP"}


def mac_text(raw: bytes) -> str:
    return ":".join(f"{byte:02x}" for byte in raw)


class Stream:
    """One reader's view of a stream of frames: what it yields for each, or None for a skipped frame.

    Protocol group values live on between frames, as they do in the one record a reader decodes into.
    """

    def __init__(self) -> None:
        self.group = {key: 0 for keys in GROUP_KEYS.values() for key in keys}

    def packet(self, frame: Captured) -> dict | None:
        data = frame.data
        if len(data) < 14:
            return None
        eth_type = int.from_bytes(data[12:14])
        if eth_type == 0x0800 and len(data) >= 34:
            ip = self._ipv4(data)
        elif eth_type == 0x86DD and len(data) >= 54:
            ip = self._ipv6(data)
        else:
            return None
        result = {
            "success": True,
            "timestamp": frame.ts_sec + frame.ts_usec / 1_000_000,
            "date_time": time.strftime(DATE_FORMAT, time.localtime(frame.ts_sec)),
            "frame_length": frame.wire_len,
            "src_mac": mac_text(data[6:12]),
            "dst_mac": mac_text(data[0:6]),
            "ip_proto": ip["proto"],
            "ip_id": ip["id"],
            "wrong_fragment": int(ip["fragment"]),
            "land": 0,
            "src_port": 0,
            "dst_port": 0,
            "version": ip["version"],
            "src_ip": ip["src"],
            "dst_ip": ip["dst"],
        }
        protocol = PROTOCOL_NAMES.get(ip["proto"], "Others")
        self._layer4(data, ip, protocol, result)
        result["protocol_type"] = protocol
        for key in GROUP_KEYS[protocol]:
            result[key] = self.group[key]
        return result

    @staticmethod
    def _ipv4(data: bytes) -> dict:
        frag = int.from_bytes(data[20:22])
        return {
            "version": "IPv4", "proto": data[23], "id": int.from_bytes(data[18:20]),
            "src": socket.inet_ntoa(data[26:30]), "dst": socket.inet_ntoa(data[30:34]),
            "l4": 14 + 4 * (data[14] & 0x0F),
            "fragment": bool(frag & 0x2000 or frag & 0x1FFF), "later_fragment": bool(frag & 0x1FFF),
        }

    @staticmethod
    def _ipv6(data: bytes) -> dict:
        return {
            "version": "IPv6", "proto": data[20], "id": int.from_bytes(data[14:18]) & 0xFFFFF,
            "src": socket.inet_ntop(socket.AF_INET6, data[22:38]),
            "dst": socket.inet_ntop(socket.AF_INET6, data[38:54]),
            "l4": 54, "fragment": False, "later_fragment": False,
        }

    def _layer4(self, data: bytes, ip: dict, protocol: str, result: dict) -> None:
        if ip["later_fragment"]:  # payload, not a header: the group reads as zeros
            self.group.update(dict.fromkeys(GROUP_KEYS[protocol], 0))
            return
        l4 = ip["l4"]

        def field(offset: int, size: int) -> int:  # 0 unless every byte of the field was captured
            end = l4 + offset + size
            return int.from_bytes(data[l4 + offset:end]) if end <= len(data) else 0

        if protocol in ("TCP", "UDP"):
            result["src_port"], result["dst_port"] = field(0, 2), field(2, 2)
        if protocol == "TCP":
            flags = field(13, 1)
            self.group.update(tcp_flag=flags, tcp_seq=field(4, 4), tcp_ack=field(8, 4), urgent=flags >> 5 & 1)
            ports_captured = l4 + 4 <= len(data)
            if (ip["version"] == "IPv4" and ports_captured and ip["src"] == ip["dst"]
                    and result["src_port"] == result["dst_port"]):
                result["land"] = 1
        elif protocol == "UDP":
            self.group["udp_length"] = field(4, 2)
        elif protocol == "ICMP":
            self.group.update(icmp_type=field(0, 1), icmp_code=field(1, 1))


def expected_packets(frames: list[Captured]) -> list[dict]:
    """The dictionaries a reader yields for `frames`, in order."""
    stream = Stream()
    return [packet for packet in map(stream.packet, frames) if packet is not None]
