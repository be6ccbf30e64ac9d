"""The dictionary-based row writers the command used before it wrote through the columns: the
reference its native text output is compared with, byte for byte."""

from __future__ import annotations

import csv
import json
from typing import IO, Any, Mapping, Sequence


class JsonLinesWriter:
    def __init__(self, stream: IO[str], columns: Sequence[str], header: bool = True):
        self._stream = stream
        self._columns = tuple(columns)
        self._encode = json.JSONEncoder().encode  # what json.dumps does, without its per-call option checks

    def write(self, row: Mapping[str, Any]) -> None:
        # Every column in every line, null where the row has no such key: a reader that infers
        # types from the first lines still finds each column.
        assert row.keys() <= set(self._columns), f"keys outside the columns: {row.keys() - set(self._columns)}"
        line = self._encode({name: row.get(name) for name in self._columns})
        # One write per row: an interrupt between two writes would leave a line without its end.
        self._stream.write(line + "\n")

    def flush(self) -> None:
        self._stream.flush()

    close = flush


class CsvWriter:
    def __init__(self, stream: IO[str], columns: Sequence[str], header: bool = True):
        self._stream = stream
        self._columns = tuple(columns)
        # csv.writer over a list of cells: a third faster than DictWriter, which checks every row's keys.
        self._writer = csv.writer(stream, lineterminator="\n")
        if header:
            self._writer.writerow(self._columns)

    def write(self, row: Mapping[str, Any]) -> None:
        self._writer.writerow([row.get(name, "") for name in self._columns])

    def flush(self) -> None:
        self._stream.flush()

    close = flush
