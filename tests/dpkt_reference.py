"""An independent reading of capture files, for comparison with read_pcap.

Records come from dpkt's pcap and pcapng header classes, walked here (not through libpcap); frames are
decoded with dpkt's header layouts at the offsets varnel's rules give: the outermost IP header only, no
IPv6 extension headers followed, frames that are not IPv4/IPv6 by their Ethernet type skipped, a frame
too short for its IP header skipped, a layer-4 field read only when all its bytes were captured (else
0), and a non-first IPv4 fragment's payload never read as a layer-4 header.

Where libpcap itself shapes what a reader sees, the walker does as libpcap 1.10 does, and says so:
classic pcap seconds are signed 32-bit; time stamps become microseconds, truncated; a pcapng file
ends where an interface's link type or snapshot length differs from the first interface's; a record
cut short by the end of the file ends the file.
"""

from __future__ import annotations

import socket
import struct
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Iterator

import dpkt
from dpkt import pcap, pcapng

ETH_IPV4, ETH_IPV6 = 0x0800, 0x86DD
ETHERNET_LEN, IPV4_MIN_FRAME, IPV6_FRAME = 14, 34, 54


@dataclass
class CaptureRecord:
    seconds: int
    microseconds: int
    wire_len: int
    frame: bytes


@dataclass
class CaptureFile:
    linktype: int
    records: list[CaptureRecord]


# ---- Records.

def _link_type(value: int) -> int:
    return value & 0x03FFFFFF  # libpcap keeps the upper bits for FCS flags, not the link type


def _signed32(value: int) -> int:
    return value - (1 << 32) if value & 0x80000000 else value


def _read_pcap(data: bytes) -> CaptureFile:
    magic = pcap.FileHdr(data[:pcap.FileHdr.__hdr_len__]).magic  # as read big-endian
    file_header_class = pcap.LEFileHdr if magic in (pcap.PMUDPCT_MAGIC, pcap.PMUDPCT_MAGIC_NANO) else pcap.FileHdr
    file_header = file_header_class(data[:file_header_class.__hdr_len__])
    record_header = pcap.MAGIC_TO_PKT_HDR[magic]
    nanoseconds = magic in (pcap.TCPDUMP_MAGIC_NANO, pcap.PMUDPCT_MAGIC_NANO)
    records = []
    offset = pcap.FileHdr.__hdr_len__
    while offset + record_header.__hdr_len__ <= len(data):
        header = record_header(data[offset:offset + record_header.__hdr_len__])
        offset += record_header.__hdr_len__
        frame = data[offset:offset + header.caplen]
        if len(frame) < header.caplen:
            break
        offset += header.caplen
        fraction = header.tv_usec // 1000 if nanoseconds else header.tv_usec
        records.append(CaptureRecord(_signed32(header.tv_sec), fraction, header.len, frame))
    return CaptureFile(_link_type(file_header.linktype), records)


def _units_per_second(idb: pcapng.InterfaceDescriptionBlock) -> int:
    for option in idb.opts:
        if option.code == pcapng.PCAPNG_OPT_IF_TSRESOL:
            value = option.data[0]
            return 2 ** (value & 0x7F) if value & 0x80 else 10 ** value
    return 1_000_000


def _read_pcapng(data: bytes) -> CaptureFile:
    little = data[8:12] == struct.pack("<I", pcapng.BYTE_ORDER_MAGIC)
    suffix = "LE" if little else ""
    idb_class = getattr(pcapng, "InterfaceDescriptionBlock" + suffix)
    epb_class = getattr(pcapng, "EnhancedPacketBlock" + suffix)
    interfaces: list[tuple[int, int, int]] = []  # (linktype, snaplen, units per second)
    records = []
    offset = 0
    while offset + 8 <= len(data):
        block_type, block_len = struct.unpack("<II" if little else ">II", data[offset:offset + 8])
        block = data[offset:offset + block_len]
        if block_len < 12 or len(block) < block_len:
            break
        offset += block_len
        if block_type == pcapng.PCAPNG_BT_IDB:
            idb = idb_class(block)
            interface = (idb.linktype, idb.snaplen, _units_per_second(idb))
            if interfaces and interface[:2] != interfaces[0][:2]:
                break  # libpcap refuses a second link type or snapshot length
            interfaces.append(interface)
        elif block_type == pcapng.PCAPNG_BT_EPB:
            epb = epb_class(block)
            units = interfaces[epb.iface_id][2]
            stamp = (epb.ts_high << 32) | epb.ts_low
            seconds, fraction = divmod(stamp, units)
            records.append(CaptureRecord(seconds, fraction * 1_000_000 // units, epb.pkt_len,
                                         bytes(epb.pkt_data[:epb.caplen])))
    return CaptureFile(_link_type(interfaces[0][0]) if interfaces else -1, records)


def read_capture(path: Path) -> CaptureFile:
    data = path.read_bytes()
    if data[:4] == struct.pack("<I", pcapng.PCAPNG_BT_SHB):
        return _read_pcapng(data)
    return _read_pcap(data)


