"""Writes the fuzzers' seed inputs: frames and capture files built from explicit field values, plus
the frames (decoder harness) and whole files (file harness) of the sample captures.

Usage: make_seeds.py OUT_DIR [CORPUS_DIR] (default: tests/captures). Writes OUT_DIR/decoder/,
OUT_DIR/read_pcap/, OUT_DIR/file_reader/ and OUT_DIR/connections/; run time only, nothing here is committed.
"""

from __future__ import annotations

import gzip
import hashlib
import lzma
import shutil
import struct
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

import dpkt  # noqa: E402

from testkit.frames import (  # noqa: E402
    ETH_IPV6, ETH_VLAN, Record, arp, ethernet, icmp, ipv4, ipv6, ipv6_fragment, ipv6_options, pcap_bytes, tcp, udp,
)

FRAMES_PER_CAPTURE = 64  # evenly spread; the sample captures repeat themselves a lot
CAPTURE_SUFFIXES = {".pcap", ".pcapng", ".cap"}


def decoder_input(frame: bytes, caplen: int | None = None, extra_wire: int = 0,
                  ts_sec: int = 1_700_000_000, ts_usec: int = 250_000) -> bytes:
    """The decoder harness's 14-byte prefix followed by the frame."""
    limit = len(frame) if caplen is None else caplen
    return struct.pack("<HIiI", min(limit, 0xFFFF), extra_wire, ts_sec, ts_usec) + frame


def built_frames() -> list[bytes]:
    frames = [
        ethernet(ipv4(tcp(80, 80, seq=0xFFFFFFFF, ack=1, flags=0x32), src="10.0.0.1", dst="10.0.0.1")),
        ethernet(ipv4(udp(5353, 53, payload=b"q" * 12), proto=17)),
        ethernet(ipv4(icmp(8, 0), proto=1)),
        ethernet(ipv4(icmp(128, 0), proto=58)),
        ethernet(ipv4(b"\x00" * 8, proto=2)),
        ethernet(ipv4(tcp(), flags_frag=0x2000, ident=0xABCD)),           # first fragment
        ethernet(ipv4(b"payload!" * 3, flags_frag=0x0010, proto=17)),     # non-first fragment
        ethernet(ipv4(b"payload!" * 3, flags_frag=0x4000, proto=1)),      # don't-fragment only
        ethernet(ipv4(tcp(), ihl=6, options=b"\x01\x01\x01\x00")),
        ethernet(ipv4(tcp(), ihl=15, options=b"\x01" * 40)),
        ethernet(ipv6(tcp(443, 51000, flags=0x18), flow_label=0xABCDE), eth_type=ETH_IPV6),
        ethernet(ipv6(udp(), next_hdr=17), eth_type=ETH_IPV6),
        ethernet(ipv6(icmp(135, 0), next_hdr=58), eth_type=ETH_IPV6),
        ethernet(ipv6(icmp(8, 0), next_hdr=1), eth_type=ETH_IPV6),
        ethernet(ipv6(b"\x11\x00" + b"\x00" * 6 + udp(), next_hdr=44), eth_type=ETH_IPV6),
        ethernet(ipv4(tcp()), eth_type=ETH_VLAN),
        arp(),
    ]
    frames += [ethernet(ipv4(tcp(), ihl=ihl)) for ihl in range(5)]
    frames += [ethernet(ipv4(tcp(), version=version)) for version in (0, 6, 15)]
    return frames


def connections_input(steps: list[tuple[int, bytes]], options: bytes = b"\x10\x3a\x96") -> bytes:
    """The connections harness's input: three option bytes (Ethernet row, tags looked through; 3 open
    connections at most, a host window of 8; mixed time-outs), then (time step in 10 ms, frame) records."""
    return options + b"".join(struct.pack("<Hh", len(frame), step) + frame for step, frame in steps)


