import itertools
import os
import sys
from pathlib import Path

import pytest

# The tests' own helpers (support) and those shared with the benchmarks (testkit), for the tests and
# for the child processes they start.
_TESTS = Path(__file__).resolve().parent
for _path in (str(_TESTS.parent), str(_TESTS)):
    sys.path.insert(0, _path)
os.environ["PYTHONPATH"] = os.pathsep.join([str(_TESTS.parent), str(_TESTS), os.environ.get("PYTHONPATH", "")]).rstrip(os.pathsep)

from testkit.frames import write_pcap  # noqa: E402

# Public sample captures of real traffic, kept in the repository (see captures/README.md).
CORPUS = Path(__file__).resolve().parent / "captures"


@pytest.fixture
def corpus() -> Path:
    return CORPUS


@pytest.fixture(scope="session")
def capture_file(tmp_path_factory):
    """write(records, **options) -> the path (bytes) of a new pcap file holding `records`.

    Session-scoped so that hypothesis tests can write one file per example.
    """
    directory = tmp_path_factory.mktemp("captures")
    numbers = itertools.count()

    def write(records, **options) -> bytes:
        return write_pcap(directory / f"{next(numbers)}.pcap", records, **options)

    return write


@pytest.fixture(scope="session")
def read_packets(capture_file):
    """read(records, **options) -> every packet dictionary read_pcap yields for a file of `records`."""
    from varnel.core.base.grapnel import read_pcap

    def read(records, **options) -> list[dict]:
        records = list(records)
        # One more than a file of n frames can give, so that a reader that never stops fails, not hangs.
        return list(itertools.islice(read_pcap(capture_file(records, **options)), len(records) + 1))

    return read
