"""Every capture of the shared sample corpus read with read_pcap and compared, packet by packet and
field by field, with an independent dpkt-based reading under the same decoding rules."""

from __future__ import annotations

import re
import warnings
from pathlib import Path

import pytest

from conftest import CORPUS
from dpkt_reference import expected_packets, read_capture
from varnel.core.base.grapnel import read_pcap

LINKTYPE_ETHERNET = 1
CAPTURES = sorted(p for p in CORPUS.glob("*") if p.suffix in {".pcap", ".pcapng", ".cap"}) if CORPUS.is_dir() else []
ROW = re.compile(r"^\| `(?P<name>[^`]+)` \|[^|]*\|\s*(?P<link>\d+)[^|]*\|\s*(?P<count>\d+)(?P<error> \(then libpcap error\))?")


def corpus_table() -> dict[str, tuple[int, int, bool]]:
    """name -> (link type, frames libpcap delivers, whether libpcap then reports an error), from the
    corpus README, which counted them independently."""
    readme = CORPUS / "README.md"
    rows = (ROW.match(line) for line in readme.read_text().splitlines()) if readme.is_file() else ()
    return {m["name"]: (int(m["link"]), int(m["count"]), bool(m["error"])) for m in rows if m}


TABLE = corpus_table()
ETHERNET = [p for p in CAPTURES if TABLE.get(p.name, (None,))[0] == LINKTYPE_ETHERNET]
OTHER_LINKS = [p for p in CAPTURES if p.name in TABLE and p not in ETHERNET]


def read_all(path: Path) -> tuple[list[dict], list[warnings.WarningMessage]]:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        packets = list(read_pcap(bytes(path)))
    return packets, caught


def differences(got: dict, want: dict) -> dict:
    if list(got) != list(want):
        return {"keys": (list(got), list(want))}
    return {key: (got[key], want[key]) for key in want
            if got[key] != want[key] or type(got[key]) is not type(want[key])}


def test_corpus_is_present_and_described(corpus):
    assert ETHERNET and OTHER_LINKS, "expected Ethernet and other-link captures in the corpus"
    assert {p.name for p in CAPTURES} <= set(TABLE), "a capture the README does not count"


@pytest.mark.parametrize("path", ETHERNET, ids=lambda p: p.name)
def test_ethernet_capture_matches_independent_decoder(path):
    _, frames, damaged = TABLE[path.name]
    capture = read_capture(path)
    assert len(capture.records) == frames, "the reference walker disagrees with the corpus count"

    packets, caught = read_all(path)
    expected = list(expected_packets(capture))
    assert len(packets) == len(expected)
    for index, (got, want) in enumerate(zip(packets, expected)):
        assert not differences(got, want), f"{path.name} packet {index}: {differences(got, want)}"
    runtime_warnings = [w for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(runtime_warnings) == int(damaged)
    if damaged:
        assert str(runtime_warnings[0].message).startswith("Could not read file: ")


@pytest.mark.parametrize("path", OTHER_LINKS, ids=lambda p: p.name)
def test_other_link_types_warn_and_yield_nothing(path):
    packets, caught = read_all(path)
    assert packets == []
    messages = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(messages) == 1 and "is not Ethernet" in messages[0]
