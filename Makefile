# Set-up is part of every entry point: a fresh clone needs only `make run` or `make test`.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
SAMPLE := samples/sample.pcap

# CPython 3.13: python3.13 on PATH if it runs, else pyenv's 3.13 install.
PYTHON313 := $(shell for p in python3.13 $$(pyenv root 2>/dev/null)/versions/3.13*/bin/python3.13; do \
	if "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then echo "$$p"; break; fi; done)

.PHONY: all run test bench install deps test-deps clean

all: install

deps:
	@if ! pkg-config --exists libpcap 2>/dev/null; then \
		echo "libpcap headers missing: installing libpcap-dev"; \
		apt-get update -qq && apt-get install -y -qq libpcap-dev pkg-config; \
	fi
	@# The file reader decompresses gzip, zstd and xz captures with these (each optional to the build).
	@if ! pkg-config --exists zlib libisal libzstd liblzma 2>/dev/null; then \
		echo "decompression headers missing: installing zlib1g-dev libisal-dev libzstd-dev liblzma-dev"; \
		apt-get update -qq && apt-get install -y -qq zlib1g-dev libisal-dev libzstd-dev liblzma-dev; \
	fi

# tcpdump applies filters the way libpcap does, as the tests' independent filtering of captures.
test-deps:
	@if ! command -v tcpdump >/dev/null 2>&1; then \
		echo "tcpdump missing: installing it"; \
		apt-get update -qq && apt-get install -y -qq tcpdump; \
	fi

$(PY):
	@if [ -z "$(PYTHON313)" ]; then \
		echo "error: CPython 3.13 not found (neither python3.13 on PATH nor \$$(pyenv root)/versions/3.13*)." >&2; \
		echo "Install it (for example: pyenv install 3.13) and run make again." >&2; exit 1; fi
	"$(PYTHON313)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Tools are (re)installed whenever this list changes.
BUILD_TOOLS := "scikit-build-core>=0.10" cmake ninja
TEST_TOOLS := pytest hypothesis dpkt mypy pyarrow polars duckdb pandas "dask[dataframe]" distributed

$(VENV)/.build-tools: Makefile | $(PY)
	$(PY) -m pip install -q $(BUILD_TOOLS)
	touch $@

$(VENV)/.test-tools: Makefile | $(PY)
	$(PY) -m pip install -q $(TEST_TOOLS)
	touch $@

install: deps $(VENV)/.build-tools
	$(PY) -m pip install -q --no-build-isolation --no-deps .

run: install
	$(PY) -m varnel features $(SAMPLE)

test: install test-deps $(VENV)/.test-tools
	$(PY) -m pytest -q

bench: install $(VENV)/.test-tools
	$(PY) bench/run.py
	$(PY) bench/connections.py
	$(PY) bench/baseline.py
	$(PY) bench/dask_bench.py
	$(PY) bench/signal_stress.py

clean:
	rm -rf build $(VENV) $(SAN_VENV) fuzz/out

include hardening.mk
