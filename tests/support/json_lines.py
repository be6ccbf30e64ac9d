"""The command's JSON lines read back as the library's dictionaries."""

from __future__ import annotations

import json


def library_dicts(text: str) -> list[dict]:
    """Every line carries the same keys, every column of the output; a dictionary of the library
    leaves out the keys that are null in its line."""
    rows = [json.loads(line) for line in text.splitlines()]
    assert len({tuple(row) for row in rows}) <= 1, "lines with different keys"
    return [{key: value for key, value in row.items() if value is not None} for row in rows]
