"""dpkt-based equivalents of `read_pcap` and `FeatureExtractor().process_pcap`, for comparison.

Written as a careful Python programmer would write them with dpkt: dpkt decodes the headers, the
dictionaries are built as literals, and the last second's date text is reused. Both produce exactly
what the native modules produce, including for frames cut inside their headers (a frame too short
for its IP header is skipped; a layer-4 field is read only when all its bytes were captured, else
it is 0) and for later IPv4 fragments (no layer-4 header: ports and the protocol's fields are 0).
"""

from __future__ import annotations

import socket
import time
from itertools import islice
from typing import Iterator

import dpkt

DATE_FORMAT = "%Y-%m-%d %H:%M:%S"
ETH_IPV4 = dpkt.ethernet.ETH_TYPE_IP
ETH_IPV6 = dpkt.ethernet.ETH_TYPE_IP6
IPV4_END = 14 + 20  # the captured bytes a frame needs to be decoded as IPv4
IPV6_END = 14 + 40
IPV6_L4 = 14 + 40
WINDOW = 2.0

PROTOCOL_NAMES = {6: "TCP", 17: "UDP", 1: "ICMP", 58: "ICMP"}


def pcap_records(path: bytes | str, limit: int | None = None) -> Iterator[tuple[dpkt.pcap.PktHdr, bytes]]:
    """(record header, captured bytes) of a classic pcap file, as dpkt.pcap.Reader reads them; the
    Reader itself yields only the time stamp and the bytes, and the wire length is needed too."""
    with open(path, "rb") as file:
        buf = file.read(dpkt.pcap.FileHdr.__hdr_len__)
        magic = dpkt.pcap.FileHdr(buf).magic
        if magic == dpkt.pcap.PMUDPCT_MAGIC:
            file_header, header_type = dpkt.pcap.LEFileHdr(buf), dpkt.pcap.LEPktHdr
        elif magic == dpkt.pcap.TCPDUMP_MAGIC:
            file_header, header_type = dpkt.pcap.FileHdr(buf), dpkt.pcap.PktHdr
        else:
            raise ValueError("not a microsecond pcap file")
        if file_header.linktype & 0xFFFF != dpkt.pcap.DLT_EN10MB:  # only Ethernet frames are decoded
            return
        header_len = header_type.__hdr_len__

        def records():
            read = file.read
            while True:
                buf = read(header_len)
                if len(buf) < header_len:
                    return
                header = header_type(buf)
                frame = read(header.caplen)
                if len(frame) < header.caplen:  # a truncated file ends before its last record
                    return
                if header.tv_sec >= 1 << 31:  # the field is signed, as libpcap reads it
                    header.tv_sec -= 1 << 32
                yield header, frame

        yield from islice(records(), limit)


# Layer-4 fields straight from the frame, for a header dpkt could not decode (partly captured, or
# a length field too small): each field only when its bytes are there.
def _be(frame: bytes, offset: int, size: int) -> int:
    end = offset + size
    return int.from_bytes(frame[offset:end]) if end <= len(frame) else 0


def _ports(frame: bytes, l4: int) -> tuple[int, int]:
    return _be(frame, l4, 2), _be(frame, l4 + 2, 2)


def _tcp_fields(segment, frame: bytes, l4: int) -> tuple[int, int, int, int, int, bool]:
    """sport, dport, flags, seq, ack, both ports captured."""
    if isinstance(segment, dpkt.tcp.TCP):
        return segment.sport, segment.dport, segment.flags & 0xFF, segment.seq, segment.ack, True
    sport, dport = _ports(frame, l4)
    return sport, dport, _be(frame, l4 + 13, 1), _be(frame, l4 + 4, 4), _be(frame, l4 + 8, 4), l4 + 4 <= len(frame)


def _udp_fields(datagram, frame: bytes, l4: int) -> tuple[int, int, int]:
    if isinstance(datagram, dpkt.udp.UDP):
        return datagram.sport, datagram.dport, datagram.ulen
    sport, dport = _ports(frame, l4)
    return sport, dport, _be(frame, l4 + 4, 2)


def _icmp_fields(message, frame: bytes, l4: int) -> tuple[int, int]:
    if isinstance(message, (dpkt.icmp.ICMP, dpkt.icmp6.ICMP6)):
        return message.type, message.code
    return _be(frame, l4, 1), _be(frame, l4 + 1, 1)


def _ethernet(frame: bytes) -> dpkt.ethernet.Ethernet:
    """dpkt's decoding of a frame; one whose inner layers dpkt fails on keeps only its Ethernet header."""
    try:
        return dpkt.ethernet.Ethernet(frame)
    except Exception:
        eth = dpkt.ethernet.Ethernet(frame[:14])
        eth.data = b""
        return eth


def _ip_layer(frame: bytes):
    """(Ethernet, IPv4 or IPv6 header, layer-4 offset) of a frame, or None for a frame to skip."""
    if len(frame) < 14:
        return None
    eth_type = int.from_bytes(frame[12:14])
    if eth_type == ETH_IPV4:
        if len(frame) < IPV4_END:
            return None
        eth = _ethernet(frame)
        ip = eth.data
        if isinstance(ip, dpkt.ip.IP):
            return eth, ip, 14 + 4 * ip.hl
        # dpkt refuses a header length below 5 words (or failed further in); the fixed header still
        # holds every IP field.
        ip = dpkt.ip.IP(b"\x45" + frame[15:IPV4_END])
        ip.data = b""
        return eth, ip, 14 + 4 * (frame[14] & 0x0F)
    if eth_type == ETH_IPV6:
        if len(frame) < IPV6_END:
            return None
        eth = _ethernet(frame)
        ip = eth.data
        if not isinstance(ip, dpkt.ip6.IP6):  # malformed extension headers: the fixed header suffices
            ip = dpkt.ip6.IP6(frame[14:20] + b"\x3b" + frame[21:IPV6_END])  # 59: no next header
            ip.nxt = frame[20]
            ip.data = b""
        return eth, ip, IPV6_L4
    return None


