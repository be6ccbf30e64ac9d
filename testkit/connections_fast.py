"""Connection records in pure Python, written for speed as a careful Python programmer would: the
benchmark's competitor for the native connection table. Expiry through heaps with lazily updated
entries, windows through sorted lists and bisect, the host window through running counters. It
gives exactly the records and stats of testkit/connections.py (tests/test_connections_definition.py
holds the two together); the frame parsing, the service names, the flags and the rounding are that
module's own.

    records(path, **options) -> (list of record dicts, stats dict)
"""

from __future__ import annotations

import heapq
from bisect import bisect_left, bisect_right, insort
from collections import defaultdict, deque

from testkit import connections as definition
from testkit.connections import (
    ACK, COLUMNS, FRAGMENT_MEMORY, ICMPV6, MAX_DATAGRAM, MICROS, SYN, TCP, UDP, UINT32_MAX, URG, Connection,
    Datagram, address_text, icmp_service, port_service, port_table, round_rate, seconds, tcp_flag, to_micros,
)
from testkit.reference import _network_start, linked_records

NO_ERROR, SYN_ERROR, REJ_ERROR = 0, 1, 2
SYN_ERROR_FLAGS = {"S0", "S1", "S2", "S3"}
TIMERS = ("tcp", "udp", "icmp", "closing")


