"""Small native programs built with g++ against the core's own sources (no interpreter, no CMake):
the tests' differential file reader, the benchmarks' reading floor and the connection table's
driver. A build is named by a digest of its sources and flags, so that any change rebuilds it and
an unchanged one is reused."""

from __future__ import annotations

import hashlib
import os
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CORE = ROOT / "src" / "core"
DECODER_HEADER = ROOT / "src" / "varnel" / "core" / "base" / "grapnel.h"


def _file_reader_list(kind: str) -> list[list[str]]:
    """The fields of src/core/file_reader.txt's lines of `kind` ("source" or "library")."""
    lines = (line.split() for line in (CORE / "file_reader.txt").read_text().splitlines())
    return [fields[1:] for fields in lines if fields[:1] == [kind]]


# pkg-config name: the tag of the core's VARNEL_HAVE_ define.
DECOMPRESSION = dict(_file_reader_list("library"))

# The file reader alone, and the capture reader over it (files, ranges, devices, filters).
FILE_READER = tuple(name for name, in _file_reader_list("source"))
CAPTURE_READER = (*FILE_READER, "capture_reader.cpp", "source.cpp")
CONNECTIONS = ("connections.cpp", "fragment_memory.cpp", "host_window.cpp", "services.cpp", "traffic_windows.cpp")


def pkg_config(*packages: str) -> tuple[list[str], list[str]]:
    """The compiler and linker flags of those `packages` that are installed, and their names."""
    found = [package for package in packages if subprocess.run(["pkg-config", "--exists", package]).returncode == 0]
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", *found], check=True, capture_output=True,
                           text=True).stdout.split() if found else []
    return flags, found


def _digest(sources: list[Path], flags: list[str]) -> str:
    digest = hashlib.sha256(" ".join(flags).encode())
    for path in sorted({*sources, *CORE.glob("*.hpp"), DECODER_HEADER}):
        digest.update(path.name.encode() + path.read_bytes())
    return digest.hexdigest()[:16]


def build(program: Path, directory: Path, core_sources: tuple[str, ...] = (), flags: tuple[str, ...] = ("-O2",),
          without: tuple[str, ...] = ()) -> Path:
    """`program` linked with `core_sources`, libpcap and every decompression library pkg-config
    finds but those `without`, into `directory`; an earlier build of the same sources is reused."""
    sources = [program, *(CORE / name for name in core_sources)]
    libraries, found = pkg_config("libpcap", *(package for package in DECOMPRESSION if package not in without))
    defines = [f"-DVARNEL_HAVE_{DECOMPRESSION[package]}" for package in found if package in DECOMPRESSION]
    command_flags = ["-std=c++20", "-Wall", "-Wextra", *flags, *defines]
    binary = directory / f"{program.stem}-{_digest(sources, command_flags)}"
    if binary.exists():
        return binary
    directory.mkdir(parents=True, exist_ok=True)
    partial = binary.with_suffix(f".{os.getpid()}.partial")  # others may build the same at once
    subprocess.run(["g++", *command_flags, f"-I{CORE}", f"-I{ROOT / 'src'}", *map(str, sources), "-o", str(partial),
                    *libraries], check=True)
    partial.replace(binary)
    return binary
