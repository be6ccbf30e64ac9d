"""varnel: network traffic turned into packet dictionaries, KDD-style feature rows and connection
records.

    import varnel
    for packet in varnel.read_packets("trace.pcapng", filter="tcp port 443"): ...
    for row in varnel.sniff_features("eth0", snaplen=256, immediate=True): ...
    for record in varnel.read_connections("trace.pcap"): ...

Every function returns a stream at once and opens nothing: a file or device is opened at the first
next() and closed when the stream ends, fails, is closed or is dropped. Streams are generators with
`stats()` and `read_position`.
"""

import functools
import os
from collections.abc import Iterable
from typing import Any

__all__ = ["read_packets", "sniff_packets", "read_features", "sniff_features", "read_connections",
           "sniff_connections", "read_packets_table", "sniff_packets_table", "read_features_table",
           "sniff_features_table", "read_connections_table", "sniff_connections_table"]

_STDIN = "-"


def _path_bytes(source: Any) -> bytes:
    path = os.fsencode(source)
    if b"\0" in path:
        raise ValueError("embedded null byte")
    return path


def _file_input(source: Any) -> tuple[object, str]:
    """(what the native stream opens, the name its messages give) for one file argument."""
    if isinstance(source, (str, bytes)) and source in (_STDIN, _STDIN.encode()):
        return 0, "<stdin>"
    if isinstance(source, (str, bytes, os.PathLike)):
        path = _path_bytes(source)
        return path, os.fsdecode(path)
    if callable(getattr(source, "fileno", None)):
        name = getattr(source, "name", None)
        return source, name if isinstance(name, str) else f"<{type(source).__name__}>"
    raise TypeError(f"expected a path (str, bytes or os.PathLike), '-' or a file with fileno(), "
                    f"got {type(source).__name__}")


def _file_inputs(sources: Any) -> tuple[tuple[object, str], ...]:
    if isinstance(sources, (str, bytes, os.PathLike)) or hasattr(sources, "fileno"):
        return (_file_input(sources),)
    if isinstance(sources, Iterable):
        return tuple(_file_input(source) for source in sources)
    return (_file_input(sources),)


def _device_input(device: str | bytes | None) -> tuple[tuple[object, str], ...]:
    if device is None:
        from varnel.core.base.portolan import get_auto_device

        device = get_auto_device()
        if device is None:
            raise RuntimeError("no capture device found")
    if isinstance(device, str):
        device = device.encode()
    if not isinstance(device, bytes):
        raise TypeError(f"expected a device name (str or bytes) or None, got {type(device).__name__}")
    if b"\0" in device:
        raise ValueError("embedded null byte")
    return ((device, device.decode(errors="backslashreplace")),)


@functools.lru_cache(maxsize=64)
def _compiled(expression: str) -> None:
    from varnel import _capture

    _capture.check_filter(expression)


def _filter_text(filter: str | None) -> str | None:
    """The filter expression once libpcap has compiled it: a syntax error raises ValueError here,
    before anything opens. Each expression is compiled once per process."""
    if filter is None:
        return None
    if not isinstance(filter, str):
        raise TypeError(f"filter must be a str or None, got {type(filter).__name__}")
    _compiled(filter)
    return filter


def _int_option(name: str, value: int, minimum: int, maximum: int = 0x7FFFFFFF) -> int:
    """An integer option checked at the call: TypeError for what is not an int (bool and float
    included), ValueError outside [minimum, maximum]."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if not minimum <= value <= maximum:
        raise ValueError(f"{name} must be between {minimum} and {maximum}, got {value}")
    return value


def _seconds(name: str, value: float, lowest: float, highest: float) -> float:
    """A duration option checked at the call: TypeError for what is not a number (bool included),
    ValueError outside [lowest, highest] (nan and infinities included)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, got {type(value).__name__}")
    if not lowest <= value <= highest:
        raise ValueError(f"{name} must be between {lowest} and {highest} seconds, got {value}")
    return float(value)


