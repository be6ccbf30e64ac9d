"""Hypothesis strategies for random capture records, shared by the decoding and reference tests."""

from hypothesis import strategies as st

from testkit.frames import ETH_IPV4, ETH_IPV6, Record, ethernet, ipv4, ipv6


@st.composite
def ip_records(draw) -> Record:
    """An IPv4 or IPv6 frame of any protocol, header length and fragment state, perhaps cut short."""
    version = draw(st.sampled_from([4, 6]))
    proto = draw(st.sampled_from([1, 6, 17, 58, 44, 0, 132]))
    payload = draw(st.binary(max_size=24))
    if version == 4:
        ihl = draw(st.integers(0, 15))
        packet = ipv4(payload, proto=proto, ihl=ihl, ident=draw(st.integers(0, 0xFFFF)),
                      flags_frag=draw(st.sampled_from([0, 0x4000, 0x2000, 0x0001, 0x2005, 0x1FFF])),
                      src=draw(st.sampled_from(["10.0.0.1", "10.0.0.2"])), dst="10.0.0.1",
                      options=draw(st.binary(max_size=4 * max(ihl - 5, 0))))
        frame = ethernet(packet, eth_type=ETH_IPV4)
    else:
        frame = ethernet(ipv6(payload, next_hdr=proto, flow_label=draw(st.integers(0, 0xFFFFF))), eth_type=ETH_IPV6)
    caplen = draw(st.one_of(st.none(), st.integers(0, len(frame))))
    return Record(frame, ts_sec=draw(st.integers(0, 2**31 - 1)), ts_usec=draw(st.integers(0, 999_999)),
                  caplen=caplen)


@st.composite
def raw_ip_records(draw) -> bytes:
    """Random bytes as the IP header and beyond (any version nibble, header length or length fields),
    mostly with a protocol the decoder reads further."""
    eth_type = draw(st.sampled_from([ETH_IPV4, ETH_IPV6]))
    payload = draw(st.binary(max_size=80))
    offset = 9 if eth_type == ETH_IPV4 else 6
    if len(payload) > offset:
        payload = payload[:offset] + bytes([draw(st.sampled_from([1, 6, 17, 58, 0, 44, 2]))]) + payload[offset + 1:]
    return ethernet(payload, eth_type=eth_type)