class Table:
    def __init__(self, tcp_timeout=300.0, udp_timeout=60.0, icmp_timeout=60.0, close_linger=5.0, time_window=2.0,
                 host_window=100, max_connections=1 << 20, services=None, kdd_compat=False):
        self.timeouts = {"tcp": to_micros(tcp_timeout), "udp": to_micros(udp_timeout),
                         "icmp": to_micros(icmp_timeout), "closing": to_micros(close_linger)}
        self.time_window = to_micros(time_window)
        self.host_window = host_window
        self.max_connections = max_connections
        self.ports = port_table(services)
        self.kdd_compat = kdd_compat
        self.stats = dict.fromkeys(definition.STATS, 0)
        self.emitted: list[dict] = []
        self.connections: dict = {}
        self.timer_of: dict[int, str] = {}                  # serial -> timer queue of an open connection
        self.queues = {name: [] for name in TIMERS}           # heaps of [end, start, serial, connection]
        self.datagrams: dict = {}
        self.newest = None
        self.serials = 0
        # Windows.
        self.history: deque = deque()                         # (end, host, service, error, serial)
        self.by_host: dict = defaultdict(list)                # host -> sorted [(end, serial, service, error)]
        self.by_service: dict = defaultdict(list)             # (service, error) -> sorted ends
        self.recent: deque = deque()                          # the host window's earlier records
        self.recent_counts: dict = defaultdict(lambda: [0, 0, 0])

    # -- Time

    def move_time(self, time: int) -> None:
        self.newest = time if self.newest is None or time > self.newest else self.newest
        while True:
            due = self.earliest(lambda name, entry: (entry[0] + self.timeouts[name], entry[0], entry[1], entry[2]))
            if due is None or due[0][0] > self.newest:
                break
            self.end(due[1][3])
        datagrams = self.datagrams
        while datagrams:
            key = next(iter(datagrams))
            if self.newest < datagrams[key].remembered_at + FRAGMENT_MEMORY:
                break
            del datagrams[key]

    def clean(self, name: str) -> list:
        queue = self.queues[name]
        while queue:
            end, _, serial, c = queue[0]
            if self.timer_of.get(serial) != name:
                heapq.heappop(queue)
            elif c.end != end:
                heapq.heapreplace(queue, [c.end, c.start, serial, c])
            else:
                break
        return queue

    def earliest(self, order):
        """(order key, entry) of the queue top first in `order`, or None."""
        best = None
        for name in TIMERS:
            queue = self.clean(name)
            if queue:
                key = order(name, queue[0])
                if best is None or key < best[0]:
                    best = (key, queue[0])
        return best

    def schedule(self, c: Connection, name: str) -> None:
        self.timer_of[c.serial] = name
        queue = self.queues[name]
        heapq.heappush(queue, [c.end, c.start, c.serial, c])
        if len(queue) > 2 * len(self.timer_of) + 64:
            queue[:] = [entry for entry in queue if self.timer_of.get(entry[2]) == name]
            heapq.heapify(queue)

    def flush(self) -> None:
        for c in sorted(self.connections.values(), key=lambda c: (c.end, c.start, c.serial)):
            self.end(c)

    # -- Packets

    def add(self, p) -> None:
        self.move_time(p.time)
        kind = p.kind
        if kind == "layer4":
            self.add_layer4(p)
        elif kind == "other_protocol":
            self.stats["other_protocol"] += 1
        elif kind == "later_fragment6":
            self.stats["unattributed_fragments"] += 1
        elif kind == "later_fragment":
            self.add_later_fragment(p)

    def add_layer4(self, p) -> None:
        protocol = p.protocol
        if protocol == TCP or protocol == UDP:
            a, b = (p.src, p.src_port), (p.dst, p.dst_port)
            key = (p.version, protocol, a, b) if a <= b else (p.version, protocol, b, a)
        else:
            key = (p.version, protocol, p.src, p.dst, p.icmp_type, p.icmp_code, p.icmp_id)
        c = self.connections.get(key)
        flags = p.flags
        if c is not None and protocol == TCP and flags & SYN and not flags & ACK and c.closing:
            self.end(c)
            c = None
        if c is None:
            if len(self.connections) >= self.max_connections:
                self.stats["evicted"] += 1
                self.end(self.earliest(lambda name, entry: (entry[0], entry[1], entry[2]))[1][3])
            c = self.connections[key] = self.new_connection(key, p)
        forward = (protocol != TCP and protocol != UDP) or (p.src == c.originator[0] and p.src_port == c.originator[1])
        if c.end < p.time:
            c.end = p.time
        if forward:
            c.src_packets += 1
            c.src_bytes += p.payload
        else:
            c.dst_packets += 1
            c.dst_bytes += p.payload
        if protocol == TCP:
            if flags & URG:
                c.urgent += 1
            closing = c.closing
            definition.count_tcp_flags(c, flags, forward)
            if not closing and c.closing:
                self.schedule(c, "closing")
        if p.first_fragment:
            datagram_key = (p.src, p.dst, p.protocol, p.ip_id)
            self.datagrams.pop(datagram_key, None)
            if len(self.datagrams) >= self.max_connections:
                del self.datagrams[next(iter(self.datagrams))]
            self.datagrams[datagram_key] = Datagram(c, forward, self.newest, [(0, p.ip_payload)])

    def new_connection(self, key, p) -> Connection:
        sender, receiver = (p.src, p.src_port), (p.dst, p.dst_port)
        if p.protocol == TCP and p.flags & SYN and p.flags & ACK:
            sender, receiver = receiver, sender
        if p.protocol == TCP or p.protocol == UDP:
            protocol_type = "tcp" if p.protocol == TCP else "udp"
            service = port_service(self.ports, protocol_type, sender[1], receiver[1])
        else:
            sender, receiver = (p.src, 0), (p.dst, 0)
            service = icmp_service(p.version, p.icmp_type, p.icmp_code)
        self.serials += 1
        c = Connection(self.serials, key, p.version, p.protocol, sender, receiver, service, p.time, p.time)
        self.schedule(c, "tcp" if p.protocol == TCP else "udp" if p.protocol == UDP else "icmp")
        return c

    def add_later_fragment(self, p) -> None:
        datagram = self.datagrams.get((p.src, p.dst, p.protocol, p.ip_id))
        if datagram is None or datagram.connection.serial not in self.timer_of:
            self.stats["unattributed_fragments"] += 1
            return
        start, end = p.fragment_offset, p.fragment_offset + p.ip_payload
        overlaps = any(max(start, low) < min(end, high) for low, high in datagram.ranges)
        datagram.ranges.append((start, end))
        c = datagram.connection
        if overlaps or end > MAX_DATAGRAM:
            c.wrong_fragment += 1
        if c.end < p.time:
            c.end = p.time
        if datagram.from_originator:
            c.src_packets += 1
            c.src_bytes += p.payload
        else:
            c.dst_packets += 1
            c.dst_bytes += p.payload

    # -- Records

    def end(self, c: Connection) -> None:
        del self.connections[c.key]
        del self.timer_of[c.serial]
        flag = tcp_flag(c) if c.protocol == TCP else "SF"
        host = (c.version, c.responder[0])
        error = SYN_ERROR if flag in SYN_ERROR_FLAGS else REJ_ERROR if flag == "REJ" else NO_ERROR
        in_time = self.time_counts(c.end, host, c.service, error)
        in_hosts = self.host_counts(host, c.service, c.originator[1], error)
        self.keep(c.end, host, c.service, error, c.originator[1])
        self.stats["connections"] += 1
        self.emitted.append(self.record(c, flag, in_time, in_hosts))

    def time_counts(self, end: int, host, service, error) -> tuple:
        start = end - self.time_window
        same_host = self.by_host.get(host, ())
        low, high = bisect_left(same_host, (start,)), bisect_right(same_host, (end, float("inf")))
        host_all, host_syn, host_rej, host_service = 1, error == SYN_ERROR, error == REJ_ERROR, 1
        for _, _, other_service, other_error in same_host[low:high]:
            host_all += 1
            host_syn += other_error == SYN_ERROR
            host_rej += other_error == REJ_ERROR
            host_service += other_service == service
        by_service = [self.by_service.get((service, kind), ()) for kind in (NO_ERROR, SYN_ERROR, REJ_ERROR)]
        in_range = [bisect_right(ends, end) - bisect_left(ends, start) for ends in by_service]
        service_all = 1 + sum(in_range)
        service_syn = in_range[SYN_ERROR] + (error == SYN_ERROR)
        service_rej = in_range[REJ_ERROR] + (error == REJ_ERROR)
        return (host_all, service_all, host_syn, host_rej, host_service, None, service_syn, service_rej,
                service_all - host_service)

    def host_counts(self, host, service, src_port, error) -> tuple:
        counts = self.recent_counts
        host_counts, service_counts = counts.get(("h", host), (0, 0, 0)), counts.get(("s", service), (0, 0, 0))
        host_all, service_all = host_counts[0] + 1, service_counts[0] + 1
        host_service = counts.get(("hs", host, service), (0,))[0] + 1
        return (host_all, service_all, host_counts[1] + (error == SYN_ERROR), host_counts[2] + (error == REJ_ERROR),
                host_service, counts.get(("hp", host, src_port), (0,))[0] + 1,
                service_counts[1] + (error == SYN_ERROR), service_counts[2] + (error == REJ_ERROR),
                service_all - host_service)

    def count_recent(self, entry, step: int) -> None:
        host, service, src_port, error = entry
        for key in (("h", host), ("s", service), ("hs", host, service), ("hp", host, src_port)):
            counts = self.recent_counts[key]
            counts[0] += step
            if error:
                counts[error] += step
            if not counts[0]:
                del self.recent_counts[key]

    def keep(self, end, host, service, error, src_port) -> None:
        serial = self.stats["connections"]
        self.history.append((end, host, service, error, serial))
        insort(self.by_host[host], (end, serial, service, error))
        insort(self.by_service[service, error], end)
        entry = (host, service, src_port, error)
        self.recent.append(entry)
        self.count_recent(entry, 1)
        if len(self.recent) > min(self.host_window - 1, self.max_connections):
            self.count_recent(self.recent.popleft(), -1)
        if len(self.history) > self.max_connections:
            old_end, old_host, old_service, old_error, old_serial = self.history.popleft()
            same_host = self.by_host[old_host]
            del same_host[bisect_left(same_host, (old_end, old_serial))]
            if not same_host:
                del self.by_host[old_host]
            ends = self.by_service[old_service, old_error]
            del ends[bisect_left(ends, old_end)]

    def record(self, c: Connection, flag: str, t: tuple, w: tuple) -> dict:
        rate = round_rate if self.kdd_compat else float
        count_cap, host_cap = (511, 255) if self.kdd_compat else (UINT32_MAX, UINT32_MAX)
        if self.kdd_compat:
            flag = definition.KDD_FLAGS.get(flag, flag)
        protocol_type = "tcp" if c.protocol == TCP else "udp" if c.protocol == UDP else "icmp"
        land = c.originator[0] == c.responder[0] if c.protocol in (1, ICMPV6) else c.originator == c.responder
        values = (
            min((c.end - c.start) // MICROS, UINT32_MAX), protocol_type, c.service, flag, c.src_bytes, c.dst_bytes,
            int(land), c.wrong_fragment, c.urgent, min(t[0], count_cap), min(t[1], count_cap),
            rate(t[2] / t[0]), rate(t[6] / t[1]), rate(t[3] / t[0]), rate(t[7] / t[1]), rate(t[4] / t[0]),
            rate((t[0] - t[4]) / t[0]), rate(t[8] / t[1]), min(w[0], host_cap), min(w[1], host_cap),
            rate(w[4] / w[0]), rate((w[0] - w[4]) / w[0]), rate(w[5] / w[0]), rate(w[8] / w[1]), rate(w[2] / w[0]),
            rate(w[6] / w[1]), rate(w[3] / w[0]), rate(w[7] / w[1]),
            seconds(c.start), seconds(c.end), address_text(c.version, c.originator[0]), c.originator[1],
            address_text(c.version, c.responder[0]), c.responder[1], c.protocol, c.src_packets, c.dst_packets,
        )
        return dict(zip(COLUMNS, values))


def records_of_frames(frames, *, decode_vlan: bool = True, **options) -> tuple[list[dict], dict]:
    table = Table(**options)
    parse = definition.parse_packet
    for link, time, frame in frames:
        start = _network_start(frame, link, decode_vlan)
        if start is None:
            continue
        packet = parse(frame, start[1], start[0], definition.clamp_time(time))
        if packet is not None:
            table.add(packet)
    table.flush()
    return table.emitted, {**table.stats, "open_connections": len(table.connections)}


def records(path, *, decode_vlan: bool = True, limit: int | None = None, **options) -> tuple[list[dict], dict]:
    frames = ((link, header.tv_sec * MICROS + header.tv_usec, frame)
              for link, header, frame in linked_records(path, limit))
    return records_of_frames(frames, decode_vlan=decode_vlan, **options)
