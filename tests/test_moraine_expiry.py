"""The bounded host table: hosts expire, counts stay those of the unbounded rule."""

import random
import tempfile
from pathlib import Path

from hypothesis import given, settings, strategies as st

from support import frames as F
from support.frames import ip6, udp4
from support.reference import reference_counts
from varnel.core.ver100.moraine import FeatureExtractor

EXPIRY_AGE = 62.0  # the 2.0 s window plus the 60 s margin
HOSTS_V4 = [udp4(dst=f"10.0.0.{i}") for i in range(4)]
HOSTS_V6 = [ip6(dst=f"2001:db8::{i}") for i in range(4)]
HOSTS = HOSTS_V4 + HOSTS_V6


def write(records):
    with tempfile.NamedTemporaryFile(suffix=".pcap", delete=False) as out:
        out.write(F.pcap_bytes(records))
    return Path(out.name)


def stream_with_table_sizes(path):
    """Each row of an iter_pcap run with the number of hosts tracked right after it."""
    extractor = FeatureExtractor()
    for row in extractor.iter_pcap(bytes(path)):
        yield row, extractor._tracked_hosts


# Each packet: a host, how far the newest time stamp moves on, and how far behind it this packet
# is stamped (never more than the margin).
packets = st.lists(st.tuples(st.integers(0, len(HOSTS) - 1),
                             st.sampled_from([0, 1, 500_000, 1_999_999, 2_000_000, 2_000_001, 30_000_000,
                                              61_999_999, 62_000_000, 62_000_001, 100_000_000]),
                             st.sampled_from([0, 0, 0, 1, 1_000_000, 2_000_000, 59_999_999, 60_000_000])),
                   min_size=1, max_size=60)


@settings(max_examples=150, deadline=None)
@given(packets)
def test_counts_equal_the_unbounded_rule_while_steps_back_stay_within_the_margin(packets):
    newest, records, keys = 0, [], []
    for host, advance, behind in packets:
        newest += advance
        records.append(F.stamped(HOSTS[host], newest - behind))
        keys.append(host)
    path = write(records)
    try:
        rows = FeatureExtractor().process_pcap(bytes(path))
        assert [row["count"] for row in rows] == reference_counts(zip(keys, (row["timestamp"] for row in rows)))
    finally:
        path.unlink()


def test_hosts_older_than_the_window_plus_margin_are_dropped():
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


def test_many_hosts_coming_and_going_keep_exact_counts_and_table_size():
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
