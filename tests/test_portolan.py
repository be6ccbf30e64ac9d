"""Device listing on this machine, and the automatic choice over lists given through the module."""

import builtins
import inspect
import os

import pytest

from varnel.core.base import portolan
from varnel.core.base.portolan import get_all_devices, get_auto_device

UP = 2


def test_devices_of_this_machine_are_three_key_dicts_and_include_lo():
    devices = get_all_devices()
    assert type(devices) is list
    for device in devices:
        assert list(device) == ["name", "description", "flags"]
        assert [type(value) for value in device.values()] == [str, str, int]
        assert 0 <= device["flags"] < 2**32
    assert "lo" in [device["name"] for device in devices]


def test_every_call_lists_afresh():
    first = get_all_devices()
    first[0]["name"] = "changed"
    first.append({})
    assert get_all_devices() == get_all_devices() != first


@pytest.mark.parametrize("function", [get_all_devices, get_auto_device])
def test_no_argument_is_accepted_and_texts_are_the_interpreters(function):
    qualified = f"{function.__module__}.{function.__qualname__}"
    assert qualified == f"varnel.core.base.portolan.{function.__name__}"
    assert str(inspect.signature(function)) == "()"
    for args, kwargs in [((1,), {}), ((1, 2), {}), ((), {"x": 1}), ((1,), {"x": 1})]:
        with pytest.raises(TypeError) as ours:
            function(*args, **kwargs)
        with pytest.raises(TypeError) as interpreters:  # a no-argument builtin of the interpreter
            os.getpid(*args, **kwargs)
        assert str(ours.value) == str(interpreters.value).replace("posix.getpid", qualified)


def devices(*entries):
    return [{"name": name, "description": "ignored", "flags": flags} for name, flags in entries]


@pytest.mark.parametrize("listing, chosen", [
    ([], None),
    (devices(("lo", UP), ("eth0", UP)), b"eth0"),
    (devices(("eth0", 0), ("wlan0", UP)), b"wlan0"),
    (devices(("wlan0", UP), ("eth0", UP)), b"wlan0"),  # list order decides, not the prefix
    (devices(("docker0", UP), ("enp3s0", 6)), b"enp3s0"),
    (devices(("docker0", UP), ("eth0", 0xFFFFFFFF & ~UP)), b"docker0"),  # only the up bit counts
    (devices(("ETH0", UP), ("lo0", 0)), b"ETH0"),  # the prefixes are case-sensitive
    (devices(("lo", UP), ("docker0", UP)), b"lo"),  # lo is not excluded by name
    (devices(("lo0", 0), ("Loopback Pseudo-Interface", 0)), b"lo0"),
    (devices(("lo0", 7), ("myLOOPBACK1", 7), ("any", 0)), b"any"),
    (devices(("en0", 4), ("bridge0", 3)), b"en0"),
    (devices(("lo0", 0), ("", 0), ("docker0", 0)), b"lo0"),  # an empty name ends the pass unchosen
    (devices(("", 0), ("lo0", 0)), None),
    (devices(("wlan-é", UP)), "wlan-é".encode()),
])
def test_auto_device_choice(monkeypatch, listing, chosen):
    monkeypatch.setattr(portolan, "get_all_devices", lambda: listing)
    result = get_auto_device()
    assert result == chosen and type(result) is type(chosen)


class OddName:
    """Passes every test of the first pass without being a str."""

    def lower(self):
        return "odd"

    def startswith(self, prefixes):
        return True


@pytest.mark.parametrize("listing, error, message", [
    ([{"name": "eth0"}], KeyError, "'flags'"),
    ([{"flags": UP}], KeyError, "'name'"),
    ([{"name": b"eth0", "flags": UP}], TypeError, "a bytes-like object is required, not 'str'"),
    ([{"name": OddName(), "flags": UP}], TypeError, "Expected str, got OddName"),
    (devices(("wlan\ud800", UP)), UnicodeEncodeError, None),
])
def test_auto_device_errors_of_odd_lists(monkeypatch, listing, error, message):
    monkeypatch.setattr(portolan, "get_all_devices", lambda: listing)
    with pytest.raises(error) as raised:
        get_auto_device()
    assert message is None or str(raised.value) == message


def test_auto_device_looks_the_enumeration_up_at_every_call(monkeypatch):
    failure = RuntimeError("Lỗi tìm thiết bị: no access")

    def failing():
        raise failure

    monkeypatch.setattr(portolan, "get_all_devices", lambda: devices(("eth1", UP)))
    assert get_auto_device() == b"eth1"
    monkeypatch.setattr(portolan, "get_all_devices", failing)
    with pytest.raises(RuntimeError) as raised:
        get_auto_device()
    assert raised.value is failure
    monkeypatch.delattr(portolan, "get_all_devices")
    with pytest.raises(NameError, match=r"^name 'get_all_devices' is not defined$"):
        get_auto_device()
    monkeypatch.setattr(builtins, "get_all_devices", lambda: devices(("wlan2", UP)), raising=False)
    assert get_auto_device() == b"wlan2"
    monkeypatch.setattr(portolan, "get_all_devices", get_all_devices, raising=False)
    assert get_auto_device() != b"wlan2"
