"""FeatureExtractor: feature rows from capture files, the count rule, the class itself."""

import copy
import gc
import inspect
import itertools
import os
import pickle
import signal
import struct
import subprocess
import sys
import warnings
import weakref

import pytest

from testkit import frames as F
from testkit.frames import ip6, tcp4, udp4
from support.reference import reference_counts
from support.resources import open_count
from varnel import schema
from varnel.core.base.grapnel import read_pcap
from varnel.core.ver100.moraine import FeatureExtractor

KEYS = list(schema.feature_columns())
PROTOCOL_NAMES = {6: "TCP", 17: "UDP"}


@pytest.fixture
def capture(tmp_path):
    """Writes records to a new pcap file and returns its path as bytes."""
    numbers = itertools.count()

    def write(records, **options):
        return F.write_pcap(tmp_path / f"capture{next(numbers)}.pcap", records, **options)

    return write


def write_many_destinations(path, count, step_us=0):
    """`count` UDP frames, each to a new IPv4 destination, `step_us` apart; returns the path as bytes."""
    template = F.pcap_bytes([udp4()])
    header, record = template[:24], bytearray(template[24:])
    with open(path, "wb") as out:
        out.write(header)
        for host in range(count):
            micros = 1_700_000_000 * 1_000_000 + host * step_us
            struct.pack_into("<II", record, 0, micros // 1_000_000, micros % 1_000_000)
            struct.pack_into("!I", record, 16 + 30, host)   # the destination address of the frame
            out.write(record)
    return bytes(path)


def counts(rows):
    return [row["count"] for row in rows]


# ---- Rows


@pytest.mark.parametrize("frame, protocol_type, ports", [
    (tcp4(sport=1234, dport=80), "TCP", (1234, 80)),
    (udp4(sport=5353, dport=53), "UDP", (5353, 53)),
    (F.ethernet(F.ipv4(F.icmp(), proto=1)), "ICMP", (0, 0)),
    (F.ethernet(F.ipv4(F.icmp(), proto=58)), "ICMP", (0, 0)),
    (F.ethernet(F.ipv4(bytes(8), proto=2)), "ICMP", (0, 0)),   # IGMP
    (F.ethernet(F.ipv4(bytes(8), proto=0)), "ICMP", (0, 0)),
    (ip6(F.tcp(443, 50000)), "TCP", (443, 50000)),
    (ip6(F.udp(546, 547), next_hdr=17), "UDP", (546, 547)),
    (ip6(F.icmp(128), next_hdr=58), "ICMP", (0, 0)),
    (ip6(F.udp(1, 2), next_hdr=44), "ICMP", (0, 0)),          # fragment header is not followed
], ids=["tcp", "udp", "icmp", "icmpv6-in-ipv4", "igmp", "proto0", "tcp6", "udp6", "icmpv6", "ipv6-frag"])
def test_row_keys_types_and_protocol(capture, frame, protocol_type, ports):
    [row] = FeatureExtractor().process_pcap(capture([F.stamped(frame, 250_000)]))
    assert list(row) == KEYS
    assert [type(value) for value in row.values()] == [float, int, int, str, int, int, int, int]
    assert row["timestamp"] == 1_700_000_000.25
    assert (row["src_port"], row["dst_port"]) == ports
    assert row["protocol_type"] == protocol_type
    assert (row["src_bytes"], row["land"], row["wrong_fragment"], row["count"]) == (len(frame), 0, 0, 1)


@pytest.mark.parametrize("frame, land, wrong_fragment", [
    (tcp4(src="10.0.0.1", dst="10.0.0.1", sport=80, dport=80), 1, 0),
    (tcp4(src="10.0.0.1", dst="10.0.0.1", sport=80, dport=81), 0, 0),
    (udp4(src="10.0.0.1", dst="10.0.0.1", sport=80, dport=80), 0, 0),
    (ip6(F.tcp(80, 80), src="2001:db8::1", dst="2001:db8::1"), 0, 0),
    (tcp4(flags_frag=0x2000), 0, 1),     # first fragment
    (tcp4(flags_frag=0x0010), 0, 1),     # later fragment
    (tcp4(flags_frag=0x4000), 0, 0),     # don't-fragment only
])
def test_land_and_wrong_fragment(capture, frame, land, wrong_fragment):
    [row] = FeatureExtractor().process_pcap(capture([frame]))
    assert (row["land"], row["wrong_fragment"]) == (land, wrong_fragment)


def test_src_bytes_is_the_wire_length_of_a_truncated_frame(capture):
    frame = udp4()
    [row] = FeatureExtractor().process_pcap(capture([F.Record(frame, wire_len=1514)], snaplen=len(frame)))
    assert row["src_bytes"] == 1514


def test_non_ip_frames_give_no_rows(capture):
    vlan = F.ethernet(b"\x00\x01\x08\x00" + F.ipv4(F.tcp()), eth_type=F.ETH_VLAN)
    extractor = FeatureExtractor()
    assert extractor.process_pcap(capture([F.arp(), vlan, F.arp()])) == []
    assert extractor._tracked_hosts == 0
    rows = extractor.process_pcap(capture([F.arp(), udp4(dport=1), vlan, udp4(dport=2)]))
    assert [row["dst_port"] for row in rows] == [1, 2]


def test_row_dicts_have_the_compact_size_of_a_literal(capture):
    [row] = FeatureExtractor().process_pcap(capture([tcp4()]))
    literal = {"timestamp": row["timestamp"], "src_port": row["src_port"], "dst_port": row["dst_port"],
               "protocol_type": row["protocol_type"], "src_bytes": row["src_bytes"], "land": row["land"],
               "wrong_fragment": row["wrong_fragment"], "count": row["count"]}
    assert row == literal
    assert sys.getsizeof(row) <= sys.getsizeof(literal)


# ---- The count rule


@pytest.mark.parametrize("micros, expected", [
    ([0], [1]),
    ([0, 2_000_000], [1, 2]),
    ([0, 2_000_001], [1, 1]),
    ([0, 1_000_000, 4_000_000], [1, 2, 1]),
    ([5_000_000, 0, 1_000_000], [1, 2, 3]),                     # a step back counts as inside
    ([0, 1_900_000, 3_800_000, 5_700_000], [1, 2, 3, 4]),       # measured from the previous packet
    ([0, 3_000_000, 4_000_000, 7_000_001], [1, 1, 2, 1]),
], ids=["first", "exactly-2s", "just-over", "1-0-4", "negative-gap", "chained", "restart"])
def test_count_window_for_one_destination(capture, micros, expected):
    records = [F.stamped(tcp4(), t) for t in micros]
    assert counts(FeatureExtractor().process_pcap(capture(records))) == expected


def test_two_hosts_alternating_every_1_5_s_stay_at_one(capture):
    records = [F.stamped(tcp4(dst="10.0.0.2" if i % 2 == 0 else "10.0.0.3"), i * 1_500_000) for i in range(6)]
    assert counts(FeatureExtractor().process_pcap(capture(records))) == [1] * 6


def test_count_follows_the_destination_not_the_source_or_protocol(capture):
    records = [F.stamped(tcp4(src="10.0.0.1"), 0), F.stamped(udp4(src="10.9.9.9"), 100),
               F.stamped(F.ethernet(F.ipv4(F.icmp(), proto=1, dst="10.0.0.2")), 200),
               F.stamped(tcp4(dst="10.0.0.3"), 300)]
    assert counts(FeatureExtractor().process_pcap(capture(records))) == [1, 2, 3, 1]


@pytest.mark.parametrize("packets, expected", [
    # IPv6 counts under its own destination, not under an IPv4 key left in the record.
    ([(ip6(dst="2001:db8::2"), 0), (ip6(dst="2001:db8::2"), 1), (ip6(dst="2001:db8::3"), 2)], [1, 2, 1]),
    ([(tcp4(dst="10.0.0.2"), 0), (ip6(dst="2001:db8::2"), 1), (tcp4(dst="10.0.0.2"), 2)], [1, 1, 2]),
    ([(ip6(), 0), (tcp4(dst="0.0.0.0"), 1), (ip6(), 2)], [1, 1, 2]),
    # An IPv6 address that embeds or ends in the IPv4 address is still another host.
    ([(tcp4(dst="10.0.0.2"), 0), (ip6(dst="::ffff:10.0.0.2"), 1), (ip6(dst="::10.0.0.2"), 2),
      (tcp4(dst="10.0.0.2"), 3)], [1, 1, 1, 2]),
    # The same 2.0 s window.
    ([(ip6(), 0), (ip6(), 2_000_000), (ip6(), 4_000_001), (ip6(), 3_000_000)], [1, 2, 1, 2]),
], ids=["ipv6-only", "interleaved", "ipv6-before-ipv4", "mapped-address", "window"])
def test_ipv6_counts_under_its_own_destination(capture, packets, expected):
    records = [F.stamped(frame, micros) for frame, micros in packets]
    assert counts(FeatureExtractor().process_pcap(capture(records))) == expected


def test_repeated_calls_give_identical_lists_and_leave_the_table_empty(capture):
    path = capture([F.stamped(tcp4(dst=f"10.0.0.{i % 3}"), i * 600_000 + (i // 6) * 900_000) for i in range(12)])
    extractor = FeatureExtractor()
    first = extractor.process_pcap(path)
    assert extractor._tracked_hosts == 0
    assert gc.is_tracked(first)   # the caller may build cycles through it
    assert extractor.process_pcap(path) == first
    assert counts(first) == [1, 1, 1, 2, 2, 2, 1, 1, 1, 2, 2, 2]  # a 2.7 s pause after six packets


CORPUS_ROWS = {"ndpi-gnutella.pcap": 3882, "ndpi-1kxun.pcap": 1723, "ndpi-reddit.pcap": 1942,
               "ndpi-http_ipv6.pcap": 193, "ndpi-nintendo.pcap": 996, "zeek-tcp-timestamp.pcap": 878,
               "zeek-mixed-vlan-mpls.pcap": 22, "packets-arp_resolution.pcapng": 0,
               "ndpi-teams-truncated.pcap": 370}


def test_corpus_rows_match_packet_dicts_and_the_count_rule(corpus):
    for path in sorted(corpus.glob("*.pcap*")):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            packets = list(read_pcap(bytes(path)))
            rows = FeatureExtractor().process_pcap(bytes(path))
        assert len(rows) == len(packets) == CORPUS_ROWS.get(path.name, len(packets)), path.name
        for row, packet in zip(rows, packets):
            assert row["timestamp"] == packet["timestamp"]
            assert (row["src_port"], row["dst_port"]) == (packet["src_port"], packet["dst_port"])
            assert row["protocol_type"] == PROTOCOL_NAMES.get(packet["ip_proto"], "ICMP")
            assert row["src_bytes"] == packet["frame_length"]
            assert (row["land"], row["wrong_fragment"]) == (packet["land"], packet["wrong_fragment"])
        expected = reference_counts(((p["version"], p["dst_ip"]), p["timestamp"]) for p in packets)
        assert counts(rows) == expected, path.name


# ---- Files: errors, damage, interruption


@pytest.mark.parametrize("method", ["process_pcap", "iter_pcap", "process_live"])
def test_argument_errors_name_the_method(method):
    keyword = "device_name" if method == "process_live" else "file_path"
    bound = getattr(FeatureExtractor(), method)
    cases = [
        ((), {}, f"{method}() takes exactly 1 positional argument (0 given)"),
        ((b"a", b"b"), {}, f"{method}() takes exactly 1 positional argument (2 given)"),
        ((b"a",), {"path": b"a"}, f"{method}() got an unexpected keyword argument 'path'"),
        ((), {"path": b"a"}, f"{method}() takes exactly 1 positional argument (0 given)"),
        ((b"a",), {keyword: b"a"}, f"{method}() got multiple values for keyword argument '{keyword}'"),
        (("a",), {}, f"Argument '{keyword}' has incorrect type (expected bytes, got str)"),
        ((bytearray(b"a"),), {}, f"Argument '{keyword}' has incorrect type (expected bytes, got bytearray)"),
        ((type("Name", (bytes,), {})(b"a"),), {}, f"Argument '{keyword}' has incorrect type (expected bytes, got Name)"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as error:
            bound(*args, **kwargs)
        assert str(error.value) == message


def test_process_pcap_checks_its_argument_at_the_call():
    extractor = FeatureExtractor()
    with pytest.raises(TypeError, match="^expected bytes, NoneType found$"):
        extractor.process_pcap(None)
    with pytest.raises(ValueError, match="^embedded null byte$"):
        extractor.process_pcap(b"capture\0.pcap")
    with pytest.raises(RuntimeError) as error:
        extractor.process_pcap(file_path=b"/nonexistent/capture.pcap")
    assert str(error.value).startswith("Lỗi mở file PCAP: /nonexistent/capture.pcap")


@pytest.mark.parametrize("method, source, error, message", [
    ("iter_pcap", None, TypeError, "^expected bytes, NoneType found$"),
    ("iter_pcap", b"a\0b", ValueError, "^embedded null byte$"),
    ("iter_pcap", b"/nonexistent/capture.pcap", RuntimeError, "^Lỗi mở file PCAP: "),
    ("process_live", None, TypeError, "^expected bytes, NoneType found$"),
    ("process_live", b"lo\0", ValueError, "^embedded null byte$"),
    ("process_live", b"varnel-no-such-device", RuntimeError, "^Lỗi mở card mạng: "),
])
def test_generators_check_their_argument_at_the_first_advance(method, source, error, message):
    stream = getattr(FeatureExtractor(), method)(source)
    with pytest.raises(error, match=message):
        next(stream)
    with pytest.raises(StopIteration):
        next(stream)


def test_a_failed_open_leaves_the_shared_table_alone(capture):
    extractor = FeatureExtractor()
    stream = extractor.iter_pcap(capture([tcp4(dst="10.0.0.2"), tcp4(dst="10.0.0.3")]))
    next(stream)
    assert extractor._tracked_hosts == 1
    with pytest.raises(RuntimeError):
        extractor.process_pcap(b"/nonexistent/capture.pcap")
    failing = extractor.iter_pcap(b"/nonexistent/capture.pcap")
    with pytest.raises(RuntimeError):
        next(failing)
    assert extractor._tracked_hosts == 1
    # Any run that ends after reading empties the table it shares.
    extractor.process_pcap(capture([udp4()]))
    assert extractor._tracked_hosts == 0
    assert next(stream)["count"] == 1


def test_damaged_file_keeps_the_rows_before_the_damage(capture, tmp_path):
    whole = F.pcap_bytes([F.stamped(udp4(dport=port), port) for port in (1, 2, 3)])
    path = tmp_path / "cut.pcap"
    path.write_bytes(whole[:-10])
    for read in (lambda e: e.process_pcap(bytes(path)), lambda e: list(e.iter_pcap(bytes(path)))):
        extractor = FeatureExtractor()
        with pytest.warns(RuntimeWarning, match="^Lỗi đọc file PCAP: "):
            rows = read(extractor)
        assert [row["dst_port"] for row in rows] == [1, 2]
        assert extractor._tracked_hosts == 0


def test_a_signal_interrupts_a_large_file(tmp_path):
    path = write_many_destinations(tmp_path / "large.pcap", 300_000, step_us=1)
    extractor = FeatureExtractor()
    hosts_when_interrupted = []

    class Interrupted(Exception):
        pass

    def interrupt_inside_the_call(signum, frame):
        # Only once the call has counted something, so the signal is met by the file loop.
        if extractor._tracked_hosts:
            hosts_when_interrupted.append(extractor._tracked_hosts)
            raise Interrupted

    previous = signal.signal(signal.SIGALRM, interrupt_inside_the_call)
    # Python-level gc callbacks (hypothesis installs one) would otherwise run the handler, and
    # swallow its exception, wherever a collection starts.
    gc.disable()
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        with pytest.raises(Interrupted):
            extractor.process_pcap(path)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        gc.enable()
    assert hosts_when_interrupted and hosts_when_interrupted[0] > 0
    assert extractor._tracked_hosts == 0
    assert open_count(path) == 0


# ---- iter_pcap


def test_iter_pcap_yields_what_process_pcap_returns(corpus):
    path = bytes(corpus / "ndpi-gnutella.pcap")
    extractor = FeatureExtractor()
    stream = extractor.iter_pcap(path)
    assert (stream.__name__, stream.__qualname__) == ("iter_pcap", "FeatureExtractor.iter_pcap")
    assert list(stream) == extractor.process_pcap(path)
    assert stream.read_position == os.path.getsize(path)


def test_iter_pcap_closed_or_dropped_empties_the_table_and_closes_the_file(capture):
    path = capture([tcp4(dst=f"10.0.0.{i}") for i in range(5)])
    extractor = FeatureExtractor()
    for end in (lambda s: s.close(), lambda s: s.throw(KeyError("stop")), lambda s: None):
        stream = extractor.iter_pcap(path)
        next(stream), next(stream)
        assert extractor._tracked_hosts == 2
        assert open_count(path) == 1
        try:
            end(stream)
        except KeyError:
            pass
        del stream
        assert extractor._tracked_hosts == 0
        assert open_count(path) == 0


# ---- The class


def test_class_shape():
    assert FeatureExtractor.__doc__ is None
    assert FeatureExtractor.__module__ == "varnel.core.ver100.moraine"
    assert FeatureExtractor.process_pcap.__doc__ == "Hàm API gọi từ Python để xử lý toàn bộ file PCAP"
    assert (FeatureExtractor.process_live.__doc__
            == "Hàm API gọi từ Python để trích xuất đặc trưng KDD trực tiếp từ Card mạng")
    assert str(inspect.signature(FeatureExtractor.process_pcap)) == "(self, /, file_path)"
    assert str(inspect.signature(FeatureExtractor.process_live)) == "(self, /, device_name)"
    assert not hasattr(FeatureExtractor, "_calculate_kdd")
    extractor = FeatureExtractor(1, key="ignored")
    assert not gc.is_tracked(extractor)
    assert extractor._tracked_hosts == 0
    with pytest.raises(AttributeError):
        extractor._tracked_hosts = 1


REFUSAL = "^no default __reduce__ due to non-trivial __cinit__$"


class Sub(FeatureExtractor):
    def __init__(self, label):
        super().__init__()
        self.label = label


@pytest.mark.parametrize("make", [FeatureExtractor, lambda: Sub("x")], ids=["base", "subclass"])
@pytest.mark.parametrize("copier", [pickle.dumps, copy.copy, copy.deepcopy,
                                    lambda obj: obj.__reduce__(), lambda obj: obj.__reduce_ex__(2),
                                    lambda obj: obj.__setstate__({}), lambda obj: obj.__setstate__(state=None)])
def test_pickling_and_copying_are_refused(make, copier):
    with pytest.raises(TypeError, match=REFUSAL):
        copier(make())


def test_pickling_hooks_check_their_arguments_first():
    extractor = FeatureExtractor()
    with pytest.raises(TypeError, match=r"^__reduce__\(\) takes no arguments \(1 given\)$"):
        extractor.__reduce__(1)
    with pytest.raises(TypeError, match=r"^__setstate__\(\) takes exactly 1 positional argument \(0 given\)$"):
        extractor.__setstate__()
    with pytest.raises(TypeError, match=r"^__setstate__\(\) got an unexpected keyword argument 'x'$"):
        extractor.__setstate__(1, x=1)


def test_subclasses_work_and_their_cycles_through_streams_are_collected(capture):
    path = capture([tcp4(), tcp4()])
    sub = Sub("label")
    assert counts(sub.process_pcap(path)) == [1, 2]
    sub.stream = sub.iter_pcap(path)          # sub -> stream -> sub
    next(sub.stream)
    assert sub._tracked_hosts == 1
    alive = weakref.ref(sub)
    del sub
    gc.collect()
    assert alive() is None
    assert open_count(path) == 0


def test_out_of_memory_in_the_host_table_is_a_memory_error(tmp_path):
    # Distinct destinations at one instant grow the table until the address-space limit stops it.
    path = write_many_destinations(tmp_path / "hosts.pcap", 1_500_000)
    script = f"""
import resource
from varnel.core.ver100.moraine import FeatureExtractor

extractor = FeatureExtractor()
stream = extractor.iter_pcap({path!r})
next(stream)
with open("/proc/self/statm") as statm:
    size = int(statm.read().split()[0]) * resource.getpagesize()
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + (16 << 20), hard))
hosts = 1
try:
    for _ in stream:
        hosts += 1
except MemoryError:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(hosts, extractor._tracked_hosts, next(stream, "ended"))
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    hosts_before_failure, tracked_after, after_end = result.stdout.split()
    # The table grew well past its first sizes before the limit stopped it; then it was emptied.
    assert int(hosts_before_failure) > 100_000, result.stderr
    assert (tracked_after, after_end) == ("0", "ended")
