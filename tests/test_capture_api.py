"""The top-level functions on files: every way of naming a capture, several captures in a row,
filters (checked against tcpdump applying the same expression), statistics and errors."""

import os
import subprocess
import sys
import warnings
from pathlib import Path

import pytest

from support import reference
import varnel
from testkit.frames import LINKTYPE_RAW, Record, arp, ethernet, ipv4, ipv6, pcap_bytes, tcp, udp
from support.resources import open_count
from varnel.core.base.grapnel import read_pcap

CAPTURES = Path(__file__).resolve().parent / "captures"
SAMPLE = Path(__file__).resolve().parents[1] / "samples" / "sample.pcap"
FRAMES = [
    ethernet(ipv4(tcp(1000, 80), proto=6, src="10.0.0.1", dst="10.0.0.2")),
    ethernet(ipv4(udp(5353, 53), proto=17, src="10.0.0.3", dst="10.0.0.1")),
    arp(),
    ethernet(ipv6(udp(53, 5353), next_hdr=17), eth_type=0x86DD),
    ethernet(ipv4(tcp(80, 1000), proto=6, src="10.0.0.2", dst="10.0.0.1")),
]


@pytest.fixture
def capture(tmp_path) -> Path:
    path = tmp_path / "five.pcap"
    path.write_bytes(pcap_bytes(FRAMES))
    return path


def ports(stream) -> list[tuple[int, int]]:
    return [(item["src_port"], item["dst_port"]) for item in stream]


EXPECTED_PORTS = [(1000, 80), (5353, 53), (53, 5353), (80, 1000)]


@pytest.mark.parametrize("name", [
    pytest.param(str, id="str"), pytest.param(lambda p: p, id="Path"), pytest.param(bytes, id="bytes"),
    pytest.param(lambda p: [p], id="list"), pytest.param(lambda p: (str(p),), id="tuple"),
])
@pytest.mark.parametrize("read", [varnel.read_packets, varnel.read_features])
def test_a_capture_named_every_way_gives_the_same_items(capture, name, read):
    assert ports(read(name(capture))) == EXPECTED_PORTS
    assert open_count(capture) == 0


def test_an_open_file_is_read_from_a_copy_of_its_descriptor(capture):
    with open(capture, "rb") as file:
        stream = varnel.read_packets(file)
        assert ports(stream) == EXPECTED_PORTS
        assert not file.closed and os.fstat(file.fileno())  # the caller's descriptor stays open
    assert open_count(capture) == 0


def test_standard_input_is_read_with_a_dash(capture):
    script = "import varnel; print(sum(1 for _ in varnel.read_packets('-')))"
    with open(capture, "rb") as stdin:
        result = subprocess.run([sys.executable, "-c", script], stdin=stdin, capture_output=True, text=True,
                                timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "4\n", "")


@pytest.mark.parametrize("source, error", [
    pytest.param(42.0, TypeError, id="float"),
    pytest.param(object(), TypeError, id="object"),
    pytest.param([b"ok.pcap", None], TypeError, id="None in a list"),
    pytest.param("bad\0name", ValueError, id="NUL"),
])
def test_bad_sources_are_refused_at_the_call(source, error):
    with pytest.raises(error):
        varnel.read_packets(source)


def test_several_captures_are_read_in_order_and_counts_restart_with_each(capture, tmp_path):
    raw = tmp_path / "raw.pcap"
    raw.write_bytes(pcap_bytes([ipv4(udp(1, 2), proto=17, src="10.0.0.9", dst="10.0.0.1")], linktype=LINKTYPE_RAW))
    rows = list(varnel.read_features([capture, raw, capture], flow_key=True))
    # 10.0.0.1 is the destination of the second and fourth rows of each file, and of the raw one's.
    assert [row["count"] for row in rows] == [1, 1, 1, 2] + [1] + [1, 1, 1, 2]
    assert [row["dst_ip"] for row in rows[:5]] == ["10.0.0.2", "10.0.0.1", "2001:db8::2", "10.0.0.1", "10.0.0.1"]
    assert list(rows[0]) == ["timestamp", "src_port", "dst_port", "protocol_type", "src_bytes", "land",
                             "wrong_fragment", "count", "src_ip", "dst_ip", "ip_proto"]
    assert [row["ip_proto"] for row in rows[:4]] == [6, 17, 17, 6]


def test_rows_without_the_flow_key_match_the_reference(capture):
    assert list(varnel.read_features(capture)) == reference.feature_rows(bytes(capture), decode_vlan=True)


def test_stats_count_frames_by_outcome_and_survive_the_end(capture):
    stream = varnel.read_packets([capture, capture])
    assert stream.stats() == {"read": 0, "decoded": 0, "not_ip": 0, "vlan_tagged": 0, "too_short": 0,
                              "unsupported_link": 0, "received": None, "dropped": None, "if_dropped": None}
    next(stream)
    assert (stream.stats()["read"], stream.stats()["decoded"]) == (1, 1)
    assert len(list(stream)) == 7
    assert stream.stats() | {} == {"read": 10, "decoded": 8, "not_ip": 2, "vlan_tagged": 0, "too_short": 0,
                                   "unsupported_link": 0, "received": None, "dropped": None, "if_dropped": None}


def test_the_old_streams_keep_statistics_too(capture):
    stream = read_pcap(bytes(capture))
    assert len(list(stream)) == 4
    assert (stream.stats()["read"], stream.stats()["not_ip"]) == (5, 1)


# ---- Filters: the same frames as tcpdump keeps with the same expression.

EXPRESSIONS = ["tcp", "udp port 53", "host 10.0.0.1", "ip6", "not arp and src port 80", "vlan and tcp"]


