"""The type stubs: they match the built modules, and a strict type checker accepts good host code
through them and rejects wrong code."""

from __future__ import annotations

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

import varnel
from testkit.frames import ethernet, ipv4, tcp, udp, write_pcap
from varnel import schema

EXAMPLE = Path(__file__).with_name("typing_example.py")
MODULES = ("varnel.core.base.grapnel", "varnel.core.ver100.moraine", "varnel.core.base.portolan")

# Wrong host code, and what the checker must say about it.
MISTAKES = {
    "feature_row_has_no_address": (
        "from varnel.core.ver100.moraine import FeatureExtractor\n"
        "print(FeatureExtractor().process_pcap(b'x.pcap')[0]['src_ip'])\n",
        'TypedDict "FeatureRow" has no key "src_ip"'),
    "paths_are_bytes": (
        "from varnel.core.base.grapnel import read_pcap\n"
        "read_pcap('x.pcap')\n",
        'incompatible type "str"; expected "bytes | None"'),
    "auto_device_may_be_none": (
        "from varnel.core.base.portolan import get_auto_device\n"
        "print(get_auto_device().decode())\n",
        'Item "None" of "bytes | None" has no attribute "decode"'),
    "packet_values_are_typed": (
        "from varnel.core.base.grapnel import read_pcap\n"
        "for packet in read_pcap(b'x.pcap'):\n"
        "    packet['src_ip'] + 1\n",
        'Unsupported operand types for + ("str" and "int")'),
    "kernel_counters_may_be_none": (
        "import varnel\n"
        "print(varnel.sniff_packets('lo').stats()['dropped'] + 1)\n",
        'Unsupported operand types for + ("None" and "int")'),
    "filters_are_text": (
        "import varnel\n"
        "varnel.read_packets('x.pcap', filter=b'tcp')\n",
        'incompatible type "bytes"; expected "str | None"'),
    "read_position_is_read_only": (
        "from varnel.core.ver100.moraine import FeatureExtractor\n"
        "FeatureExtractor().iter_pcap(b'x.pcap').read_position = 0\n",
        'Property "read_position" defined in "CaptureGenerator" is read-only'),
}


def run_module(*arguments: object, cwd: Path) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", *map(str, arguments)], capture_output=True, text=True,
                          cwd=cwd, timeout=300)


def test_stubs_match_the_built_modules(tmp_path):
    result = run_module("mypy.stubtest", *MODULES, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_checker_accepts_the_example_and_rejects_each_mistake(tmp_path):
    for name, (source, _) in MISTAKES.items():
        (tmp_path / f"{name}.py").write_text(source)
    result = run_module("mypy", "--strict", "--cache-dir", tmp_path / "cache", EXAMPLE,
                        *(f"{name}.py" for name in MISTAKES), cwd=tmp_path)
    errors = re.findall(r"^(\S+?)\.py:\d+: error: (.*)$", result.stdout, re.MULTILINE)
    assert {module for module, _ in errors} == set(MISTAKES), result.stdout  # nothing in the example
    for name, (_, expected) in MISTAKES.items():
        assert any(module == name and expected in message for module, message in errors), (name, result.stdout)


def test_the_example_runs(tmp_path):
    capture = write_pcap(tmp_path / "two.pcap", [ethernet(ipv4(tcp(), proto=6)), ethernet(ipv4(udp(), proto=17))])
    result = subprocess.run([sys.executable, EXAMPLE, capture.decode()], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:2] == ["[('TCP', 1), ('UDP', 1)]", "[('TCP', 54), ('UDP', 42)]"]
    assert result.stdout.splitlines()[2] == "4"  # both rows of the file, read twice


# What a stub may say for each Arrow type: the Python type, alone or as a Literal of its values.
STUB_TYPES = {"bool": bool, "float64": float, "string": str, "uint8": int, "uint16": int, "uint32": int}


def typed_dict_fields(stub: str, name: str) -> list[tuple[str, type, bool]]:
    """(key, value type, required) of each key of the TypedDict `name` declared in `stub`, in order."""
    tree = ast.parse((Path(varnel.__file__).parent / stub).read_text())
    [declaration] = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == name]
    fields = []
    for item in declaration.body:
        if not isinstance(item, ast.AnnAssign):
            continue
        annotation, required = item.annotation, True
        if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "NotRequired":
            annotation, required = annotation.slice, False
        if isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal":
            values = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
            [kind] = {type(ast.literal_eval(value)) for value in values}
        else:
            kind = {"bool": bool, "float": float, "str": str, "int": int}[ast.unparse(annotation)]
        fields.append((item.target.id, kind, required))
    return fields


@pytest.mark.parametrize("stub, name, fields", [
    ("core/base/grapnel.pyi", "PacketDict", schema.PACKET_FIELDS),
    ("core/ver100/moraine.pyi", "FeatureRow", schema.FEATURE_FIELDS),
])
def test_row_types_follow_the_field_table(stub, name, fields):
    assert typed_dict_fields(stub, name) == [
        (field.name, STUB_TYPES[field.arrow_type], not field.nullable) for field in fields]
