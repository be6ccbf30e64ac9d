"""Connection records (KDD'99-style), written plainly from their definition: the independent
reading the native connection table is held to, value for value.

Everything here is slow on purpose: dictionaries and lists, every open connection looked at before
every packet, every window found by walking the whole history. Each step follows one sentence of
the definition (README, *Connection records*), in the same order, so that a reader can check one
against the other line by line.

    records(path, **options) -> (list of record dicts, stats dict)
    records_of_frames([(link type, time in µs, frame bytes), ...], **options) -> the same

The file and link layers are those of `testkit.reference` (libpcap's reading of the file, the
link-layer table); the IP, extension-header, layer-4 and fragment work is done here.
"""

from __future__ import annotations

import math
import socket
from dataclasses import dataclass, field
from fractions import Fraction
from typing import Iterable, Iterator

from testkit.reference import _network_start, linked_records

MICROS = 1_000_000
# Time stamps and durations beyond this many microseconds (some 73,000 years) are held at it, so that
# a deadline (a time plus a time-out) is always a plain sum.
TIME_LIMIT = 1 << 61
FRAGMENT_MEMORY = 30 * MICROS
MAX_DATAGRAM = 65_535
UINT32_MAX = (1 << 32) - 1

TCP, UDP, ICMP, ICMPV6 = 6, 17, 1, 58
FIN, SYN, RST, ACK, URG = 0x01, 0x02, 0x04, 0x10, 0x20
HOP_BY_HOP, ROUTING, FRAGMENT, DESTINATION_OPTIONS = 0, 43, 44, 60

COLUMNS = (
    "duration", "protocol_type", "service", "flag", "src_bytes", "dst_bytes", "land", "wrong_fragment",
    "urgent", "count", "srv_count", "serror_rate", "srv_serror_rate", "rerror_rate", "srv_rerror_rate",
    "same_srv_rate", "diff_srv_rate", "srv_diff_host_rate", "dst_host_count", "dst_host_srv_count",
    "dst_host_same_srv_rate", "dst_host_diff_srv_rate", "dst_host_same_src_port_rate",
    "dst_host_srv_diff_host_rate", "dst_host_serror_rate", "dst_host_srv_serror_rate", "dst_host_rerror_rate",
    "dst_host_srv_rerror_rate",
    "start_time", "end_time", "src_ip", "src_port", "dst_ip", "dst_port", "ip_proto", "src_packets",
    "dst_packets",
)

STATS = ("connections", "open_connections", "evicted", "other_protocol", "unattributed_fragments")


# ---- Services

def _port_names() -> dict[int, str]:
    """The names of TCP and UDP ports alike, as the data sets name them."""
    names = {
        7: "echo", 9: "discard", 11: "systat", 13: "daytime", 15: "netstat", 20: "ftp_data", 21: "ftp",
        22: "ssh", 23: "telnet", 25: "smtp", 37: "time", 42: "name", 43: "whois", 53: "domain", 70: "gopher",
        77: "rje", 79: "finger", 80: "http", 84: "ctf", 95: "supdup", 101: "hostnames", 102: "iso_tsap",
        105: "csnet_ns", 109: "pop_2", 110: "pop_3", 111: "sunrpc", 113: "auth", 117: "uucp_path", 119: "nntp",
        137: "netbios_ns", 138: "netbios_dgm", 139: "netbios_ssn", 143: "imap4", 150: "sql_net",
        175: "vmnet", 179: "bgp", 194: "IRC", 210: "Z39_50", 245: "link", 389: "ldap", 433: "nnsp",
        443: "http_443", 512: "exec", 513: "login", 514: "shell", 515: "printer", 520: "efs", 530: "courier",
        540: "uucp", 543: "klogin", 544: "kshell", 1911: "mtp", 2784: "http_2784", 8001: "http_8001",
        8008: "http", 8080: "http",
    }
    names.update({port: "remote_job" for port in range(71, 75)})
    names.update({port: "aol" for port in range(5190, 5194)})
    names.update({port: "X11" for port in range(6000, 6064)})
    names.update({port: "IRC" for port in range(6665, 6670)})
    return names


PORT_NAMES = _port_names()
UDP_PORT_NAMES = {53: "domain_u", 69: "tftp_u", 123: "ntp_u"}   # UDP only (53: instead of "domain")
PRIVATE_PORTS = 49152   # and up: "private"; unnamed ports below: "other"
FTP_DATA_PORT = 20

