"""A host script as a type checker sees it: every public function, with the stubs' row types.

Checked with `mypy --strict`, and run on a capture file by the tests:
`python typing_example.py CAPTURE` prints a summary of the file.
"""

from __future__ import annotations

import sys
from collections import Counter
from pathlib import Path
from typing import TYPE_CHECKING

import varnel
from varnel.core.base.grapnel import read_pcap, start_sniff
from varnel.core.base.portolan import get_all_devices, get_auto_device
from varnel.core.ver100.moraine import FeatureExtractor

if TYPE_CHECKING:  # the row types exist for the type checker only
    from varnel import FlowKeyRow
    from varnel.core.base.grapnel import CaptureGenerator, CaptureStats, PacketDict
    from varnel.core.base.portolan import Device
    from varnel.core.ver100.moraine import FeatureRow


def describe(packet: PacketDict) -> str:
    text = f"{packet['src_ip']}:{packet['src_port']} > {packet['dst_ip']}:{packet['dst_port']} {packet['protocol_type']}"
    if "tcp_flag" in packet:  # a protocol group's key is there only for its protocol
        text += f" flags={packet['tcp_flag']:#04x}"
    return text


def protocols(path: bytes) -> Counter[str]:
    stream: CaptureGenerator[PacketDict] = read_pcap(path)
    seen: Counter[str] = Counter()
    for packet in stream:
        seen[packet["protocol_type"]] += 1
        position: int | None = stream.read_position
        assert position is not None
    return seen


def bytes_by_protocol(path: bytes) -> dict[str, int]:
    extractor = FeatureExtractor()
    listed: list[FeatureRow] = extractor.process_pcap(path)
    totals: dict[str, int] = {}
    for row in extractor.iter_pcap(path):
        totals[row["protocol_type"]] = totals.get(row["protocol_type"], 0) + row["src_bytes"]
    assert sum(row["src_bytes"] for row in listed) == sum(totals.values())
    return totals


def loopback_names() -> list[str]:
    devices: list[Device] = get_all_devices()
    return [device["name"] for device in devices if device["flags"] & 1]


def first_live_packet(device: bytes | None = None) -> PacketDict:
    stream = start_sniff(device if device is not None else get_auto_device())
    try:
        return next(stream)
    finally:
        stream.close()


def first_live_row(device: bytes) -> FeatureRow:
    stream = FeatureExtractor().process_live(device)
    try:
        return next(stream)
    finally:
        stream.close()


def flows(path: str) -> tuple[list[tuple[str, str, int]], int]:
    stream = varnel.read_features([Path(path), path.encode()], filter="ip or ip6", flow_key=True)
    rows: list[FlowKeyRow] = list(stream)
    stats: CaptureStats = stream.stats()
    dropped: int | None = stats["dropped"]  # None for files
    assert dropped is None
    return [(row.get("src_ip", ""), row.get("dst_ip", ""), row["count"]) for row in rows], stats["decoded"]


def main(argv: list[str]) -> int:
    path = argv[1].encode()
    print(sorted(protocols(path).items()))
    print(sorted(bytes_by_protocol(path).items()))
    print(flows(argv[1])[1])
    print(loopback_names())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
