"""Builds the native connections driver (testkit/connections_driver.cpp: libpcap, the link
layers, the transport facts and the connection table, no interpreter) and asks it for its service
table, its memory per connection and record, and its rounding of rates."""

from __future__ import annotations

import hashlib
import json
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
DRIVER_SOURCE = ROOT / "testkit" / "connections_driver.cpp"
CORE_SOURCES = ["connections.cpp", "fragment_memory.cpp", "host_window.cpp", "services.cpp", "traffic_windows.cpp"]
FLAGS = ["-std=c++20", "-O2", "-g", "-Wall", "-Wextra", "-Werror", "-D_GLIBCXX_ASSERTIONS"]


def _fingerprint() -> str:
    digest = hashlib.sha256(" ".join(FLAGS).encode())
    core = ROOT / "src" / "core"
    for path in sorted([DRIVER_SOURCE, ROOT / "src" / "varnel" / "core" / "base" / "grapnel.h",
                        *core.glob("*.hpp"), *core.glob("*.cpp")]):
        digest.update(path.name.encode() + path.read_bytes())
    return digest.hexdigest()[:16]


def build(directory: Path | None = None) -> Path:
    """The driver binary, compiled unless a build of the same sources exists."""
    directory = directory or ROOT / "build" / "test-native"
    binary = directory / f"connections_driver-{_fingerprint()}"
    if binary.exists():
        return binary
    directory.mkdir(parents=True, exist_ok=True)
    pcap = subprocess.run(["pkg-config", "--cflags", "--libs", "libpcap"], check=True, capture_output=True,
                          text=True).stdout.split()
    partial = binary.with_suffix(f".{os.getpid()}.partial")
    subprocess.run(["g++", *FLAGS, f"-I{ROOT / 'src' / 'core'}", f"-I{ROOT / 'src'}", str(DRIVER_SOURCE),
                    *(str(ROOT / "src" / "core" / name) for name in CORE_SOURCES), "-o", str(partial), *pcap],
                   check=True)
    partial.replace(binary)
    return binary


def memory(binary: Path, path) -> dict:
    """Heap bytes per open connection and per record held for the windows, as the driver counts them."""
    completed = subprocess.run([str(binary), "--memory", os.fsdecode(path)], check=True, capture_output=True, text=True)
    return json.loads(completed.stdout)


def service_table(binary: Path, services: dict | None = None) -> dict:
    overrides = [part for (protocol, port), name in (services or {}).items()
                 for part in ("--service", f"{protocol}:{port}:{name}")]
    completed = subprocess.run([str(binary), "--services", *overrides], check=True, capture_output=True, text=True)
    return json.loads(completed.stdout)
