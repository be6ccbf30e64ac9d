#!/usr/bin/env bash
# Source coverage of the package's native code reached by the fuzzers' corpora: each harness is
# rebuilt with clang's coverage instrumentation (no sanitizers), replays its seeds and the corpus
# the last `make fuzz` grew, and llvm-cov reports line and branch coverage of src/.
# Usage: fuzz/coverage.sh PYTHON (the venv interpreter, for the package build). Run by `make fuzz`.
set -euo pipefail
cd "$(dirname "$0")/.."

python=$1
out=fuzz/out/coverage
flags="-fprofile-instr-generate -fcoverage-mapping"
py_config=$("$python" -c 'import sysconfig as s; print(s.get_config_var("BINDIR") + "/python" + s.get_config_var("LDVERSION") + "-config")')
py_libdir=$("$python" -c 'import sysconfig as s; print(s.get_config_var("LIBDIR"))')
mkdir -p "$out"
rm -f "$out"/*.profraw

CXX=clang++ "$python" -m pip install -q --no-build-isolation --no-deps --upgrade --target "$out/site" \
    -C build-dir=build/fuzz-coverage -C cmake.build-type=RelWithDebInfo \
    -C "cmake.define.VARNEL_EXTRA_FLAGS=$flags" . 2>&1 | grep -v '^WARNING: Location' || true
clang++ -std=c++20 -O1 -fsanitize=fuzzer $flags $(pkg-config --cflags libpcap) -Isrc/core -Isrc \
    fuzz/decoder_fuzzer.cpp -o "$out/decoder_fuzzer"
clang++ -std=c++20 -O1 -fsanitize=fuzzer $flags $(pkg-config --cflags libpcap) -Isrc/core -Isrc \
    fuzz/connections_fuzzer.cpp src/core/connections.cpp src/core/fragment_memory.cpp src/core/host_window.cpp \
    src/core/services.cpp src/core/traffic_windows.cpp -o "$out/connections_fuzzer"
# shellcheck disable=SC2046
clang++ -std=c++20 -O1 -fsanitize=fuzzer $flags $("$py_config" --includes) fuzz/read_pcap_fuzzer.cpp \
    -o "$out/read_pcap_fuzzer" -rdynamic $("$py_config" --embed --ldflags) -Wl,-rpath,"$py_libdir"
# The core's own file reader, from its sources, with the decompression libraries found (both as
# src/core/file_reader.txt lists them).
reader_sources=()
reader_flags=()
while read -r kind name tag; do
    if [[ $kind == source ]]; then
        reader_sources+=("src/core/$name")
    elif [[ $kind == library ]] && pkg-config --exists "$name"; then
        # shellcheck disable=SC2207
        reader_flags+=("-DVARNEL_HAVE_$tag" $(pkg-config --cflags --libs "$name"))
    fi
done < src/core/file_reader.txt
# shellcheck disable=SC2046
clang++ -std=c++20 -O1 -fsanitize=fuzzer $flags -Isrc/core -Isrc fuzz/file_reader_fuzzer.cpp "${reader_sources[@]}" \
    -o "$out/file_reader_fuzzer" "${reader_flags[@]}" $(pkg-config --cflags --libs libpcap)

report() {  # NAME OBJECTS...
    local name=$1
    shift
    LLVM_PROFILE_FILE="$out/$name-%m.profraw" "$out/${name}_fuzzer" -runs=0 -detect_leaks=0 \
        "fuzz/out/corpus/$name" "fuzz/out/seeds/$name" >"$out/$name.replay.log" 2>&1
    llvm-profdata merge -sparse "$out/$name"-*.profraw -o "$out/$name.profdata"
    local objects=("$out/${name}_fuzzer")
    for object in "$@"; do objects+=(-object "$object"); done
    echo "== $name: source coverage over its corpus (lines, branches)"
    llvm-cov report "${objects[@]}" -instr-profile="$out/$name.profdata" "$PWD/src" |
        sed "s|$PWD/src/||" | awk 'NR > 2 && NF >= 13 && $1 !~ /^-/ { printf "   %-32s lines %s  branches %s\n", $1, $10, $13 }'
}

report decoder
report connections
mapfile -t modules < <(find "$out/site" -name '*.so')
report read_pcap "${modules[@]}"
report file_reader
