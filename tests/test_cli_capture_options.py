"""The command's capture options: filters, VLAN tags, the flow key, and the closing summary of frames
it could not give."""

from __future__ import annotations

import csv
import io
import subprocess
import sys

import pytest

import varnel as library
from support.json_lines import library_dicts
from testkit.frames import ETH_VLAN, LINKTYPE_IEEE802_11, ethernet, ipv4, tcp, udp, vlan_tags, write_pcap

FRAMES = [
    ethernet(ipv4(tcp(1000, 80), proto=6, src="10.0.0.1", dst="10.0.0.2")),
    ethernet(vlan_tags(ipv4(udp(5353, 53), proto=17), 0x0800, ETH_VLAN), ETH_VLAN),
    ethernet(ipv4(udp(53, 5353), proto=17, src="10.0.0.2", dst="10.0.0.1")),
] * 600  # 1,200 tagged frames less than 1,800


def run(*args: object) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "varnel", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


@pytest.fixture(scope="module")
def tagged(tmp_path_factory):
    return write_pcap(tmp_path_factory.mktemp("cli") / "tagged.pcap", FRAMES).decode()


@pytest.mark.parametrize("options, summary", [
    pytest.param([], "", id="tags looked through"),
    pytest.param(["--skip-vlan"], "varnel: 600 frames skipped: VLAN-tagged\n", id="tags skipped"),
])
def test_vlan_tags_and_the_summary_line(tagged, options, summary):
    result = run("read", tagged, *options)
    assert (result.returncode, result.stderr) == (0, summary)
    got = library_dicts(result.stdout)
    assert got == list(library.read_packets(tagged, skip_vlan=bool(options)))


def test_the_summary_counts_every_file_and_groups_thousands(tagged, tmp_path):
    other = write_pcap(tmp_path / "wifi.pcap", FRAMES[:3], linktype=LINKTYPE_IEEE802_11).decode()
    result = run("features", tagged, tagged, other, "--skip-vlan", "-j", "2")
    assert result.returncode == 3  # the Wi-Fi capture is of an unsupported link type
    assert result.stderr.splitlines()[-1] == (
        "varnel: 1,200 frames skipped: VLAN-tagged; 3 frames skipped: unsupported link type")


@pytest.mark.parametrize("command", ["read", "features"])
def test_a_filter_keeps_what_the_library_keeps(tagged, command):
    result = run(command, tagged, "--filter", "udp port 53", "--format", "json")
    assert (result.returncode, result.stderr) == (0, "")
    stream = library.read_packets if command == "read" else library.read_features
    assert library_dicts(result.stdout) == list(stream(tagged, filter="udp port 53"))


def test_an_invalid_filter_is_one_line_and_status_1(tagged):
    result = run("read", tagged, "--filter", "udp portt 53")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == "varnel: invalid filter 'udp portt 53': can't parse filter expression: syntax error\n"


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_flow_key_adds_three_columns(tagged, jobs):
    result = run("features", tagged, tagged, "--flow-key", "-j", jobs)
    assert result.returncode == 0
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    assert list(rows[0])[-3:] == ["src_ip", "dst_ip", "ip_proto"]
    expected = list(library.read_features(tagged, flow_key=True))
    assert [(row["dst_ip"], row["ip_proto"], row["count"]) for row in rows] == [
        (row["dst_ip"], str(row["ip_proto"]), str(row["count"])) for row in expected] * 2


def test_a_missing_file_is_one_line_and_the_others_are_read(tagged, tmp_path):
    missing = tmp_path / "missing.pcap"
    result = run("read", missing, tagged, "--count", "2")
    assert result.returncode == 1
    assert result.stderr == f"varnel: {missing}: No such file or directory\n"
    assert len(result.stdout.splitlines()) == 2