def _timeout_ms(timeout: float) -> int:
    if not isinstance(timeout, bool) and isinstance(timeout, (int, float)) and timeout == 0:
        raise ValueError(f"timeout must be above 0 and at most 86400 seconds, got {timeout}")
    return max(1, round(_seconds("timeout", timeout, 0.0, 86400.0) * 1000))


def _read(name: str, kind: str, sources: Any, filter: str | None, skip_vlan: bool, **options: Any):
    from varnel import _capture

    inputs = _file_inputs(sources)
    return _capture.new_stream(name, kind, inputs, filter=_filter_text(filter), skip_vlan=bool(skip_vlan), **options)


# Frames delivered one by one each take a slot of the snapshot length (plus libpcap's and the kernel's
# headers), packed into blocks of a power of two bytes, at least a page: the buffer chosen when the
# caller leaves it at 0 holds this many slots, or this many bytes, whichever is smaller.
_BUFFER_FRAMES = 4000
_FRAME_OVERHEAD = 128
_BUFFER_MOST = 64 << 20


def _default_buffer(snaplen: int) -> int:
    frame = snaplen + _FRAME_OVERHEAD
    block = max(4096, 1 << (frame - 1).bit_length())
    per_block = block // frame
    return min(-(-_BUFFER_FRAMES // per_block) * block, _BUFFER_MOST)


def _live_options(filter: str | None, snaplen: int, promisc: bool, timeout: float, buffer_size: int,
                  immediate: bool) -> dict[str, Any]:
    """The options of a live device, checked at the call, as the native readers take them."""
    snaplen = _int_option("snaplen", snaplen, 1)
    buffer_size = _int_option("buffer_size", buffer_size, 0)
    if buffer_size == 0:
        # libpcap's default of 2 MiB holds about 32 frames of 65535 bytes once they are delivered
        # one by one: a burst would be dropped.
        buffer_size = _default_buffer(snaplen)
    return {"filter": _filter_text(filter), "snaplen": snaplen, "promisc": bool(promisc),
            "timeout_ms": _timeout_ms(timeout), "buffer_size": buffer_size, "immediate": bool(immediate)}


def _sniff(name: str, kind: str, device: str | bytes | None, live: dict[str, Any], skip_vlan: bool,
           **options: Any):
    from varnel import _capture

    inputs = _device_input(device)
    return _capture.new_stream(name, kind, inputs, live=True, skip_vlan=bool(skip_vlan), **live, **options)


def read_packets(sources, *, filter=None, skip_vlan=False):
    """Yield one packet dictionary per IPv4 or IPv6 frame of one or several capture files, in order.

    `sources`: a path (str, bytes or os.PathLike), "-" for standard input, an open file (anything
    with fileno(); read from a copy of its descriptor), or a list of these. `filter`: a BPF
    expression; a syntax error raises ValueError here. Up to two VLAN tags are looked through
    unless `skip_vlan` is true. The stream's stats() counts frames read, decoded and skipped.
    """
    return _read("read_packets", "packets", sources, filter, skip_vlan)


def read_features(sources, *, filter=None, skip_vlan=False, flow_key=False, continuous=False):
    """Yield one feature row per IPv4 or IPv6 frame of one or several capture files, in order.

    Arguments as read_packets; the per-destination counts start afresh with each file, unless
    `continuous` is true: then the files, in the order given, are one capture and the counts run on
    across them. With `flow_key`, rows end with src_ip, dst_ip and ip_proto.
    """
    return _read("read_features", "features", sources, filter, skip_vlan, flow_key=bool(flow_key),
                 continuous=bool(continuous))


def sniff_packets(device=None, *, filter=None, snaplen=65535, promisc=True, timeout=1.0, buffer_size=0,
                  immediate=True, skip_vlan=False):
    """Yield one packet dictionary per IPv4 or IPv6 frame captured live, without end.

    `device`: a name (str or bytes), or None for the automatic choice of
    varnel.core.base.portolan.get_auto_device. `snaplen`: bytes kept of each frame; `promisc`:
    promiscuous mode; `timeout`: libpcap's read time-out in seconds; `buffer_size`: the kernel
    buffer in bytes (0: room for 4,000 frames of `snaplen`, at most 64 MiB); `immediate`: deliver
    each frame as it arrives (False: in libpcap's batches, up to a read time-out late). stats()
    adds libpcap's received, dropped and if_dropped counters.
    """
    live = _live_options(filter, snaplen, promisc, timeout, buffer_size, immediate)
    return _sniff("sniff_packets", "packets", device, live, skip_vlan)


def sniff_features(device=None, *, filter=None, snaplen=65535, promisc=True, timeout=1.0, buffer_size=0,
                   immediate=True, skip_vlan=False, flow_key=False):
    """Yield one feature row per IPv4 or IPv6 frame captured live, without end.

    Arguments as sniff_packets, plus `flow_key` as for read_features.
    """
    live = _live_options(filter, snaplen, promisc, timeout, buffer_size, immediate)
    return _sniff("sniff_features", "features", device, live, skip_vlan, flow_key=bool(flow_key))


def read_connections(sources, *, filter=None, skip_vlan=False, continuous=False, tcp_timeout=300.0,
                     udp_timeout=60.0, icmp_timeout=60.0, close_linger=5.0, time_window=2.0, host_window=100,
                     max_connections=1 << 20, services=None, kdd_compat=False):
    """Yield one connection record per TCP, UDP or ICMP connection of one or several capture files,
    in the order connections end: the 28 header features of the KDD'99 data sets, then the
    connection's times, end points, protocol and packet counts (README, *Connection records*).

    `sources`, `filter` and `skip_vlan` as for read_packets. Each file starts afresh (connections and
    windows) unless `continuous` is true. Times are in seconds: a connection ends `tcp_timeout`,
    `udp_timeout` or `icmp_timeout` after its last packet, a closed TCP connection `close_linger`
    after it; the time window spans `time_window`, the host window the last `host_window` records;
    beyond `max_connections` open at once the one idle longest ends early. `services` maps
    (protocol_type, port) to a name, added to the data sets' table or overriding it. `kdd_compat`
    shapes records as the published data have them (rates to two decimals, capped counts, RSTR for
    RSTRH, SH for SHR). stats() adds connections, open_connections, evicted, other_protocol and
    unattributed_fragments.
    """
    from varnel._connection_options import connection_options

    options = connection_options(tcp_timeout=tcp_timeout, udp_timeout=udp_timeout, icmp_timeout=icmp_timeout,
                                 close_linger=close_linger, time_window=time_window, host_window=host_window,
                                 max_connections=max_connections, services=services, kdd_compat=kdd_compat)
    return _read("read_connections", "connections", sources, filter, skip_vlan, continuous=bool(continuous),
                 connections=options)


def sniff_connections(device=None, *, filter=None, snaplen=65535, promisc=True, timeout=1.0, buffer_size=0,
                      immediate=True, skip_vlan=False, tcp_timeout=300.0, udp_timeout=60.0, icmp_timeout=60.0,
                      close_linger=5.0, time_window=2.0, host_window=100, max_connections=1 << 20, services=None,
                      kdd_compat=False):
    """Yield one connection record per connection captured live, as each ends, without end.

    The device and its options as for sniff_packets; the connection options as for
    read_connections. While no frame comes, time moves on by the clock, so idle connections still
    end at their time-out. A failure of the device first ends every open connection.
    """
    from varnel._connection_options import connection_options

    live = _live_options(filter, snaplen, promisc, timeout, buffer_size, immediate)
    options = connection_options(tcp_timeout=tcp_timeout, udp_timeout=udp_timeout, icmp_timeout=icmp_timeout,
                                 close_linger=close_linger, time_window=time_window, host_window=host_window,
                                 max_connections=max_connections, services=services, kdd_compat=kdd_compat)
    return _sniff("sniff_connections", "connections", device, live, skip_vlan, connections=options)


_TABLE_READERS = ("read_packets_table", "read_features_table", "sniff_packets_table", "sniff_features_table",
                  "read_connections_table", "sniff_connections_table")


def __getattr__(name: str) -> Any:
    # The columnar readers live in varnel.columns, imported on first use.
    if name in _TABLE_READERS:
        from varnel import columns

        return getattr(columns, name)
    raise AttributeError(f"module 'varnel' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_TABLE_READERS))
