"""Child processes for tests that need a network of their own or a clean process: a new network
namespace (only `lo`, which starts down), so that tests may take devices up and down safely."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parents[1]


def namespaces_available() -> bool:
    return subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode == 0


def run_isolated(script: str, **options) -> subprocess.Popen:
    """Runs `script` in a new Python process, in a network namespace with only an idle `lo`."""
    prologue = f"import sys; sys.path.insert(0, {str(TESTS)!r})\n"
    command = ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$0" -c "$1"', sys.executable,
               prologue + textwrap.dedent(script)]
    return subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **options)


def report_of(child: subprocess.Popen, timeout: float) -> dict:
    try:
        out, err = child.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail(f"the child did not finish within {timeout} s")
    assert child.returncode == 0, err
    return json.loads(out.splitlines()[-1])
