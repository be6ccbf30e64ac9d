"""Writes samples/sample.pcap: a short, made-up capture of everyday traffic between a few hosts.

Run from the repository root: python samples/make_sample.py
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from frames import (ETH_IPV4, ETH_IPV6, Record, arp, ethernet, icmp, ipv4, ipv6, tcp, udp, write_pcap)  # noqa: E402

LAPTOP, ROUTER, SERVER = "192.168.1.20", "192.168.1.1", "93.184.216.34"
LAPTOP6, SERVER6 = "2001:db8:1::20", "2001:db8:2::80"
LAPTOP_MAC, ROUTER_MAC = "3c:22:fb:12:34:56", "00:1a:2b:3c:4d:5e"


def outbound(payload: bytes, eth_type: int = ETH_IPV4) -> bytes:
    return ethernet(payload, eth_type, src=LAPTOP_MAC, dst=ROUTER_MAC)


def inbound(payload: bytes, eth_type: int = ETH_IPV4) -> bytes:
    return ethernet(payload, eth_type, src=ROUTER_MAC, dst=LAPTOP_MAC)


def frames():
    yield arp()
    yield outbound(ipv4(udp(53124, 53, payload=b"\x12\x34" + bytes(30)), proto=17, src=LAPTOP, dst=ROUTER, ident=1))
    yield inbound(ipv4(udp(53, 53124, payload=b"\x12\x34" + bytes(46)), proto=17, src=ROUTER, dst=LAPTOP, ident=7))
    seq, ack = 1_000_000, 0
    for flags, sender in ((0x02, LAPTOP), (0x12, SERVER), (0x10, LAPTOP), (0x18, LAPTOP), (0x10, SERVER),
                          (0x18, SERVER), (0x11, LAPTOP), (0x11, SERVER), (0x10, LAPTOP)):
        up = sender == LAPTOP
        segment = tcp(50512 if up else 80, 80 if up else 50512, seq, ack, flags,
                      payload=bytes(120 if flags == 0x18 else 0))
        packet = ipv4(segment, proto=6, src=LAPTOP if up else SERVER, dst=SERVER if up else LAPTOP,
                      ident=100 + seq % 7, flags_frag=0x4000)
        yield outbound(packet) if up else inbound(packet)
        seq, ack = ack, seq + 1
    yield outbound(ipv4(icmp(8, 0), proto=1, src=LAPTOP, dst=ROUTER, ident=300))
    yield inbound(ipv4(icmp(0, 0), proto=1, src=ROUTER, dst=LAPTOP, ident=301))
    yield outbound(ipv6(tcp(50600, 443, 7, 0, 0x02), next_hdr=6, src=LAPTOP6, dst=SERVER6, flow_label=0x1F2E3),
                   ETH_IPV6)
    yield inbound(ipv6(tcp(443, 50600, 9, 8, 0x12), next_hdr=6, src=SERVER6, dst=LAPTOP6, flow_label=0x5A5A5),
                  ETH_IPV6)
    yield ethernet(ipv6(icmp(135, 0, bytes(20)), next_hdr=58, src="fe80::3e22:fbff:fe12:3456", dst="ff02::1:ff00:1"),
                   eth_type=ETH_IPV6, src=LAPTOP_MAC, dst="33:33:ff:00:00:01")
    # A fragmented datagram: the first fragment carries the UDP header, the second only payload.
    yield outbound(ipv4(udp(40000, 9999, length=1480, payload=bytes(64)), proto=17, src=LAPTOP, dst=SERVER,
                        ident=4242, flags_frag=0x2000))
    yield outbound(ipv4(bytes(64), proto=17, src=LAPTOP, dst=SERVER, ident=4242, flags_frag=0x0009))


def main():
    start = 1_733_650_000
    records = []
    for index, frame in enumerate(frames()):
        records.append(Record(frame, ts_sec=start + index // 4, ts_usec=(index * 137_000) % 1_000_000))
    out = Path(__file__).resolve().parent / "sample.pcap"
    write_pcap(out, records)
    print(f"wrote {out} ({len(records)} frames)")


if __name__ == "__main__":
    main()
