#!/usr/bin/env bash
# Runs one harness: replays its saved regressions, then fuzzes for SECONDS from the seeds and the
# corpus kept from earlier runs, and prints executions per second and coverage.
# Usage: fuzz/run.sh NAME SECONDS [libFuzzer options...]. Any finding makes it fail.
set -euo pipefail
cd "$(dirname "$0")/.."

name=$1 seconds=$2
shift 2
binary=fuzz/out/${name}_fuzzer
corpus=fuzz/out/corpus/$name
findings=fuzz/out/findings
log=fuzz/out/$name.log
mkdir -p "$corpus" "$findings"

shopt -s nullglob
regressions=(fuzz/regressions/"$name"/*)
if ((${#regressions[@]})); then
    echo "== $name: replaying ${#regressions[@]} saved regression input(s)"
    "$binary" "$@" "${regressions[@]}" >"$log.replay" 2>&1 || { cat "$log.replay"; exit 1; }
fi

echo "== $name: fuzzing for ${seconds}s"
status=0
"$binary" "$@" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$findings/$name-" "$corpus" "fuzz/out/seeds/$name" >"$log" 2>&1 || status=$?

counters=$(grep -o 'Loaded [0-9]* modules *([0-9]* inline 8-bit counters)' "$log" | head -1 || true)
final=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1 || true)
execs=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
echo "   $counters"
echo "   ${final:-no final line}"
echo "   runs: ${runs:-?}, executions/s: ${execs:-?}"
if ((status != 0)); then
    grep -E 'ERROR|runtime error|SUMMARY|decoder_fuzzer:|read_pcap_fuzzer:|connections_fuzzer:|Traceback|Error' "$log" | head -40 || true
    echo "== $name: FINDING (exit $status); input saved under $findings/, full log in $log" >&2
    exit "$status"
fi
