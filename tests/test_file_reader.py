"""The core's own capture-file reader against libpcap, through tests/native/file_reader_diff.cpp: every
sample capture, the shared corpus, compressed copies, pcapng files libpcap refuses, and thousands of
seeded mutations must give libpcap's records (time stamp, lengths, bytes), libpcap's point of damage
and libpcap's text wherever libpcap reads the file; where libpcap refuses a file we read, the test says
which refusal it is and holds our records to the file's own."""

from __future__ import annotations

import gzip
import json
import lzma
import os
import random
import shutil
import struct
import subprocess
from pathlib import Path

import pytest

from conftest import CORPUS
from testkit import native_build
from testkit.frames import ETH_IPV6, ethernet, ipv4, ipv6, tcp, udp

ROOT = Path(__file__).resolve().parents[1]
DIFF_SOURCE = ROOT / "tests" / "native" / "file_reader_diff.cpp"
SHARED_CORPUS = ROOT.parent / "shared" / "corpus"
SUFFIXES = {".pcap", ".pcapng", ".cap"}
MUTANTS_PER_BASE = 250  # make fuzz drives the reader far longer; this keeps the test well under a minute

# Texts with which libpcap refuses what our reader reads on purpose.
BEYOND_LIBPCAP = ("an interface has a type ", "an interface has a snapshot length ",
                  "the file has sections with different byte orders")


# ---- Building the differential program

def build_diff(without: tuple[str, ...] = ()) -> Path:
    """The program, with every decompression library pkg-config finds except those `without`."""
    return native_build.build(DIFF_SOURCE, ROOT / "build" / "test-native", native_build.FILE_READER, ("-O1", "-g"),
                              without)


@pytest.fixture(scope="session")
def diff_program() -> Path:
    return build_diff()


def run_diff(program: Path, paths: list, *options: str) -> list[dict]:
    output = subprocess.run([str(program), *options, *map(str, paths)], check=True, capture_output=True, text=True,
                            timeout=300).stdout
    return [json.loads(line) for line in output.splitlines()]


# ---- What must hold for one file

def opposite_section_after_start(data: bytes) -> bool:
    """A section header after the first whose byte-order magic is in the other order."""
    first = data[8:12]
    for index in range(4, len(data) - 12):
        if data[index:index + 4] == b"\x0a\x0d\x0d\x0a" and data[index + 8:index + 12] == first[::-1]:
            return True
    return False


def check_agreement(result: dict, data: bytes) -> str:
    """Asserts the rules for one file; returns how the file was read ('same' or the refusal)."""
    theirs, ours = result["libpcap"], result["ours"]
    where = f"{result['file']}: libpcap {theirs}, ours {ours}, mismatch {result['mismatch']!r}"
    assert ours["outcome"] != "stuck", where
    if not theirs["opened"]:
        assert not ours["opened"] and ours["text"] == theirs["text"], where
        return "same"
    assert ours["opened"] and ours["link_type"] == theirs["link_type"], where
    assert result["agree"] == theirs["frames"], where
    refused = theirs["outcome"] == "damaged" and (
        theirs["text"].startswith(BEYOND_LIBPCAP) or opposite_section_after_start(data))
    if refused:
        assert ours["frames"] >= theirs["frames"], where
        return "beyond libpcap"
    assert (ours["frames"], ours["outcome"], ours["text"]) == (theirs["frames"], theirs["outcome"], theirs["text"]), where
    assert ours["kind"] == ("damaged" if theirs["outcome"] == "damaged" else ""), where
    return "same"


# ---- Capture builders (struct-level, so that every field can be set)

FRAMES = [ethernet(ipv4(tcp(80, 443, flags=0x18) + b"x" * 40)), ethernet(ipv4(udp(53, 5353, payload=b"q" * 20),
          proto=17)), ethernet(ipv6(tcp(), next_hdr=6), eth_type=ETH_IPV6), ethernet(b"\x00" * 46)]


