"""Progress on stderr, only when stderr is a terminal: rows written of each file, files done, packets/s live."""

from __future__ import annotations

import os
import sys
import time

_INTERVAL = 0.2  # seconds between redraws
_drawn: list["Progress"] = []  # the progress whose line is on the terminal, if any


def end_line() -> None:
    """Clears the progress line so that a message gets a line of its own; it is drawn again later."""
    for progress in _drawn:
        progress.finish()


class Progress:
    def __init__(self, total_files: int = 0, stream=None):
        self._stream = stream or sys.stderr
        self.enabled = self._stream.isatty()
        self._total_files = total_files
        self._files_done = 0
        self._started = time.monotonic()
        self._next_draw = 0.0
        self._shown = False

    def file_done(self) -> None:
        self._files_done += 1

    def rows(self, name: str, rows: int, size: int) -> None:
        """Rows written so far of a file of `size` bytes (the columns do not tell a read position)."""
        if not self._due():
            return
        files = f"[{self._files_done}/{self._total_files}] " if self._total_files > 1 else ""
        self._draw(f"{files}{name}: {rows:,} rows from {_size(size)}")

    def live(self, device: str, packets: int) -> None:
        if not self._due():
            return
        rate = packets / max(time.monotonic() - self._started, 1e-9)
        self._draw(f"{device}: {packets} packets, {rate:,.0f} packets/s")

    def finish(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False
            _drawn.remove(self)

    def _due(self) -> bool:
        if not self.enabled:
            return False
        now = time.monotonic()
        if now < self._next_draw:
            return False
        self._next_draw = now + _INTERVAL
        return True

    def _draw(self, text: str) -> None:
        self._stream.write("\r\x1b[K" + text)
        self._stream.flush()
        if not self._shown:
            _drawn.append(self)
        self._shown = True


def _size(count: int) -> str:
    for unit in ("B", "KB", "MB", "GB"):
        if count < 1024 or unit == "GB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return f"{count} B"


def file_size(path: bytes) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0
