"""Packets and feature rows as Arrow columns: the same names, order and values as the dictionaries and
rows, read by every consumer of the Arrow PyCapsule interface, with damage and early drops handled."""

from __future__ import annotations

import ctypes
import errno
import faulthandler
import os
import struct
import threading
import time
import warnings
from pathlib import Path

import pyarrow
import pytest

import varnel
from conftest import CORPUS
from testkit.frames import ETH_IPV6, ETH_VLAN, Record, arp, ethernet, icmp, ipv4, ipv6, pcap_bytes, stamped, tcp, udp
from support.resources import open_count
from support.resources import traced_bytes, usage
from varnel.columns import CaptureColumns, read_features_table, read_packets_table
from varnel.core.base.grapnel import read_pcap
from varnel.core.ver100.moraine import FeatureExtractor

CAPTURES = sorted(p for p in CORPUS.glob("*") if p.suffix in {".pcap", ".pcapng", ".cap"}) if CORPUS.is_dir() else []
TRUNCATED = CORPUS / "ndpi-teams-truncated.pcap"
GROUP_COLUMNS = ("tcp_flag", "tcp_seq", "tcp_ack", "urgent", "udp_length", "icmp_type", "icmp_code")


# ---- References: the dictionary API on the same frames (VLAN tags are not looked through there).