ICMP_NAMES = {  # (IP version, type) -> name; None: by code
    (4, 8): "eco_i", (4, 0): "ecr_i", (4, 5): "red_i", (4, 11): "tim_i",
    (6, 128): "eco_i", (6, 129): "ecr_i", (6, 137): "red_i", (6, 3): "tim_i",
}
ICMP_UNREACHABLE = {(4, 3): {1: "urh_i", 3: "urp_i"}, (6, 1): {3: "urh_i", 4: "urp_i"}}
ECHO_TYPES = {4: (8, 0), 6: (128, 129)}


def port_table(services: dict | None) -> dict[tuple[str, int], str]:
    """(protocol_type, port) -> name: the data sets' names, then the user's additions and overrides."""
    table = {}
    for protocol in ("tcp", "udp"):
        for port, name in PORT_NAMES.items():
            table[protocol, port] = name
    table["tcp", 53] = "domain"
    for port, name in UDP_PORT_NAMES.items():
        table["udp", port] = name
    table.update(services or {})
    return table


def port_service(table: dict, protocol: str, originator_port: int, responder_port: int) -> str:
    if originator_port == FTP_DATA_PORT and (protocol, FTP_DATA_PORT) in table:
        return table[protocol, FTP_DATA_PORT]
    if (protocol, responder_port) in table:
        return table[protocol, responder_port]
    return "private" if responder_port >= PRIVATE_PORTS else "other"


def icmp_service(version: int, icmp_type: int, code: int) -> str:
    if (version, icmp_type) in ICMP_NAMES:
        return ICMP_NAMES[version, icmp_type]
    return ICMP_UNREACHABLE.get((version, icmp_type), {}).get(code, "other")


# ---- One packet

@dataclass
class Packet:
    """What a frame tells about its connection. `kind` is one of:
    layer4 -- TCP, UDP or ICMP with its layer-4 header captured whole
    later_fragment -- IPv4, a fragment after the first of a TCP, UDP or ICMP datagram
    later_fragment6 -- IPv6, a fragment after the first of a TCP, UDP or ICMPv6 datagram
    other_protocol -- any other IP protocol
    unusable -- IPv4 header length below 20, an extension or layer-4 header not captured whole
    """
    time: int
    version: int
    kind: str
    protocol: int = 0
    src: bytes = b""
    dst: bytes = b""
    src_port: int = 0
    dst_port: int = 0
    flags: int = 0
    icmp_type: int = 0
    icmp_code: int = 0
    icmp_id: int = 0
    payload: int = 0           # bytes carried, by the definition
    ip_payload: int = 0        # the IP payload (after IPv6 extension headers), by the length fields
    first_fragment: bool = False
    ip_id: int = 0
    fragment_offset: int = 0   # bytes


def _be(data: bytes, offset: int, size: int) -> int:
    return int.from_bytes(data[offset:offset + size], "big")


def parse_packet(frame: bytes, start: int, version: int, time: int) -> Packet | None:
    """The packet whose IP header starts at `start`; None when that fixed header is not captured (the
    frame is then no IP frame at all and does not move time)."""
    return _parse_ipv4(frame, start, time) if version == 4 else _parse_ipv6(frame, start, time)


def _parse_ipv4(frame: bytes, ip: int, time: int) -> Packet | None:
    if ip + 20 > len(frame):
        return None
    header_length = 4 * (frame[ip] & 0x0F)
    total_length = _be(frame, ip + 2, 2)
    fragment_field = _be(frame, ip + 6, 2)
    packet = Packet(time, 4, "", protocol=frame[ip + 9], src=frame[ip + 12:ip + 16], dst=frame[ip + 16:ip + 20],
                    ip_id=_be(frame, ip + 4, 2), fragment_offset=8 * (fragment_field & 0x1FFF),
                    ip_payload=max(total_length - header_length, 0))
    more_fragments = bool(fragment_field & 0x2000)
    if packet.protocol not in (TCP, UDP, ICMP):
        packet.kind = "other_protocol"
    elif header_length < 20:
        packet.kind = "unusable"
    elif packet.fragment_offset:
        packet.kind = "later_fragment"
        packet.payload = packet.ip_payload
    else:
        packet.first_fragment = more_fragments
        _parse_layer4(frame, ip + header_length, packet)
    return packet


