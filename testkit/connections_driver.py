"""Builds the native connections driver (testkit/connections_driver.cpp: the core's capture reader,
the transport facts and the connection table, no interpreter) and asks it for its service table,
its memory per connection and record, and its rounding of rates."""

from __future__ import annotations

import json
import os
import subprocess
from pathlib import Path

from testkit import native_build

DRIVER_SOURCE = native_build.ROOT / "testkit" / "connections_driver.cpp"
FLAGS = ("-O2", "-g", "-Werror", "-D_GLIBCXX_ASSERTIONS")


def build(directory: Path | None = None) -> Path:
    """The driver binary, compiled unless a build of the same sources exists."""
    return native_build.build(DRIVER_SOURCE, directory or native_build.ROOT / "build" / "test-native",
                              (*native_build.CAPTURE_READER, *native_build.CONNECTIONS), FLAGS)


def memory(binary: Path, path) -> dict:
    """Heap bytes per open connection and per record held for the windows, as the driver counts them."""
    completed = subprocess.run([str(binary), "--memory", os.fsdecode(path)], check=True, capture_output=True, text=True)
    return json.loads(completed.stdout)


def service_table(binary: Path, services: dict | None = None) -> dict:
    overrides = [part for (protocol, port), name in (services or {}).items()
                 for part in ("--service", f"{protocol}:{port}:{name}")]
    completed = subprocess.run([str(binary), "--services", *overrides], check=True, capture_output=True, text=True)
    return json.loads(completed.stdout)
