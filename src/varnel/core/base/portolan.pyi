"""Capture devices as libpcap reports them, and an automatic choice of one for live capture."""

from typing import TypedDict, type_check_only

@type_check_only
class Device(TypedDict):
    """One capture device; the keys come in this order."""

    name: str
    description: str  # "" when libpcap has none
    flags: int  # libpcap's interface flags, unsigned 32 bits (up = 2)

def get_all_devices() -> list[Device]:
    """Return the capture devices libpcap can open, in libpcap's order."""

def get_auto_device() -> bytes | None:
    """Choose a capture device and return its name as UTF-8 bytes, or None when there is none."""
