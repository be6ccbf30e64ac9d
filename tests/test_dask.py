"""varnel.dask: captures as Dask DataFrames, on the local scheduler and on a real local cluster of
worker processes, with counts identical to one serial extractor across files and byte ranges."""

import os
import signal
import struct
import subprocess
import sys
import threading
import time
import warnings
from pathlib import Path

import pytest

dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
pyarrow = pytest.importorskip("pyarrow")
pandas = pytest.importorskip("pandas")
numpy = pytest.importorskip("numpy")

from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import varnel  # noqa: E402
import varnel._columns  # noqa: E402
import varnel.columns  # noqa: E402
import varnel.dask as vd  # noqa: E402
import varnel.schema  # noqa: E402
import pyarrow.dataset  # noqa: E402
from testkit.frames import pcap_bytes, stamped, tcp4, udp4, ip6  # noqa: E402
from varnel.core.ver100.moraine import FeatureExtractor  # noqa: E402

CORPUS = Path(__file__).resolve().parent / "captures"
CLASSIC = sorted(str(path) for path in CORPUS.glob("*.pcap"))
EVERY = sorted(str(path) for path in CORPUS.iterdir() if path.suffix in (".pcap", ".pcapng", ".cap"))
FEATURES = ("timestamp", "src_port", "dst_port", "protocol_type", "src_bytes", "land", "wrong_fragment", "count")


@pytest.fixture(scope="module")
def cluster():
    import dask

    # The first death of a worker fails its task, so the killed-worker test needs one kill.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as local:
            yield local


@pytest.fixture(scope="module", params=["local", "cluster"])
def where(request):
    """Where the graphs run: Dask's local scheduler, or the cluster through an active Client."""
    if request.param == "local":
        yield None
        return
    with distributed.Client(request.getfixturevalue("cluster")) as client:
        yield client


def rows_of(frame) -> list[tuple]:
    return list(frame[list(FEATURES)].itertuples(index=False, name=None))


def expected(path) -> list[tuple]:
    return [tuple(row[key] for key in FEATURES) for row in FeatureExtractor().process_pcap(os.fsencode(path))]


def records_of(data: bytes) -> tuple[bytes, list[bytes]]:
    """The file header and each record (header and data) of a classic little-endian pcap."""
    offset, records = 24, []
    while offset + 16 <= len(data):
        length = struct.unpack_from("<I", data, offset + 8)[0]
        records.append(data[offset:offset + 16 + length])
        offset += 16 + length
    return data[:24], records


def write_pieces(directory: Path, header: bytes, records: list[bytes], cuts: list[int]) -> list[str]:
    bounds = [0, *sorted(set(cuts)), len(records)]
    paths = []
    for index, (start, stop) in enumerate(zip(bounds, bounds[1:])):
        path = directory / f"piece-{index}.pcap"
        path.write_bytes(header + b"".join(records[start:stop]))
        paths.append(str(path))
    return paths


# ---- Per file

def test_per_file_equals_process_pcap(where):
    frame = vd.read_features(EVERY, skip_vlan=True)
    assert frame.npartitions == len(EVERY)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the damaged captures of the corpus
        for index, path in enumerate(EVERY):
            assert rows_of(frame.get_partition(index).compute()) == expected(path), path


def test_frames_have_the_serial_readers_arrow_types_and_a_file_column(where):
    path = CORPUS / "ndpi-reddit.pcap"
    frame = vd.read_features(path, flow_key=True)
    computed = frame.compute()
    assert list(computed.columns) == ["file", *varnel.schema.feature_columns(True)] == list(frame.columns)
    assert list(computed.dtypes) == list(frame.dtypes)
    assert all(str(dtype).endswith("[pyarrow]") for dtype in computed.dtypes)
    serial = pyarrow.table(varnel.read_features_table(path, flow_key=True, file_column=True))
    assert computed.equals(serial.to_pandas(types_mapper=pandas.ArrowDtype))
    assert set(computed["file"]) == {str(path)}
    packets = vd.read_packets(path).compute()
    assert list(packets.columns) == ["file", *varnel.schema.packet_columns()]
    assert len(packets) == len(computed)


def test_continuous_across_corpus_files_equals_serial(where):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        serial = [tuple(row[key] for key in FEATURES)
                  for row in varnel.read_features(EVERY, skip_vlan=True, continuous=True)]
        assert rows_of(vd.read_features(EVERY, skip_vlan=True, continuous=True).compute()) == serial


