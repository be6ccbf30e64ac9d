"""dpkt-based equivalents of `read_pcap` and `FeatureExtractor().process_pcap`: the benchmark's
competitor and the test suite's independent reading of capture files.

Written as a careful Python programmer would write them with dpkt: dpkt decodes the headers, the
dictionaries are built as literals, and the last second's date text is reused. Both produce exactly
what the native modules produce, including for frames cut inside their headers (a frame too short
for its IP header is skipped; a layer-4 field is read only when all its bytes were captured, else
it is 0) and for later IPv4 fragments (no layer-4 header: ports and the protocol's fields are 0).

Records come from dpkt's pcap and pcapng header classes, walked here rather than through libpcap.
Where libpcap itself shapes what a reader sees, the walker does as libpcap 1.10 does: classic pcap
seconds are signed 32-bit; time stamps become microseconds, truncated; only files of the link types
varnel decodes give frames; a record cut short by the end of the file ends the file; a pcapng file ends where an
interface's link type or snapshot length differs from the first interface's.
"""

from __future__ import annotations

import socket
import struct
import time
from itertools import islice
from typing import Iterator

import dpkt
import dpkt.loopback
import dpkt.sll
import dpkt.sll2
from dpkt import pcap, pcapng

DATE_FORMAT = "%Y-%m-%d %H:%M:%S"
ETH_IPV4 = dpkt.ethernet.ETH_TYPE_IP
ETH_IPV6 = dpkt.ethernet.ETH_TYPE_IP6
WINDOW = 2.0

PROTOCOL_NAMES = {6: "TCP", 17: "UDP", 1: "ICMP", 58: "ICMP"}

# libpcap's link types (DLT values) that varnel decodes; raw IP is 12 or 14 depending on the platform.
LINK_NULL, LINK_ETHERNET, LINK_RAW, LINK_RAW_14, LINK_LOOP = 0, 1, 12, 14, 108
LINK_SLL, LINK_IPV4, LINK_IPV6, LINK_SLL2 = 113, 228, 229, 276
LINK_TYPES = {LINK_NULL, LINK_ETHERNET, LINK_RAW, LINK_RAW_14, LINK_LOOP, LINK_SLL, LINK_IPV4, LINK_IPV6, LINK_SLL2}
LINKTYPE_RAW = 101  # what a file says for raw IP; libpcap reports it as DLT_RAW
VLAN_TYPES = {0x8100, 0x88A8, 0x9100}
MAX_VLAN_TAGS = 2
AF_INET = {2}
AF_INET6 = {10, 24, 28, 30}  # Linux, and the BSDs' different numbers
MICROSECOND_MAGICS = (pcap.TCPDUMP_MAGIC, pcap.PMUDPCT_MAGIC)  # as read big-endian
NANOSECOND_MAGICS = (pcap.TCPDUMP_MAGIC_NANO, pcap.PMUDPCT_MAGIC_NANO)
PCAPNG_SECTION = struct.pack("<I", pcapng.PCAPNG_BT_SHB)


def _link_type(value: int) -> int:
    value &= 0x03FFFFFF  # libpcap keeps the upper bits for FCS flags, not the link type
    return LINK_RAW if value == LINKTYPE_RAW else value


def linked_records(path: bytes | str, limit: int | None = None) -> Iterator[tuple]:
    """(link type, record header, captured bytes) of every record of a capture file of a link type
    varnel decodes, at most `limit`. The header has the time stamp in `tv_sec` and `tv_usec` and the
    wire length in `len`."""
    with open(path, "rb") as file:
        if file.read(4) == PCAPNG_SECTION:
            file.seek(0)
            yield from islice(_pcapng_records(file.read()), limit)
            return
        file.seek(0)
        yield from islice(_pcap_records(file), limit)


def records(path: bytes | str, limit: int | None = None) -> Iterator[tuple]:
    """(record header, captured bytes) of every record, as linked_records gives them."""
    for _, header, frame in linked_records(path, limit):
        yield header, frame


