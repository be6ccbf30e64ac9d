"""The command's text from the columns, byte for byte what the dictionary writers gave, and the
formats it chooses."""

from __future__ import annotations

import io
import json
import math
import random
import struct
import warnings
from pathlib import Path

import pytest

import varnel
from conftest import CORPUS
from testkit.frames import ethernet, icmp, ipv4, stamped, tcp, udp, write_pcap
from support.dict_writers import CsvWriter, JsonLinesWriter
from varnel import _columns, schema
from varnel.cli import main

CAPTURES = sorted(path for path in CORPUS.iterdir() if path.suffix in (".pcap", ".pcapng", ".cap"))
FLOW_KEY = ("src_ip", "dst_ip", "ip_proto")


def reference_text(command: str, fmt: str, paths: list[Path], flow_key: bool = False) -> bytes:
    """What the dictionary writers made of the library's rows."""
    several = command == "features" and len(paths) > 1
    if command == "read":
        columns = schema.packet_columns()
    else:
        columns = (("file",) if several else ()) + schema.feature_columns() + (FLOW_KEY if flow_key else ())
    text = io.StringIO(newline="")
    writer = (CsvWriter if fmt == "csv" else JsonLinesWriter)(text, columns)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for path in paths:
            rows = (varnel.read_packets(path) if command == "read" else varnel.read_features(path, flow_key=flow_key))
            for row in rows:
                writer.write({"file": str(path), **row} if several else row)
    return text.getvalue().encode()


def command_text(tmp_path, *arguments) -> bytes:
    target = tmp_path / "out"
    main([*map(str, arguments), "-o", str(target)])
    return target.read_bytes()


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
@pytest.mark.parametrize("command", ["read", "features"])
@pytest.mark.parametrize("capture", CAPTURES, ids=lambda path: path.name)
def test_text_is_byte_identical_to_the_dictionary_writers(tmp_path, capture, command, fmt):
    assert command_text(tmp_path, command, capture, "--format", fmt) == reference_text(command, fmt, [capture])


@pytest.mark.parametrize("fmt", ["csv", "jsonl"])
def test_several_files_with_the_file_column_and_flow_key(tmp_path, fmt):
    paths = CAPTURES[:3]
    got = command_text(tmp_path, "features", *paths, "--flow-key", "--format", fmt)
    assert got == reference_text("features", fmt, paths, flow_key=True)


def _random_doubles(count: int) -> list[float]:
    generator = random.Random(7)
    values = [struct.unpack("<d", generator.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(count)]
    return [value for value in values if not math.isnan(value)] + [round(generator.uniform(0, 4e9), 6)
                                                                   for _ in range(count)]


@pytest.mark.parametrize("value", [0.0, -0.0, 1.0, 0.1, 1e-4, 1e-5, 1e15, 1e16, 1e16 + 2, 123456789012345678.0,
                                   1733650000.137, 5e-324, 1.7976931348623157e308, float("inf"), 1 / 3])
def test_float_text_is_the_interpreters(value):
    assert _columns.float_repr(value) == repr(value)


def test_float_text_of_random_doubles_is_the_interpreters():
    values = _random_doubles(20000)
    assert [_columns.float_repr(value) for value in values] == [repr(value) for value in values]


@pytest.mark.parametrize("name, fmt_option, starts", [
    ("out.parquet", [], b"PAR1"),
    ("out.csv", [], b"timestamp,src_port,"),
    ("out.jsonl", [], b'{"timestamp": '),
    ("out.json", [], b'{"timestamp": '),
    ("out.data", [], b"timestamp,src_port,"),  # unknown: the command's default
    ("out.parquet", ["--format", "json"], b'{"timestamp": '),  # json is jsonl; the option wins
])
def test_the_format_follows_the_output_extension(tmp_path, name, fmt_option, starts):
    target = tmp_path / name
    assert main(["features", str(CAPTURES[0]), "-o", str(target), *fmt_option]) == 0
    assert target.read_bytes().startswith(starts)


def test_the_encoder_refuses_a_stream_given_twice():
    capsule = varnel.read_features_table(CAPTURES[0]).__arrow_c_stream__()
    _columns.TextEncoder(capsule, "csv")
    with pytest.raises(ValueError, match="already consumed"):
        _columns.TextEncoder(capsule, "csv")


def test_json_strings_escape_as_the_encoder_does():
    # Text cells of the readers are ASCII; a file name in the command's column is anything.
    from varnel.cli.writers import file_cell

    for name in ["a,b.pcap", 'q"uote.pcap', "new\nline.pcap", "caf\udce9.pcap", "ünï.pcap"]:
        assert file_cell("jsonl", name) == json.JSONEncoder().encode(name).encode()


@pytest.fixture(scope="module")
def late_protocols(tmp_path_factory) -> Path:
    """741 UDP packets, then TCP and ICMP: readers that infer types from the first lines see
    nothing of those groups' columns there."""
    frames = [ethernet(ipv4(udp(sport=1000 + n, payload=bytes(n % 9)), proto=17)) for n in range(741)]
    frames += [ethernet(ipv4(tcp(seq=n, flags=0x12))) for n in range(5)]
    frames += [ethernet(ipv4(icmp(icmp_type=0), proto=1))]
    records = [stamped(frame, micros=1000 * n) for n, frame in enumerate(frames)]
    return Path(write_pcap(tmp_path_factory.mktemp("late") / "late.pcap", records).decode())


def test_json_lines_read_by_polars_and_duckdb_with_every_column_typed(tmp_path, late_protocols):
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    target = tmp_path / "all.jsonl"
    assert main(["read", str(late_protocols), "-o", str(target)]) == 0
    want = polars.DataFrame(varnel.read_packets_table(late_protocols))
    columns = list(schema.packet_columns())
    assert polars.read_ndjson(target, schema=want.schema).equals(want)
    inferred = polars.read_ndjson(target, infer_schema_length=None)
    assert inferred.columns == columns and polars.Null not in inferred.dtypes
    assert inferred["udp_length"].to_list() == want["udp_length"].to_list()
    table = duckdb.sql(f"select * from read_json_auto('{target}')")
    assert table.columns == columns and "NULL" not in [str(kind) for kind in table.types]
    late = ["udp_length", "icmp_type", "icmp_code", "tcp_flag"]
    assert table.select(*late).fetchall() == list(zip(*(want[name].to_list() for name in late)))