def _parse_ipv6(frame: bytes, ip: int, time: int) -> Packet | None:
    if ip + 40 > len(frame):
        return None
    payload_length = _be(frame, ip + 4, 2)
    packet = Packet(time, 6, "", src=frame[ip + 8:ip + 24], dst=frame[ip + 24:ip + 40])
    next_header = frame[ip + 6]
    at = ip + 40
    extension_bytes = 0
    while next_header in (HOP_BY_HOP, ROUTING, FRAGMENT, DESTINATION_OPTIONS):
        if at + 8 > len(frame):  # every extension header is at least 8 bytes long
            packet.kind = "unusable"
            return packet
        if next_header == FRAGMENT:
            later = _be(frame, at + 2, 2) >> 3 != 0
            next_header, length = frame[at], 8
            if later:
                packet.protocol = next_header
                packet.kind = "later_fragment6" if next_header in (TCP, UDP, ICMPV6) else "other_protocol"
                return packet
        else:
            next_header, length = frame[at], 8 * (frame[at + 1] + 1)
        extension_bytes += length
        at += length
    packet.protocol = next_header
    packet.ip_payload = max(payload_length - extension_bytes, 0)
    if next_header not in (TCP, UDP, ICMPV6):
        packet.kind = "other_protocol"
    else:
        _parse_layer4(frame, at, packet)
    return packet


def _parse_layer4(frame: bytes, l4: int, packet: Packet) -> None:
    header_size = 20 if packet.protocol == TCP else 8
    if l4 + header_size > len(frame):
        packet.kind = "unusable"
        return
    packet.kind = "layer4"
    if packet.protocol == TCP:
        packet.src_port, packet.dst_port = _be(frame, l4, 2), _be(frame, l4 + 2, 2)
        packet.flags = frame[l4 + 13]
        header_size = 4 * (frame[l4 + 12] >> 4)
    elif packet.protocol == UDP:
        packet.src_port, packet.dst_port = _be(frame, l4, 2), _be(frame, l4 + 2, 2)
    else:
        packet.icmp_type, packet.icmp_code = frame[l4], frame[l4 + 1]
        if packet.icmp_type in ECHO_TYPES[packet.version]:
            packet.icmp_id = _be(frame, l4 + 4, 2)
    packet.payload = max(packet.ip_payload - header_size, 0)


# ---- Connections

@dataclass
class Connection:
    serial: int                  # creation order
    key: tuple
    version: int
    protocol: int
    originator: tuple            # (address, port)
    responder: tuple
    service: str
    start: int
    end: int
    src_bytes: int = 0
    dst_bytes: int = 0
    src_packets: int = 0
    dst_packets: int = 0
    wrong_fragment: int = 0
    urgent: int = 0
    originator_syn: bool = False
    originator_fin: bool = False
    originator_rst: bool = False
    responder_synack: bool = False
    responder_fin: bool = False
    responder_rst: bool = False
    first_rst: str = ""          # "originator" or "responder"

    @property
    def land(self) -> bool:
        if self.protocol in (ICMP, ICMPV6):
            return self.originator[0] == self.responder[0]
        return self.originator == self.responder

    @property
    def closing(self) -> bool:
        return (self.originator_fin and self.responder_fin) or self.originator_rst or self.responder_rst


@dataclass
class Datagram:
    """The memory of one fragmented IPv4 datagram, made by its first fragment."""
    connection: Connection
    from_originator: bool
    remembered_at: int           # the newest time stamp when the first fragment came
    ranges: list = field(default_factory=list)   # [start, end) of each fragment's bytes


def tcp_flag(c: Connection) -> str:
    if not c.originator_syn and not c.responder_synack:
        return "OTH"
    if not c.originator_syn:
        return "RSTRH" if c.responder_rst else "SHR" if c.responder_fin else "OTH"
    if not c.responder_synack:
        return "REJ" if c.responder_rst else "RSTOS0" if c.originator_rst else "SH" if c.originator_fin else "S0"
    if c.first_rst:
        return "RSTO" if c.first_rst == "originator" else "RSTR"
    if c.originator_fin and c.responder_fin:
        return "SF"
    return "S2" if c.originator_fin else "S3" if c.responder_fin else "S1"