def packet_dicts(path: bytes | str, limit: int | None = None) -> Iterator[dict]:
    """The packet dictionaries of `read_pcap`, from at most `limit` records."""
    date_second, date_text = None, None
    for header, frame in pcap_records(path, limit):
        layers = _ip_layer(frame)
        if layers is None:
            continue
        eth, ip, l4 = layers
        second = header.tv_sec
        if second != date_second:
            date_second, date_text = second, time.strftime(DATE_FORMAT, time.localtime(second))
        sport = dport = land = wrong_fragment = 0
        if eth.type == ETH_IPV4:
            proto = ip.p
            wrong_fragment = 1 if ip.mf or ip.offset else 0
            later_fragment = ip.offset != 0
            packet = {
                "success": True, "timestamp": header.tv_sec + header.tv_usec / 1e6, "date_time": date_text,
                "frame_length": header.len, "src_mac": eth.src.hex(":"), "dst_mac": eth.dst.hex(":"),
                "ip_proto": proto, "ip_id": ip.id, "wrong_fragment": wrong_fragment, "land": 0,
                "src_port": 0, "dst_port": 0, "version": "IPv4",
                "src_ip": socket.inet_ntoa(ip.src), "dst_ip": socket.inet_ntoa(ip.dst),
            }
        else:
            proto = ip.nxt  # extension headers are not followed
            later_fragment = False
            packet = {
                "success": True, "timestamp": header.tv_sec + header.tv_usec / 1e6, "date_time": date_text,
                "frame_length": header.len, "src_mac": eth.src.hex(":"), "dst_mac": eth.dst.hex(":"),
                "ip_proto": proto, "ip_id": ip.flow, "wrong_fragment": 0, "land": 0,
                "src_port": 0, "dst_port": 0, "version": "IPv6",
                "src_ip": socket.inet_ntop(socket.AF_INET6, ip.src),
                "dst_ip": socket.inet_ntop(socket.AF_INET6, ip.dst),
            }
        if proto == 6:
            if later_fragment:
                flags = seq = ack = 0
            else:
                sport, dport, flags, seq, ack, ports_captured = _tcp_fields(ip.data, frame, l4)
                if eth.type == ETH_IPV4 and ports_captured and ip.src == ip.dst and sport == dport:
                    land = 1
            packet["land"] = land
            packet["src_port"] = sport
            packet["dst_port"] = dport
            packet["protocol_type"] = "TCP"
            packet["tcp_flag"] = flags
            packet["tcp_seq"] = seq
            packet["tcp_ack"] = ack
            packet["urgent"] = (flags >> 5) & 1
        elif proto == 17:
            length = 0
            if not later_fragment:
                sport, dport, length = _udp_fields(ip.data, frame, l4)
            packet["src_port"] = sport
            packet["dst_port"] = dport
            packet["protocol_type"] = "UDP"
            packet["udp_length"] = length
        elif proto == 1 or proto == 58:
            icmp_type = icmp_code = 0
            if not later_fragment:
                icmp_type, icmp_code = _icmp_fields(ip.data, frame, l4)
            packet["protocol_type"] = "ICMP"
            packet["icmp_type"] = icmp_type
            packet["icmp_code"] = icmp_code
        else:
            packet["protocol_type"] = "Others"
        yield packet


def feature_rows(path: bytes | str, limit: int | None = None) -> list[dict]:
    """The rows of `FeatureExtractor().process_pcap`, from at most `limit` records. A destination
    is counted while its packets come at most 2.0 s apart; IPv6 destinations are keyed by their own
    16 bytes, apart from the 4-byte IPv4 ones."""
    rows = []
    hosts: dict[bytes, tuple[int, float]] = {}
    for header, frame in pcap_records(path, limit):
        layers = _ip_layer(frame)
        if layers is None:
            continue
        eth, ip, l4 = layers
        timestamp = header.tv_sec + header.tv_usec / 1e6
        sport = dport = land = wrong_fragment = 0
        if eth.type == ETH_IPV4:
            proto = ip.p
            if ip.mf or ip.offset:
                wrong_fragment = 1
            if ip.offset == 0 and (proto == 6 or proto == 17):
                if proto == 6:
                    sport, dport, _, _, _, ports_captured = _tcp_fields(ip.data, frame, l4)
                    if ports_captured and ip.src == ip.dst and sport == dport:
                        land = 1
                else:
                    sport, dport, _ = _udp_fields(ip.data, frame, l4)
        else:
            proto = ip.nxt
            if proto == 6:
                sport, dport, _, _, _, _ = _tcp_fields(ip.data, frame, l4)
            elif proto == 17:
                sport, dport, _ = _udp_fields(ip.data, frame, l4)
        destination = ip.dst
        state = hosts.get(destination)
        count = state[0] + 1 if state is not None and timestamp - state[1] <= WINDOW else 1
        hosts[destination] = (count, timestamp)
        rows.append({
            "timestamp": timestamp, "src_port": sport, "dst_port": dport,
            "protocol_type": "TCP" if proto == 6 else "UDP" if proto == 17 else "ICMP",
            "src_bytes": header.len, "land": land, "wrong_fragment": wrong_fragment, "count": count,
        })
    return rows
