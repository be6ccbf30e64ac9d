"""The command's error and warning lines: libpcap's reason, taken from the exception's `reason` when
it has one, else from its text without the module's prefix, and the file or device named once."""

from pathlib import Path

import pytest

from varnel.cli import main
from varnel.cli.messages import MODULE_PREFIXES, about, reason_of


class ModuleError(RuntimeError):
    def __init__(self, message: str, reason: str | None = None):
        super().__init__(message)
        if reason is not None:
            self.reason = reason


class ModuleWarning(RuntimeWarning):
    def __init__(self, message: str, reason: str):
        super().__init__(message)
        self.reason = reason


@pytest.mark.parametrize("prefix", MODULE_PREFIXES)
def test_the_module_prefix_is_stripped_without_a_reason(prefix):
    assert about("x.pcap", ModuleError(prefix + "x.pcap: No such file or directory")) == \
        "x.pcap: No such file or directory"


@pytest.mark.parametrize("problem, line", [
    pytest.param(ModuleError("Could not open file: stale text", reason="x.pcap: No such file or directory"),
                 "x.pcap: No such file or directory", id="reason preferred, name once"),
    pytest.param(ModuleError("Lỗi mở file PCAP: stale text", reason="unknown file format"),
                 "x.pcap: unknown file format", id="reason without the name"),
    pytest.param(ModuleWarning("Could not read file: stale text", reason="truncated dump file"),
                 "x.pcap: truncated dump file", id="warning with a reason"),
    pytest.param(ModuleError("Could not open file: x.pcap: Permission denied", reason=None),
                 "x.pcap: Permission denied", id="no reason attribute"),
    pytest.param("truncated dump file", "x.pcap: truncated dump file", id="text of a worker"),
    pytest.param(ModuleError("something unforeseen"), "x.pcap: something unforeseen", id="no known prefix"),
])
def test_about_names_the_source_and_the_reason(problem, line):
    assert about("x.pcap", problem) == line


def test_reason_of_keeps_a_reason_that_looks_like_a_prefix():
    # Only the text is stripped: a reason is taken as the module gives it.
    assert reason_of(ModuleError("x", reason="Could not open file: as given")) == "Could not open file: as given"


class Columns:
    """Columns as the command reads them: those of a real capture, or an export that fails, with the
    statistics given."""

    def __init__(self, real, error: Exception | None, warnings: list[str]):
        self._real, self._error, self._warnings = real, error, warnings

    def __arrow_c_stream__(self, requested_schema=None):
        if self._error is not None:
            raise self._error
        return self._real.__arrow_c_stream__()

    def stats(self):
        return {**self._real.stats(), "warnings": self._warnings}


@pytest.mark.parametrize("error, warnings, status, rows, line", [
    (ModuleError("Could not open file: not what the command shows", reason="what libpcap said"), [], 1, 0,
     "varnel: x.pcap: what libpcap said\n"),
    (None, ["x.pcap: Could not read file: cut short"], 3, 18, "varnel: warning: x.pcap: cut short\n"),
])
def test_the_command_prints_the_reason(monkeypatch, capsys, error, warnings, status, rows, line):
    from varnel import columns

    sample = columns.read_packets_table(Path(__file__).parents[1] / "samples" / "sample.pcap")
    monkeypatch.setattr(columns, "read_packets_table", lambda path, **options: Columns(sample, error, warnings))
    assert main(["read", "x.pcap"]) == status
    out, err = capsys.readouterr()
    assert (len(out.splitlines()), err) == (rows, line)
