from typing import Literal, NoReturn, TypedDict, type_check_only

from typing_extensions import disjoint_base

from varnel.core.base.grapnel import CaptureGenerator

# One packet's features; a row's keys come in this order.
@type_check_only
class FeatureRow(TypedDict):
    timestamp: float
    src_port: int
    dst_port: int
    protocol_type: Literal["TCP", "UDP", "ICMP"]
    src_bytes: int
    land: Literal[0, 1]
    wrong_fragment: Literal[0, 1]
    count: int

@disjoint_base  # a native object layout
class FeatureExtractor:
    def __new__(cls, *args: object, **kwargs: object) -> FeatureExtractor: ...
    def process_pcap(self, file_path: bytes | None) -> list[FeatureRow]: ...
    def process_live(self, device_name: bytes | None) -> CaptureGenerator[FeatureRow]: ...
    def iter_pcap(self, file_path: bytes | None) -> CaptureGenerator[FeatureRow]: ...
    @property
    def _tracked_hosts(self) -> int: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...

def _set_expiry_threshold(threshold: int, /) -> int: ...  # for tests only
