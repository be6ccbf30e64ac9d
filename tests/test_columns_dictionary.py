"""Packet columns with `dictionary=True`: date_time, the MACs and the addresses as int16 indices into
a dictionary of each batch, holding the very values of the plain columns for every consumer."""

from __future__ import annotations

import time

import pyarrow
import pyarrow.parquet
import pytest

import varnel
from conftest import CORPUS
from testkit.frames import (ETH_IPV6, LINKTYPE_LINUX_SLL, LINKTYPE_RAW, ethernet, icmp, ipv4, ipv6, linux_sll, stamped,
                            tcp, udp)
from varnel import _columns
from varnel.columns import read_packets_table

ENCODED = ("date_time", "src_mac", "dst_mac", "src_ip", "dst_ip")
DICTIONARY = pyarrow.dictionary(pyarrow.int16(), pyarrow.string())
CAPTURES = sorted(p for p in CORPUS.glob("*") if p.suffix in {".pcap", ".pcapng", ".cap"}) if CORPUS.is_dir() else []

MIXED = [
    ethernet(ipv4(tcp(), src="10.0.0.1", dst="1.2.3.4")),
    ethernet(ipv4(udp(), proto=17, src="1.2.3.4", dst="10.0.0.1"), src="00:00:00:00:00:00"),
    ethernet(ipv6(icmp(128), next_hdr=58, src="::102:304", dst="102:304::"), eth_type=ETH_IPV6),
    ethernet(ipv6(tcp(), src="::ffff:1.2.3.4", dst="1111:2222:3333:4444:5555:6666:7777:8888"), eth_type=ETH_IPV6),
    ethernet(ipv4(b"\x00" * 8, proto=47, src="1.2.3.4", dst="1.2.3.4")),
]


def both(path, **options) -> tuple[pyarrow.Table, pyarrow.Table]:
    """The plain table, and the dictionary one decoded to the plain types, both checked whole."""
    plain = pyarrow.table(read_packets_table(path, **options))
    encoded = pyarrow.table(read_packets_table(path, dictionary=True, **options))
    encoded.validate(full=True)  # indices within their dictionary, offsets in order
    assert encoded.schema == pyarrow.schema(
        [field.with_type(DICTIONARY) if field.name in ENCODED else field for field in plain.schema])
    return plain, encoded.cast(plain.schema)


def assert_own_dictionaries(table: pyarrow.Table) -> None:
    """Each batch's dictionaries hold each value once, and only values its rows use."""
    for name in ENCODED:
        for chunk in table.column(name).chunks:
            values = chunk.dictionary.to_pylist()
            assert len(set(values)) == len(values)
            assert set(values) == set(chunk.to_pylist())


@pytest.mark.parametrize("path", CAPTURES, ids=lambda p: p.name)
def test_the_values_are_the_plain_columns(path):
    plain, decoded = both(path, skip_vlan=True, batch_size=500)
    assert decoded.to_pylist() == plain.to_pylist()


@pytest.mark.parametrize("batch_size", [1, 3, 4096])
@pytest.mark.parametrize("linktype, frames", [
    (None, MIXED * 40),
    # Cooked captures name the sender only, and a sender with another address length not at all:
    # an all-zero MAC and no MAC are two values.
    (LINKTYPE_LINUX_SLL, [linux_sll(ipv4(tcp())), linux_sll(ipv4(tcp()), address=b"\0" * 6),
                          linux_sll(ipv4(tcp()), address=b"\1" * 4)] * 10),
    (LINKTYPE_RAW, [ipv4(tcp()), ipv6(udp(), next_hdr=17)] * 10),
], ids=["ethernet", "cooked", "raw"])
def test_addresses_macs_and_their_absence_keep_their_texts(capture_file, linktype, frames, batch_size):
    options = {"linktype": linktype} if linktype is not None else {}
    path = capture_file([stamped(frame, index * 400_000) for index, frame in enumerate(frames)], **options)
    plain, decoded = both(path, batch_size=batch_size)
    assert decoded.to_pylist() == plain.to_pylist()
    assert_own_dictionaries(pyarrow.table(read_packets_table(path, batch_size=batch_size, dictionary=True)))


