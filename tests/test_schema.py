"""The field table in varnel.schema against the dictionaries the native modules really make: keys
and their order for every protocol group, and values that fit the declared Arrow types, at the top
of their ranges."""

import pytest

from testkit.frames import ETH_IPV6, Record, ethernet, icmp, ipv4, ipv6, tcp, udp
from varnel import schema
from varnel.core.base.grapnel import read_pcap
from varnel.core.ver100.moraine import FeatureExtractor

# Arrow type name -> the Python type of its values and, for integers, the exclusive upper bound.
ARROW_VALUES = {
    "bool": (bool, None), "float64": (float, None), "string": (str, None),
    "uint8": (int, 2**8), "uint16": (int, 2**16), "uint32": (int, 2**32),
}


def misfits(fields, row: dict) -> dict:
    """The values of `row` that are not what their field declares."""
    wrong = {}
    for field in fields:
        kind, bound = ARROW_VALUES[field.arrow_type]
        value = row[field.name]
        if type(value) is not kind or (bound is not None and not 0 <= value < bound):
            wrong[field.name] = (field.arrow_type, value)
    return wrong


def v4(payload: bytes, proto: int) -> bytes:
    return ethernet(ipv4(payload, proto=proto, ident=0xFFFF))


def v6(payload: bytes, next_hdr: int) -> bytes:
    return ethernet(ipv6(payload, next_hdr=next_hdr, flow_label=0xFFFFF), eth_type=ETH_IPV6)


TOP_TCP = tcp(0xFFFF, 0xFFFF, seq=0xFFFFFFFF, ack=0xFFFFFFFF, flags=0xFF)
TOP_UDP = udp(0xFFFF, 0xFFFF, length=0xFFFF)
TOP_ICMP = icmp(0xFF, 0xFF)

# Every field at the top of its range somewhere: ports, sequence numbers, flags, identification
# and flow label, protocol numbers, and a wire length of 2**32 - 1.
FRAMES = [
    pytest.param(v4(TOP_TCP, 6), schema.TCP, id="TCP"),
    pytest.param(v6(TOP_TCP, 6), schema.TCP, id="TCP over IPv6"),
    pytest.param(v4(TOP_UDP, 17), schema.UDP, id="UDP"),
    pytest.param(v6(TOP_UDP, 17), schema.UDP, id="UDP over IPv6"),
    pytest.param(v4(TOP_ICMP, 1), schema.ICMP, id="ICMP"),
    pytest.param(v6(TOP_ICMP, 58), schema.ICMP, id="ICMPv6"),
    pytest.param(v4(bytes(8), 0xFF), None, id="other"),
    pytest.param(v6(bytes(8), 59), None, id="other over IPv6"),
]


@pytest.mark.parametrize("frame, group", FRAMES)
def test_packet_dicts_are_the_table_of_their_group(capture_file, frame, group):
    [packet] = read_pcap(capture_file([Record(frame, wire_len=0xFFFFFFFF)]))
    assert list(packet) == list(schema.packet_keys(group))
    assert schema.group_of(packet["protocol_type"]) == group
    assert misfits([schema.BY_NAME[key] for key in packet], packet) == {}


@pytest.mark.parametrize("frame, group", FRAMES)
def test_feature_rows_are_the_table(capture_file, frame, group):
    [row] = FeatureExtractor().process_pcap(capture_file([Record(frame, wire_len=0xFFFFFFFF)]))
    assert list(row) == list(schema.feature_columns())
    assert misfits(schema.FEATURE_FIELDS, row) == {}
    assert row["src_bytes"] == 0xFFFFFFFF


def test_orders_and_groups_follow_from_the_table():
    assert schema.packet_columns()[:2] == ("success", "timestamp")
    grouped = [field.group is not None for field in schema.PACKET_FIELDS]
    assert grouped == sorted(grouped), "a protocol group's keys come after every common key"
    assert [field.name for field in schema.FIELDS if field.nullable] == [
        "tcp_flag", "tcp_seq", "tcp_ack", "urgent", "udp_length", "icmp_type", "icmp_code"]
    assert schema.feature_columns(flow_key=True) == schema.feature_columns() + ("src_ip", "dst_ip", "ip_proto")
    # A flow key is made of packet fields, under the same types.
    assert all(schema.PACKET in field.outputs for field in schema.FLOW_KEY_FIELDS)
    assert {field.arrow_type for field in schema.FIELDS} <= set(ARROW_VALUES)