# ---- Frames.

def _field_spans(header_class: type) -> dict[str, tuple[int, int]]:
    order = getattr(header_class, "__byte_order__", ">")
    spans, offset = {}, 0
    for name, fmt, _ in header_class.__hdr__:
        size = struct.calcsize(order + fmt)
        spans[name] = (offset, size)
        offset += size
    return spans


def _header(header_class: type, data: bytes):
    """dpkt's `header_class` laid over `data` without its validation, bytes past `data` read as 0;
    with the names of the fields whose bytes were all captured."""
    length = header_class.__hdr_len__
    header = header_class.__new__(header_class)
    dpkt.Packet.unpack(header, data[:length].ljust(length, b"\0"))
    captured = {name for name, (offset, size) in _field_spans(header_class).items() if offset + size <= len(data)}
    return header, captured


def _mac_text(raw: bytes) -> str:
    return ":".join(f"{byte:02x}" for byte in raw)


def _layer4(proto: int, data: bytes, payload_only: bool) -> tuple[dict, int, int, bool]:
    """The protocol group's keys, the two ports and whether both were captured."""
    if proto == 6:
        tcp, captured = _header(dpkt.tcp.TCP, data)
        value = {name: getattr(tcp, name) if name in captured and not payload_only else 0
                 for name in ("sport", "dport", "seq", "ack", "_off_flags")}
        flags = value["_off_flags"] & 0xFF  # the flags byte: dpkt's 9-bit flags add the NS bit
        group = {"protocol_type": "TCP", "tcp_flag": flags, "tcp_seq": value["seq"],
                 "tcp_ack": value["ack"], "urgent": 1 if flags & dpkt.tcp.TH_URG else 0}
        return group, value["sport"], value["dport"], {"sport", "dport"} <= captured
    if proto == 17:
        udp, captured = _header(dpkt.udp.UDP, data)
        value = {name: getattr(udp, name) if name in captured and not payload_only else 0
                 for name in ("sport", "dport", "ulen")}
        return {"protocol_type": "UDP", "udp_length": value["ulen"]}, value["sport"], value["dport"], False
    if proto in (1, 58):
        icmp, captured = _header(dpkt.icmp.ICMP if proto == 1 else dpkt.icmp6.ICMP6, data)
        value = {name: getattr(icmp, name) if name in captured and not payload_only else 0
                 for name in ("type", "code")}
        return {"protocol_type": "ICMP", "icmp_type": value["type"], "icmp_code": value["code"]}, 0, 0, False
    return {"protocol_type": "Others"}, 0, 0, False


def expected_packet(record: CaptureRecord) -> dict | None:
    """The packet dictionary read_pcap must yield for `record`, or None for a skipped frame."""
    frame = record.frame
    if len(frame) < ETHERNET_LEN:
        return None
    eth, _ = _header(dpkt.ethernet.Ethernet, frame)
    packet = {
        "success": True,
        "timestamp": float(record.seconds) + float(record.microseconds) / 1000000.0,
        "date_time": time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(record.seconds)),
        "frame_length": record.wire_len,
        "src_mac": _mac_text(eth.src),
        "dst_mac": _mac_text(eth.dst),
    }
    if eth.type == ETH_IPV4 and len(frame) >= IPV4_MIN_FRAME:
        ip, _ = _header(dpkt.ip.IP, frame[ETHERNET_LEN:])
        non_first_fragment = ip.offset != 0
        l4 = ETHERNET_LEN + 4 * ip.hl  # a header length below 5 words is used as it is
        group, sport, dport, ports_captured = _layer4(ip.p, frame[l4:], non_first_fragment)
        land = int(ip.p == 6 and ports_captured and ip.src == ip.dst and sport == dport)
        packet.update(ip_proto=ip.p, ip_id=ip.id, wrong_fragment=int(bool(ip.mf) or non_first_fragment),
                      land=land, src_port=sport, dst_port=dport, version="IPv4",
                      src_ip=socket.inet_ntoa(ip.src), dst_ip=socket.inet_ntoa(ip.dst))
    elif eth.type == ETH_IPV6 and len(frame) >= IPV6_FRAME:
        ip6, _ = _header(dpkt.ip6.IP6, frame[ETHERNET_LEN:])
        group, sport, dport, _ = _layer4(ip6.nxt, frame[IPV6_FRAME:], False)
        packet.update(ip_proto=ip6.nxt, ip_id=ip6.flow, wrong_fragment=0, land=0, src_port=sport,
                      dst_port=dport, version="IPv6", src_ip=socket.inet_ntop(socket.AF_INET6, ip6.src),
                      dst_ip=socket.inet_ntop(socket.AF_INET6, ip6.dst))
    else:
        return None
    packet.update(group)
    return packet


def expected_packets(capture: CaptureFile) -> Iterator[dict]:
    for record in capture.records:
        packet = expected_packet(record)
        if packet is not None:
            yield packet
