"""The fields of varnel's outputs, in one table: packet dictionaries (`read_pcap`, `start_sniff`),
feature rows (`FeatureExtractor`) and flow keys; and the columns of connection records.

The native modules build the dictionaries; this is their Python mirror, for code that needs the
names, their order, their Arrow types or whether a field may be missing (the command's CSV header and
Parquet schema, the tests). The test suite holds it to the dictionaries the modules really make.
"""

from __future__ import annotations

from dataclasses import dataclass

PACKET, FEATURE, FLOW_KEY = "packet", "feature", "flow_key"
OUTPUTS = (PACKET, FEATURE, FLOW_KEY)

# Protocol groups: the keys a packet dictionary carries only for its protocol.
TCP, UDP, ICMP = "tcp", "udp", "icmp"
GROUPS = (TCP, UDP, ICMP)
_GROUP_OF_PROTOCOL_TYPE = {"TCP": TCP, "UDP": UDP, "ICMP": ICMP}  # "Others" has no group


@dataclass(frozen=True, slots=True)
class Field:
    """One field. `arrow_type` is an Arrow type name pyarrow knows (`pyarrow.type_for_alias`).
    `packet`, `feature` and `flow_key` give its position in each output that carries it, else None."""

    name: str
    arrow_type: str
    group: str | None = None
    packet: int | None = None
    feature: int | None = None
    flow_key: int | None = None

    @property
    def nullable(self) -> bool:
        """A protocol group's field is left out of the dictionaries of other protocols; as a column,
        those rows hold null there."""
        return self.group is not None

    @property
    def outputs(self) -> tuple[str, ...]:
        return tuple(output for output in OUTPUTS if self.position(output) is not None)

    def position(self, output: str) -> int | None:
        return getattr(self, output)


FIELDS: tuple[Field, ...] = (
    #     name              Arrow type  group  packet feature flow_key
    Field("success",        "bool",     None,  0),
    Field("timestamp",      "float64",  None,  1,     0),
    Field("date_time",      "string",   None,  2),
    Field("frame_length",   "uint32",   None,  3),
    Field("src_mac",        "string",   None,  4),
    Field("dst_mac",        "string",   None,  5),
    Field("ip_proto",       "uint8",    None,  6,     None,   2),
    Field("ip_id",          "uint32",   None,  7),   # IPv6: the 20-bit flow label
    Field("wrong_fragment", "uint8",    None,  8,     6),
    Field("land",           "uint8",    None,  9,     5),
    Field("src_port",       "uint16",   None,  10,    1),
    Field("dst_port",       "uint16",   None,  11,    2),
    Field("version",        "string",   None,  12),
    Field("src_ip",         "string",   None,  13,    None,   0),
    Field("dst_ip",         "string",   None,  14,    None,   1),
    Field("protocol_type",  "string",   None,  15,    3),
    Field("tcp_flag",       "uint8",    TCP,   16),
    Field("tcp_seq",        "uint32",   TCP,   17),
    Field("tcp_ack",        "uint32",   TCP,   18),
    Field("urgent",         "uint8",    TCP,   19),
    Field("udp_length",     "uint16",   UDP,   20),
    Field("icmp_type",      "uint8",    ICMP,  21),
    Field("icmp_code",      "uint8",    ICMP,  22),
    Field("src_bytes",      "uint32",   None,  None,  4),  # the frame's wire length
    Field("count",          "uint32",   None,  None,  7),
)

BY_NAME: dict[str, Field] = {field.name: field for field in FIELDS}


def _in_order(output: str) -> tuple[Field, ...]:
    carried = sorted((field for field in FIELDS if field.position(output) is not None),
                     key=lambda field: field.position(output))
    if [field.position(output) for field in carried] != list(range(len(carried))):
        raise AssertionError(f"the {output} positions of the field table have a gap or a repeat")
    return tuple(carried)


PACKET_FIELDS = _in_order(PACKET)
FEATURE_FIELDS = _in_order(FEATURE)
FLOW_KEY_FIELDS = _in_order(FLOW_KEY)


def group_of(protocol_type: str) -> str | None:
    """The protocol group of a packet dictionary, from its `protocol_type`."""
    return _GROUP_OF_PROTOCOL_TYPE.get(protocol_type)


def packet_keys(group: str | None) -> tuple[str, ...]:
    """The keys of a packet dictionary of `group` (None: a protocol without one), in order."""
    return tuple(field.name for field in PACKET_FIELDS if field.group in (None, group))


def packet_columns() -> tuple[str, ...]:
    """Every key a packet dictionary may have, in order: one column per key."""
    return tuple(field.name for field in PACKET_FIELDS)


def feature_columns(flow_key: bool = False) -> tuple[str, ...]:
    """The keys of a feature row, in order; with `flow_key`, the flow key's fields follow them."""
    fields = FEATURE_FIELDS + (FLOW_KEY_FIELDS if flow_key else ())
    return tuple(field.name for field in fields)


# Connection records: the 28 columns of the KDD'99 data sets in their order, then the connection's
# times, end points, protocol and packet counts; (name, Arrow type). protocol_type, service and flag
# are dictionary-encoded in columns.
CONNECTION_COLUMNS: tuple[tuple[str, str], ...] = (
    ("duration", "uint32"), ("protocol_type", "string"), ("service", "string"), ("flag", "string"),
    ("src_bytes", "uint64"), ("dst_bytes", "uint64"), ("land", "uint32"), ("wrong_fragment", "uint32"),
    ("urgent", "uint32"), ("count", "uint32"), ("srv_count", "uint32"), ("serror_rate", "float64"),
    ("srv_serror_rate", "float64"), ("rerror_rate", "float64"), ("srv_rerror_rate", "float64"),
    ("same_srv_rate", "float64"), ("diff_srv_rate", "float64"), ("srv_diff_host_rate", "float64"),
    ("dst_host_count", "uint32"), ("dst_host_srv_count", "uint32"), ("dst_host_same_srv_rate", "float64"),
    ("dst_host_diff_srv_rate", "float64"), ("dst_host_same_src_port_rate", "float64"),
    ("dst_host_srv_diff_host_rate", "float64"), ("dst_host_serror_rate", "float64"),
    ("dst_host_srv_serror_rate", "float64"), ("dst_host_rerror_rate", "float64"),
    ("dst_host_srv_rerror_rate", "float64"), ("start_time", "float64"), ("end_time", "float64"),
    ("src_ip", "string"), ("src_port", "uint16"), ("dst_ip", "string"), ("dst_port", "uint16"),
    ("ip_proto", "uint8"), ("src_packets", "uint32"), ("dst_packets", "uint32"),
)


def connection_columns() -> tuple[str, ...]:
    """The columns of a connection record, in order."""
    return tuple(name for name, _ in CONNECTION_COLUMNS)