def connection_sequences() -> list[list[tuple[int, bytes]]]:
    client, server = "10.0.0.1", "10.0.0.2"

    def segment(flags: int, back: bool = False, sport: int = 40000, dport: int = 80) -> bytes:
        src, dst, ports = (server, client, (dport, sport)) if back else (client, server, (sport, dport))
        return ethernet(ipv4(tcp(*ports, flags=flags, payload=b"d" * 5), proto=6, src=src, dst=dst))

    def fragment(units: int, payload: bytes, more: bool) -> bytes:
        return ethernet(ipv4(payload, proto=17, ident=9, flags_frag=(0x2000 if more else 0) | units))

    handshake = [segment(0x02), segment(0x12, True), segment(0x10), segment(0x11), segment(0x11, True)]
    chain = ipv6_options(43, ipv6_options(44, ipv6_fragment(6, tcp(flags=0x02), more=True)), length_units=1)
    return [
        [(1, frame) for frame in handshake] + [(1, segment(0x02))] + [(600, segment(0x10))],
        [(1, segment(0x02, sport=40000 + n, dport=port)) for n, port in enumerate((21, 22, 23, 25, 80, 443))],
        [(0, fragment(0, udp(payload=b"u" * 8), True)), (1, fragment(1, b"o" * 16, True)),
         (1, fragment(8190, b"p" * 24, False)), (1, fragment(3, b"e" * 8, False))],
        [(1, ethernet(ipv6(chain, next_hdr=0), eth_type=ETH_IPV6)),
         (1, ethernet(ipv6(ipv6_fragment(6, b"l" * 16, offset_units=2), next_hdr=44), eth_type=ETH_IPV6))],
        [(1, ethernet(ipv4(icmp(8, 0), proto=1))), (1, ethernet(ipv4(icmp(0, 0), proto=1, src="10.0.0.2",
                                                                    dst="10.0.0.1"))), (-200, segment(0x04))],
        [(1, ethernet(ipv4(tcp(flags=0x07, data_offset=2), proto=6, total_len=12))),
         (1, ethernet(ipv4(udp(length=3), proto=17, ihl=4))), (1, ethernet(ipv4(b"g" * 8, proto=47)))],
    ]


def cut_points(frame: bytes) -> list[int]:
    """Captured lengths around every boundary of the short-frame rules."""
    points = {0, 1, 13, 14, 15, 33, 34, 35, 53, 54, 55, len(frame) - 1}
    for l4 in (34, 38, 54):
        points.update(l4 + k for k in range(0, 15))
    return sorted(p for p in points if 0 <= p < len(frame))


def capture_files(corpus: Path | None) -> list[Path]:
    if corpus is None or not corpus.is_dir():
        return []
    return sorted(p for p in corpus.iterdir() if p.suffix in CAPTURE_SUFFIXES)


