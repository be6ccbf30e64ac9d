"""Where the rows go: standard output or the -o file, through the writer of the chosen format."""

from __future__ import annotations

import io
import os
import sys
from typing import Sequence

from .writers import open_writer


class Output:
    """The writer over standard output or -o FILE, flushed and closed on every way out. `text` and
    `binary` are the two faces of the destination, for parts copied in as they are."""

    def __init__(self, args, columns: Sequence[str]):
        self._args = args
        self._columns = columns
        self._file = None

    def __enter__(self) -> "Output":
        output, output_format = self._args.output, self._args.format
        if output is None:
            self.text, self.binary = sys.stdout, sys.stdout.buffer
        else:
            # Binary: text parts of parallel workers are copied in as bytes.
            self._file = open(output, "wb")
            self.binary = self._file
            self.text = io.TextIOWrapper(self._file, encoding="utf-8", newline="", write_through=True)
        self.writer = open_writer(output_format, self._columns, self.text, self.binary)
        return self

    def __exit__(self, *exc_info):
        try:
            self.writer.close()
        finally:
            if self._file is not None:
                self._file.close()
        return False


def drop_standard_output() -> None:
    """For a reader of standard output that went away (`varnel read x.pcap | head`): what is still
    buffered goes nowhere at the interpreter's last flush, instead of failing again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