def reference_packets(path) -> tuple[list[dict], list[str]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        packets = list(read_pcap(os.fsencode(path)))
    return packets, [str(w.message) for w in caught]


def reference_rows(path) -> tuple[list[dict], list[str]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rows = FeatureExtractor().process_pcap(os.fsencode(path))
    return rows, [str(w.message) for w in caught]


def as_packet_dicts(table: pyarrow.Table) -> list[dict]:
    """The table's rows as the dictionaries would hold them: a null cell is an absent key."""
    return [{key: value for key, value in row.items() if value is not None} for row in table.to_pylist()]


def typed(rows: list[dict]) -> list[list[tuple]]:
    return [[(key, type(value), value) for key, value in row.items()] for row in rows]


def same_rows(got: list[dict], want: list[dict]) -> None:
    assert len(got) == len(want)
    for index, (mine, theirs) in enumerate(zip(typed(got), typed(want))):
        assert mine == theirs, f"row {index}"


# ---- Equal to the dictionaries and rows

@pytest.mark.parametrize("path", CAPTURES, ids=lambda p: p.name)
def test_packet_columns_equal_the_packet_dicts(path):
    packets, dict_warnings = reference_packets(path)
    columns = read_packets_table(path, skip_vlan=True, batch_size=500)
    table = pyarrow.table(columns)
    table.validate(full=True)  # offsets, bitmaps, dictionary indices and lengths hold together
    same_rows(as_packet_dicts(table), packets)
    assert columns.warnings == [f"{path}: {text}" for text in dict_warnings]
    assert columns.stats()["rows"] == len(packets)


@pytest.mark.parametrize("path", CAPTURES, ids=lambda p: p.name)
def test_feature_columns_equal_the_feature_rows(path):
    rows, row_warnings = reference_rows(path)
    columns = read_features_table(path, skip_vlan=True, batch_size=500, flow_key=True)
    table = pyarrow.table(columns)
    table.validate(full=True)
    same_rows(table.drop_columns(["src_ip", "dst_ip", "ip_proto"]).to_pylist(), rows)
    packets = reference_packets(path)[0]
    assert table.select(["src_ip", "dst_ip", "ip_proto"]).to_pylist() == [
        {key: packet[key] for key in ("src_ip", "dst_ip", "ip_proto")} for packet in packets]
    # The same libpcap reason after each side's own prefix.
    assert [text.split(": ", 2)[-1] for text in columns.warnings] == [text.split(": ", 1)[1] for text in row_warnings]


FRAMES = [
    ethernet(ipv4(tcp(sport=4000, dport=443, seq=2**32 - 1, ack=7, flags=0xFF), ident=65535)),
    ethernet(ipv4(udp(sport=53, dport=5353, length=1234), proto=17, src="10.0.0.9", dst="10.0.0.9")),
    ethernet(ipv4(icmp(3, 4), proto=1)),
    ethernet(ipv4(b"\x00" * 8, proto=47)),                                 # GRE: no protocol group
    ethernet(ipv4(tcp(sport=80, dport=80), src="10.1.1.1", dst="10.1.1.1")),  # land
    ethernet(ipv4(tcp(), flags_frag=0x2000)),                              # first fragment
    ethernet(ipv4(b"\x11" * 16, flags_frag=0x0010)),                       # later fragment
    ethernet(ipv6(tcp(sport=1, dport=2), flow_label=0xFFFFF, src="::ffff:1.2.3.4", dst="fe80::1"), eth_type=ETH_IPV6),
    ethernet(ipv6(icmp(128), next_hdr=58, src="::", dst="2001:db8:0:0:1::1"), eth_type=ETH_IPV6),
    ethernet(ipv6(udp(), next_hdr=17), eth_type=ETH_IPV6),
    ethernet(ipv6(b"", next_hdr=0), eth_type=ETH_IPV6),                    # hop-by-hop: reported, not followed
    ethernet(ipv4(tcp())[:30]),                                            # cut inside the IPv4 header
    ethernet(ipv4(tcp())[:24] + b"\x00" * 10),                             # TCP header only partly there
    arp(),
    ethernet(b"\x00\x01" + ipv4(udp(), proto=17), eth_type=ETH_VLAN),
]


@pytest.mark.parametrize("micros_apart", [1, 250_000, 2_000_000, 2_000_001])
def test_hand_built_frames_give_the_same_values(capture_file, micros_apart):
    records = [stamped(frame, index * micros_apart) for index, frame in enumerate(FRAMES * 3)]
    path = capture_file(records)
    same_rows(as_packet_dicts(pyarrow.table(read_packets_table(path, skip_vlan=True))), reference_packets(path)[0])
    same_rows(pyarrow.table(read_features_table(path, skip_vlan=True)).to_pylist(), reference_rows(path)[0])


@pytest.mark.parametrize("batch_size", [1, 999, 65536])
def test_long_addresses_grow_the_text_buffers(capture_file, batch_size):
    long_source = ipv6(udp(), next_hdr=17, src="1111:2222:3333:4444:5555:6666:7777:8888", dst="::ffff:255.255.255.254")
    path = capture_file([stamped(ethernet(long_source, eth_type=ETH_IPV6), index) for index in range(3000)])
    table = pyarrow.table(read_packets_table(path, batch_size=batch_size))
    assert set(table.column("src_ip").to_pylist()) == {"1111:2222:3333:4444:5555:6666:7777:8888"}
    same_rows(as_packet_dicts(table), reference_packets(path)[0])


def test_a_short_snapshot_keeps_the_wire_length(capture_file):
    records = [Record(ethernet(ipv4(tcp(payload=b"x" * 500))), caplen=40), Record(ethernet(ipv4(udp(), proto=17)), caplen=38)]
    path = capture_file(records)
    table = pyarrow.table(read_packets_table(path))
    assert table.column("frame_length").to_pylist() == [554, 42]
    same_rows(as_packet_dicts(table), reference_packets(path)[0])


@pytest.mark.parametrize("zone", ["UTC", "Asia/Ho_Chi_Minh", "America/St_Johns"])
def test_date_time_is_local_time_like_the_dicts(capture_file, monkeypatch, zone):
    monkeypatch.setenv("TZ", zone)
    time.tzset()
    try:
        path = capture_file([stamped(ethernet(ipv4(tcp())), seconds * 1_000_000) for seconds in (0, 1, 3601, 86399)])
        dates = pyarrow.table(read_packets_table(path)).column("date_time").to_pylist()
        assert dates == [packet["date_time"] for packet in read_pcap(path)]
        assert len(set(dates)) == 4
    finally:
        monkeypatch.undo()
        time.tzset()


def test_vlan_tags_are_looked_through_by_default(capture_file):
    tagged = ethernet(b"\x00\x05\x08\x00" + ipv4(udp(sport=7, dport=9), proto=17), eth_type=ETH_VLAN)
    path = capture_file([tagged, ethernet(ipv4(tcp()))])
    assert pyarrow.table(read_packets_table(path)).column("src_port").to_pylist() == [7, 1234]
    assert pyarrow.table(read_packets_table(path, skip_vlan=True)).column("src_port").to_pylist() == [1234]


# ---- Types and batches

PACKET_TYPES = {
    "success": pyarrow.bool_(), "timestamp": pyarrow.float64(), "date_time": pyarrow.string(),
    "frame_length": pyarrow.uint32(), "src_mac": pyarrow.string(), "dst_mac": pyarrow.string(),
    "ip_proto": pyarrow.uint8(), "ip_id": pyarrow.uint32(), "wrong_fragment": pyarrow.uint8(),
    "land": pyarrow.uint8(), "src_port": pyarrow.uint16(), "dst_port": pyarrow.uint16(),
    "version": pyarrow.dictionary(pyarrow.int8(), pyarrow.string()), "src_ip": pyarrow.string(),
    "dst_ip": pyarrow.string(), "protocol_type": pyarrow.dictionary(pyarrow.int8(), pyarrow.string()),
    "tcp_flag": pyarrow.uint8(), "tcp_seq": pyarrow.uint32(), "tcp_ack": pyarrow.uint32(), "urgent": pyarrow.uint8(),
    "udp_length": pyarrow.uint16(), "icmp_type": pyarrow.uint8(), "icmp_code": pyarrow.uint8(),
}
FEATURE_TYPES = {
    "timestamp": pyarrow.float64(), "src_port": pyarrow.uint16(), "dst_port": pyarrow.uint16(),
    "protocol_type": pyarrow.dictionary(pyarrow.int8(), pyarrow.string()), "src_bytes": pyarrow.uint32(),
    "land": pyarrow.uint8(), "wrong_fragment": pyarrow.uint8(), "count": pyarrow.uint32(),
}
FLOW_KEY_TYPES = {"src_ip": pyarrow.string(), "dst_ip": pyarrow.string(), "ip_proto": pyarrow.uint8()}


@pytest.mark.parametrize("columns, types", [
    (read_packets_table("samples/sample.pcap"), PACKET_TYPES),
    (read_packets_table("samples/sample.pcap", timestamp_column=True),
     PACKET_TYPES | {"capture_time": pyarrow.timestamp("us", tz="UTC")}),
    (read_features_table("samples/sample.pcap"), FEATURE_TYPES),
    (read_features_table("samples/sample.pcap", flow_key=True), FEATURE_TYPES | FLOW_KEY_TYPES),
], ids=["packets", "packets+time", "features", "features+flow"])
def test_schema_names_types_and_nullability(columns, types):
    schema = pyarrow.schema(columns)
    assert dict(zip(schema.names, schema.types)) == types and schema.names == list(types)
    assert [name for name in schema.names if schema.field(name).nullable] == [
        name for name in GROUP_COLUMNS if name in types]
    assert pyarrow.table(columns).schema == schema


def test_capture_time_is_the_exact_microsecond(capture_file):
    micros = [0, 1, 999_999, 1_234_567, -1]
    path = capture_file([stamped(ethernet(ipv4(tcp())), value) for value in micros])
    stamps = pyarrow.table(read_packets_table(path, timestamp_column=True)).column("capture_time").cast(pyarrow.int64())
    assert stamps.to_pylist() == [1_700_000_000 * 1_000_000 + value for value in micros]


@pytest.mark.parametrize("batch_size, sizes", [(1, [1] * 18), (7, [7, 7, 4]), (18, [18]), (65536, [18])])
def test_batches_are_bounded_and_share_one_dictionary(batch_size, sizes):
    reader = pyarrow.RecordBatchReader.from_stream(read_packets_table("samples/sample.pcap", batch_size=batch_size))
    batches = list(reader)
    assert [batch.num_rows for batch in batches] == sizes
    dictionaries = {tuple(batch.column("protocol_type").dictionary.to_pylist()) for batch in batches}
    assert dictionaries == {("TCP", "UDP", "ICMP", "Others")}


def test_several_files_are_read_in_order_with_counts_restarting(capture_file):
    burst = [stamped(ethernet(ipv4(udp(), proto=17)), index) for index in range(5)]
    first, second = capture_file(burst), capture_file(burst[:3])
    table = pyarrow.table(read_features_table([first, Path(os.fsdecode(second)), first]))
    assert table.column("count").to_pylist() == [1, 2, 3, 4, 5, 1, 2, 3, 1, 2, 3, 4, 5]
    assert read_features_table([first, second]).paths == (first, second)


def test_an_empty_list_of_files_is_an_empty_table():
    table = pyarrow.table(read_packets_table([]))
    assert table.num_rows == 0 and table.schema.names == list(PACKET_TYPES)


def test_two_streams_of_one_source_give_the_same_data():
    columns = read_packets_table(CORPUS / "ndpi-reddit.pcap", batch_size=300)
    assert pyarrow.table(columns).equals(pyarrow.table(columns))
    first, second = columns.__arrow_c_stream__(), columns.__arrow_c_stream__()
    tables = [pyarrow.RecordBatchReader._import_from_c_capsule(capsule).read_all() for capsule in (second, first)]
    assert tables[0].equals(tables[1]) and tables[0].num_rows == 1942


# ---- Consumers

def test_polars_reads_the_columns():
    polars = pytest.importorskip("polars")
    columns = read_features_table("samples/sample.pcap", flow_key=True)
    frame = polars.DataFrame(columns)
    assert frame.columns == list(FEATURE_TYPES | FLOW_KEY_TYPES)
    assert frame["count"].to_list() == [row["count"] for row in FeatureExtractor().process_pcap(b"samples/sample.pcap")]
    assert frame["protocol_type"].cast(polars.String).to_list() == pyarrow.table(columns).column("protocol_type").to_pylist()
    assert polars.from_arrow(pyarrow.table(columns)).equals(frame)
    # polars makes any PyCapsule stream a Series of structs; unnested, it is the same frame.
    assert polars.from_arrow(columns).struct.unnest().equals(frame)


def test_duckdb_queries_the_columns_and_may_scan_twice():
    duckdb = pytest.importorskip("duckdb")
    packets = read_packets_table(CORPUS / "ndpi-reddit.pcap", batch_size=256)
    query = "select protocol_type, count(*) as n, sum(frame_length) as bytes from packets group by 1 order by 1"
    got = duckdb.sql(query).fetchall()
    want: dict[str, list[int]] = {}
    for packet in read_pcap(bytes(CORPUS / "ndpi-reddit.pcap")):
        total = want.setdefault(packet["protocol_type"], [0, 0])
        total[0] += 1
        total[1] += packet["frame_length"]
    assert got == sorted((name, n, size) for name, (n, size) in want.items())
    assert duckdb.sql(query).fetchall() == got
    assert duckdb.sql("select count(*) from packets where tcp_flag is null").fetchall()[0][0] == sum(
        1 for packet in read_pcap(bytes(CORPUS / "ndpi-reddit.pcap")) if "tcp_flag" not in packet)


def test_pandas_takes_the_columns_through_pyarrow():
    pandas = pytest.importorskip("pandas")
    frame = read_features_table("samples/sample.pcap").read_all().to_pandas()
    assert isinstance(frame, pandas.DataFrame)
    assert frame.to_dict("records") == FeatureExtractor().process_pcap(b"samples/sample.pcap")


# ---- Damage, errors and arguments

def test_a_damaged_file_gives_its_good_batches_then_reports_the_damage():
    packets, dict_warnings = reference_packets(TRUNCATED)
    columns = read_packets_table(TRUNCATED, batch_size=64, skip_vlan=True)
    table = pyarrow.table(columns)  # no exception, no warning inside the stream
    assert table.num_rows == len(packets) == 370
    stats = columns.stats()
    assert stats["finished"] and stats["error"] is None and stats["batches"] == 6
    assert stats["warnings"] == [f"{TRUNCATED}: {dict_warnings[0]}"]
    assert "truncated dump file" in stats["warnings"][0]


def pcapng_in_seconds(stamps: list[int]) -> bytes:
    """A pcapng file whose interface stamps in whole seconds (64 bits of them): one TCP frame a stamp."""
    def block(kind: int, body: bytes) -> bytes:
        body += bytes(-len(body) % 4)
        return struct.pack("<II", kind, 12 + len(body)) + body + struct.pack("<I", 12 + len(body))

    resolution = struct.pack("<HHB3x", 9, 1, 0) + struct.pack("<HH", 0, 0)  # if_tsresol 10^0, end of options
    frame = ethernet(ipv4(tcp()))
    return b"".join([block(0x0A0D0D0A, struct.pack("<IHHq", 0x1A2B3C4D, 1, 0, -1)),
                     block(1, struct.pack("<HHI", 1, 0, 65535) + resolution)] +
                    [block(6, struct.pack("<IIIII", 0, stamp >> 32, stamp & 0xFFFFFFFF, len(frame), len(frame)) + frame)
                     for stamp in stamps])


def test_a_time_stamp_without_a_local_date_ends_the_file_like_damage(tmp_path, capture_file):
    path = tmp_path / "far-future.pcapng"
    path.write_bytes(pcapng_in_seconds([1_700_000_000, 1_700_000_001, 2**62, 1_700_000_002]))
    packets = read_pcap(bytes(path))
    kept = [next(packets), next(packets)]
    with pytest.raises(OSError, match="Value too large"):  # the dicts raise here
        next(packets)
    after = capture_file([ethernet(ipv4(udp(), proto=17))])
    columns = read_packets_table([path, after])
    table = pyarrow.table(columns)
    assert table.column("file").to_pylist() == [str(path)] * 2 + [os.fsdecode(after)]
    table = table.drop_columns(["file"])
    assert as_packet_dicts(table.slice(0, 2)) == kept
    assert table.num_rows == 3 and table.column("protocol_type").to_pylist()[2] == "UDP"
    assert columns.warnings == [f"{path}: frame time stamp {2**62} s has no local date and time: "
                                f"{os.strerror(errno.EOVERFLOW)}"]
    # Feature rows have no date: every frame is a row.
    same_rows(pyarrow.table(read_features_table(path)).to_pylist(), reference_rows(path)[0])


def test_python_iteration_warns_about_the_damage_naming_the_file(capture_file):
    good = capture_file([ethernet(ipv4(tcp()))] * 3)
    with pytest.warns(RuntimeWarning) as caught:
        batches = list(read_packets_table([TRUNCATED, good], batch_size=100).batches())
    assert [batch.num_rows for batch in batches] == [100, 100, 100, 70, 3]  # 370 good rows, then the next file
    assert [str(w.message) for w in caught] == [f"{TRUNCATED}: {reference_packets(TRUNCATED)[1][0]}"]


def test_no_warning_from_python_iteration_over_sound_files():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert sum(batch.num_rows for batch in read_features_table("samples/sample.pcap").batches()) == 18


def test_a_file_that_cannot_be_opened_raises_at_export(tmp_path):
    missing = tmp_path / "missing.pcap"
    with pytest.raises(RuntimeError) as raised:
        pyarrow.table(read_packets_table(missing))
    with pytest.raises(RuntimeError) as expected:
        next(read_pcap(bytes(missing)))
    assert str(raised.value) == str(expected.value)
    assert raised.value.reason == expected.value.reason


def test_a_later_file_that_cannot_be_opened_ends_the_stream_with_an_error(tmp_path):
    columns = read_packets_table(["samples/sample.pcap", tmp_path / "gone.pcap"], batch_size=10)
    reader = pyarrow.RecordBatchReader.from_stream(columns)
    assert [reader.read_next_batch().num_rows for _ in range(2)] == [10, 8]
    with pytest.raises(OSError, match="Could not open file: .*gone.pcap"):
        reader.read_next_batch()
    assert "gone.pcap" in columns.stats()["error"] and not columns.stats()["finished"]


@pytest.mark.parametrize("call, error, message", [
    # The sources read_packets takes, refused as it refuses them.
    (lambda: read_packets_table(17), TypeError, "expected a path .* got int"),
    (lambda: read_packets_table(["a.pcap", None]), TypeError, "expected a path .* got NoneType"),
    (lambda: read_packets_table("a.pcap", filter="tcp portx 80"), ValueError, "invalid filter 'tcp portx 80'"),
    (lambda: read_packets_table(b"a\0b"), ValueError, "embedded null byte"),
    (lambda: read_features_table("a.pcap", batch_size=0), ValueError, "batch_size must be between 1 and"),
    (lambda: read_features_table("a.pcap", batch_size=2**24 + 1), ValueError, "batch_size must be between 1 and"),
    (lambda: read_packets_table("a.pcap", batch_size=True), TypeError, "batch_size must be an int"),
    (lambda: read_packets_table("a.pcap", batch_size=1.5), TypeError, "batch_size must be an int"),
    (lambda: read_packets_table("a.pcap")._source.__arrow_c_stream__(None, None), TypeError, "at most 1 argument"),
    (lambda: read_packets_table("a.pcap")._source.__arrow_c_stream__(schema=None), TypeError, "unexpected keyword"),
])
def test_bad_arguments_are_refused_before_anything_opens(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("path", ["samples/sample.pcap", b"samples/sample.pcap", Path("samples/sample.pcap")])
def test_paths_as_str_bytes_or_pathlike(path):
    columns = read_packets_table(path)
    assert isinstance(columns, CaptureColumns) and columns.paths == (b"samples/sample.pcap",)
    assert pyarrow.table(columns).num_rows == 18


def test_nothing_is_opened_before_an_export():
    columns = read_packets_table("samples/sample.pcap")
    assert open_count("samples/sample.pcap") == 0
    assert columns.stats()["rows"] == 0 and not columns.stats()["finished"]
    capsule = columns.__arrow_c_stream__()
    assert open_count("samples/sample.pcap") == 1
    del capsule
    assert open_count("samples/sample.pcap") == 0


# ---- Releasing

@pytest.mark.parametrize("how", ["one batch read", "capsule dropped", "schema only", "read whole"])
@pytest.mark.parametrize("reader", [read_packets_table, read_features_table])
def test_streams_dropped_half_way_release_everything(capture_file, how, reader):
    frames = [ethernet(ipv4(tcp(sport=index % 60000), src=f"10.0.{index // 250}.{index % 250}")) for index in range(3000)]
    path = capture_file(frames)

    def once() -> None:
        columns = reader(path, batch_size=1024)
        if how == "one batch read":
            stream = pyarrow.RecordBatchReader.from_stream(columns)
            assert stream.read_next_batch().num_rows == 1024
            assert open_count(path) == 1
            del stream
        elif how == "capsule dropped":
            capsule = columns.__arrow_c_stream__()
            assert open_count(path) == 1
            del capsule
        elif how == "schema only":
            capsule = columns.__arrow_c_schema__()
            assert pyarrow.schema(columns).names[1] in ("timestamp", "src_port")
            del capsule
        else:
            assert pyarrow.table(columns).num_rows == 3000
        assert open_count(path) == 0

    # The C heap, interpreter blocks, traced memory and descriptors stay as they were. pyarrow may
    # set something up once in any window (its own caches live in the C heap too), so the heap
    # must stay flat in one window of three at least: a leak of each round shows in all three.
    for _ in range(20):
        once()
    windows = []
    for _ in range(3):
        before = usage([path])
        for _ in range(50):
            once()
        after = usage([path])
        assert after.fds == before.fds and after.refs == before.refs
        assert after.blocks - before.blocks < 25, "interpreter blocks grew"
        windows.append(after.heap - before.heap)
    assert min(windows) < 50 * 16, f"C heap grew in every window: {windows}"
    assert traced_bytes(once, 50) < 50 * 16


def test_a_table_outlives_its_source_and_stream():
    columns = read_features_table("samples/sample.pcap", batch_size=5)
    table = pyarrow.table(columns)
    del columns
    assert table.column("protocol_type").to_pylist()[:3] == ["UDP", "UDP", "TCP"]
    assert table.column("protocol_type").chunk(0).dictionary.to_pylist() == ["TCP", "UDP", "ICMP"]


# ---- The interpreter lock

class _ArrowArray(ctypes.Structure):
    pass


_ArrowArray._fields_ = [("length", ctypes.c_int64), ("null_count", ctypes.c_int64), ("offset", ctypes.c_int64),
                        ("n_buffers", ctypes.c_int64), ("n_children", ctypes.c_int64),
                        ("buffers", ctypes.c_void_p), ("children", ctypes.c_void_p), ("dictionary", ctypes.c_void_p),
                        ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(_ArrowArray))),
                        ("private_data", ctypes.c_void_p)]
# PYFUNCTYPE: called with the interpreter lock held, as a consumer written against the C API may.
_GetNext = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(_ArrowArray))


