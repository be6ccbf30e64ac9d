"""Deterministic benchmark captures, written once into bench/data/ and reused.

mixed: 1,000,000 frames of varied traffic between a few thousand hosts (IPv4 and IPv6; TCP, UDP, ICMP
and a few other protocols; ARP, VLAN-tagged and LLDP frames that are skipped; fragments; a few
frames cut inside their headers), time stamps advancing about 250 µs apart. Frames longer than the
128-byte snapshot length are cut there, as a header-only sensor capture would be; the wire length
stays the full one.

scan: 600,000 frames over 300 s of time stamps: a SYN scan touching 500,000 distinct IPv4
destinations once each, mixed with steady traffic to 200 of them. It exercises the bounded host
table of the feature extractor.

Run directly to (re)write both: python bench/gen_capture.py [--force]
"""

from __future__ import annotations

import json
import random
import struct
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from testkit import frames  # noqa: E402  (the test suite's frame builders: constants, MAC text, file header)

DATA = ROOT / "bench" / "data"
# Bump when the content changes, so stale files are not reused.
GENERATOR_VERSION = 1
MIXED = DATA / f"mixed-1m-v{GENERATOR_VERSION}.pcap"
SCAN = DATA / f"scan-500k-v{GENERATOR_VERSION}.pcap"

SNAPLEN = 128
MIXED_PACKETS = 1_000_000
SCAN_DESTINATIONS = 500_000
SCAN_BACKGROUND = 100_000
SCAN_SECONDS = 300
START_SECOND = 1_700_000_000

RECORD = struct.Struct("<IIII")
IPV4 = struct.Struct("!BBHHHBBH")
IPV6 = struct.Struct("!IHBB")
TCP = struct.Struct("!HHIIBBHHH")
UDP = struct.Struct("!HHHH")
ICMP_ECHO = struct.Struct("!BBHHH")
VLAN_TAG = struct.Struct("!HH")
ARP_REQUEST = struct.Struct("!HHBBH")
ETH_LLDP = 0x88CC
MIN_FRAME = 60  # Ethernet pads shorter frames to this on the wire

# Share of frames per kind; the rest is IPv4 TCP.
KIND_SHARES = [
    ("udp4", 0.16), ("icmp4", 0.03), ("other4", 0.01), ("tcp6", 0.13), ("udp6", 0.08), ("icmp6", 0.02),
    ("ext6", 0.005), ("arp", 0.035), ("vlan", 0.005), ("lldp", 0.005), ("cut", 0.002),
]


def metadata_path(capture: Path) -> Path:
    return capture.with_suffix(".json")


class Writer:
    """Buffers records of a classic microsecond pcap file and writes them in large chunks."""

    def __init__(self, path: Path):
        self.file = open(path, "wb")
        self.file.write(frames.pcap_bytes([], snaplen=SNAPLEN))
        self.parts: list[bytes] = []
        self.count = 0

    def add(self, second: int, usec: int, frame: bytes) -> None:
        wire_len = len(frame)
        if wire_len < MIN_FRAME:
            frame += bytes(MIN_FRAME - wire_len)
            wire_len = MIN_FRAME
        self.add_captured(second, usec, frame[:SNAPLEN], wire_len)

    def add_captured(self, second: int, usec: int, captured: bytes, wire_len: int) -> None:
        self.parts.append(RECORD.pack(second, usec, len(captured), wire_len))
        self.parts.append(captured)
        self.count += 1
        if len(self.parts) >= 131072:
            self.flush()

    def flush(self) -> None:
        self.file.write(b"".join(self.parts))
        self.parts.clear()

    def close(self) -> None:
        self.flush()
        self.file.close()


class Clock:
    """Capture time stamps with exponential gaps of `mean_gap_us` on average."""

    def __init__(self, rng: random.Random, mean_gap_us: float):
        self.rng = rng
        self.rate = 1.0 / mean_gap_us
        self.usec_total = 0

    def tick(self) -> tuple[int, int]:
        self.usec_total += int(self.rng.expovariate(self.rate))
        return START_SECOND + self.usec_total // 1_000_000, self.usec_total % 1_000_000


