import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


@pytest.fixture
def corpus() -> Path:
    if not CORPUS.is_dir():
        pytest.skip(f"sample captures not found at {CORPUS}")
    return CORPUS