class _ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", ctypes.c_void_p), ("get_next", _GetNext), ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p)), ("private_data", ctypes.c_void_p)]


def test_a_batch_filled_for_a_caller_holding_the_lock_lets_other_threads_run(tmp_path):
    # The capture comes through a pipe from a Python thread, which needs the lock to write each
    # chunk: a fill that kept the caller's lock would wait for it for ever.
    fifo = tmp_path / "capture.fifo"
    os.mkfifo(fifo)
    data = pcap_bytes([ethernet(ipv4(udp(payload=b"x" * 300), proto=17))] * 6000)  # 2 MB, far beyond a pipe's
    writer = threading.Thread(target=fifo.write_bytes, args=(data,))
    writer.start()
    capsule = read_packets_table(fifo, batch_size=10_000).__arrow_c_stream__()
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    stream = _ArrowArrayStream.from_address(get_pointer(capsule, b"arrow_array_stream"))
    batch = _ArrowArray()
    faulthandler.dump_traceback_later(60, exit=True)  # a deadlock fails the run instead of hanging it
    try:
        status = stream.get_next(ctypes.addressof(stream), ctypes.byref(batch))
    finally:
        faulthandler.cancel_dump_traceback_later()
    writer.join()
    assert status == 0 and batch.length == 6000
    batch.release(ctypes.byref(batch))


