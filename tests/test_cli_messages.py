"""The command's error and warning lines: libpcap's reason, taken from the exception's `reason` when
it has one, else from its text without the module's prefix, and the file or device named once."""

import warnings

import pytest

import varnel
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


class Stream:
    """A stream as the command reads it: the items of `generator`, then statistics."""

    def __init__(self, generator):
        self._generator = generator

    def __iter__(self):
        return self._generator

    def __next__(self):
        return next(self._generator)

    def close(self):
        self._generator.close()

    def stats(self):
        return {}


def fails_to_open(path, **options):
    raise ModuleError("Could not open file: not what the command shows", reason="what libpcap said")
    yield  # a generator, as read_pcap is


def warns_after_a_packet(path, **options):
    yield {"success": True, "src_port": 1}
    warnings.warn(ModuleWarning("Could not read file: not what the command shows", reason="cut short"))


@pytest.mark.parametrize("reader, status, output, error", [
    (fails_to_open, 1, "", "varnel: x.pcap: what libpcap said\n"),
    (warns_after_a_packet, 0, '{"success": true, "src_port": 1}\n', "varnel: warning: x.pcap: cut short\n"),
])
def test_the_command_prints_the_reason(monkeypatch, capsys, reader, status, output, error):
    monkeypatch.setattr(varnel, "read_packets", lambda path, **options: Stream(reader(path)))
    assert main(["read", "x.pcap"]) == status
    assert capsys.readouterr() == (output, error)
