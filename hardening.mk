# Hardening checks, included by the Makefile: the test suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, static analysis, and fuzzing. Each works on a fresh machine: the
# tools come from Debian when they are missing, and every extension module listed in
# CMakeLists.txt is built, linted and loaded without naming it here.

.PHONY: hardening-deps sanitize-install test-sanitize test-fallback lint fuzz fuzz-build

CLANG_CXX := clang++
CORPUS ?= tests/captures
ASAN_RUNTIME = $(shell $(CLANG_CXX) -print-file-name=libclang_rt.asan-x86_64.so)

hardening-deps: deps
	@for tool in $(CLANG_CXX) clang-tidy cppcheck llvm-symbolizer llvm-cov llvm-profdata; do \
		command -v $$tool >/dev/null || missing=1; done; \
	if [ -n "$$missing" ]; then \
		echo "installing clang, clang-tidy, cppcheck and the llvm tools"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang clang-tidy cppcheck llvm >/dev/null; \
	fi
	@if [ ! -f "$$($(CLANG_CXX) -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then apt-get update -qq; \
		version=$$($(CLANG_CXX) -dumpversion | cut -d. -f1); echo "installing libclang-rt-$$version-dev"; \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libclang-rt-$$version-dev >/dev/null; \
	fi

# ---- Sanitizers. A venv and a build directory of their own, so the normal .venv stays as it is.
# The interpreter is not instrumented: the ASan runtime is preloaded into it, and it allocates
# through malloc so that ASan sees every object, ours included.

SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
# Asserts stay on (-UNDEBUG after the build type's -DNDEBUG): the sanitizer run is where they are checked.
SAN_FLAGS := -fsanitize=address,undefined -fno-omit-frame-pointer -shared-libasan -D_GLIBCXX_ASSERTIONS -UNDEBUG
SAN_ENV = LD_PRELOAD=$(ASAN_RUNTIME) PYTHONMALLOC=malloc \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# The interpreter keeps much of its memory until the process ends, so the suite runs without leak
# detection; tools/lsan_check.py then checks for leaks reached from the package's own code.
SAN_TEST_ASAN_OPTIONS := detect_leaks=0:detect_stack_use_after_return=1:check_initialization_order=1

$(SAN_PY):
	@if [ -z "$(PYTHON313)" ]; then echo "error: CPython 3.13 not found" >&2; exit 1; fi
	"$(PYTHON313)" -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip

$(SAN_VENV)/.tools: Makefile | $(SAN_PY)
	$(SAN_PY) -m pip install -q $(BUILD_TOOLS) $(TEST_TOOLS)
	touch $@

sanitize-install: hardening-deps $(SAN_VENV)/.tools
	CXX=$(CLANG_CXX) $(SAN_PY) -m pip install -q --no-build-isolation --no-deps \
		-C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo \
		-C "cmake.define.VARNEL_EXTRA_FLAGS=$(SAN_FLAGS)" .

# Left out: a test that caps the address space to run the host table out of memory, which
# cannot work beside AddressSanitizer's shadow memory (terabytes of reserved address space).
SAN_DESELECT := --deselect tests/test_moraine.py::test_out_of_memory_in_the_host_table_is_a_memory_error

test-sanitize: sanitize-install
	$(SAN_ENV) ASAN_OPTIONS=$(SAN_TEST_ASAN_OPTIONS) $(SAN_PY) -m pytest -q -p no:cacheprovider $(SAN_DESELECT)
	$(SAN_ENV) ASAN_OPTIONS=detect_leaks=0 $(SAN_PY) tools/lsan_check.py --corpus $(CORPUS)

# ---- The whole suite once more with dictionaries filled through PyDict_SetItem, the path taken
# where the interpreter's dict layout differs from the one the in-place fill expects. The build
# goes into a directory of its own, placed ahead of .venv's installed package.

FALLBACK_SITE := build/fallback-site

test-fallback: install $(VENV)/.test-tools
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(FALLBACK_SITE) \
		-C build-dir=build/fallback -C cmake.define.VARNEL_DICT_FILL_FALLBACK=ON .
	PYTHONPATH=$(abspath $(FALLBACK_SITE)) $(PY) -m pytest -q -p no:cacheprovider

# ---- Static analysis of every native source the build compiles, with the headers they include.

LINT_BUILD := build/lint
LINT_SOURCES = $(shell $(PY) -c 'import json; print(" ".join(sorted({e["file"] for e in json.load(open("$(LINT_BUILD)/compile_commands.json"))})))')

$(LINT_BUILD)/compile_commands.json: CMakeLists.txt | $(VENV)/.build-tools
	$(VENV)/bin/cmake -S . -B $(LINT_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_CXX_COMPILER=$(CLANG_CXX) \
		-DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null

# clang-tidy 14 cannot pick the interpreter's atomics implementation by itself (clang 14 compiles
# the same headers fine); name the one the compiler uses.
TIDY_ARGS := --extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1

lint: hardening-deps $(LINT_BUILD)/compile_commands.json
	$(PY) tools/check_boundaries.py
	clang-tidy -p $(LINT_BUILD) --quiet $(TIDY_ARGS) $(LINT_SOURCES)
	cppcheck --project=$(LINT_BUILD)/compile_commands.json --std=c++20 --library=python --library=posix \
		--enable=warning,style,performance,portability --inline-suppr --error-exitcode=1 --quiet \
		--suppressions-list=.cppcheck-suppressions

# ---- Fuzzing. Four harnesses (fuzz/*.cpp): the frame decoder on its own, whole capture files
# through read_pcap in an embedded interpreter, whose modules are built with coverage
# instrumentation into fuzz/out/site, the core's own file reader against libpcap, and sequences of
# frames through the connection table. Saved crashes under fuzz/regressions/ replay first.

FUZZ_SECONDS ?= 60
FUZZ_OUT := fuzz/out
FUZZ_SANITIZERS := address,undefined -fno-sanitize-recover=undefined -D_GLIBCXX_ASSERTIONS
FUZZ_FLAGS := -std=c++20 -g -O1 -Wall -Wextra -fsanitize=fuzzer,$(FUZZ_SANITIZERS)
FUZZ_PY_CONFIG = $(shell $(PY) -c 'import sysconfig as s; print(s.get_config_var("BINDIR") + "/python" + s.get_config_var("LDVERSION") + "-config")')
FUZZ_PY_LIBDIR = $(shell $(PY) -c 'import sysconfig as s; print(s.get_config_var("LIBDIR"))')
PCAP_CFLAGS = $(shell pkg-config --cflags libpcap)

$(FUZZ_OUT)/decoder_fuzzer: fuzz/decoder_fuzzer.cpp src/varnel/core/base/grapnel.h src/core/link_layer.hpp src/core/network_layer.hpp hardening.mk
	@mkdir -p $(FUZZ_OUT)
	$(CLANG_CXX) $(FUZZ_FLAGS) $(PCAP_CFLAGS) -Isrc/core -Isrc $< -o $@

# The connection sink's core sources, which its harness compiles in with the sanitizers.
FUZZ_CONNECTION_SOURCES := src/core/connections.cpp src/core/fragment_memory.cpp src/core/host_window.cpp \
	src/core/services.cpp src/core/traffic_windows.cpp

$(FUZZ_OUT)/connections_fuzzer: fuzz/connections_fuzzer.cpp $(FUZZ_CONNECTION_SOURCES) $(wildcard src/core/*.hpp) \
		src/varnel/core/base/grapnel.h hardening.mk
	@mkdir -p $(FUZZ_OUT)
	$(CLANG_CXX) $(FUZZ_FLAGS) $(PCAP_CFLAGS) -Isrc/core -Isrc $< $(FUZZ_CONNECTION_SOURCES) -o $@

$(FUZZ_OUT)/read_pcap_fuzzer: fuzz/read_pcap_fuzzer.cpp hardening.mk
	@mkdir -p $(FUZZ_OUT)
	$(CLANG_CXX) $(FUZZ_FLAGS) $$($(FUZZ_PY_CONFIG) --includes) $< -o $@ -rdynamic \
		$$($(FUZZ_PY_CONFIG) --embed --ldflags) -Wl,-rpath,$(FUZZ_PY_LIBDIR)

# The core's own file reader, compiled from its sources with the decompression libraries found
# (src/core/file_reader.txt lists both).
READER_LIST := src/core/file_reader.txt
READER_SOURCES := $(addprefix src/core/,$(shell awk '$$1 == "source" {print $$2}' $(READER_LIST)))
READER_LIBRARIES = $(shell awk '$$1 == "library" {print $$2, $$3}' $(READER_LIST) | while read package tag; do \
	pkg-config --exists $$package && echo "-DVARNEL_HAVE_$$tag $$(pkg-config --cflags --libs $$package)"; done)

$(FUZZ_OUT)/file_reader_fuzzer: fuzz/file_reader_fuzzer.cpp $(READER_SOURCES) $(READER_LIST) $(wildcard src/core/*.hpp) hardening.mk
	@mkdir -p $(FUZZ_OUT)
	$(CLANG_CXX) $(FUZZ_FLAGS) -Isrc/core -Isrc $< $(READER_SOURCES) -o $@ $(READER_LIBRARIES) $$(pkg-config --cflags --libs libpcap)

fuzz-build: hardening-deps install $(VENV)/.test-tools
	CXX=$(CLANG_CXX) $(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(FUZZ_OUT)/site \
		-C build-dir=build/fuzz -C cmake.build-type=RelWithDebInfo \
		-C "cmake.define.VARNEL_EXTRA_FLAGS=-fsanitize=fuzzer-no-link,$(FUZZ_SANITIZERS)" .
	$(MAKE) --no-print-directory $(FUZZ_OUT)/decoder_fuzzer $(FUZZ_OUT)/read_pcap_fuzzer $(FUZZ_OUT)/file_reader_fuzzer $(FUZZ_OUT)/connections_fuzzer

fuzz: fuzz-build
	$(PY) fuzz/make_seeds.py $(FUZZ_OUT)/seeds $(CORPUS)
	fuzz/run.sh decoder $(FUZZ_SECONDS)
	fuzz/run.sh read_pcap $(FUZZ_SECONDS) -detect_leaks=0 -max_len=16384
	fuzz/run.sh file_reader $(FUZZ_SECONDS) -max_len=65536
	fuzz/run.sh connections $(FUZZ_SECONDS) -max_len=8192
	fuzz/coverage.sh $(PY)