def count_tcp_flags(c: Connection, flags: int, from_originator: bool) -> None:
    """What one TCP packet tells of its side: SYN means SYN without ACK, SYN-ACK both."""
    syn_only = bool(flags & SYN) and not flags & ACK
    syn_ack = bool(flags & SYN) and bool(flags & ACK)
    if from_originator:
        c.originator_syn |= syn_only
        c.originator_fin |= bool(flags & FIN)
        c.originator_rst |= bool(flags & RST)
    else:
        c.responder_synack |= syn_ack
        c.responder_fin |= bool(flags & FIN)
        c.responder_rst |= bool(flags & RST)
    if flags & RST and not c.first_rst:
        c.first_rst = "originator" if from_originator else "responder"


SYN_ERRORS = {"S0", "S1", "S2", "S3"}
KDD_FLAGS = {"RSTRH": "RSTR", "SHR": "SH"}


def round_rate(rate: float) -> float:
    """To the nearest 0.01 of the exact float64 value, ties away from zero (rates are never negative)."""
    return math.floor(Fraction(rate) * 100 + Fraction(1, 2)) / 100


def address_text(version: int, address: bytes) -> str:
    return socket.inet_ntop(socket.AF_INET if version == 4 else socket.AF_INET6, address)


def seconds(micros: int) -> float:
    whole, fraction = divmod(micros, MICROS)
    return whole + fraction / 1e6


def clamp_time(micros: int) -> int:
    return max(-TIME_LIMIT, min(micros, TIME_LIMIT))


def to_micros(seconds_value: float) -> int:
    return max(0, min(round(seconds_value * MICROS), TIME_LIMIT))