def classic(order: str = "<", magic: int = 0xA1B2C3D4, version: tuple[int, int] = (2, 4), snaplen: int = 65535,
            linktype: int = 1, count: int = 12, swap_lengths: bool = False) -> bytes:
    out = [struct.pack(order + "IHHiIII", magic, *version, 0, 0, snaplen, linktype)]
    extra = b"\x00\x00\x00\x07\x08\x00\x04\x00" if magic == 0xA1B2CD34 else b""
    for index in range(count):
        frame = FRAMES[index % len(FRAMES)]
        caplen, wire = len(frame), len(frame) + index % 3
        if swap_lengths:
            caplen, wire = wire, caplen
        out.append(struct.pack(order + "IIII", 1_700_000_000 + index, index * 123_457 % 1_000_000_000, caplen, wire)
                   + extra + frame[:min(caplen, len(frame))] + b"\x00" * max(0, caplen - len(frame)))
    return b"".join(out)


def block(order: str, kind: int, body: bytes) -> bytes:
    body += b"\x00" * (-len(body) % 4)
    return struct.pack(order + "II", kind, len(body) + 12) + body + struct.pack(order + "I", len(body) + 12)


def option(order: str, code: int, value: bytes) -> bytes:
    return struct.pack(order + "HH", code, len(value)) + value + b"\x00" * (-len(value) % 4)


def section(order: str = "<", minor: int = 0) -> bytes:
    return block(order, 0x0A0D0D0A, struct.pack(order + "IHHq", 0x1A2B3C4D, 1, minor, -1))


def interface(order: str = "<", linktype: int = 1, snaplen: int = 65535, resolution: int | None = None,
              offset: int | None = None) -> bytes:
    options = b""
    if resolution is not None:
        options += option(order, 9, bytes([resolution]))
    if offset is not None:
        options += option(order, 14, struct.pack(order + "q", offset))
    if options:
        options += option(order, 0, b"")
    return block(order, 1, struct.pack(order + "HHI", linktype, 0, snaplen) + options)


def enhanced(order: str, frame: bytes, stamp: int, interface_id: int = 0, wire: int | None = None) -> bytes:
    return block(order, 6, struct.pack(order + "IIIII", interface_id, stamp >> 32, stamp & 0xFFFFFFFF, len(frame),
                                       len(frame) if wire is None else wire) + frame)


def simple(order: str, frame: bytes) -> bytes:
    return block(order, 3, struct.pack(order + "I", len(frame)) + frame)


def obsolete(order: str, frame: bytes, stamp: int, interface_id: int = 0) -> bytes:
    return block(order, 2, struct.pack(order + "HHIIII", interface_id, 0, stamp >> 32, stamp & 0xFFFFFFFF,
                                       len(frame), len(frame)) + frame)


def pcapng(order: str = "<", resolution: int | None = None, offset: int | None = None, count: int = 10) -> bytes:
    parts = [section(order), block(order, 0x0BAD, b"vendor"), interface(order, resolution=resolution, offset=offset),
             interface(order, resolution=0x94)]
    for index in range(count):
        stamp = 1_700_000_000_123_456_789 + index * 987_654_321_123
        parts.append(enhanced(order, FRAMES[index % len(FRAMES)], stamp, interface_id=index % 2))
    parts += [simple(order, FRAMES[0]), obsolete(order, FRAMES[1], 1 << 50, interface_id=1)]
    return b"".join(parts)


def pseudo_header_frames(linktype: int, order: str, rng: random.Random) -> list[bytes]:
    """Frames whose link-layer pseudo-headers libpcap rewrites: fields in the writer's byte order
    (pflog, cooked CAN, USB, NFLOG) and the wire length of incoming isochronous USB completions."""
    frames = []
    for index in range(8):
        body = bytearray(rng.randbytes(rng.randint(40, 160)))
        if linktype == 117:  # pflog: its header length, then uid, pid, rule uid, rule pid
            body[0] = rng.choice([44, 48, 52, 61, 64])
        elif linktype == 113:  # Linux cooked: protocol at 14, CAN id after the 16-byte header
            body[14:16] = struct.pack(">H", rng.choice([0x000C, 0x000D, 0x0800]))
        elif linktype == 276:  # cooked v2: protocol first, CAN id after the 20-byte header
            body[0:2] = struct.pack(">H", rng.choice([0x000C, 0x000D, 0x86DD]))
        elif linktype in (189, 220):  # USB: isochronous, completion, inward, with data
            body += bytes(max(0, 64 + 32 - len(body)))
            body[8], body[9], body[10], body[15] = ord("C"), 0 if index % 4 != 3 else 2, 0x81, 0
            body[60:64] = struct.pack(order + "I", 2 if index % 3 else 40)
            body[32:36] = struct.pack(order + "I", rng.randint(0, 64))
            for descriptor in range(2):
                at = 64 + 16 * descriptor
                body[at + 4:at + 12] = struct.pack(order + "II", rng.randint(0, 40), rng.randint(0, 40))
        elif linktype == 239:  # NFLOG: version 0, then TLVs of (length, type)
            body[1] = 0 if index % 4 else 1
            at = 4
            while at + 4 <= len(body):
                length = rng.choice([4, 5, 8, 11, 0, 3, 65533])
                body[at:at + 4] = struct.pack(order + "HH", length, rng.randint(1, 20))
                at += max(4, length + (-length % 4)) if length < 1000 else len(body)
        frames.append(bytes(body))
    return frames


