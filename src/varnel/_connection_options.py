"""The options of connection records, checked at the call and packed as the native readers take
them: times in whole microseconds, the services a caller names as (IP protocol, port, name)."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

DEFAULTS: dict[str, Any] = {
    "tcp_timeout": 300.0, "udp_timeout": 60.0, "icmp_timeout": 60.0, "close_linger": 5.0, "time_window": 2.0,
    "host_window": 100, "max_connections": 1 << 20, "services": None, "kdd_compat": False,
}

_SECONDS = ("tcp_timeout", "udp_timeout", "icmp_timeout", "close_linger", "time_window")
_MOST_SECONDS = 10.0**9  # some 31 years: any time-out a capture can need
_MOST_RECORDS = 2**31 - 1
_PROTOCOLS = {"tcp": 6, "udp": 17}


def _service_entries(services: Mapping[tuple[str, int], str] | None) -> tuple[tuple[int, int, str], ...]:
    if services is None:
        return ()
    if not isinstance(services, Mapping):
        raise TypeError(f"services must be a mapping of (protocol_type, port) to a name, got {type(services).__name__}")
    entries = []
    for key, name in services.items():
        if not (isinstance(key, tuple) and len(key) == 2):
            raise TypeError(f"a service is named by a (protocol_type, port) pair, not {key!r}")
        protocol, port = key
        if protocol not in _PROTOCOLS:
            raise ValueError(f"services name TCP and UDP ports: protocol_type must be 'tcp' or 'udp', not {protocol!r}")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 <= port <= 65535:
            raise ValueError(f"a port must be an int from 0 to 65535, not {port!r}")
        if not isinstance(name, str) or not name or "\0" in name:
            raise ValueError(f"a service name must be a non-empty str without NUL, not {name!r}")
        entries.append((_PROTOCOLS[protocol], port, name))
    return tuple(entries)


def connection_options(**options: Any) -> tuple:
    """The native form of the options; TypeError or ValueError for one that does not fit."""
    from varnel import _int_option, _seconds

    unknown = set(options) - set(DEFAULTS)
    if unknown:
        raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}")
    values = {**DEFAULTS, **options}
    micros = [round(_seconds(name, values[name], 0.0, _MOST_SECONDS) * 1_000_000) for name in _SECONDS]
    host_window = _int_option("host_window", values["host_window"], 1, _MOST_RECORDS)
    max_connections = _int_option("max_connections", values["max_connections"], 1, _MOST_RECORDS)
    return (*micros, host_window, max_connections, bool(values["kdd_compat"]), _service_entries(values["services"]))