def tcpdump_filtered(path: Path, expression: str, out: Path) -> Path:
    result = subprocess.run(["tcpdump", "-r", str(path), "-w", str(out), expression], capture_output=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return out


@pytest.mark.parametrize("expression", EXPRESSIONS)
@pytest.mark.parametrize("path", [
    pytest.param(SAMPLE, id="sample"),
    pytest.param(CAPTURES / "zeek-mixed-vlan-mpls.pcap", id="vlan"),
    pytest.param(CAPTURES / "ndpi-1kxun.pcap", id="1kxun"),
    pytest.param(CAPTURES / "packets-icmp_traceroute.pcapng", id="pcapng"),
])
def test_a_filter_keeps_what_tcpdump_keeps(tmp_path, path, expression):
    filtered = tcpdump_filtered(path, expression, tmp_path / "filtered.pcap")
    stream = varnel.read_packets(path, filter=expression)
    got = list(stream)
    assert got == list(varnel.read_packets(filtered))
    assert stream.stats()["read"] == sum(1 for _ in reference.records(bytes(filtered)))


@pytest.mark.parametrize("expression", ["tcp portx 80", "host", "udp and (", "port 99999"])
def test_an_invalid_filter_raises_at_the_call(expression):
    with pytest.raises(ValueError, match=f"^invalid filter '{expression.replace('(', '[(]')}': "):
        varnel.read_packets("never-opened.pcap", filter=expression)
    with pytest.raises(ValueError, match="invalid filter"):
        varnel.sniff_features("lo", filter=expression)


def test_a_filter_that_does_not_fit_a_files_link_type_names_the_file(capture, tmp_path):
    raw = tmp_path / "raw.pcap"
    raw.write_bytes(pcap_bytes([ipv4(udp())], linktype=LINKTYPE_RAW))
    stream = varnel.read_packets([capture, raw], filter="ether host 02:00:00:00:00:01")
    assert ports(next(stream) for _ in range(4)) == EXPECTED_PORTS  # every frame is from that address
    with pytest.raises(ValueError, match=f"^{raw}: the filter cannot be applied to this capture: "):
        next(stream)
    assert open_count(raw) == 0


# ---- Errors name the file.

def test_a_missing_file_raises_file_not_found_naming_it(tmp_path, capture):
    missing = tmp_path / "missing.pcap"
    stream = varnel.read_packets([capture, missing])
    assert len([next(stream) for _ in range(4)]) == 4
    with pytest.raises(FileNotFoundError) as caught:
        next(stream)
    assert (caught.value.errno, caught.value.filename) == (2, str(missing))
    assert open_count(capture) == 0


def test_an_unreadable_file_raises_permission_error(tmp_path, capture):
    if os.geteuid() == 0:
        locked = Path("/proc/1/mem")  # refused even to root
    else:
        locked = tmp_path / "locked.pcap"
        locked.write_bytes(capture.read_bytes())
        locked.chmod(0)
    with pytest.raises(PermissionError) as caught:
        next(varnel.read_packets(locked))
    assert caught.value.filename == str(locked)


def test_a_file_that_is_no_capture_raises_runtime_error_naming_it(tmp_path):
    junk = tmp_path / "junk.pcap"
    junk.write_bytes(b"not a capture file at all, not even close")
    with pytest.raises(RuntimeError, match=f"^{junk}: unknown file format"):
        next(varnel.read_features(junk))


def test_a_damaged_file_warns_naming_it_and_the_next_file_is_read(tmp_path, capture):
    damaged = tmp_path / "damaged.pcap"
    damaged.write_bytes(pcap_bytes(FRAMES)[:-5])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = ports(varnel.read_packets([damaged, capture]))
    assert got == EXPECTED_PORTS[:3] + EXPECTED_PORTS
    assert [(w.category, str(w.message).split(";")[0]) for w in caught] == [
        (RuntimeWarning, f"{damaged}: truncated dump file")]


def test_a_missing_device_raises_naming_it():
    with pytest.raises(RuntimeError, match="^no-such-device0: "):
        next(varnel.sniff_packets("no-such-device0"))


@pytest.mark.parametrize("options, error", [
    pytest.param({"snaplen": 0}, ValueError, id="snaplen 0"),
    pytest.param({"snaplen": "big"}, TypeError, id="snaplen str"),
    pytest.param({"buffer_size": -1}, ValueError, id="buffer negative"),
    pytest.param({"timeout": 0}, ValueError, id="timeout 0"),
    pytest.param({"filter": b"tcp"}, TypeError, id="filter bytes"),
    pytest.param({"promiscuous": True}, TypeError, id="unknown keyword"),
])
def test_bad_live_options_are_refused_at_the_call(options, error):
    with pytest.raises(error):
        varnel.sniff_packets("lo", **options)


def test_the_streams_are_named_and_open_nothing_at_the_call(tmp_path):
    missing = tmp_path / "missing.pcap"
    streams = [varnel.read_packets(missing), varnel.read_features(missing), varnel.sniff_packets("no-such0"),
               varnel.sniff_features("no-such0")]
    assert [stream.__name__ for stream in streams] == ["read_packets", "read_features", "sniff_packets",
                                                       "sniff_features"]
    for stream in streams:
        stream.close()
        assert stream.stats()["read"] == 0


def test_a_name_that_is_not_utf8_comes_back_unchanged_in_errors(tmp_path):
    missing = os.path.join(os.fsencode(tmp_path), b"\xff-missing.pcap")
    with pytest.raises(FileNotFoundError) as caught:
        next(varnel.read_packets(missing))
    assert os.fsencode(caught.value.filename) == missing
