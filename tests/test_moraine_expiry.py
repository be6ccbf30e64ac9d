"""The bounded host table: past a threshold, stale hosts expire; counts stay those of the
unbounded rule."""

import random
import tempfile
from contextlib import contextmanager
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from testkit import frames as F
from testkit.frames import ip6, udp4
from support.reference import reference_counts
from varnel.core.ver100 import moraine
from varnel.core.ver100.moraine import FeatureExtractor

EXPIRY_AGE = 62.0  # the 2.0 s window plus the 60 s margin
THRESHOLD = 65_536  # hosts per address family before any expires
HOSTS_V4 = [udp4(dst=f"10.0.0.{i}") for i in range(4)]
HOSTS_V6 = [ip6(dst=f"2001:db8::{i}") for i in range(4)]
HOSTS = HOSTS_V4 + HOSTS_V6


def write(records):
    with tempfile.NamedTemporaryFile(suffix=".pcap", delete=False) as out:
        out.write(F.pcap_bytes(records))
    return Path(out.name)


@contextmanager
def expiry_threshold(threshold):
    previous = moraine._set_expiry_threshold(threshold)
    try:
        yield previous
    finally:
        moraine._set_expiry_threshold(previous)


@pytest.fixture
def expire_always():
    """Stale hosts expire whatever the table's size, as in a table past its threshold."""
    with expiry_threshold(0):
        yield


def stream_with_table_sizes(path):
    """Each row of an iter_pcap run with the number of hosts tracked right after it."""
    extractor = FeatureExtractor()
    for row in extractor.iter_pcap(bytes(path)):
        yield row, extractor._tracked_hosts


# Each packet: a host, how far the newest time stamp moves on, and how far behind it this packet
# is stamped (up to 150 s: clock steps and merged captures).
packets = st.lists(st.tuples(st.integers(0, len(HOSTS) - 1),
                             st.sampled_from([0, 1, 500_000, 1_999_999, 2_000_000, 2_000_001, 30_000_000,
                                              61_999_999, 62_000_000, 62_000_001, 100_000_000]),
                             st.sampled_from([0, 0, 0, 1, 1_000_000, 2_000_000, 59_999_999, 60_000_000,
                                              60_000_001, 62_000_001, 150_000_000, 151_500_000])),
                   min_size=1, max_size=60)


# Below the threshold nothing expires, whatever the time stamps do; past it (here always) stale
# hosts expire, which changes no count while steps back stay within the margin.
@pytest.mark.parametrize("threshold, max_behind", [(THRESHOLD, 200_000_000), (0, 60_000_000)],
                         ids=["few-hosts-any-steps-back", "expiring-steps-within-margin"])
@settings(max_examples=150, deadline=None)
@given(packets=packets)
def test_counts_equal_the_unbounded_rule(threshold, max_behind, packets):
    newest, records, keys = 0, [], []
    for host, advance, behind in packets:
        newest += advance
        records.append(F.stamped(HOSTS[host], newest - min(behind, max_behind)))
        keys.append(host)
    path = write(records)
    try:
        with expiry_threshold(threshold):
            rows = FeatureExtractor().process_pcap(bytes(path))
        assert [row["count"] for row in rows] == reference_counts(zip(keys, (row["timestamp"] for row in rows)))
    finally:
        path.unlink()


@pytest.mark.parametrize("hosts", [HOSTS_V4, HOSTS_V6], ids=["ipv4", "ipv6"])
def test_a_clock_stepping_back_150_s_keeps_counting(hosts):
    # A burst at 100 s, the clock at 250 s, then the burst goes on stamped 150 s back.
    burst = [F.stamped(hosts[0], 100_000_000 + 500_000 * i) for i in range(12)]
    later = F.stamped(hosts[1], 250_000_000)
    resumed = [F.stamped(hosts[0], 106_000_000 + 500_000 * i) for i in range(3)]
    path = write(burst + [later] + resumed)
    try:
        with expiry_threshold(THRESHOLD) as default:
            counts = [row["count"] for row in FeatureExtractor().process_pcap(bytes(path))]
        assert default == THRESHOLD
        assert counts == list(range(1, 13)) + [1, 13, 14, 15]
    finally:
        path.unlink()


@pytest.mark.parametrize("stale_hosts, tracked", [(30, 31), (49, 50), (50, 50), (80, 50)])
def test_stale_hosts_expire_only_past_the_threshold(stale_hosts, tracked):
    # Hosts at 0 s, all stale once one host is seen at 100 s. IPv6 hosts, never stale, count apart.
    records = [F.stamped(udp4(dst=f"10.1.0.{i}"), 0) for i in range(stale_hosts)]
    records += [F.stamped(ip6(dst=f"2001:db8::{i:x}"), 99_000_000) for i in range(40)]
    records.append(F.stamped(udp4(dst="10.2.0.1"), 100_000_000))
    path = write(records)
    try:
        with expiry_threshold(50):
            *_, (_, after) = stream_with_table_sizes(path)
        assert after == tracked + 40
    finally:
        path.unlink()