def _pcap_records(file) -> Iterator[tuple[int, dpkt.pcap.PktHdr, bytes]]:
    """dpkt.pcap.Reader's walk, which yields only the time stamp and the bytes: the wire length is
    needed too."""
    buf = file.read(pcap.FileHdr.__hdr_len__)
    magic = pcap.FileHdr(buf).magic
    if magic not in MICROSECOND_MAGICS + NANOSECOND_MAGICS:
        raise ValueError("not a pcap file")
    little_endian = magic in (pcap.PMUDPCT_MAGIC, pcap.PMUDPCT_MAGIC_NANO)
    file_header = (pcap.LEFileHdr if little_endian else pcap.FileHdr)(buf)
    link = _link_type(file_header.linktype)
    if link not in LINK_TYPES:
        return
    header_type = pcap.LEPktHdr if little_endian else pcap.PktHdr
    # Writers of versions 2.0 to 2.2 put the wire length before the captured one; 2.3 did either.
    swapped_lengths = file_header.v_major == 2 and file_header.v_minor < 3
    maybe_swapped_lengths = file_header.v_major == 2 and file_header.v_minor == 3
    header_len = header_type.__hdr_len__
    nanoseconds = magic in NANOSECOND_MAGICS
    read = file.read
    while True:
        buf = read(header_len)
        if len(buf) < header_len:
            return
        header = header_type(buf)
        if swapped_lengths or (maybe_swapped_lengths and header.caplen > header.len):
            header.caplen, header.len = header.len, header.caplen
        frame = read(header.caplen)
        if len(frame) < header.caplen:  # a truncated file ends before its last record
            return
        if header.tv_sec >= 1 << 31:  # the field is signed, as libpcap reads it
            header.tv_sec -= 1 << 32
        if nanoseconds:
            header.tv_usec //= 1000
        yield link, header, frame


class _Stamp:
    """The part of a pcap record header a pcapng packet block gives."""
    __slots__ = ("tv_sec", "tv_usec", "len")

    def __init__(self, tv_sec: int, tv_usec: int, wire_len: int) -> None:
        self.tv_sec, self.tv_usec, self.len = tv_sec, tv_usec, wire_len


