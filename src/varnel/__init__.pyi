"""varnel: network traffic turned into packet dictionaries and KDD-style feature rows."""

import os
from collections.abc import Iterable
from typing import Protocol, TypedDict, type_check_only

from varnel.core.base.grapnel import CaptureGenerator, PacketDict
from varnel.core.ver100.moraine import FeatureRow

from varnel.columns import (read_features_table as read_features_table, read_packets_table as read_packets_table,
                            sniff_features_table as sniff_features_table,
                            sniff_packets_table as sniff_packets_table)

__all__ = ["read_packets", "sniff_packets", "read_features", "sniff_features", "read_packets_table",
           "sniff_packets_table", "read_features_table", "sniff_features_table"]

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