# ---- The carry across pieces, on the pieces' own reads (no Dask): the logic every split relies on

def carried_counts(pieces: list[str]) -> list[int]:
    """The counts of `pieces` read apart, each with its destinations' runs, then carried over."""
    reads = []
    for piece in pieces:
        source = varnel._columns.ColumnSource("features", (os.fsencode(piece),), range_summary=True)
        reads.append((pyarrow.table(source), source.runs()))
    carries = vd._chain_carries([runs for _, runs in reads])
    assert carries is not None
    return [count for (table, _), carry in zip(reads, carries)
            for count in vd._with_carry(table, carry).column("count").to_pylist()]


def test_a_carry_reaches_every_batch_of_a_piece_and_wraps():
    def batch(counts, leading):
        return pyarrow.record_batch({"count": pyarrow.array(counts, pyarrow.uint32()),
                                     "_leading": pyarrow.array(leading, pyarrow.uint32())})

    table = pyarrow.Table.from_batches([batch([1, 2], [1, 0]), batch([3, 2**32 - 1], [2, 1])])
    carried = vd._with_carry(table, numpy.array([5, 7], numpy.uint32))
    assert carried.column("count").to_pylist() == [6, 2, 10, 4]  # code 0 takes 5, code 1 takes 7


def test_chain_carries_refuses_runs_that_do_not_fit():
    source = varnel._columns.ColumnSource("features", (os.fsencode(str(CORPUS / "ndpi-reddit.pcap")),),
                                          range_summary=True)
    pyarrow.table(source)
    runs = source.runs()
    nodes = {family: len(runs[family]["whole"]) for family in ("ipv4", "ipv6")}
    codes = 2 * max(nodes.values())  # node * 2 + family
    assert [len(carry) for carry in varnel._columns.chain_carries([runs, runs], 8)] == [codes * 4] * 2
    family = max(nodes, key=nodes.get)
    arrays = runs[family]
    for broken in ({**runs, family: {**arrays, "first": arrays["first"][:-8]}},
                   {**runs, family: {**arrays, "keys": arrays["keys"] + b"x"}},
                   {**runs, family: {k: v for k, v in arrays.items() if k != "whole"}},
                   {k: v for k, v in runs.items() if k != "ipv6"}, {**runs, "lowest": "soon"}, [runs]):
        with pytest.raises(ValueError, match="runs"):
            varnel._columns.chain_carries([runs, broken], 8)


SPLITTABLE = [path for path in CLASSIC if os.path.getsize(path) > 20_000 and "truncated" not in path]


