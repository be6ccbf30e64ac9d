"""Replays the inputs the fuzzers once failed on (fuzz/regressions/), through the installed package:
whole capture files through read_pcap, decoder inputs as one-record capture files compared with the
independent reading. `make fuzz` replays the same inputs through the harnesses themselves."""

from __future__ import annotations

import struct
import warnings
from pathlib import Path

from support import reference
from testkit.frames import Record, write_pcap
from varnel.core.base.grapnel import read_pcap

REGRESSIONS = Path(__file__).resolve().parents[1] / "fuzz" / "regressions"
DECODER_INPUTS = sorted((REGRESSIONS / "decoder").glob("*"))
FILE_INPUTS = sorted((REGRESSIONS / "read_pcap").glob("*"))
PREFIX = struct.Struct("<HIiI")  # the decoder harness's prefix: caplen limit, extra wire bytes, seconds, µs


def decoder_record(data: bytes) -> Record:
    """The capture record the decoder harness builds from one input."""
    limit, extra, seconds, micros = PREFIX.unpack(data[:PREFIX.size].ljust(PREFIX.size, b"\0"))
    frame = data[PREFIX.size:][:limit]
    return Record(frame, ts_sec=seconds, ts_usec=micros, wire_len=min(len(frame) + extra, 2**32 - 1))


def test_decoder_regressions(tmp_path):
    for path in DECODER_INPUTS:
        capture = write_pcap(tmp_path / "one.pcap", [decoder_record(path.read_bytes())])
        assert list(read_pcap(capture)) == list(reference.packet_dicts(capture)), path.name


def test_file_regressions():
    for path in FILE_INPUTS:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                for packet in read_pcap(bytes(path)):
                    assert packet["success"] is True, path.name
            except (RuntimeError, UnicodeDecodeError, OSError):
                pass  # what a bad file may raise; a crash or any other error fails