def classic_of(frames: list[bytes], linktype: int, order: str, extra_wire: int = 0) -> bytes:
    out = [struct.pack(order + "IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, linktype)]
    for index, frame in enumerate(frames):
        # The USB records' wire length is what an old libpcap wrote: header, descriptors and URB length.
        wire = len(frame) + extra_wire
        if linktype == 220 and index % 2 == 0:
            count, urb = struct.unpack_from(order + "I", frame, 60)[0], struct.unpack_from(order + "I", frame, 32)[0]
            wire = 64 + 16 * count + urb
        out.append(struct.pack(order + "IIII", 1_700_000_000, index, len(frame), wire) + frame)
    return b"".join(out)


PSEUDO_HEADER_BASES = {
    f"link-{linktype}-{'be' if order == '>' else 'le'}": classic_of(
        pseudo_header_frames(linktype, order, random.Random(linktype)), linktype, order)
    for linktype in (117, 113, 276, 189, 220, 239) for order in ("<", ">")
}

BASES = {
    "le": classic("<"),
    "be": classic(">"),
    "nanoseconds": classic("<", magic=0xA1B23C4D),
    "nanoseconds-be": classic(">", magic=0xA1B23C4D),
    "modified": classic("<", magic=0xA1B2CD34),
    "modified-be-small-snaplen": classic(">", magic=0xA1B2CD34, snaplen=60),
    "version-2.2": classic("<", version=(2, 2), swap_lengths=True),
    "version-2.3": classic(">", version=(2, 3), swap_lengths=True),
    "dg-ux": classic("<", version=(543, 0), swap_lengths=True),
    "snaplen-0": classic("<", snaplen=0),
    "snaplen-60": classic("<", snaplen=60),
    "raw-ip": classic("<", linktype=101),
    "pcapng-le": pcapng("<"),
    "pcapng-be": pcapng(">", resolution=9, offset=-5),
    "pcapng-binary": pcapng("<", resolution=0x9E, offset=3),
    "pcapng-coarse": pcapng(">", resolution=2),
    "pcapng-two-sections": pcapng("<") + pcapng("<", resolution=3),
    **PSEUDO_HEADER_BASES,
    "pcapng-usb-nflog-be": b"".join([section(">"), interface(">", linktype=220), interface(">", linktype=239)] + [
        enhanced(">", frame, 10**6 * index, 0, 64 + 16 * struct.unpack_from(">I", frame, 60)[0] +
                 struct.unpack_from(">I", frame, 32)[0])
        for index, frame in enumerate(pseudo_header_frames(220, ">", random.Random(5)))] + [
        enhanced(">", frame, index, 1) for index, frame in enumerate(pseudo_header_frames(239, ">", random.Random(6)))]),
}


def mutate(data: bytes, rng: random.Random) -> bytes:
    """One to three edits of the kinds that find reader faults: header fields and lengths set to edge
    values, truncation, a byte flipped, a range duplicated or removed, the byte order of a field turned."""
    data = bytearray(data)
    for _ in range(rng.randint(1, 3)):
        edit = rng.randrange(7)
        position = rng.randrange(len(data)) if data else 0
        if edit == 0 and len(data) >= 4:  # a 32-bit field at an aligned offset
            position -= position % 4
            value = rng.choice([0, 1, 3, 4, 11, 12, 13, 60, 0xFFFF, 0x40000, 0x40001, 0x7FFFFFFF, 0x80000000,
                                0xFFFFFFFF, rng.getrandbits(32)])
            data[position:position + 4] = value.to_bytes(4, rng.choice(["little", "big"]))
        elif edit == 1:  # truncated
            del data[rng.randrange(len(data) + 1):]
        elif edit == 2 and data:
            data[position] ^= 1 << rng.randrange(8)
        elif edit == 3 and len(data) >= 4:  # a field's byte order turned
            position -= position % 4
            data[position:position + 4] = data[position:position + 4][::-1]
        elif edit == 4 and len(data) >= 8:  # a range repeated
            size = rng.randint(1, 64)
            data[position:position] = data[position:position + size]
        elif edit == 5 and data:  # a range cut out
            del data[position:position + rng.randint(1, 32)]
        elif edit == 6 and len(data) >= 8:  # a 16-bit field (versions, link types, option lengths)
            position -= position % 2
            data[position:position + 2] = rng.choice([0, 1, 2, 3, 4, 8, 0xFFFF, rng.getrandbits(16)]).to_bytes(
                2, rng.choice(["little", "big"]))
    return bytes(data)


# ---- The tests

def sample_captures() -> list[Path]:
    return sorted(p for p in CORPUS.iterdir() if p.suffix in SUFFIXES)


def test_sample_captures_read_as_libpcap_reads_them(diff_program):
    captures = sample_captures()
    results = run_diff(diff_program, captures)
    assert len(results) == len(captures)
    ways = [(Path(r["file"]).name, check_agreement(r, Path(r["file"]).read_bytes())) for r in results]
    # Its two interfaces differ in snapshot length, which libpcap refuses before the first record; every
    # other capture is read as libpcap reads it.
    assert {name for name, way in ways if way != "same"} == {"zeek-ldap-modify-request.pcapng"}


@pytest.mark.skipif(not SHARED_CORPUS.is_dir(), reason="no shared corpus on this machine")
def test_shared_corpus_is_read(diff_program):
    files = sorted(p for p in SHARED_CORPUS.iterdir() if p.suffix in SUFFIXES)
    for result in run_diff(diff_program, files):
        check_agreement(result, Path(result["file"]).read_bytes())


@pytest.mark.parametrize("mode", [["--pipe"], ["--split", "2000"], ["--guess", "2000"]])
def test_pipes_and_pieces_give_the_same_records(diff_program, mode, tmp_path):
    captures = [p for p in sample_captures() if p.stat().st_size > 4000][:12]
    for name, data in BASES.items():
        (tmp_path / f"{name}.pcap").write_bytes(data)
        captures.append(tmp_path / f"{name}.pcap")
    results = run_diff(diff_program, captures, *mode)
    for result in results:
        check_agreement(result, Path(result["file"]).read_bytes())
    if mode[0] != "--pipe":
        assert max(r["pieces"] for r in results) > 10


def test_seeded_mutations_agree_with_libpcap(diff_program, tmp_path):
    rng = random.Random(20241209)
    paths = []
    for name, data in BASES.items():
        for index in range(MUTANTS_PER_BASE):
            path = tmp_path / f"{name}-{index}"
            path.write_bytes(mutate(data, rng))
            paths.append(path)
    ways: dict[str, int] = {}
    outcomes: dict[str, int] = {}
    for start in range(0, len(paths), 500):
        for result in run_diff(diff_program, paths[start:start + 500]):
            way = check_agreement(result, Path(result["file"]).read_bytes())
            ways[way] = ways.get(way, 0) + 1
            outcome = result["libpcap"]["outcome"]
            outcomes[outcome] = outcomes.get(outcome, 0) + 1
    # The mutations reach every kind of ending: clean, damaged after records, refused at open.
    assert min(outcomes.get(kind, 0) for kind in ("end", "damaged", "failed")) > 100, outcomes
    assert ways["same"] > 0.9 * len(paths), ways


@pytest.mark.parametrize("suffix, compress", [
    (".gz", gzip.compress),
    (".zst", None),
    (".xz", lzma.compress),
])
def test_compressed_copies_give_the_plain_files_records(diff_program, tmp_path, suffix, compress):
    if compress is None:
        if shutil.which("zstd") is None:
            zstd = pytest.importorskip("zstandard")
            compress = zstd.ZstdCompressor().compress
        else:
            def compress(data: bytes) -> bytes:
                return subprocess.run(["zstd", "-q", "-c"], input=data, capture_output=True, check=True).stdout
    plain = sample_captures()
    copies = []
    for path in plain:
        copy = tmp_path / (path.name + suffix)
        copy.write_bytes(compress(path.read_bytes()))
        copies.append(copy)
    for original, packed in zip(run_diff(diff_program, plain), run_diff(diff_program, copies)):
        # libpcap cannot read compressed files at all.
        assert (packed["libpcap"]["opened"], packed["libpcap"]["text"]) == (False, "unknown file format")
        expected, ours = original["libpcap"], packed["ours"]
        if not expected["opened"] or expected["outcome"] != "end":
            continue
        assert (ours["frames"], ours["digest"], ours["outcome"]) == (expected["frames"], expected["digest"], "end"), \
            packed["file"]
        assert 0 < ours["position"] <= os.path.getsize(packed["file"])  # compressed bytes


def large_records() -> bytes:
    """Records longer than one read of the reader (128 KiB), the longest libpcap takes among them,
    between short ones."""
    sizes = [60, 200_000, 60, 262_144, 131_073, 131_071, 60]
    out = [struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 262_144, 1)]
    for index, size in enumerate(sizes):
        out.append(struct.pack("<IIII", 1_700_000_000, index, size, size) + (FRAMES[0] + bytes(size))[:size])
    return b"".join(out)


@pytest.mark.parametrize("mode", [[], ["--pipe"], ["--split", "150000"], ["--gzip"]], ids=str)
def test_records_longer_than_a_read_are_read_whole(diff_program, tmp_path, mode):
    data = large_records()
    path = tmp_path / "large.pcap"
    path.write_bytes(data)
    if mode == ["--gzip"]:
        (plain,) = run_diff(diff_program, [path])
        packed = tmp_path / "large.pcap.gz"
        packed.write_bytes(gzip.compress(data))
        (result,) = run_diff(diff_program, [packed])
        assert (result["ours"]["frames"], result["ours"]["digest"]) == (7, plain["libpcap"]["digest"])
        return
    (result,) = run_diff(diff_program, [path], *mode)
    assert check_agreement(result, data) == "same"
    assert (result["ours"]["frames"], result["ours"]["outcome"]) == (7, "end")


def test_damaged_compressed_input_is_reported(diff_program, tmp_path):
    data = gzip.compress(BASES["le"])
    (tmp_path / "cut.pcap.gz").write_bytes(data[:len(data) // 2])
    (tmp_path / "concatenated.pcap.gz").write_bytes(gzip.compress(BASES["le"][:24 + 100]) +
                                                   gzip.compress(BASES["le"][24 + 100:]))
    corrupt = bytearray(data)
    corrupt[len(corrupt) // 2] ^= 0xFF
    (tmp_path / "corrupt.pcap.gz").write_bytes(bytes(corrupt))
    results = {Path(r["file"]).name: r["ours"] for r in run_diff(diff_program, sorted(tmp_path.iterdir()))}
    assert results["concatenated.pcap.gz"]["outcome"] == "end"
    assert results["concatenated.pcap.gz"]["frames"] == 12
    assert results["cut.pcap.gz"]["outcome"] == "damaged"
    assert results["cut.pcap.gz"]["text"] in (
        "truncated gzip-compressed dump file; the compressed data ends inside a stream",)
    assert results["corrupt.pcap.gz"]["outcome"] == "damaged"
    assert results["corrupt.pcap.gz"]["text"].startswith("error decompressing gzip-compressed dump file: ")


RAW_PACKET = ipv4(udp(1, 2, payload=b"raw"), proto=17)
# Ethernet, then raw IP with nanosecond stamps, then a section in the other byte order with Linux cooked.
MIXED_LINK_TYPES = (section() + interface(linktype=1) + enhanced("<", FRAMES[0], 5_000_001) +
                    interface(linktype=101, snaplen=128, resolution=9) + enhanced("<", RAW_PACKET, 7_000_000_123, 1) +
                    section(">") + interface(">", linktype=113, snaplen=0) +
                    enhanced(">", b"\x00" * 14 + b"\x08\x00" + RAW_PACKET, 9, 0))


def test_interfaces_of_different_link_types_are_each_decoded_by_their_own(diff_program, tmp_path):
    raw_packet, data = RAW_PACKET, MIXED_LINK_TYPES
    path = tmp_path / "mixed.pcapng"
    path.write_bytes(data)
    (result,) = run_diff(diff_program, [path], "--frames")
    assert result["libpcap"]["text"] == "an interface has a type 101 different from the type of the first interface"
    assert result["libpcap"]["frames"] == 1
    assert check_agreement(result, data) == "beyond libpcap"
    frames = [tuple(frame[:6]) + (bytes.fromhex(frame[6]),) for frame in result["ours"]["frame_list"]]
    assert frames == [
        (5, 1, len(FRAMES[0]), len(FRAMES[0]), 1, 65535, FRAMES[0]),
        (7, 0, len(raw_packet), len(raw_packet), 12, 128, raw_packet),  # DLT_RAW; nanoseconds cut to microseconds
        (0, 9, 16 + len(raw_packet), 16 + len(raw_packet), 113, 262144, b"\x00" * 14 + b"\x08\x00" + raw_packet),
    ]
    assert result["ours"]["outcome"] == "end"


def test_a_file_shrinking_under_the_reader_ends_or_is_damaged(diff_program, tmp_path):
    path = tmp_path / "shrinking.pcap"
    path.write_bytes(classic(count=40_000))  # ~4 MiB: several of the reader's blocks
    (result,) = run_diff(diff_program, [path], "--truncate-after", "10")
    ours = result["ours"]
    assert path.stat().st_size == len(classic(count=40_000)) // 2 + 7
    assert ours["outcome"] in ("end", "damaged") and 10 <= ours["frames"] < 40_000
    # Whatever was read before the cut is what libpcap reads from the shrunken file.
    assert result["agree"] == min(ours["frames"], result["libpcap"]["frames"])


@pytest.mark.parametrize("content, text, kind", [
    (b"", "truncated dump file; tried to read 4 file header bytes, only got 0", "unreadable"),
    (b"\xd4\xc3\xb2\xa1\x02\x00", "truncated dump file; tried to read 24 file header bytes, only got 2", "unreadable"),
    (b"not a capture file at all", "unknown file format", "unknown_format"),
    (struct.pack("<IHHiIII", 0xA1B2C3D4, 1, 0, 0, 0, 65535, 1), "archaic pcap savefile format", "unreadable"),
    (struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 5, 0, 0, 65535, 1), "unsupported pcap savefile version 2.5", "unreadable"),
    (section(), "the capture file has no Interface Description Blocks", "unreadable"),
])
def test_open_failures_have_libpcaps_texts(diff_program, tmp_path, content, text, kind):
    path = tmp_path / "bad.pcap"
    path.write_bytes(content)
    (result,) = run_diff(diff_program, [path])
    assert result["libpcap"]["text"] == text
    assert (result["ours"]["opened"], result["ours"]["text"], result["ours"]["kind"]) == (False, text, kind)


def test_missing_and_unreadable_paths(diff_program, tmp_path):
    missing = tmp_path / "missing.pcap"
    results = run_diff(diff_program, [missing, tmp_path, "/dev/null"])
    assert [(r["ours"]["text"], r["ours"]["kind"]) for r in results] == [
        (f"{missing}: No such file or directory", "not_found"),
        ("error reading dump file: Is a directory", "unreadable"),
        ("truncated dump file; tried to read 4 file header bytes, only got 0", "unreadable"),  # not a regular file
    ]
    assert [r["libpcap"]["text"] for r in results] == [r["ours"]["text"] for r in results]


@pytest.mark.parametrize("expression", ["tcp", "udp port 53", "ip6 and not tcp", "vlan", "tcp[13] & 2 != 0",
                                        "ether broadcast", "len > 1000", "icmp or arp"])
def test_filters_select_what_libpcap_selects(diff_program, expression):
    for result in run_diff(diff_program, sample_captures(), "--filter", expression):
        theirs, ours = result["libpcap"], result["ours"]
        if theirs["outcome"] == "filter":  # the expression does not fit the link type: the same text
            assert (ours["outcome"], ours["text"]) == ("filter", theirs["text"]), result["file"]
            continue
        check_agreement(result, Path(result["file"]).read_bytes())


def test_a_build_without_a_library_names_the_file_and_what_it_cannot_decompress(tmp_path):
    # Without ISA-L too, so that gzip goes through zlib here.
    program = build_diff(without=("libzstd", "libisal"))
    data = BASES["le"]
    packed = tmp_path / "trace.pcap.zst"
    packed.write_bytes(bytes.fromhex("28b52ffd") + b"\x00" * 20)  # the magic is enough to be recognised
    gz = tmp_path / "trace.pcap.gz"
    gz.write_bytes(gzip.compress(data))
    concatenated = tmp_path / "concatenated.pcap.gz"
    concatenated.write_bytes(gzip.compress(data[:100]) + gzip.compress(data[100:]))
    cut = tmp_path / "cut.pcap.gz"
    cut.write_bytes(gzip.compress(data)[:-30])
    results = {Path(r["file"]).name: r["ours"] for r in run_diff(program, [packed, gz, concatenated, cut])}
    assert results["trace.pcap.zst"]["text"] == f"{packed}: zstd-compressed dump file, and this build cannot decompress zstd"
    assert results["trace.pcap.zst"]["kind"] == "unreadable"
    assert (results["trace.pcap.gz"]["outcome"], results["trace.pcap.gz"]["frames"]) == ("end", 12)
    assert (results["concatenated.pcap.gz"]["outcome"], results["concatenated.pcap.gz"]["frames"]) == ("end", 12)
    assert results["cut.pcap.gz"]["text"] == "truncated gzip-compressed dump file; the compressed data ends inside a stream"


def test_a_fifo_opens_before_its_writer_and_is_read_whole(diff_program, tmp_path):
    captures = [CORPUS / "ndpi-1kxun.pcap", CORPUS / "packets-icmp_traceroute.pcapng"]
    packed = tmp_path / "gnutella.pcap.xz"
    packed.write_bytes(lzma.compress((CORPUS / "ndpi-gnutella.pcap").read_bytes()))
    results = run_diff(diff_program, [*captures, packed], "--fifo")
    for result in results[:2]:
        assert result["ours"]["waited"], result["file"]  # Pending, and nothing readable before the writer
        check_agreement(result, Path(result["file"]).read_bytes())
    (plain,) = run_diff(diff_program, [CORPUS / "ndpi-gnutella.pcap"])
    assert (results[2]["ours"]["frames"], results[2]["ours"]["digest"]) == (plain["ours"]["frames"],
                                                                          plain["ours"]["digest"])


@pytest.mark.parametrize("expression, link_types", [("udp", [12, 113]), ("tcp", [1]), ("ip", [1, 12, 113])])
def test_a_filter_is_compiled_for_each_link_type_of_a_file(diff_program, tmp_path, expression, link_types):
    path = tmp_path / "mixed.pcapng"
    path.write_bytes(MIXED_LINK_TYPES)
    (result,) = run_diff(diff_program, [path], "--frames", "--filter", expression)
    assert [frame[4] for frame in result["ours"]["frame_list"]] == link_types


@pytest.mark.parametrize("as_pipe", [False, True])
def test_standard_input_is_read_by_the_name_dash(diff_program, as_pipe):
    path = CORPUS / "ndpi-reddit.pcap"
    command = [str(diff_program), "--stdin", str(path)]
    if as_pipe:
        output = subprocess.run(command, input=path.read_bytes(), capture_output=True, check=True).stdout
    else:
        with open(path, "rb") as stdin:
            output = subprocess.run(command, stdin=stdin, capture_output=True, check=True).stdout
    result = json.loads(output)
    assert check_agreement(result, path.read_bytes()) == "same"
    assert result["ours"]["position"] == path.stat().st_size
