#!/usr/bin/env python3
"""Every function the interpreter can call into the native code must enter through the guard of
src/native/boundary.hpp, which stops C++ exceptions at the boundary (one escaping would end the
process). This check holds the sources to it: each entry of a method, getter or type-slot table is
made by varnel::method / getter / slot (or data_slot for data), or is the table's terminator, and
each module initialiser returns through varnel::guarded_init.

    tools/check_boundaries.py [FILE.cpp ...]     (default: every .cpp under src/)

Exit status 1 with one line per violation.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

TABLE = re.compile(r"\b(PyMethodDef|PyGetSetDef|PyType_Slot)\s+\w+\[\]\s*=\s*\{(?P<body>.*?)\n\s*\};", re.S)
INIT = re.compile(r"PyMODINIT_FUNC\s+PyInit_\w+\(\)\s*\{(?P<body>.*?)\n?\}", re.S)
GUARDED_ENTRY = re.compile(r"^(varnel::)?(method|getter|slot)<[\w:]+>\(|^(varnel::)?data_slot\(")
TERMINATOR = re.compile(r"^\{\s*(nullptr|0)(\s*,\s*(nullptr|0))*\s*\}$")


def entries(body: str) -> list[str]:
    """The top-level, comma-separated entries of a table's initialiser."""
    body = re.sub(r"//[^\n]*", "", body)
    result, depth, current, quoted = [], 0, [], False
    for index, char in enumerate(body):
        if char == '"' and body[index - 1] != "\\":
            quoted = not quoted
        if not quoted:
            if char in "({<":
                depth += 1
            elif char in ")}>":
                depth -= 1
            elif char == "," and depth == 0:
                result.append("".join(current).strip())
                current = []
                continue
        current.append(char)
    if "".join(current).strip():
        result.append("".join(current).strip())
    return result


def violations(path: Path) -> list[str]:
    text = path.read_text()
    found = []
    for table in TABLE.finditer(text):
        line = text.count("\n", 0, table.start()) + 1
        for entry in entries(table["body"]):
            if not (GUARDED_ENTRY.match(entry) or TERMINATOR.match(entry)):
                first_line = entry.splitlines()[0]
                found.append(f"{path}:{line}: {table[1]} entry not made through the boundary guard: {first_line}")
    for init in INIT.finditer(text):
        if "guarded_init<" not in init["body"]:
            line = text.count("\n", 0, init.start()) + 1
            found.append(f"{path}:{line}: module initialiser does not return through varnel::guarded_init")
    return found


def main(arguments: list[str]) -> int:
    root = Path(__file__).resolve().parents[1]
    paths = [Path(a) for a in arguments] or sorted((root / "src").rglob("*.cpp"))
    found = [line for path in paths for line in violations(path)]
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