@pytest.mark.parametrize("reader", ["read_features_table", "read_packets_table"])
def test_files_on_threads_give_what_one_thread_gives(reader):
    # The damaged file sits between good ones: its rows and its warning keep their place.
    names = ["ndpi-gnutella.pcap", "ndpi-teams-truncated.pcap", "ndpi-reddit.pcap", "ndpi-nintendo.pcap"]
    files = [CORPUS / name for name in names]
    read = getattr(varnel, reader)
    serial, threaded = read(files), read(files, jobs=3)
    assert pyarrow.table(threaded).equals(pyarrow.table(serial))
    assert threaded.warnings == serial.warnings and len(threaded.warnings) == 1
    assert [threaded.stats()[key] for key in ("files", "read", "rows", "finished")] == [
        serial.stats()[key] for key in ("files", "read", "rows", "finished")]


@pytest.mark.parametrize("options, message", [
    ({"jobs": 0}, "jobs must be a positive int"),
    ({"jobs": 2, "continuous": True}, "continuous reads its files in order"),
])
def test_threads_refuse_what_they_cannot_do(options, message):
    with pytest.raises(ValueError, match=message):
        varnel.read_features_table([CORPUS / "ndpi-reddit.pcap", CORPUS / "ndpi-gnutella.pcap"], **options)
