"""varnel: network traffic turned into packet dictionaries, KDD-style feature rows and connection records."""

import os
from collections.abc import Iterable, Mapping
from typing import Literal, Protocol, TypedDict, type_check_only

from varnel.core.base.grapnel import CaptureGenerator, CaptureStats, PacketDict
from varnel.core.ver100.moraine import FeatureRow

from varnel.columns import (read_connections_table as read_connections_table,
                            read_features_table as read_features_table, read_packets_table as read_packets_table,
                            sniff_connections_table as sniff_connections_table,
                            sniff_features_table as sniff_features_table,
                            sniff_packets_table as sniff_packets_table)

__all__ = ["read_packets", "sniff_packets", "read_features", "sniff_features", "read_connections",
           "sniff_connections", "read_packets_table", "sniff_packets_table", "read_features_table",
           "sniff_features_table", "read_connections_table", "sniff_connections_table"]

@type_check_only
class _HasFileno(Protocol):
    def fileno(self) -> int: ...

# A capture file: a path, "-" for standard input, or an open file.
type Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | _HasFileno
type Sources = Source | Iterable[Source]

# The rows of read_features and sniff_features with flow_key=True carry these too.
@type_check_only
class FlowKeyRow(FeatureRow, total=False):
    src_ip: str
    dst_ip: str
    ip_proto: int

def read_packets(sources: Sources, *, filter: str | None = None,
                 skip_vlan: bool = False) -> CaptureGenerator[PacketDict]:
    """Yield one packet dictionary per IPv4 or IPv6 frame of one or several capture files, in order."""

def read_features(sources: Sources, *, filter: str | None = None, skip_vlan: bool = False,
                  flow_key: bool = False, continuous: bool = False) -> CaptureGenerator[FlowKeyRow]:
    """Yield one feature row per IPv4 or IPv6 frame of one or several capture files, in order."""

def sniff_packets(device: str | bytes | None = None, *, filter: str | None = None, snaplen: int = 65535,
                  promisc: bool = True, timeout: float = 1.0, buffer_size: int = 0, immediate: bool = True,
                  skip_vlan: bool = False) -> CaptureGenerator[PacketDict]:
    """Yield one packet dictionary per IPv4 or IPv6 frame captured live, without end."""

def sniff_features(device: str | bytes | None = None, *, filter: str | None = None, snaplen: int = 65535,
                   promisc: bool = True, timeout: float = 1.0, buffer_size: int = 0, immediate: bool = True,
                   skip_vlan: bool = False, flow_key: bool = False) -> CaptureGenerator[FlowKeyRow]:
    """Yield one feature row per IPv4 or IPv6 frame captured live, without end."""

# One connection record: the 28 columns of the KDD'99 data sets, then the connection itself.
@type_check_only
class ConnectionRecord(TypedDict):
    duration: int
    protocol_type: Literal["tcp", "udp", "icmp"]
    service: str
    flag: Literal["SF", "S0", "S1", "S2", "S3", "REJ", "RSTO", "RSTR", "RSTOS0", "RSTRH", "SH", "SHR", "OTH"]
    src_bytes: int
    dst_bytes: int
    land: int
    wrong_fragment: int
    urgent: int
    count: int
    srv_count: int
    serror_rate: float
    srv_serror_rate: float
    rerror_rate: float
    srv_rerror_rate: float
    same_srv_rate: float
    diff_srv_rate: float
    srv_diff_host_rate: float
    dst_host_count: int
    dst_host_srv_count: int
    dst_host_same_srv_rate: float
    dst_host_diff_srv_rate: float
    dst_host_same_src_port_rate: float
    dst_host_srv_diff_host_rate: float
    dst_host_serror_rate: float
    dst_host_srv_serror_rate: float
    dst_host_rerror_rate: float
    dst_host_srv_rerror_rate: float
    start_time: float
    end_time: float
    src_ip: str
    src_port: int
    dst_ip: str
    dst_port: int
    ip_proto: int
    src_packets: int
    dst_packets: int

type Services = Mapping[tuple[Literal["tcp", "udp"], int], str]

# The statistics of a connection stream: the frames', then the connection table's counts.
@type_check_only
class ConnectionStats(CaptureStats):
    connections: int
    open_connections: int
    evicted: int
    other_protocol: int
    unattributed_fragments: int

@type_check_only
class ConnectionStream(CaptureGenerator[ConnectionRecord]):
    def stats(self) -> ConnectionStats: ...

def read_connections(sources: Sources, *, filter: str | None = None, skip_vlan: bool = False,
                     continuous: bool = False, tcp_timeout: float = 300.0, udp_timeout: float = 60.0,
                     icmp_timeout: float = 60.0, close_linger: float = 5.0, time_window: float = 2.0,
                     host_window: int = 100, max_connections: int = 1048576, services: Services | None = None,
                     kdd_compat: bool = False) -> ConnectionStream:
    """Yield one connection record per TCP, UDP or ICMP connection of one or several capture files."""

def sniff_connections(device: str | bytes | None = None, *, filter: str | None = None, snaplen: int = 65535,
                      promisc: bool = True, timeout: float = 1.0, buffer_size: int = 0, immediate: bool = True,
                      skip_vlan: bool = False, tcp_timeout: float = 300.0, udp_timeout: float = 60.0,
                      icmp_timeout: float = 60.0, close_linger: float = 5.0, time_window: float = 2.0,
                      host_window: int = 100, max_connections: int = 1048576, services: Services | None = None,
                      kdd_compat: bool = False) -> ConnectionStream:
    """Yield one connection record per connection captured live, as each ends, without end."""