def eth(dst: bytes, src: bytes, eth_type: int) -> bytes:
    return dst + src + struct.pack("!H", eth_type)


class Hosts:
    """Address and MAC pools: local hosts behind two routers, and many remote hosts."""

    def __init__(self, rng: random.Random):
        self.rng = rng
        self.routers = [self.random_mac() for _ in range(2)]
        self.local4 = self.distinct(2_000, lambda: bytes([10, 1, rng.randrange(256), rng.randrange(1, 255)]))
        self.remote4 = self.distinct(40_000, lambda: bytes([rng.randrange(1, 224), rng.randrange(256),
                                                            rng.randrange(256), rng.randrange(1, 255)]))
        prefix6 = bytes.fromhex("20010db8000a0001")
        self.local6 = self.distinct(500, lambda: prefix6 + rng.randbytes(8))
        self.remote6 = self.distinct(8_000, lambda: bytes.fromhex("2a00") + rng.randbytes(14))
        self.local_macs = {address: self.random_mac() for address in self.local4 + self.local6}

    def random_mac(self) -> bytes:
        return bytes([self.rng.randrange(256) & 0xFE | 0x02]) + self.rng.randbytes(5)

    def distinct(self, count: int, make) -> list[bytes]:
        seen: dict[bytes, None] = {}
        while len(seen) < count:
            seen[make()] = None
        return list(seen)

    def pick(self, pool: list[bytes]) -> bytes:
        # A few hosts carry most of the traffic.
        return pool[int(len(pool) * self.rng.random() ** 2.5)]


class Flow:
    """One conversation: both directions' Ethernet header, address bytes and ports, and its counters."""

    __slots__ = ("proto", "eth", "addresses", "ports", "seq", "ident", "label")

    def __init__(self, hosts: Hosts, proto: int, version: int, server_ports: list[int]):
        rng = hosts.rng
        local_pool, remote_pool = (hosts.local4, hosts.remote4) if version == 4 else (hosts.local6, hosts.remote6)
        local = hosts.pick(local_pool)
        if rng.random() < 0.1:  # traffic between two local hosts, no router
            remote = hosts.pick(local_pool)
            remote_mac = hosts.local_macs[remote]
        else:
            remote = hosts.pick(remote_pool)
            remote_mac = hosts.routers[rng.randrange(2)]
        local_mac = hosts.local_macs[local]
        self.proto = proto
        eth_type = frames.ETH_IPV4 if version == 4 else frames.ETH_IPV6
        self.eth = (eth(remote_mac, local_mac, eth_type), eth(local_mac, remote_mac, eth_type))
        self.addresses = (local + remote, remote + local)
        client_port = rng.randrange(32768, 61000)
        server_port = server_ports[int(len(server_ports) * rng.random() ** 2)]
        self.ports = ((client_port, server_port), (server_port, client_port))
        self.seq = [rng.getrandbits(32), rng.getrandbits(32)]
        self.ident = rng.randrange(65536)
        self.label = rng.getrandbits(20)


TCP_PORTS = [443, 80, 22, 8080, 25, 993, 3389, 5432, 445, 8443, 3306, 21, 110, 143, 6379]
UDP_PORTS = [53, 443, 123, 5353, 1900, 67, 161, 514, 500, 4500, 3478, 137]
OTHER_PROTOCOLS = [2, 47, 50, 89]           # IGMP, GRE, ESP, OSPF
EXTENSION_HEADERS = [0, 43, 44, 60]          # hop-by-hop, routing, fragment, destination options


