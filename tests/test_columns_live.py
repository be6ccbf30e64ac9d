"""Arrow columns from a live device, on the loopback device only, sending only to 127.0.0.1."""

from __future__ import annotations

import socket

import pyarrow
import pytest

from support.resources import packet_socket_count
from varnel.columns import read_features_live, read_packets_live


def free_udp_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send(port: int, sizes: list[int]) -> None:
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for size in sizes:
            sender.sendto(b"x" * size, ("127.0.0.1", port))


@pytest.fixture
def port() -> int:
    try:
        read_packets_live("lo", limit=1).__arrow_c_stream__()
    except RuntimeError as error:
        pytest.skip(f"no live capture here: {error}")
    return free_udp_port()


@pytest.mark.parametrize("timestamp_column, dictionary", [(False, False), (True, False), (False, True)])
def test_datagrams_sent_after_the_export_are_in_the_columns(port, timestamp_column, dictionary):
    columns = read_packets_live("lo", filter=f"udp and dst port {port}", limit=3, batch_timeout=0.05,
                                timestamp_column=timestamp_column, dictionary=dictionary)
    with pyarrow.RecordBatchReader.from_stream(columns) as reader:  # the device is open from here
        send(port, [10, 20, 30])
        table = reader.read_all()
    assert table.num_rows == 3
    assert table.column("dst_port").to_pylist() == [port] * 3
    assert table.column("udp_length").to_pylist() == [18, 28, 38]
    assert set(table.column("protocol_type").to_pylist()) == {"UDP"}
    assert table.column("src_mac").to_pylist() == ["00:00:00:00:00:00"] * 3
    assert ("capture_time" in table.schema.names) == timestamp_column
    assert pyarrow.types.is_dictionary(table.schema.field("src_ip").type) == dictionary
    assert columns.stats()["finished"]


def test_feature_rows_count_within_the_stream(port):
    columns = read_features_live(b"lo", filter=f"udp and dst port {port}", limit=4, flow_key=True)
    with pyarrow.RecordBatchReader.from_stream(columns) as reader:
        send(port, [1, 1, 1, 1])
        table = reader.read_all()
    assert table.column("count").to_pylist() == [1, 2, 3, 4]
    assert table.column("dst_ip").to_pylist() == ["127.0.0.1"] * 4


def test_an_idle_device_gives_empty_batches_at_the_time_out(port):
    with pyarrow.RecordBatchReader.from_stream(read_packets_live("lo", filter=f"udp and dst port {port}",
                                                                 batch_timeout=0.01)) as reader:
        assert [reader.read_next_batch().num_rows for _ in range(3)] == [0, 0, 0]


def test_a_live_source_is_exported_once(port):
    columns = read_packets_live("lo", filter=f"udp and dst port {port}", limit=1)
    capsule = columns.__arrow_c_stream__()
    with pytest.raises(RuntimeError, match="exported only once"):
        columns.__arrow_c_stream__()
    del capsule


def test_a_dropped_live_stream_closes_its_socket(port):
    before = packet_socket_count()
    for _ in range(10):
        reader = pyarrow.RecordBatchReader.from_stream(read_packets_live("lo", filter=f"udp and dst port {port}",
                                                                         batch_timeout=0.01))
        assert packet_socket_count() == before + 1
        reader.read_next_batch()
        del reader
        assert packet_socket_count() == before


@pytest.mark.parametrize("device, options, message", [
    ("varnel-no-such-device", {}, "Could not open device: varnel-no-such-device"),
])
def test_a_device_that_cannot_be_opened_raises_at_export(port, device, options, message):
    with pytest.raises(RuntimeError, match=message):
        pyarrow.RecordBatchReader.from_stream(read_packets_live(device, **options))


@pytest.mark.parametrize("options, message", [
    ({"batch_timeout": 0}, "batch_timeout must be at least"),
    ({"limit": 0}, "limit must be a positive int"),
    ({"limit": True}, "limit must be a positive int"),
    ({"filter": "udp and nonsense"}, "invalid filter 'udp and nonsense'.*syntax error"),  # at the call
])
def test_bad_live_options_are_refused(options, message):
    with pytest.raises(ValueError, match=message):
        read_packets_live("lo", **options)
