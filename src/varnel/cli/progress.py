"""Progress on stderr, only when stderr is a terminal: the share read, rows, rate and time left; live, rows/s."""

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
    """Files: the share of their bytes read, rows written, the rate and the time left. Live: rows,
    the rate and the frames the kernel dropped."""

    def __init__(self, total_bytes: int = 0, total_files: int = 0, stream=None):
        self._stream = stream or sys.stderr
        self.enabled = self._stream.isatty()
        self._total_bytes = total_bytes
        self._total_files = total_files
        self._rows = 0
        self._started = time.monotonic()
        self._next_draw = 0.0
        self._shown = False

    def rows(self, rows: int, bytes_read: int, files_read: int) -> None:
        """`rows` more written; the reader has read `bytes_read` bytes, `files_read` files whole."""
        self._rows += rows
        if not self._due():
            return
        elapsed = max(time.monotonic() - self._started, 1e-9)
        parts = []
        if self._total_files > 1:
            parts.append(f"[{files_read}/{self._total_files}]")
        if self._total_bytes > 0:
            share = min(bytes_read / self._total_bytes, 1.0)
            parts.append(f"{share:4.0%} of {_size(self._total_bytes)}")
        parts.append(f"{self._rows:,} rows, {self._rows / elapsed:,.0f} rows/s")
        if self._total_bytes > 0 and 0 < bytes_read < self._total_bytes:
            parts.append(f"{_duration(elapsed * (self._total_bytes - bytes_read) / bytes_read)} left")
        self._draw(", ".join(parts))

    def live(self, device: str, rows: int, dropped: int) -> None:
        self._rows += rows
        if not self._due():
            return
        rate = self._rows / max(time.monotonic() - self._started, 1e-9)
        self._draw(f"{device}: {self._rows:,} rows, {rate:,.0f} rows/s, {dropped:,} frames dropped by the kernel")

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


def _duration(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds + 0.5), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes}:{seconds:02d}"


def file_size(path: bytes) -> int:
    try:
        return os.stat(path).st_size
    except OSError:
        return 0
