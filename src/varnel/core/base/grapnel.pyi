"""Packet dictionaries from pcap files and live devices, decoded natively through libpcap."""

from collections.abc import Generator
from typing import Literal, NotRequired, TypedDict

class PacketDict(TypedDict):
    success: Literal[True]
    timestamp: float
    date_time: str
    frame_length: int
    src_mac: str
    dst_mac: str
    ip_proto: int
    ip_id: int
    wrong_fragment: int
    land: int
    src_port: int
    dst_port: int
    version: Literal["IPv4", "IPv6"]
    src_ip: str
    dst_ip: str
    protocol_type: Literal["TCP", "UDP", "ICMP", "Others"]
    # TCP only
    tcp_flag: NotRequired[int]
    tcp_seq: NotRequired[int]
    tcp_ack: NotRequired[int]
    urgent: NotRequired[int]
    # UDP only
    udp_length: NotRequired[int]
    # ICMP and ICMPv6 only
    icmp_type: NotRequired[int]
    icmp_code: NotRequired[int]

def read_pcap(file_path: bytes | None) -> Generator[PacketDict, object, None]:
    """Yield one packet dictionary per IPv4 or IPv6 frame of a pcap or pcapng file, in file order.
    The file is opened at the first next() and closed when the generator ends or is closed."""

def start_sniff(device_name: bytes | None) -> Generator[PacketDict, object, None]:
    """Yield one packet dictionary per IPv4 or IPv6 frame captured live on a device, without end.
    The device is opened at the first next() and closed when the generator is closed or dropped."""
