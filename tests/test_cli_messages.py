"""The command's error and warning lines: each problem the reader reports, named by its file and
given its reason as the reader says it, once; damage a warning (exit status 3), a file that could
not be read an error (status 1)."""

from pathlib import Path

import pytest

from varnel.cli import main
from varnel.cli.messages import devices_error
from varnel.columns import CaptureProblem

SAMPLE = Path(__file__).parents[1] / "samples" / "sample.pcap"


class Columns:
    """The columns of a real capture, with the problems given."""

    def __init__(self, real, problems: list[CaptureProblem]):
        self._real, self.problems = real, problems

    def __arrow_c_stream__(self, requested_schema=None):
        return self._real.__arrow_c_stream__()

    def stats(self):
        return self._real.stats()


NOT_FOUND = CaptureProblem("not_found", "x.pcap", "No such file or directory", True)
CUT_SHORT = CaptureProblem("damaged", "y.pcap", "truncated dump file; tried to read 40 captured bytes, only got 3",
                           False)


@pytest.mark.parametrize("problems, status, lines", [
    ([NOT_FOUND], 1, ["varnel: x.pcap: No such file or directory"]),
    ([CUT_SHORT], 3, [f"varnel: warning: y.pcap: {CUT_SHORT.reason}"]),
    ([CUT_SHORT, NOT_FOUND], 1, [f"varnel: warning: y.pcap: {CUT_SHORT.reason}",
                                 "varnel: x.pcap: No such file or directory"]),
])
def test_the_command_prints_each_problem_once(monkeypatch, capsys, problems, status, lines):
    from varnel import columns

    sample = columns.read_packets_table(SAMPLE)
    monkeypatch.setattr(columns, "read_packets_table", lambda path, **options: Columns(sample, problems))
    assert main(["read", "x.pcap", "y.pcap"]) == status
    out, err = capsys.readouterr()
    assert (len(out.splitlines()), err.splitlines()) == (18, lines)


def test_strict_stops_at_the_first_damage(monkeypatch, capsys):
    from varnel import columns

    sample = columns.read_packets_table(SAMPLE)
    monkeypatch.setattr(columns, "read_packets_table", lambda path, **options: Columns(sample, [CUT_SHORT]))
    assert main(["read", "--strict", "x.pcap", "y.pcap"]) == 3
    assert capsys.readouterr().err.splitlines() == [f"varnel: warning: y.pcap: {CUT_SHORT.reason}"]


class DeviceError(RuntimeError):
    def __init__(self):
        super().__init__("Lỗi tìm thiết bị: no permission")
        self.reason = "no permission"


def test_a_device_list_that_cannot_be_read_gives_libpcaps_reason():
    assert devices_error(DeviceError()) == "cannot list capture devices: no permission"
    assert devices_error(RuntimeError("plain")) == "cannot list capture devices: plain"