@settings(max_examples=25, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(path=st.sampled_from(SPLITTABLE), cuts=st.lists(st.integers(0, 4000), max_size=12))
def test_corpus_cut_anywhere_carries_to_one_extractor(tmp_path_factory, path, cuts):
    header, records = records_of(Path(path).read_bytes())
    cuts = [cut % (len(records) + 1) for cut in cuts]
    pieces = write_pieces(tmp_path_factory.mktemp("split"), header, records, cuts)
    assert carried_counts(pieces) == [row[-1] for row in expected(path)]


# ---- Synthetic traffic: bursts, the 2.0 s edge, steps back in time, both families

DESTINATIONS = ["10.0.0.1", "10.0.0.2", "192.0.2.7", "2001:db8::1", "::ffff:10.0.0.1"]
STEPS_US = [0, 1, 500_000, 1_999_999, 2_000_000, 2_000_001, 3_000_000, -1, -1_500_000, -5_000_000, 61_000_000,
            -70_000_000]


def frame_to(destination: str) -> bytes:
    if ":" in destination:
        return ip6(dst=destination)
    return udp4(dst=destination) if destination.endswith("2") else tcp4(dst=destination)


@st.composite
def traffic(draw):
    count = draw(st.integers(1, 120))
    stamp, records = 0, []
    for _ in range(count):
        stamp += draw(st.sampled_from(STEPS_US))
        records.append(stamped(frame_to(draw(st.sampled_from(DESTINATIONS))), stamp))
    cuts = draw(st.lists(st.integers(0, count), max_size=8))
    return records, cuts


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(case=traffic())
def test_synthetic_cuts_carry_to_one_extractor(tmp_path_factory, case):
    records, cuts = case
    directory = tmp_path_factory.mktemp("synthetic")
    whole = directory / "whole.pcap"
    whole.write_bytes(pcap_bytes(records))
    header, raw = records_of(whole.read_bytes())
    assert carried_counts(write_pieces(directory, header, raw, cuts)) == [row[-1] for row in expected(whole)]


def test_synthetic_splits_end_to_end_equal_one_extractor(tmp_path):
    # Bursts, the 2.0 s edge, steps back, both families: the same file as pieces and as byte ranges.
    stamps = [0, 1, 500_000, 2_500_000, 4_499_999, 4_500_000, 3_000_000, 70_000_000, 70_000_001, 1_000]
    records = [stamped(frame_to(DESTINATIONS[n % len(DESTINATIONS)]), stamp) for n, stamp in enumerate(stamps * 6)]
    whole = tmp_path / "whole.pcap"
    whole.write_bytes(pcap_bytes(records))
    header, raw = records_of(whole.read_bytes())
    want = expected(whole)
    pieces = write_pieces(tmp_path, header, raw, [7, 19, 20, 41])
    assert [tuple(row[key] for key in FEATURES) for row in varnel.read_features(pieces, continuous=True)] == want
    assert rows_of(vd.read_features(pieces, continuous=True).compute()) == want
    assert rows_of(vd.read_features(whole, split_bytes=1).compute()) == want  # a range of about a record each


def test_destination_absent_from_middle_partitions_keeps_its_run(tmp_path):
    # 10.0.0.1's burst runs through a piece that never sees it, with its window still open.
    records = [stamped(tcp4(dst="10.0.0.1"), 0), stamped(tcp4(dst="10.0.0.1"), 100),
               stamped(tcp4(dst="10.0.0.9"), 200), stamped(tcp4(dst="10.0.0.9"), 300),
               stamped(tcp4(dst="10.0.0.1"), 1_900_000), stamped(tcp4(dst="10.0.0.1"), 1_900_001)]
    whole = tmp_path / "whole.pcap"
    whole.write_bytes(pcap_bytes(records))
    header, raw = records_of(whole.read_bytes())
    pieces = write_pieces(tmp_path, header, raw, [2, 4])
    counts = vd.read_features(pieces, continuous=True).compute()["count"].tolist()
    assert counts == [1, 2, 1, 2, 3, 4] == [row[-1] for row in expected(whole)]
    columns = varnel.columns.read_features_table(pieces, continuous=True)
    assert pyarrow.table(columns).column("count").to_pylist() == counts
    assert [row["count"] for row in varnel.read_features(pieces, continuous=True)] == counts
    assert vd.read_features(pieces).compute()["count"].tolist() == [1, 2, 1, 2, 1, 2]


@pytest.mark.parametrize("middle_us", [[3_000_000, -2_000_000], [3_000_000, 1_000_000], [6_000_000]])
def test_destination_far_from_the_cuts_leaves_no_stale_run(tmp_path, middle_us):
    # 10.0.0.1 at 100 s, then in the middle piece at 103 s and (out of time order) 98 s, then at
    # 101.5 s: the middle piece's visits are far from both cuts, yet the last one decides the count.
    base = 100_000_000
    stamps = [base, *(base + step for step in middle_us), base + 1_500_000]
    records = [stamped(tcp4(dst="10.0.0.1"), stamp) for stamp in stamps]
    records.insert(len(records) - 1, stamped(tcp4(dst="10.0.0.9"), base + 1_400_000))
    whole = tmp_path / "whole.pcap"
    whole.write_bytes(pcap_bytes(records))
    header, raw = records_of(whole.read_bytes())
    pieces = write_pieces(tmp_path, header, raw, [1, 1 + len(middle_us)])
    assert carried_counts(pieces) == [row[-1] for row in expected(whole)]


def test_carry_falls_back_to_one_serial_read_when_not_provably_exact(tmp_path, monkeypatch):
    late = [stamped(tcp4(dst=f"10.0.1.{n}"), n * 1000) for n in range(6)]
    late += [stamped(tcp4(dst="10.0.1.1"), 120_000_000), stamped(tcp4(dst="10.0.1.1"), 1_000)]  # 120 s back
    whole = tmp_path / "late.pcap"
    whole.write_bytes(pcap_bytes(late))
    header, raw = records_of(whole.read_bytes())
    pieces = write_pieces(tmp_path, header, raw, [3, 7])

    def partition_sizes(frame) -> list[int]:
        return [len(frame.get_partition(index).compute()) for index in range(frame.npartitions)]

    carried = vd.read_features(pieces, continuous=True)
    assert partition_sizes(carried) == [3, 4, 1]  # few hosts: carried
    monkeypatch.setattr(vd, "EXPIRY_THRESHOLD", 4)
    frame = vd.read_features(pieces, continuous=True)  # built while the first frame lives on
    assert partition_sizes(frame) == [8, 0, 0]  # the whole chain, read serially, in the first partition
    flow_keyed = vd.read_features(pieces, continuous=True, flow_key=True)
    assert "dst_ip" in flow_keyed.get_partition(1).compute().columns  # other options, other tasks
    assert rows_of(frame.compute()) == expected(whole)
    in_order = [stamped(tcp4(dst=f"10.0.1.{n}"), n * 1000) for n in range(8)]
    whole.write_bytes(pcap_bytes(in_order))
    header, raw = records_of(whole.read_bytes())
    pieces = write_pieces(tmp_path, header, raw, [3, 7])
    assert partition_sizes(vd.read_features(pieces, continuous=True)) == [3, 4, 1]


# ---- Byte ranges of one large file

def big_capture(frames: int = 40_000, hosts: int = 3_000) -> bytes:
    records = []
    for n in range(frames):
        # Bursts to a few hosts at a time, with gaps around the 2.0 s window and some steps back.
        # Every third packet to one of ten busy hosts, whose runs span many ranges; the rest in bursts of eight.
        host = n % 10 if n % 3 == 0 else ((n // 8) * 7919) % hosts
        micros = n * 60_000 - (1_500_000 if n % 97 == 0 else 0)
        destination = f"10.{host >> 8}.{host & 255}.1" if host % 5 else f"2001:db8::{host:x}"
        records.append(stamped(frame_to(destination), micros))
    return pcap_bytes(records)


def restamped(data: bytes, order: str, nanoseconds: bool) -> bytes:
    """The same capture in another byte order and/or with nanosecond time stamps."""
    header, records = records_of(data)
    magic = 0xA1B23C4D if nanoseconds else 0xA1B2C3D4
    out = [struct.pack(order + "I", magic) + struct.pack(order + "HHiIII", *struct.unpack("<HHiIII", header[4:]))]
    for record in records:
        sec, usec, caplen, wire = struct.unpack("<IIII", record[:16])
        out.append(struct.pack(order + "IIII", sec, usec * 1000 if nanoseconds else usec, caplen, wire) + record[16:])
    return b"".join(out)


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("big") / "big.pcap"
    path.write_bytes(big_capture())
    return path


@pytest.mark.parametrize("order, nanoseconds", [("<", False), (">", False), ("<", True), (">", True)])
def test_split_points_fall_on_record_boundaries(tmp_path, big_file, order, nanoseconds):
    path = tmp_path / "variant.pcap"
    path.write_bytes(restamped(big_file.read_bytes(), order, nanoseconds))
    pieces = vd.split_points(str(path), 100_000)
    assert len(pieces) > 10
    assert pieces[0].start == 24 and pieces[-1].stop == path.stat().st_size
    assert {piece.start for piece in pieces} <= record_starts(big_file.read_bytes())
    assert all(a.stop == b.start for a, b in zip(pieces, pieces[1:]))
    serial = pyarrow.table(varnel.columns.read_features_table(str(path))).to_pandas()
    got = vd.read_features(path, split_bytes=100_000).compute()
    assert got["count"].tolist() == serial["count"].tolist()
    assert got["timestamp"].tolist() == serial["timestamp"].tolist()


def record_starts(data: bytes) -> set[int]:
    _, records = records_of(data)
    starts, offset = set(), 24
    for record in records:
        starts.add(offset)
        offset += len(record)
    return starts


@pytest.mark.parametrize("order, nanoseconds", [("<", False), (">", False), ("<", True), (">", True)])
def test_guessed_cuts_fall_on_record_boundaries(tmp_path, big_file, order, nanoseconds):
    path = tmp_path / "variant.pcap"
    path.write_bytes(restamped(big_file.read_bytes(), order, nanoseconds))
    pieces = vd._split(str(path), 100_000, guess=True)
    assert len(pieces) > 10 and pieces[-1].stop == path.stat().st_size
    assert all(a.stop == b.start for a, b in zip(pieces, pieces[1:]))
    assert {piece.start for piece in pieces} <= record_starts(big_file.read_bytes())


@pytest.mark.parametrize("path", SPLITTABLE, ids=lambda path: Path(path).name)
def test_guessed_cuts_of_real_captures_are_record_boundaries(path):
    # Others' captures: a wrong guess would cost a serial read of the file.
    pieces = vd._split(path, 4_000, guess=True)
    assert len(pieces) > 1
    every_record = vd.split_points(path, 1)  # a cut before each record the reader reads
    assert {piece.start for piece in pieces} <= {piece.start for piece in every_record}


def test_a_wrong_guess_is_caught_and_the_file_read_serially(tmp_path):
    # A record whose data is itself a run of sound records, where the first cut is guessed.
    inner = pcap_bytes([stamped(udp4(dst="10.9.9.9"), n) for n in range(300)])[24:]
    records = [stamped(tcp4(dst="10.0.0.1"), n * 1000) for n in range(10)]
    records.append(stamped(inner, 20_000))
    records += [stamped(tcp4(dst="10.0.0.1"), 30_000 + n * 1000) for n in range(200)]
    data = pcap_bytes(records)
    path = tmp_path / "nested.pcap"
    path.write_bytes(data)
    pieces = vd._split(str(path), 2_000, guess=True)
    assert not {piece.start for piece in pieces} <= record_starts(data)
    serial = pyarrow.table(varnel.columns.read_features_table(str(path))).to_pandas()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the pieces' damage from the wrong cut is not the file's
        got = vd.read_features(path, split_bytes=2_000).compute(scheduler="sync")
    assert got["count"].tolist() == serial["count"].tolist()
    assert got["dst_ip"].tolist() == serial["dst_ip"].tolist() if "dst_ip" in got else len(got) == len(serial)
    assert got.index.equals(serial.index)


def test_byte_ranges_of_a_large_file_equal_a_serial_read(where, big_file):
    serial = pyarrow.table(varnel.columns.read_features_table(str(big_file), flow_key=True)).to_pandas()
    frame = vd.read_features(big_file, split_bytes=64 * 1024, flow_key=True)
    assert frame.npartitions > 20
    got = frame.compute()
    assert got["count"].tolist() == serial["count"].tolist()
    assert got["dst_ip"].tolist() == serial["dst_ip"].tolist()
    assert max(got["count"]) > 1  # runs do cross the ranges
    assert got.index.equals(serial.index)  # rows numbered as in the file, whatever the range
    packets = vd.read_packets(big_file, split_bytes=64 * 1024).compute()
    assert packets["timestamp"].tolist() == serial["timestamp"].tolist()


@pytest.mark.parametrize("bad_length", [262145, 1 << 20, 0xFFFFFFFF])
def test_a_damaged_record_length_ends_the_walk_where_the_reader_stops(tmp_path, bad_length):
    good = pcap_bytes([stamped(tcp4(dst=f"10.0.{n % 3}.1"), n * 1000) for n in range(400)])
    after = pcap_bytes([stamped(tcp4(dst="10.0.0.1"), 500_000 + n) for n in range(400)])[24:]
    damaged = struct.pack("<IIII", 1_700_000_001, 0, bad_length, 60) + b"\0" * 300_000
    path = tmp_path / "damaged.pcap"
    path.write_bytes(good + damaged + after)
    pieces = vd.split_points(str(path), 2_000)
    assert pieces[-1].start < len(good) and pieces[-1].stop == path.stat().st_size
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        # Here, not on a cluster a test before may have left active: warnings stay where they are issued.
        got = vd.read_features(path, split_bytes=2_000).compute(scheduler="sync")
    serial = pyarrow.table(varnel.columns.read_features_table(str(path))).to_pandas()
    assert len(got) == len(serial) == 400
    assert got["count"].tolist() == serial["count"].tolist()
    # The damage proves no cut after it: the file was read serially, and warned of as such, once.
    assert [str(warning.message) for warning in caught] == [
        f"{path}: Could not read file: invalid packet capture length {bad_length}, bigger than snaplen of 65535"]


def read_or_fail(source) -> pyarrow.Table | str:
    try:
        return pyarrow.table(source)
    except RuntimeError as error:
        return f"cannot be opened: {error.reason}"


def split_read(path: Path, split_bytes: int, guess: bool = False) -> tuple[pyarrow.Table, list[str]] | str:
    """`path` read as the byte ranges `split_bytes` cuts it into (walked, or guessed), each once with
    its destinations' runs, the counts carried over (no Dask): the rows, and the damage met (without
    the piece); where a guessed cut is not proved, the serial read varnel.dask falls back to."""
    reads, damage = [], []
    for piece in vd._split(str(path), split_bytes, guess):
        ranges = None if piece.start is None else ((piece.start, piece.stop),)
        source = varnel._columns.ColumnSource("features", (os.fsencode(path),), ranges=ranges, range_summary=True,
                                              flow_key=True)
        table = read_or_fail(source)
        if isinstance(table, str):
            return table
        reads.append((table, vd._summary(table, source)))
        damage += [problem[2] for problem in source.problems()]
    plan = vd._chain_plan([runs for _, runs in reads], [False] * (len(reads) - 1) + [True], vd.EXPIRY_THRESHOLD)
    if plan is None:
        assert guess, "a walked cut is always proved"
        return serial_read(path)
    tables = [vd._with_carry(table, carry).drop_columns(["_leading"])
              for (table, _), carry in zip(reads, plan[0])]
    return pyarrow.concat_tables(tables), damage


def serial_read(path: Path) -> tuple[pyarrow.Table, list[str]] | str:
    source = varnel._columns.ColumnSource("features", (os.fsencode(path),), flow_key=True)
    table = read_or_fail(source)
    return table if isinstance(table, str) else (table, [problem[2] for problem in source.problems()])


@pytest.mark.parametrize("guess", [False, True], ids=["walked", "guessed"])
@pytest.mark.parametrize("path", EVERY, ids=lambda path: Path(path).name)
def test_every_capture_split_equals_serial(path, guess):
    assert split_read(Path(path), 2_000, guess) == serial_read(Path(path))


@st.composite
def mutated_capture(draw):
    """A corpus capture with its file header and some record headers changed: version, byte order,
    snap length, record lengths (past the end, past libpcap's limit, zero), or cut short."""
    header, records = records_of(Path(draw(st.sampled_from(SPLITTABLE))).read_bytes())
    records = records[:draw(st.integers(20, 300))]
    fields = list(struct.unpack("<IHHiIII", header))
    fields[1], fields[2] = draw(st.sampled_from([(2, 4), (2, 3), (2, 2), (2, 1), (1, 0), (3, 0), (2, 9)]))
    fields[5] = draw(st.sampled_from([fields[5], 0, 64, 96, 65535, 262144, 0xFFFFFFFF]))
    order = draw(st.sampled_from(["<", ">"]))
    out = [struct.pack(order + "IHHiIII", *fields)]
    for index, record in enumerate(records):
        sec, usec, caplen, wire = struct.unpack("<IIII", record[:16])
        if draw(st.integers(0, 40)) == 0:
            caplen = draw(st.sampled_from([0, caplen + 1, caplen + 1000, 262145, 0xFFFF, 1 << 20, 0xFFFFFFFF]))
        if draw(st.integers(0, 40)) == 0:
            wire = draw(st.sampled_from([0, max(caplen - 1, 0), 0xFFFFFFFF]))
        out.append(struct.pack(order + "IIII", sec, usec, caplen, wire) + record[16:])
    data = b"".join(out)
    return data[:draw(st.integers(len(data) // 2, len(data)))]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=mutated_capture(), split_bytes=st.sampled_from([1, 300, 4_000]), guess=st.booleans())
def test_fuzzed_headers_split_equal_serial(tmp_path_factory, data, split_bytes, guess):
    path = tmp_path_factory.mktemp("fuzzed") / "fuzzed.pcap"
    path.write_bytes(data)
    assert split_read(path, split_bytes, guess) == serial_read(path)


def test_pcapng_is_split_at_block_boundaries():
    path = CORPUS / "packets-icmp_traceroute.pcapng"
    pieces = vd.split_points(str(path), 1_000)
    assert len(pieces) > 3 and all(a.stop == b.start for a, b in zip(pieces, pieces[1:]))
    assert split_read(path, 1_000) == serial_read(path)
    assert rows_of(vd.read_features(path, split_bytes=1_000).compute()) == expected(path)


# ---- Failures

def test_missing_file_names_the_file(where, tmp_path):
    missing = tmp_path / "gone.pcap"
    with pytest.raises(vd.CaptureReadError, match="gone.pcap"):
        vd.read_features([str(CORPUS / "ndpi-reddit.pcap"), str(missing)]).compute()
    frame = vd.read_features([str(CORPUS / "ndpi-reddit.pcap"), str(missing)], continuous=True)  # nothing read yet
    with pytest.raises(vd.CaptureReadError, match="gone.pcap"):
        frame.compute()


def test_killed_worker_names_the_file(cluster, tmp_path):
    fifo = tmp_path / "stalled.pcap"
    os.mkfifo(fifo)
    holder: list = []
    # The writer end opens (and stays silent) once a worker opens the reading end.
    opener = threading.Thread(target=lambda: holder.append(open(fifo, "wb")), daemon=True)
    opener.start()
    with distributed.Client(cluster) as client:
        client.wait_for_workers(2, timeout=60)
        frame = vd.read_features(str(fifo))
        outcome: list = []
        runner = threading.Thread(target=lambda: _capture_outcome(outcome, frame), daemon=True)
        runner.start()
        deadline = time.monotonic() + 60
        while not any(client.processing().values()) or opener.is_alive():
            assert time.monotonic() < deadline, "no worker started reading"
            time.sleep(0.05)
        busy = [address for address, tasks in client.processing().items() if tasks]
        pids = client.run(os.getpid, workers=busy)
        for pid in pids.values():
            os.kill(pid, signal.SIGKILL)
        runner.join(60)
        assert outcome and isinstance(outcome[0], vd.CaptureReadError)
        assert "stalled.pcap" in str(outcome[0]) and "died" in str(outcome[0])
        client.wait_for_workers(2, timeout=60)
    holder[0].close()


def _capture_outcome(outcome: list, frame) -> None:
    try:
        vd.compute(frame)
        outcome.append(None)
    except Exception as error:  # handed to the test's thread
        outcome.append(error)


# ---- Parquet dataset and the command

def test_parquet_dataset_one_file_per_partition(where, tmp_path):
    import pyarrow.dataset

    files = [str(CORPUS / "ndpi-reddit.pcap"), str(CORPUS / "ndpi-gnutella.pcap")]
    frame = vd.read_features(files, continuous=True)
    written = vd.to_parquet(frame, tmp_path / "out")
    assert len(written) == frame.npartitions == len(list((tmp_path / "out").glob("*.parquet")))
    table = pyarrow.dataset.dataset(written, format="parquet").to_table()
    assert table.column("count").to_pylist() == frame.compute()["count"].tolist()
    assert dd.read_parquet(str(tmp_path / "out")).compute()["count"].tolist() == table.column("count").to_pylist()


SHORT, LONG = str(CORPUS / "ndpi-gnutella.pcap"), str(CORPUS / "ndpi-reddit.pcap")


@pytest.mark.parametrize("split", [False, True], ids=["whole files", "byte ranges"])
def test_a_file_given_twice_is_read_twice_by_the_serial_fallback(monkeypatch, split):
    files = [SHORT, LONG, SHORT]
    want = varnel.columns.read_features_table(files, continuous=True)
    want_counts = pyarrow.table(want).column("count").to_pylist()
    monkeypatch.setattr(vd, "_chain_carries", lambda *arguments: None)
    with local_threads():
        frame = vd.read_features(files, continuous=True, split_bytes=os.path.getsize(SHORT) // 3 if split else None)
        assert frame.get_partition(0).compute()["count"].tolist() == want_counts  # the chain read serially
        assert frame.compute()["count"].tolist() == want_counts


def local_threads():
    """The graphs run in this process, where the monkeypatched functions are, whatever Client is active."""
    import dask

    return dask.config.set(scheduler="threads")


def test_command_reads_a_file_given_twice_into_a_dataset(monkeypatch, tmp_path):
    from varnel.cli import main

    monkeypatch.setattr(vd, "_chain_carries", lambda *arguments: None)
    out = tmp_path / "dataset"
    with local_threads():
        assert main(["features", SHORT, LONG, SHORT, "--continuous", "-o", f"{out}/", "--format", "parquet"]) == 0
    got = pyarrow.dataset.dataset(str(out), format="parquet").to_table().column("count").to_pylist()
    assert got == [row["count"] for row in varnel.read_features([SHORT, LONG, SHORT], continuous=True)]
    assert pyarrow.parquet.read_table(out / "part.0.parquet").num_rows == len(got)  # the chain read serially


def dataset_rows(directory: Path) -> int:
    return pyarrow.dataset.dataset(str(directory), format="parquet").count_rows()


def test_to_parquet_refuses_a_directory_with_files_and_replaces_it_whole(tmp_path):
    out = tmp_path / "out"
    vd.to_parquet(vd.read_features([SHORT, LONG]), out)
    before = sorted((path.name, path.read_bytes()) for path in out.iterdir())
    with pytest.raises(FileExistsError, match="overwrite=True"):
        vd.to_parquet(vd.read_features([SHORT]), out)
    failing = vd.read_features([SHORT, str(tmp_path / "missing.pcap")])
    with pytest.raises(vd.CaptureReadError, match="missing.pcap"):
        vd.to_parquet(failing, out, overwrite=True)
    # Neither the refusal nor the failure touched the dataset, nor left anything beside it.
    assert sorted((path.name, path.read_bytes()) for path in out.iterdir()) == before
    assert sorted(path.name for path in tmp_path.iterdir()) == ["out"]
    written = vd.to_parquet(vd.read_features([SHORT]), out, overwrite=True)
    assert written == [str(out / "part.0.parquet")] and sorted(out.iterdir()) == [out / "part.0.parquet"]
    assert dataset_rows(out) == pyarrow.table(varnel.columns.read_features_table(SHORT)).num_rows


def test_command_refuses_a_dataset_directory_with_files_unless_overwrite(tmp_path):
    out = tmp_path / "ds"

    def command(*files: str, overwrite: bool = False) -> subprocess.CompletedProcess:
        return subprocess.run([sys.executable, "-m", "varnel", "features", *files, "-o", f"{out}/", "--format",
                               "parquet", *(["--overwrite"] if overwrite else [])],
                              capture_output=True, text=True, timeout=300)

    assert command(SHORT, LONG).returncode == 0
    both = dataset_rows(out)
    refused = command(SHORT)
    assert refused.returncode == 2
    assert refused.stderr.splitlines() == [f"varnel: {out}/: the directory holds files; --overwrite replaces them"]
    assert dataset_rows(out) == both
    assert command(SHORT, overwrite=True).returncode == 0
    assert dataset_rows(out) == pyarrow.table(varnel.columns.read_features_table(SHORT)).num_rows
    assert sorted(path.name for path in tmp_path.iterdir()) == ["ds"]


@pytest.mark.parametrize("scheduler", [False, True])
def test_command_continuous_dataset(cluster, tmp_path, scheduler):
    files = [str(CORPUS / "ndpi-reddit.pcap"), str(CORPUS / "ndpi-gnutella.pcap")]
    out = tmp_path / "dataset"
    command = [sys.executable, "-m", "varnel", "features", *files, "--continuous", "-o", f"{out}/",
               "--format", "parquet"]
    if scheduler:
        command += ["--scheduler", cluster.scheduler_address]
    done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    import pyarrow.dataset

    table = pyarrow.dataset.dataset(str(out), format="parquet").to_table()
    want = [row["count"] for row in varnel.read_features(files, continuous=True)]
    assert sorted(p.name for p in out.iterdir()) == ["part.0.parquet", "part.1.parquet"]
    assert pyarrow.concat_tables([pyarrow.parquet.read_table(out / f"part.{i}.parquet") for i in range(2)]
                                 ).column("count").to_pylist() == want
    assert table.num_rows == len(want)


def test_command_continuous_serial_csv(tmp_path):
    files = [str(CORPUS / "ndpi-reddit.pcap"), str(CORPUS / "ndpi-gnutella.pcap")]
    done = subprocess.run([sys.executable, "-m", "varnel", "features", *files, "--continuous"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].split(",")[-1] == "count"
    assert [int(line.rsplit(",", 1)[1]) for line in lines[1:]] == [
        row["count"] for row in varnel.read_features(files, continuous=True)]


def test_command_unreachable_scheduler_fails_cleanly(tmp_path):
    done = subprocess.run([sys.executable, "-m", "varnel", "features", str(CORPUS / "ndpi-reddit.pcap"),
                           "--scheduler", "tcp://127.0.0.1:9", "-o", f"{tmp_path}/out/", "--format", "parquet"],
                          capture_output=True, text=True, timeout=300,
                          env={**os.environ, "DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "2s"})
    assert done.returncode != 0
    assert "127.0.0.1:9" in done.stderr


def test_strict_checker_sees_the_api(tmp_path):
    (tmp_path / "host.py").write_text(
        "import varnel.dask\n"
        "frame = varnel.dask.read_features(['a.pcap'], continuous=True, split_bytes=1 << 26)\n"
        "files: list[str] = varnel.dask.to_parquet(frame, 'out/')\n"
        "varnel.dask.read_features('a.pcap', split_bytes='64M')\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                           "host.py"], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    errors = [line for line in done.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and errors[0].startswith("host.py:4:") and "split_bytes" in errors[0], done.stdout
