"""Packet dictionaries from pcap files and live devices, decoded natively through libpcap."""

from collections.abc import Generator
from types import TracebackType
from typing import Literal, NotRequired, TypedDict, overload, type_check_only

@type_check_only
class CaptureGenerator[Row](Generator[Row, object, None]):
    """The native generator every stream of the package returns (`varnel.generator` at run time)."""

    def __iter__(self) -> CaptureGenerator[Row]: ...
    def __next__(self) -> Row: ...
    def send(self, value: object, /) -> Row:
        """The next item; the value is ignored."""
    @overload
    def throw(self, typ: type[BaseException], val: BaseException | object = None,
              tb: TracebackType | None = None, /) -> Row: ...
    @overload
    def throw(self, typ: BaseException, val: None = None, tb: TracebackType | None = None, /) -> Row: ...
    def close(self) -> None:
        """End the stream and release its capture."""
    def stats(self) -> CaptureStats:
        """Frames read, decoded and skipped by reason so far; libpcap's counters for a live device."""
    @property
    def read_position(self) -> int | None:
        """Bytes of the capture file read so far; None for a live capture or before the file is open."""

# A stream's statistics; received, dropped and if_dropped are None for files.
@type_check_only
class CaptureStats(TypedDict):
    read: int
    decoded: int
    not_ip: int
    vlan_tagged: int
    too_short: int
    unsupported_link: int
    received: int | None
    dropped: int | None
    if_dropped: int | None

# One packet; keys come in this order, the protocol group's keys last.
@type_check_only
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

def read_pcap(file_path: bytes | None) -> CaptureGenerator[PacketDict]:
    """Yield one packet dictionary per IPv4 or IPv6 frame of a pcap or pcapng file, in file order.
    The file is opened at the first next() and closed when the generator ends or is closed."""

def start_sniff(device_name: bytes | None) -> CaptureGenerator[PacketDict]:
    """Yield one packet dictionary per IPv4 or IPv6 frame captured live on a device, without end.
    The device is opened at the first next() and closed when the generator is closed or dropped."""