@pytest.mark.parametrize("host", [lambda i: udp4(dst=f"10.{i >> 8}.{i & 255}.9"),
                                  lambda i: ip6(dst=f"2001:db8::9:{i:x}")], ids=["ipv4", "ipv6"])
def test_a_step_back_past_the_threshold_keeps_the_table_bounded(host):
    # 40 hosts at 1000 s; 150 s back, a scan of 500 hosts with a steady flow to one more host; then
    # the 40 again at 1001.5 s. The table holds 50 hosts at most: the 40, still in their window,
    # and the 10 late hosts counted last. The flow and the 40 keep counting; a scanned host seen
    # again 1.8 s later had been dropped and starts at 1.
    records, keys = [], []
    for i in range(40):
        records.append(F.stamped(host(i), 1_000_000_000 + 10_000 * i))
        keys.append(i)
    for j in range(500):
        records.append(F.stamped(host(1000 + j), 850_000_000 + 150_000 * j))
        keys.append(1000 + j)
        if j % 4 == 0:
            records.append(F.stamped(host(999), 850_000_000 + 150_000 * j))
            keys.append(999)
    records.append(F.stamped(host(1488), 850_000_000 + 150_000 * 488 + 1_800_000))  # a dropped host again
    keys.append(1488)
    for i in range(40):
        records.append(F.stamped(host(i), 1_001_500_000 + 10_000 * i))
        keys.append(i)
    path = write(records)
    try:
        with expiry_threshold(50):
            rows, sizes = zip(*stream_with_table_sizes(path))
        assert max(sizes) == 50
        expected = reference_counts(zip(keys, (row["timestamp"] for row in rows)))
        revisit = len(records) - 41
        assert expected[revisit] == 2  # the unbounded table still had it; this one had dropped it
        assert [row["count"] for row in rows] == expected[:revisit] + [1] + expected[revisit + 1:]
        assert expected[-40:] == [2] * 40 and max(expected) == 125  # the flow's last packet
    finally:
        path.unlink()


def test_hosts_older_than_the_window_plus_margin_are_dropped(expire_always):
    # Time stamps in order: the table holds exactly the hosts seen within the last 62 s.
    micros = [0, 1_000_000, 30_000_000, 62_000_000, 63_000_000, 63_000_001, 92_000_001, 200_000_000, 200_000_000]
    hosts = [0, 4, 1, 2, 5, 3, 0, 6, 7]
    path = write([F.stamped(HOSTS[h], t) for h, t in zip(hosts, micros)])
    try:
        last_seen = {}
        for (row, tracked), host in zip(stream_with_table_sizes(path), hosts):
            last_seen[host] = row["timestamp"]
            newest = max(last_seen.values())
            assert tracked == sum(newest - t <= EXPIRY_AGE for t in last_seen.values())
        assert tracked == 2
    finally:
        path.unlink()


def test_many_hosts_coming_and_going_keep_exact_counts_and_table_size(expire_always):
    # Thousands of IPv4 and IPv6 destinations, bursts and long silences: the table grows, expires
    # and reuses its slots many times over while time stamps move forward.
    chooser = random.Random(20240607)
    hosts = [udp4(dst=f"10.{i >> 8}.{i & 255}.1") for i in range(3000)]
    hosts += [ip6(dst=f"2001:db8::{i:x}") for i in range(3000)]
    records, keys, now = [], [], 0
    for _ in range(40_000):
        now += chooser.choice([0, 100, 1_000, 5_000, 10_000])
        if chooser.random() < 1 / 4000:
            now += chooser.randrange(30_000_000, 70_000_000)  # a silence: part or all of the table expires
        host = chooser.randrange(len(hosts) // 20) if chooser.random() < 0.5 else chooser.randrange(len(hosts))
        records.append(F.stamped(hosts[host], now))
        keys.append(host)
    path = write(records)
    try:
        rows, last_seen, peak = [], {}, 0
        for i, ((row, tracked), key) in enumerate(zip(stream_with_table_sizes(path), keys)):
            rows.append(row)
            last_seen[key] = row["timestamp"]
            peak = max(peak, tracked)
            if i % 997 == 0:
                assert tracked == sum(row["timestamp"] - t <= EXPIRY_AGE for t in last_seen.values())
        assert [row["count"] for row in rows] == reference_counts(zip(keys, (row["timestamp"] for row in rows)))
        assert peak > 4000
    finally:
        path.unlink()