def test_a_batch_ends_when_a_dictionary_is_full(capture_file):
    # 40000 distinct sources: the src_ip dictionary fills at 32767 values, before batch_size rows.
    frames = [ethernet(ipv4(udp(), proto=17, src=f"10.{n >> 16}.{n >> 8 & 255}.{n & 255}")) for n in range(40_000)]
    path = capture_file(frames)
    encoded = pyarrow.table(read_packets_table(path, batch_size=65536, dictionary=True))
    assert [len(chunk) for chunk in encoded.column("src_ip").chunks] == [32767, 40_000 - 32767]
    assert_own_dictionaries(encoded)
    plain, decoded = both(path, batch_size=65536)
    assert decoded.to_pylist() == plain.to_pylist()


@pytest.mark.parametrize("zone", ["Europe/Berlin", "America/St_Johns"])
def test_an_hour_that_comes_twice_is_one_value(capture_file, monkeypatch, zone):
    monkeypatch.setenv("TZ", zone)
    time.tzset()
    try:
        # Both zones set their clocks back on these nights: the hour after the first stamp repeats.
        first = {"Europe/Berlin": 1698537600, "America/St_Johns": 1699155000}[zone]
        seconds = [first, first + 1800, first + 3600, first + 5400, first + 7200]
        path = capture_file([stamped(ethernet(ipv4(tcp())), 0, base_sec=second) for second in seconds])
        plain, decoded = both(path)
        assert decoded.column("date_time").to_pylist() == plain.column("date_time").to_pylist()
        encoded = pyarrow.table(read_packets_table(path, dictionary=True))
        assert len(encoded.column("date_time").chunk(0).dictionary) == 3
        assert_own_dictionaries(encoded)
    finally:
        monkeypatch.undo()
        time.tzset()


def test_files_on_threads_give_what_one_thread_gives():
    files = [CORPUS / name for name in ("ndpi-gnutella.pcap", "ndpi-reddit.pcap", "ndpi-nintendo.pcap")]
    serial = pyarrow.table(read_packets_table(files, dictionary=True, batch_size=700))
    assert pyarrow.table(read_packets_table(files, dictionary=True, batch_size=700, jobs=2)).equals(serial)


@pytest.mark.parametrize("text_format", ["csv", "jsonl"])
def test_the_text_encoder_writes_the_plain_texts(text_format):
    def text(**options) -> list[bytes]:
        encoder = _columns.TextEncoder(read_packets_table(CORPUS / "ndpi-reddit.pcap", batch_size=300,
                                                          **options).__arrow_c_stream__(), text_format)
        chunks = []
        while (got := encoder.read()) is not None:
            chunks.append(got[0])
        return chunks

    encoded = text(dictionary=True)
    assert b"".join(encoded) == b"".join(text()) and len(encoded) > 1


def test_parquet_keeps_the_values(tmp_path):
    plain, _ = both(CORPUS / "ndpi-reddit.pcap", batch_size=300)
    target = tmp_path / "packets.parquet"
    pyarrow.parquet.write_table(pyarrow.table(read_packets_table(CORPUS / "ndpi-reddit.pcap", batch_size=300,
                                                                 dictionary=True)), target)
    assert pyarrow.parquet.read_table(target).cast(plain.schema).to_pylist() == plain.to_pylist()


def test_polars_reads_the_values():
    polars = pytest.importorskip("polars")
    path = CORPUS / "ndpi-reddit.pcap"
    frame = polars.DataFrame(read_packets_table(path, batch_size=300, dictionary=True))
    plain = polars.DataFrame(read_packets_table(path, batch_size=300))
    assert frame.with_columns(polars.col(*ENCODED).cast(polars.String)).equals(plain.select(frame.columns))


def test_duckdb_queries_the_values():
    duckdb = pytest.importorskip("duckdb")
    path = CORPUS / "ndpi-reddit.pcap"
    plain, encoded = read_packets_table(path, batch_size=300), read_packets_table(path, batch_size=300, dictionary=True)
    query = "select {0}, count(*) from {1} group by all order by all"
    for name in ENCODED:
        assert duckdb.sql(query.format(name, "encoded")).fetchall() == duckdb.sql(query.format(name, "plain")).fetchall()


def test_other_rows_refuse_the_option():
    with pytest.raises(ValueError, match="dictionary applies to packet rows only"):
        _columns.ColumnSource("features", (b"a.pcap",), dictionary=True)
    with pytest.raises(TypeError):
        varnel.read_features_table("a.pcap", dictionary=True)