def _pcapng_records(data: bytes) -> Iterator[tuple[int, _Stamp, bytes]]:
    little = data[8:12] == struct.pack("<I", pcapng.BYTE_ORDER_MAGIC)
    suffix = "LE" if little else ""
    idb_class = getattr(pcapng, "InterfaceDescriptionBlock" + suffix)
    epb_class = getattr(pcapng, "EnhancedPacketBlock" + suffix)
    interfaces: list[tuple[int, int, int, int]] = []  # link type, snapshot length, units per second, offset
    offset = 0
    while offset + 8 <= len(data):
        block_type, block_len = struct.unpack("<II" if little else ">II", data[offset:offset + 8])
        block = data[offset:offset + block_len]
        if block_len < 12 or len(block) < block_len:
            return
        if block_type in (pcapng.PCAPNG_BT_SPB, pcapng.PCAPNG_BT_PB) or (block_type == pcapng.PCAPNG_BT_SHB
                                                                          and offset):
            raise ValueError("simple or obsolete packet blocks, or a second section: not walked here")
        offset += block_len
        if block_type == pcapng.PCAPNG_BT_IDB:
            idb = idb_class(block)
            interface = (idb.linktype, idb.snaplen, *_time_options(idb, "<" if little else ">"))
            if interfaces and interface[:2] != interfaces[0][:2]:
                return  # libpcap refuses a second link type or snapshot length
            if _link_type(idb.linktype) not in LINK_TYPES:
                return
            interfaces.append(interface)
        elif block_type == pcapng.PCAPNG_BT_EPB:
            epb = epb_class(block)
            link, _, units, offset_seconds = interfaces[epb.iface_id]
            seconds, fraction = divmod((epb.ts_high << 32) | epb.ts_low, units)
            yield (_link_type(link), _Stamp(seconds + offset_seconds, fraction * 1_000_000 // units, epb.pkt_len),
                   bytes(epb.pkt_data[:epb.caplen]))


def _time_options(idb, byte_order: str) -> tuple[int, int]:
    """Time stamp units per second and offset in seconds of an interface."""
    units, offset_seconds = 1_000_000, 0
    for option in idb.opts:
        if option.code == pcapng.PCAPNG_OPT_IF_TSRESOL:
            value = option.data[0]
            units = 2 ** (value & 0x7F) if value & 0x80 else 10 ** value
        elif option.code == pcapng.PCAPNG_OPT_IF_TSOFFSET:
            offset_seconds = struct.unpack(byte_order + "q", option.data)[0]
    return units, offset_seconds


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


def _header(cls, data: bytes):
    """dpkt's reading of the fixed header fields of `cls` at the start of `data`, its payload left alone."""
    packet = cls.__new__(cls)
    dpkt.Packet.unpack(packet, data[:cls.__hdr_len__])
    return packet


def _mac(address: bytes) -> str:
    return address.hex(":")


def _by_type(frame: bytes, eth_type: int, end: int, decode_vlan: bool) -> tuple[int, int] | None:
    """(IP version, network offset) after a header ending at `end` whose protocol is `eth_type`,
    through at most two VLAN tags when they are decoded; None for a frame to skip."""
    for _ in range(MAX_VLAN_TAGS + 1):
        if eth_type not in VLAN_TYPES:
            break
        if not decode_vlan or end + 4 > len(frame):
            return None
        eth_type = _header(dpkt.ethernet.VLANtag8021Q, frame[end:end + 4]).type
        end += 4
    else:
        return None  # a third tag
    if eth_type == ETH_IPV4:
        return 4, end
    if eth_type == ETH_IPV6:
        return 6, end
    return None


def _family(family: int) -> int | None:
    return 4 if family in AF_INET else 6 if family in AF_INET6 else None


def _network_start(frame: bytes, link: int, decode_vlan: bool) -> tuple[int, int, str, str] | None:
    """(IP version, network offset, source MAC, destination MAC) of a frame; None for a frame to skip."""
    if link == LINK_ETHERNET:
        if len(frame) < 14:
            return None
        eth = _header(dpkt.ethernet.Ethernet, frame)
        start = _by_type(frame, eth.type, 14, decode_vlan)
        return start and (*start, _mac(eth.src), _mac(eth.dst))
    if link in (LINK_SLL, LINK_SLL2):
        cls, size = (dpkt.sll.SLL, 16) if link == LINK_SLL else (dpkt.sll2.SLL2, 20)
        if len(frame) < size:
            return None
        cooked = _header(cls, frame)
        start = _by_type(frame, cooked.ethtype, size, decode_vlan)
        return start and (*start, _mac(cooked.hdr[:6]) if cooked.hlen == 6 else "", "")
    if link in (LINK_RAW, LINK_RAW_14, LINK_IPV4, LINK_IPV6):
        if not frame:
            return None
        version = {LINK_IPV4: 4, LINK_IPV6: 6}.get(link, frame[0] >> 4)
        return (version, 0, "", "") if version in (4, 6) else None
    if link in (LINK_NULL, LINK_LOOP):
        if len(frame) < 4:
            return None
        if link == LINK_LOOP:
            version = _family(int.from_bytes(frame[:4], "big"))
        else:  # the capturing host's byte order, which the file does not say
            family = _header(dpkt.loopback.Loopback, frame).family
            version = _family(family) or _family(int.from_bytes(family.to_bytes(4, "little"), "big"))
        return (version, 4, "", "") if version else None
    return None


def _ip_layer(frame: bytes, link: int = LINK_ETHERNET, decode_vlan: bool = False):
    """(source MAC, destination MAC, IPv4 or IPv6 header, layer-4 offset, whether IPv4) of a frame,
    or None for a frame to skip."""
    if link == LINK_ETHERNET and len(frame) >= 14 and int.from_bytes(frame[12:14]) in (ETH_IPV4, ETH_IPV6):
        # The common case, as a dpkt user writes it: the whole frame in one go.
        eth = _ethernet(frame)
        start = (4 if eth.type == ETH_IPV4 else 6, 14, _mac(eth.src), _mac(eth.dst))
        ip = eth.data
    else:
        start = _network_start(frame, link, decode_vlan)
        if start is None:
            return None
        ip = None
    version, n, src_mac, dst_mac = start
    if version == 4:
        if len(frame) < n + 20:
            return None
        if ip is None:
            ip = _decoded(dpkt.ip.IP, frame[n:])
        if isinstance(ip, dpkt.ip.IP):
            return src_mac, dst_mac, ip, n + 4 * ip.hl, True
        # dpkt refuses a header length below 5 words (or failed further in); the fixed header still
        # holds every IP field.
        ip = dpkt.ip.IP(b"\x45" + frame[n + 1:n + 20])
        ip.data = b""
        return src_mac, dst_mac, ip, n + 4 * (frame[n] & 0x0F), True
    if len(frame) < n + 40:
        return None
    if ip is None:
        ip = _decoded(dpkt.ip6.IP6, frame[n:])
    if not isinstance(ip, dpkt.ip6.IP6):  # malformed extension headers: the fixed header suffices
        ip = dpkt.ip6.IP6(frame[n:n + 6] + b"\x3b" + frame[n + 7:n + 40])  # 59: no next header
        ip.nxt = frame[n + 6]
        ip.data = b""
    return src_mac, dst_mac, ip, n + 40, False


def _decoded(cls, data: bytes):
    try:
        return cls(data)
    except Exception:
        return None


def packet_dicts(path: bytes | str, limit: int | None = None, decode_vlan: bool = False) -> Iterator[dict]:
    """The packet dictionaries of `read_pcap` (with `decode_vlan`, of `varnel.read_packets`), from at
    most `limit` records."""
    date_second, date_text = None, None
    for link, header, frame in linked_records(path, limit):
        layers = _ip_layer(frame, link, decode_vlan)
        if layers is None:
            continue
        src_mac, dst_mac, ip, l4, is_v4 = layers
        second = header.tv_sec
        if second != date_second:
            date_second, date_text = second, time.strftime(DATE_FORMAT, time.localtime(second))
        sport = dport = land = wrong_fragment = 0
        if is_v4:
            proto = ip.p
            wrong_fragment = 1 if ip.mf or ip.offset else 0
            later_fragment = ip.offset != 0
            packet = {
                "success": True, "timestamp": header.tv_sec + header.tv_usec / 1e6, "date_time": date_text,
                "frame_length": header.len, "src_mac": src_mac, "dst_mac": dst_mac,
                "ip_proto": proto, "ip_id": ip.id, "wrong_fragment": wrong_fragment, "land": 0,
                "src_port": 0, "dst_port": 0, "version": "IPv4",
                "src_ip": socket.inet_ntoa(ip.src), "dst_ip": socket.inet_ntoa(ip.dst),
            }
        else:
            proto = ip.nxt  # extension headers are not followed
            later_fragment = False
            packet = {
                "success": True, "timestamp": header.tv_sec + header.tv_usec / 1e6, "date_time": date_text,
                "frame_length": header.len, "src_mac": src_mac, "dst_mac": dst_mac,
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
                if is_v4 and ports_captured and ip.src == ip.dst and sport == dport:
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


def feature_rows(path: bytes | str, limit: int | None = None, decode_vlan: bool = False) -> list[dict]:
    """The rows of `FeatureExtractor().process_pcap`, from at most `limit` records. A destination
    is counted while its packets come at most 2.0 s apart; IPv6 destinations are keyed by their own
    16 bytes, apart from the 4-byte IPv4 ones."""
    rows = []
    hosts: dict[bytes, tuple[int, float]] = {}
    for link, header, frame in linked_records(path, limit):
        layers = _ip_layer(frame, link, decode_vlan)
        if layers is None:
            continue
        _, _, ip, l4, is_v4 = layers
        timestamp = header.tv_sec + header.tv_usec / 1e6
        sport = dport = land = wrong_fragment = 0
        if is_v4:
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