class MixedTraffic:
    def __init__(self, seed: int = 20240601):
        self.rng = random.Random(seed)
        self.hosts = Hosts(self.rng)
        self.clock = Clock(self.rng, mean_gap_us=250.0)
        self.flows = {
            "tcp4": self.new_flows(30_000, 6, 4, TCP_PORTS), "udp4": self.new_flows(10_000, 17, 4, UDP_PORTS),
            "icmp4": self.new_flows(2_000, 1, 4, [0]), "tcp6": self.new_flows(8_000, 6, 6, TCP_PORTS),
            "udp6": self.new_flows(4_000, 17, 6, UDP_PORTS), "icmp6": self.new_flows(1_000, 58, 6, [0]),
        }
        self.special_frames = {
            "arp": self.arp_request, "vlan": self.vlan_tagged, "lldp": self.lldp, "other4": self.other_ipv4,
            "ext6": self.ipv6_extension, "cut": self.cut_in_headers,
        }
        self.thresholds = []
        total = 0.0
        for kind, share in KIND_SHARES:
            total += share
            self.thresholds.append((total, kind))

    def new_flows(self, count: int, proto: int, version: int, server_ports: list[int]) -> list[Flow]:
        return [Flow(self.hosts, proto, version, server_ports) for _ in range(count)]

    def kind(self) -> str:
        draw = self.rng.random()
        for threshold, kind in self.thresholds:
            if draw < threshold:
                return kind
        return "tcp4"

    def payload_size(self) -> int:
        draw = self.rng.random()
        if draw < 0.45:
            return 0
        if draw < 0.75:
            return self.rng.randrange(1, 200)
        return self.rng.randrange(200, 1461)

    def flow(self, kind: str) -> tuple[Flow, int]:
        pool = self.flows[kind]
        return pool[int(len(pool) * self.rng.random() ** 2.5)], self.rng.getrandbits(1)

    def ipv4(self, flow: Flow, side: int, payload_len: int, proto: int | None = None, frag: int = 0,
             options: bytes = b"") -> bytes:
        flow.ident = (flow.ident + 1) & 0xFFFF
        header_len = 20 + len(options)
        return IPV4.pack(0x40 | header_len // 4, 0, header_len + payload_len, flow.ident, frag, 64,
                         flow.proto if proto is None else proto, 0) + flow.addresses[side] + options

    def ipv6(self, flow: Flow, side: int, payload_len: int, next_hdr: int | None = None) -> bytes:
        return IPV6.pack(0x6000_0000 | flow.label, payload_len, flow.proto if next_hdr is None else next_hdr,
                         64) + flow.addresses[side]

    def tcp(self, flow: Flow, side: int, payload_len: int) -> bytes:
        draw = self.rng.random()
        if draw < 0.02:
            flags = 0x02  # SYN
        elif draw < 0.03:
            flags = 0x11  # FIN ACK
        elif draw < 0.035:
            flags = 0x04  # RST
        elif draw < 0.036:
            flags = 0x30  # URG ACK
        else:
            flags = 0x18 if payload_len else 0x10
        seq = flow.seq[side]
        flow.seq[side] = (seq + payload_len) & 0xFFFFFFFF
        sport, dport = flow.ports[side]
        return TCP.pack(sport, dport, seq, flow.seq[1 - side], 0x50, flags, 65535, 0, 0)

    def frame(self) -> bytes | tuple[bytes, int]:
        """The next frame, or (captured bytes, wire length) for one cut short."""
        kind = self.kind()
        special = self.special_frames.get(kind)
        return special() if special else self.frame_of(kind)

    def arp_request(self) -> bytes:
        asker, target = self.hosts.pick(self.hosts.local4), self.hosts.pick(self.hosts.local4)
        asker_mac = self.hosts.local_macs[asker]
        return eth(b"\xff" * 6, asker_mac, frames.ETH_ARP) + ARP_REQUEST.pack(1, 0x0800, 6, 4, 1) + \
            asker_mac + asker + bytes(6) + target

    def vlan_tagged(self) -> bytes:
        flow, side = self.flow("udp4")
        inner = self.ipv4(flow, side, 8) + UDP.pack(*flow.ports[side], 8, 0)
        return flow.eth[side][:12] + VLAN_TAG.pack(frames.ETH_VLAN, 100) + struct.pack("!H", frames.ETH_IPV4) + inner

    def lldp(self) -> bytes:
        return eth(bytes.fromhex("0180c200000e"), self.hosts.routers[0], ETH_LLDP) + bytes(40)

    def other_ipv4(self) -> bytes:
        flow, side = self.flow("udp4")
        size = self.rng.randrange(8, 120)
        return flow.eth[side] + self.ipv4(flow, side, size, proto=self.rng.choice(OTHER_PROTOCOLS)) + bytes(size)

    def ipv6_extension(self) -> bytes:
        flow, side = self.flow("tcp6")
        return flow.eth[side] + self.ipv6(flow, side, 28, next_hdr=self.rng.choice(EXTENSION_HEADERS)) + \
            bytes([6, 0]) + bytes(6) + TCP.pack(*flow.ports[side], 1, 0, 0x50, 0x10, 1024, 0, 0)

    def cut_in_headers(self) -> tuple[bytes, int]:
        """As a too-small snapshot length leaves a frame."""
        frame = self.frame_of(self.rng.choice(["tcp4", "udp4", "icmp4", "tcp6", "udp6"]))
        return frame[:self.rng.randrange(10, 70)], max(len(frame), MIN_FRAME)

    def frame_of(self, kind: str) -> bytes:
        flow, side = self.flow(kind)
        if kind in ("tcp4", "tcp6"):
            return self.tcp_frame(flow, side, kind == "tcp6")
        if kind in ("udp4", "udp6"):
            return self.udp_frame(flow, side, kind == "udp6")
        return self.icmp_frame(flow, side, kind == "icmp6")

    def tcp_frame(self, flow: Flow, side: int, over_ipv6: bool) -> bytes:
        size = self.payload_size()
        l4 = self.tcp(flow, side, size)
        if over_ipv6:
            return flow.eth[side] + self.ipv6(flow, side, 20 + size) + l4 + bytes(min(size, SNAPLEN))
        draw = self.rng.random()
        if draw < 0.00005:  # land: same address and port at both ends
            address = flow.addresses[side][:4]
            sport = flow.ports[side][0]
            return flow.eth[side] + IPV4.pack(0x45, 0, 40, 1, 0, 64, 6, 0) + address + address + \
                TCP.pack(sport, sport, 0, 0, 0x50, 0x02, 1024, 0, 0)
        options = b"\x01\x01\x01\x00" if draw < 0.003 else b""
        return flow.eth[side] + self.ipv4(flow, side, 20 + size, options=options) + l4 + bytes(min(size, SNAPLEN))

    def udp_frame(self, flow: Flow, side: int, over_ipv6: bool) -> bytes:
        rng = self.rng
        size = rng.randrange(8, 600) if rng.random() < 0.7 else rng.randrange(600, 1473)
        l4 = UDP.pack(*flow.ports[side], 8 + size, 0)
        if over_ipv6:
            return flow.eth[side] + self.ipv6(flow, side, 8 + size) + l4 + bytes(min(size, SNAPLEN))
        if rng.random() < 0.02:
            return self.fragment(flow, side, l4, size)
        return flow.eth[side] + self.ipv4(flow, side, 8 + size) + l4 + bytes(min(size, SNAPLEN))

    def icmp_frame(self, flow: Flow, side: int, over_ipv6: bool) -> bytes:
        rng = self.rng
        icmp_type = (128, 129, 135, 136, 1)[int(rng.random() ** 2 * 5)] if over_ipv6 else \
            (8, 0, 3, 11)[int(rng.random() ** 3 * 4)]
        l4 = ICMP_ECHO.pack(icmp_type, rng.choice((0, 0, 0, 1, 3)), 0, flow.ident, rng.randrange(65536)) + bytes(56)
        if over_ipv6:
            return flow.eth[side] + self.ipv6(flow, side, len(l4)) + l4
        return flow.eth[side] + self.ipv4(flow, side, len(l4)) + l4

    def fragment(self, flow: Flow, side: int, l4: bytes, size: int) -> bytes:
        """A first fragment (more-fragments set, carrying the UDP header) or a later one (payload only)."""
        if self.rng.random() < 0.5:
            return flow.eth[side] + self.ipv4(flow, side, 8 + min(size, 1472), frag=0x2000) + l4 + \
                bytes(min(size, SNAPLEN))
        offset_units = self.rng.randrange(1, 185)
        more = 0x2000 if self.rng.random() < 0.5 else 0
        payload = self.rng.randbytes(64)
        return flow.eth[side] + self.ipv4(flow, side, 64, frag=more | offset_units) + payload

    def write(self, path: Path, count: int) -> dict:
        writer = Writer(path)
        for _ in range(count):
            second, usec = self.clock.tick()
            frame = self.frame()
            if isinstance(frame, tuple):
                captured, wire_len = frame
                writer.add_captured(second, usec, captured, wire_len)
            else:
                writer.add(second, usec, frame)
        writer.close()
        return {"packets": writer.count, "first_second": START_SECOND,
                "last_second": START_SECOND + self.clock.usec_total // 1_000_000}


def write_scan(path: Path, seed: int = 7) -> dict:
    """SYN probes to SCAN_DESTINATIONS distinct addresses (one each), evenly over SCAN_SECONDS, with
    SCAN_BACKGROUND packets of steady traffic to the first 200 of them in between."""
    rng = random.Random(seed)
    writer = Writer(path)
    total = SCAN_DESTINATIONS + SCAN_BACKGROUND
    gap_us = SCAN_SECONDS * 1_000_000 // total
    scanner = bytes([10, 9, 9, 9])
    scanner_mac, router_mac = frames.mac("02:00:00:00:99:01"), frames.mac("02:00:00:00:99:fe")
    ethernet = eth(router_mac, scanner_mac, frames.ETH_IPV4)

    def destination(index: int) -> bytes:
        # Multiplying by an odd constant permutes 24-bit values, so the addresses are distinct.
        return (0x0B000000 | (index * 2654435761) & 0xFFFFFF).to_bytes(4, "big")

    probe = 0
    for packet in range(total):
        usec_total = packet * gap_us + rng.randrange(gap_us)
        second, usec = START_SECOND + usec_total // 1_000_000, usec_total % 1_000_000
        if packet % 6 == 5:  # one background packet in six
            target = destination(rng.randrange(200))
            flags, dport = 0x18, 443
        else:
            target = destination(probe)
            probe += 1
            flags, dport = 0x02, (22, 80, 443, 3389, 8080)[probe % 5]
        header = IPV4.pack(0x45, 0, 40, packet & 0xFFFF, 0x4000, 64, 6, 0) + scanner + target
        writer.add(second, usec, ethernet + header + TCP.pack(40000 + packet % 20000, dport, packet, 0, 0x50, flags,
                                                              1024, 0, 0))
    writer.close()
    assert probe == SCAN_DESTINATIONS
    return {"packets": writer.count, "distinct_destinations": SCAN_DESTINATIONS, "seconds": SCAN_SECONDS}


def ensure(path: Path, write, force: bool = False) -> dict:
    """The capture's metadata; the capture is written first when missing (or when forced)."""
    meta_path = metadata_path(path)
    if force or not path.exists() or not meta_path.exists():
        DATA.mkdir(parents=True, exist_ok=True)
        started = time.perf_counter()
        partial = path.with_suffix(".partial")
        meta = write(partial)
        partial.replace(path)
        meta["generated_in_s"] = round(time.perf_counter() - started, 1)
        meta_path.write_text(json.dumps(meta))
        print(f"wrote {path.relative_to(ROOT)}: {meta['packets']:,} frames in {meta['generated_in_s']} s",
              file=sys.stderr)
    return json.loads(meta_path.read_text())


def ensure_mixed(force: bool = False) -> dict:
    return ensure(MIXED, lambda path: MixedTraffic().write(path, MIXED_PACKETS), force)


def ensure_scan(force: bool = False) -> dict:
    return ensure(SCAN, write_scan, force)


if __name__ == "__main__":
    force = "--force" in sys.argv[1:]
    ensure_mixed(force)
    ensure_scan(force)
