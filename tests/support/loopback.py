"""UDP traffic for live captures on `lo`. Every sender here refuses an address outside 127.0.0.0/8
and ::1, so that no test sends anything off this machine."""

from __future__ import annotations

import ipaddress
import socket
import subprocess
import sys
import threading

DISCARD_PORT = 9  # nothing listens there; the frame still crosses lo


def _family(address: str) -> socket.AddressFamily:
    parsed = ipaddress.ip_address(address)
    if not parsed.is_loopback:
        raise ValueError(f"{address} is not a loopback address")
    return socket.AF_INET if parsed.version == 4 else socket.AF_INET6


def send_datagram(port: int = DISCARD_PORT, address: str = "127.0.0.1", payload: bytes = b"varnel test") -> None:
    """One datagram to `address`:`port`."""
    with socket.socket(_family(address), socket.SOCK_DGRAM) as sender:
        sender.sendto(payload, (address, port))


class UdpTarget:
    """A UDP port bound on a loopback address (so that datagrams to it are delivered, not refused)
    and a socket that sends to it: `port`, `send()`, and `source_port` once something was sent."""

    def __init__(self, address: str = "127.0.0.1", payload: bytes = b"varnel test"):
        family = _family(address)
        self.address, self.payload = address, payload
        self._receiver = socket.socket(family, socket.SOCK_DGRAM)
        self._sender = socket.socket(family, socket.SOCK_DGRAM)
        self._receiver.bind((address, 0))
        self.port: int = self._receiver.getsockname()[1]

    def send(self) -> None:
        self._sender.sendto(self.payload, (self.address, self.port))

    @property
    def source_port(self) -> int:
        return self._sender.getsockname()[1]

    def close(self) -> None:
        self._sender.close()
        self._receiver.close()

    def __enter__(self) -> "UdpTarget":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class UdpStream(UdpTarget):
    """A UdpTarget sent to every `interval` seconds from a thread of this process, inside the block."""

    def __init__(self, address: str = "127.0.0.1", payload: bytes = b"varnel test", interval: float = 0.02):
        super().__init__(address, payload)
        self._interval = interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop.wait(self._interval):
            self.send()

    def __enter__(self) -> "UdpStream":
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()
        self.close()


_CHILD_SENDER = """
import socket, sys, time
family, address, port, payload = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), bytes.fromhex(sys.argv[4])
interval, seconds = float(sys.argv[5]), float(sys.argv[6])
with socket.socket(family, socket.SOCK_DGRAM) as sender:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        sender.sendto(payload, (address, port))
        time.sleep(interval)
"""


class LoopbackTraffic:
    """Datagrams to `address`:`port` every `interval` seconds from a child process, for at most
    `seconds`, so that a capture on `lo` always has a frame to read. A process of its own: it
    allocates nothing in this one (leak tests), and goes on even if this one is stuck."""

    def __init__(self, port: int = DISCARD_PORT, address: str = "127.0.0.1", payload: bytes = b"varnel hardening",
                 interval: float = 0.002, seconds: float = 120):
        self._arguments = [str(int(_family(address))), address, str(port), payload.hex(), str(interval), str(seconds)]
        self._process: subprocess.Popen | None = None

    def __enter__(self) -> "LoopbackTraffic":
        self._process = subprocess.Popen([sys.executable, "-c", _CHILD_SENDER, *self._arguments])
        return self

    def __exit__(self, *exc) -> None:
        self._process.terminate()
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
