"""The boundary check: every entry the interpreter can call is guarded, and a raw one is caught."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
CHECK = ROOT / "tools" / "check_boundaries.py"

GUARDED = """
PyMethodDef methods[] = {
    varnel::method<read>("read", "read(x)\\n--\\n\\nRead, then stop, {really}."),
    varnel::method<close>("close", METH_NOARGS, nullptr),
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef getset[] = {
    varnel::getter<get_name>("__name__", "name"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot slots[] = {
    varnel::slot<dealloc>(Py_tp_dealloc),
    varnel::data_slot(Py_tp_methods, methods),
    {0, nullptr},
};
PyMODINIT_FUNC PyInit_example() { return varnel::guarded_init<init_module>(); }
"""


def run_check(tmp_path, source: str) -> subprocess.CompletedProcess:
    path = tmp_path / "module.cpp"
    path.write_text(source)
    return subprocess.run([sys.executable, str(CHECK), str(path)], capture_output=True, text=True)


def test_the_package_sources_pass():
    result = subprocess.run([sys.executable, str(CHECK)], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


def test_guarded_tables_pass(tmp_path):
    assert run_check(tmp_path, GUARDED).returncode == 0


@pytest.mark.parametrize("guarded, raw", [
    ('varnel::method<read>("read", "read(x)\\n--\\n\\nRead, then stop, {really}."),',
     '{"read", reinterpret_cast<PyCFunction>(read), METH_FASTCALL | METH_KEYWORDS, nullptr},'),
    ('varnel::getter<get_name>("__name__", "name"),', '{"__name__", get_name, nullptr, "name", nullptr},'),
    ("varnel::slot<dealloc>(Py_tp_dealloc),", "{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},"),
    ("return varnel::guarded_init<init_module>();", "return init_module();"),
], ids=["method", "getter", "slot", "module-init"])
def test_a_seeded_raw_entry_is_caught(tmp_path, guarded, raw):
    assert guarded in GUARDED
    result = run_check(tmp_path, GUARDED.replace(guarded, raw))
    assert result.returncode == 1
    assert len(result.stdout.splitlines()) == 1
