"""get_all_devices against a fake libpcap that reports what each test asks for and counts releases."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

FAKE_SOURCE = Path(__file__).parent / "fake_pcap" / "fake_pcap.c"
PREFIX = "Lỗi tìm thiết bị: "

# Runs in a fresh interpreter with the fake preloaded; prints the outcome and the fake's counters.
PROBE = r"""
import ctypes, json, os, sys
from varnel.core.base.portolan import get_all_devices
fake = ctypes.CDLL(os.environ["FAKE_PCAP_LIBRARY"])
def counters():
    return {name: ctypes.c_int.in_dll(fake, "fake_" + name).value
            for name in ("find_calls", "free_calls", "foreign_frees")}
def outcome(call):
    try:
        return {"devices": call()}
    except Exception as error:
        return {"error": type(error).__name__, "message": str(error)}
"""


@pytest.fixture(scope="module")
def fake_pcap(tmp_path_factory) -> Path:
    library = tmp_path_factory.mktemp("fake_pcap") / "fake_pcap.so"
    subprocess.run(["cc", "-Wall", "-Wextra", "-shared", "-fPIC", "-o", library, FAKE_SOURCE], check=True)
    return library


def run_probe(fake_pcap, code, devices=b"", error=None):
    # A preload already there (the sanitizer runtime under `make test-sanitize`) must stay first.
    preload = b" ".join(filter(None, [os.environb.get(b"LD_PRELOAD"), bytes(fake_pcap)]))
    env = {**os.environb, b"LD_PRELOAD": preload, b"FAKE_PCAP_LIBRARY": bytes(fake_pcap), b"FAKE_PCAP_DEVICES": devices}
    if error is not None:
        env[b"FAKE_PCAP_ERROR"] = error
    done = subprocess.run([sys.executable, "-c", PROBE + code], env=env, capture_output=True)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    return json.loads(done.stdout)


def list_devices(fake_pcap, devices=b"", error=None):
    code = "print(json.dumps({**outcome(get_all_devices), **counters()}))"
    return run_probe(fake_pcap, code, devices, error)


def device(name, description, flags):
    return {"name": name, "description": description, "flags": flags}


@pytest.mark.parametrize("listing, error, expected", [
    (b"", None, []),
    (b"<null>\t<null>\t6", None, [device("", "", 6)]),
    (b"\t\t0", None, [device("", "", 0)]),
    (b"eth0\tall ones\t0xffffffff", None, [device("eth0", "all ones", 4294967295)]),
    (b"first\t1st\t1\nsecond\t<null>\t2\nwlan-\xc3\xa9\tthird\t3", None,
     [device("first", "1st", 1), device("second", "", 2), device("wlan-é", "third", 3)]),
    (b"", b"socket: Operation not permitted", ("RuntimeError", PREFIX + "socket: Operation not permitted")),
    (b"", b"", ("RuntimeError", PREFIX)),
    # Bytes that are not UTF-8 never turn the documented errors into decoding errors: a message
    # escapes them, a name keeps them recoverable with os.fsencode.
    (b"", b"bad \xff", ("RuntimeError", PREFIX + "bad \\xff")),
    (b"eth0\t\t0\neth\xff\t\t0\nlo\t\t0", None,
     [device("eth0", "", 0), device("eth\udcff", "", 0), device("lo", "", 0)]),
    (b"eth0\t\t0\nlo\tbad \xff\t0", None, [device("eth0", "", 0), device("lo", "bad \udcff", 0)]),
])
def test_libpcap_entries_and_failures(fake_pcap, listing, error, expected):
    result = list_devices(fake_pcap, listing, error)
    if isinstance(expected, list):
        assert result["devices"] == expected
        assert all(list(entry) == ["name", "description", "flags"] for entry in result["devices"])
    else:
        assert (result["error"], result["message"]) == expected
    # Whatever happens after libpcap handed out a list, the list is released exactly once;
    # a failure or an empty listing hands out none.
    handed_out = error is None and listing != b""
    assert (result["find_calls"], result["free_calls"], result["foreign_frees"]) == (1, int(handed_out), 0)


def test_arguments_are_refused_before_libpcap_is_called(fake_pcap):
    code = """
print(json.dumps([outcome(lambda: get_all_devices(1)), outcome(lambda: get_all_devices(flags=1)), counters()]))
"""
    positional, keyword, counts = run_probe(fake_pcap, code, b"eth0\t\t0")
    assert positional["error"] == keyword["error"] == "TypeError"
    assert counts["find_calls"] == 0


def test_memory_exhaustion_at_every_step_still_releases_the_list(fake_pcap):
    code = """
import _testcapi
outcomes = []
for start in range(40):
    before = counters()
    _testcapi.set_nomemory(start, 0)
    try:
        get_all_devices()
        raised = None
    except MemoryError:
        raised = "MemoryError"
    finally:
        _testcapi.remove_mem_hooks()
    outcomes.append([raised] + [counters()[name] - before[name] for name in before])
print(json.dumps(outcomes))
"""
    outcomes = run_probe(fake_pcap, code, b"eth0\tfirst\t6\nlo\tsecond\t55\nany\tthird\t54")
    assert outcomes[-1][0] is None  # the last runs had memory enough to finish
    assert len([1 for raised, finds, *_ in outcomes if raised == "MemoryError" and finds]) > 5
    for _, finds, frees, foreign_frees in outcomes:
        assert frees == finds and foreign_frees == 0