def ethernet_frames(path: Path) -> list[bytes]:
    """Frames of an Ethernet capture as dpkt reads them; empty for other link types or unreadable files."""
    frames: list[bytes] = []
    try:
        with path.open("rb") as handle:
            reader = dpkt.pcap.UniversalReader(handle)
            if reader.datalink() != dpkt.pcap.DLT_EN10MB:
                return []
            for _, frame in reader:
                frames.append(bytes(frame))
    except (ValueError, dpkt.UnpackError, struct.error):
        pass  # a damaged file: keep the frames before the damage
    step = max(1, len(frames) // FRAMES_PER_CAPTURE)
    return frames[::step]


def write_unique(directory: Path, inputs: list[bytes]) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    names = set()
    for data in inputs:
        name = hashlib.sha1(data).hexdigest()
        if name not in names:
            names.add(name)
            (directory / name).write_bytes(data)
    return len(names)


def pseudo_header_file(linktype: int, order: str) -> bytes:
    """Four records whose first bytes make libpcap's pseudo-header rewriting act: a pflog header
    length, a cooked CAN protocol, an incoming isochronous USB completion with descriptors, NFLOG
    version 0 with TLVs."""
    frame = bytearray(range(112))
    frame[0], frame[1] = 64, 0                                  # pflog length; NFLOG version 0
    frame[14:16] = b"\x00\x0c"                                 # cooked v1: SocketCAN
    if linktype == 276:
        frame[0:2] = b"\x00\x0c"                               # cooked v2: SocketCAN
    if linktype in (189, 220):
        frame[8:11] = bytes([ord("C"), 0, 0x81])                # completion, isochronous, inward
        frame[15] = 0                                           # with data
        frame[32:36] = struct.pack(order + "I", 16)             # URB length
        frame[60:64] = struct.pack(order + "I", 2)              # descriptors
    if linktype == 239:
        frame[4:8] = struct.pack(order + "HH", 8, 1)
    header = struct.pack(order + "IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype)
    wire = 64 + 2 * 16 + 16 if linktype == 220 else len(frame)
    return header + b"".join(struct.pack(order + "IIII", 1_700_000_000, index, len(frame), wire) + bytes(frame)
                             for index in range(4))


def main() -> None:
    out = Path(sys.argv[1])
    corpus = Path(sys.argv[2]) if len(sys.argv) > 2 else ROOT / "tests" / "captures"
    for sub in ("decoder", "read_pcap", "file_reader", "connections"):
        shutil.rmtree(out / sub, ignore_errors=True)

    frames = built_frames()
    decoder = [decoder_input(f) for f in frames]
    decoder += [decoder_input(f, caplen=cut, extra_wire=len(f) - cut) for f in frames for cut in cut_points(f)]
    decoder += [decoder_input(frames[0], ts_sec=-1, ts_usec=999_999), decoder_input(b"")]
    captures = capture_files(corpus)
    for path in captures:
        decoder += [decoder_input(frame) for frame in ethernet_frames(path)]

    files = [
        pcap_bytes(frames),
        pcap_bytes([Record(frames[0], wire_len=65535), Record(frames[1][:20]), Record(b"")], snaplen=34),
        pcap_bytes(frames[:4])[:-7],                                     # cut inside the last record
        pcap_bytes([arp()] * 3),
        pcap_bytes(frames[:3], linktype=101),                            # raw IP: not Ethernet
        pcap_bytes([Record(frames[2], ts_sec=0x80000000, ts_usec=1_000_001)]),
    ]
    big_endian = bytearray(pcap_bytes(frames[:2]))
    big_endian[0:24] = struct.pack(">IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)
    files.append(bytes(big_endian[:24]))                                  # header only, other byte order
    nanosecond = bytearray(pcap_bytes(frames[:2]))
    nanosecond[0:4] = struct.pack("<I", 0xA1B23C4D)
    files.append(bytes(nanosecond))
    files += [path.read_bytes() for path in captures]

    # The file reader also takes compressed files: the small ones again, compressed; and files of the
    # link types whose pseudo-headers libpcap rewrites, in both byte orders.
    small = [data for data in files if len(data) <= 4096]
    packed = [gzip.compress(data) for data in small] + [lzma.compress(data) for data in small[:4]]
    packed += [pseudo_header_file(linktype, order) for linktype in (117, 113, 276, 189, 220, 239) for order in "<>"]
    sequences = [connections_input(steps) for steps in connection_sequences()]
    sequences += [connections_input([(1, frame) for frame in ethernet_frames(path)]) for path in captures]
    sequences = [sequence for sequence in sequences if len(sequence) > 3]

    print(f"seeds: {write_unique(out / 'decoder', decoder)} decoder inputs, "
          f"{write_unique(out / 'read_pcap', files)} capture files ({len(captures)} from {corpus}), "
          f"{write_unique(out / 'file_reader', files + packed)} files for the file reader, "
          f"{write_unique(out / 'connections', sequences)} frame sequences")


if __name__ == "__main__":
    main()