class ConnectionTable:
    def __init__(self, tcp_timeout=300.0, udp_timeout=60.0, icmp_timeout=60.0, close_linger=5.0,
                 time_window=2.0, host_window=100, max_connections=1 << 20, services=None, kdd_compat=False):
        self.timeouts = {TCP: to_micros(tcp_timeout), UDP: to_micros(udp_timeout), ICMP: to_micros(icmp_timeout),
                         ICMPV6: to_micros(icmp_timeout)}
        self.linger = to_micros(close_linger)
        self.time_window = to_micros(time_window)
        self.host_window = host_window
        self.max_connections = max_connections
        self.ports = port_table(services)
        self.kdd_compat = kdd_compat
        self.stats = dict.fromkeys(STATS, 0)
        self.emitted: list[dict] = []
        self.reset()

    def reset(self) -> None:
        """A new capture: no connection, no datagram, no history, no time seen."""
        self.connections: dict[tuple, Connection] = {}
        self.datagrams: dict[tuple, Datagram] = {}   # in the order they were remembered
        self.history: list[dict] = []                # emitted records, oldest first
        self.newest: int | None = None
        self.serials = 0

    # -- Time

    def deadline(self, c: Connection) -> int:
        return c.end + (self.linger if c.closing else self.timeouts[c.protocol])

    def move_time(self, time: int) -> None:
        self.newest = time if self.newest is None else max(self.newest, time)
        due = [c for c in self.connections.values() if self.newest >= self.deadline(c)]
        for c in sorted(due, key=lambda c: (self.deadline(c), c.end, c.start, c.serial)):
            self.end(c)
        for key, datagram in list(self.datagrams.items()):
            if self.newest >= datagram.remembered_at + FRAGMENT_MEMORY:
                del self.datagrams[key]

    def flush(self) -> None:
        """The end of a capture: every open connection ends."""
        for c in sorted(self.connections.values(), key=lambda c: (c.end, c.start, c.serial)):
            self.end(c)

    # -- Packets

    def add(self, packet: Packet) -> None:
        self.move_time(packet.time)
        if packet.kind == "other_protocol":
            self.stats["other_protocol"] += 1
        elif packet.kind == "later_fragment6":
            self.stats["unattributed_fragments"] += 1
        elif packet.kind == "later_fragment":
            self.add_later_fragment(packet)
        elif packet.kind == "layer4":
            self.add_layer4(packet)

    def key(self, p: Packet) -> tuple:
        if p.protocol in (TCP, UDP):
            return p.version, p.protocol, frozenset({(p.src, p.src_port), (p.dst, p.dst_port)})
        return p.version, p.protocol, p.src, p.dst, p.icmp_type, p.icmp_code, p.icmp_id

    def add_layer4(self, p: Packet) -> None:
        key = self.key(p)
        c = self.connections.get(key)
        is_syn = p.protocol == TCP and p.flags & SYN and not p.flags & ACK
        if c is not None and is_syn and c.closing:
            self.end(c)
            c = None
        if c is None:
            if len(self.connections) >= self.max_connections:
                idle_longest = min(self.connections.values(), key=lambda c: (c.end, c.start, c.serial))
                self.stats["evicted"] += 1
                self.end(idle_longest)
            c = self.connections[key] = self.new_connection(key, p)
        from_originator = p.protocol not in (TCP, UDP) or (p.src, p.src_port) == c.originator
        self.count_packet(c, p, from_originator, p.payload)
        if p.protocol == TCP:
            count_tcp_flags(c, p.flags, from_originator)
        if p.first_fragment:
            self.remember_datagram(p, c, from_originator)

    def new_connection(self, key: tuple, p: Packet) -> Connection:
        sender, receiver = (p.src, p.src_port), (p.dst, p.dst_port)
        if p.protocol == TCP and p.flags & SYN and p.flags & ACK:
            sender, receiver = receiver, sender
        if p.protocol in (TCP, UDP):
            protocol_type = "tcp" if p.protocol == TCP else "udp"
            service = port_service(self.ports, protocol_type, sender[1], receiver[1])
        else:
            sender, receiver = (p.src, 0), (p.dst, 0)
            service = icmp_service(p.version, p.icmp_type, p.icmp_code)
        self.serials += 1
        return Connection(self.serials, key, p.version, p.protocol, sender, receiver, service, p.time, p.time)

    def count_packet(self, c: Connection, p: Packet, from_originator: bool, payload: int) -> None:
        c.end = max(c.end, p.time)
        if from_originator:
            c.src_packets += 1
            c.src_bytes += payload
        else:
            c.dst_packets += 1
            c.dst_bytes += payload
        if p.protocol == TCP and p.flags & URG:
            c.urgent += 1

    # -- Fragments

    def datagram_key(self, p: Packet) -> tuple:
        return p.src, p.dst, p.protocol, p.ip_id

    def remember_datagram(self, p: Packet, c: Connection, from_originator: bool) -> None:
        key = self.datagram_key(p)
        self.datagrams.pop(key, None)
        if len(self.datagrams) >= self.max_connections:
            del self.datagrams[next(iter(self.datagrams))]
        self.datagrams[key] = Datagram(c, from_originator, self.newest, [(0, p.ip_payload)])

    def add_later_fragment(self, p: Packet) -> None:
        datagram = self.datagrams.get(self.datagram_key(p))
        if datagram is None or self.connections.get(datagram.connection.key) is not datagram.connection:
            self.stats["unattributed_fragments"] += 1
            return
        start, end = p.fragment_offset, p.fragment_offset + p.ip_payload
        overlaps = any(max(start, held_start) < min(end, held_end) for held_start, held_end in datagram.ranges)
        datagram.ranges.append((start, end))
        c = datagram.connection
        if overlaps or end > MAX_DATAGRAM:
            c.wrong_fragment += 1
        self.count_packet(c, p, datagram.from_originator, p.payload)

    # -- Records

    def end(self, c: Connection) -> None:
        del self.connections[c.key]
        record = self.record(c)
        self.traffic_features(record)
        self.stats["connections"] += 1
        self.emitted.append(self.shaped(record))

    def record(self, c: Connection) -> dict:
        protocol_type = {TCP: "tcp", UDP: "udp"}.get(c.protocol, "icmp")
        return {
            "duration": min((c.end - c.start) // MICROS, UINT32_MAX), "protocol_type": protocol_type,
            "service": c.service, "flag": tcp_flag(c) if c.protocol == TCP else "SF",
            "src_bytes": c.src_bytes, "dst_bytes": c.dst_bytes, "land": int(c.land),
            "wrong_fragment": c.wrong_fragment, "urgent": c.urgent,
            "start_time": seconds(c.start), "end_time": seconds(c.end),
            "src_ip": address_text(c.version, c.originator[0]), "src_port": c.originator[1],
            "dst_ip": address_text(c.version, c.responder[0]), "dst_port": c.responder[1],
            "ip_proto": c.protocol, "src_packets": c.src_packets, "dst_packets": c.dst_packets,
            # for the windows only
            "_end": c.end, "_host": (c.version, c.responder[0]),
        }

    def traffic_features(self, r: dict) -> None:
        """The windows over the records emitted before `r` and `r` itself; then `r` joins the history."""
        in_time = [h for h in self.history if r["_end"] - self.time_window <= h["_end"] <= r["_end"]] + [r]
        last = self.history[max(0, len(self.history) - (self.host_window - 1)):] if self.host_window > 1 else []
        r["_in_time"], r["_in_hosts"] = self.window_counts(r, in_time), self.window_counts(r, last + [r])
        self.history.append(r)
        if len(self.history) > self.max_connections:
            del self.history[0]

    def window_counts(self, r: dict, window: list[dict]) -> dict:
        same_host = [h for h in window if h["_host"] == r["_host"]]
        same_service = [h for h in window if h["service"] == r["service"]]
        return {
            "host": len(same_host), "service": len(same_service),
            "host_serror": sum(h["flag"] in SYN_ERRORS for h in same_host),
            "host_rerror": sum(h["flag"] == "REJ" for h in same_host),
            "host_same_service": sum(h["service"] == r["service"] for h in same_host),
            "host_same_src_port": sum(h["src_port"] == r["src_port"] for h in same_host),
            "service_serror": sum(h["flag"] in SYN_ERRORS for h in same_service),
            "service_rerror": sum(h["flag"] == "REJ" for h in same_service),
            "service_other_host": sum(h["_host"] != r["_host"] for h in same_service),
        }

    def shaped(self, r: dict) -> dict:
        t, w = r["_in_time"], r["_in_hosts"]
        rate = round_rate if self.kdd_compat else float
        count_cap, host_cap = (511, 255) if self.kdd_compat else (UINT32_MAX, UINT32_MAX)
        flag = KDD_FLAGS.get(r["flag"], r["flag"]) if self.kdd_compat else r["flag"]
        values = {
            **r, "flag": flag,
            "count": min(t["host"], count_cap), "srv_count": min(t["service"], count_cap),
            "serror_rate": rate(t["host_serror"] / t["host"]),
            "srv_serror_rate": rate(t["service_serror"] / t["service"]),
            "rerror_rate": rate(t["host_rerror"] / t["host"]),
            "srv_rerror_rate": rate(t["service_rerror"] / t["service"]),
            "same_srv_rate": rate(t["host_same_service"] / t["host"]),
            "diff_srv_rate": rate((t["host"] - t["host_same_service"]) / t["host"]),
            "srv_diff_host_rate": rate(t["service_other_host"] / t["service"]),
            "dst_host_count": min(w["host"], host_cap), "dst_host_srv_count": min(w["service"], host_cap),
            "dst_host_same_srv_rate": rate(w["host_same_service"] / w["host"]),
            "dst_host_diff_srv_rate": rate((w["host"] - w["host_same_service"]) / w["host"]),
            "dst_host_same_src_port_rate": rate(w["host_same_src_port"] / w["host"]),
            "dst_host_srv_diff_host_rate": rate(w["service_other_host"] / w["service"]),
            "dst_host_serror_rate": rate(w["host_serror"] / w["host"]),
            "dst_host_srv_serror_rate": rate(w["service_serror"] / w["service"]),
            "dst_host_rerror_rate": rate(w["host_rerror"] / w["host"]),
            "dst_host_srv_rerror_rate": rate(w["service_rerror"] / w["service"]),
        }
        return {column: values[column] for column in COLUMNS}

    def current_stats(self) -> dict:
        return {**self.stats, "open_connections": len(self.connections)}


# ---- Captures

def _frames_of(path: bytes | str) -> Iterator[tuple[int, int, bytes]]:
    for link, header, frame in linked_records(path):
        yield link, header.tv_sec * MICROS + header.tv_usec, frame


def records_of_frames(frames: Iterable[tuple[int, int, bytes]], *, decode_vlan: bool = True,
                      **options) -> tuple[list[dict], dict]:
    """The records of one capture given as (link type, time in µs, frame) triples, and the stats."""
    table = ConnectionTable(**options)
    for link, time, frame in frames:
        start = _network_start(frame, link, decode_vlan)
        if start is None:
            continue
        packet = parse_packet(frame, start[1], start[0], clamp_time(time))
        if packet is not None:
            table.add(packet)
    table.flush()
    return table.emitted, table.current_stats()


def records(path: bytes | str, *, decode_vlan: bool = True, **options) -> tuple[list[dict], dict]:
    """The connection records of a capture file, in the order they end, and the stats."""
    return records_of_frames(_frames_of(path), decode_vlan=decode_vlan, **options)
