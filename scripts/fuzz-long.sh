#!/usr/bin/env bash
# Long fuzzing run of the configuration loader (libFuzzer, ASan+UBSan).
#   bash scripts/fuzz-long.sh [seconds]     default 1200 (20 minutes)
# The working corpus grows in build/fuzz/corpus-long (seeded from
# tests/fuzz/corpus); a failing input is written to build/fuzz/artifacts/.
# Prints the executions reached; exits non-zero if the fuzzer found a fault.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-1200}

cmake --preset fuzz >/dev/null && cmake --build build/fuzz --target config_fuzzer || { echo "fuzz build failed"; exit 1; }

work=build/fuzz/corpus-long
mkdir -p "$work" build/fuzz/artifacts
cp -n tests/fuzz/corpus/* "$work"/
log=build/fuzz/fuzz-long.log
build/fuzz/tests/fuzz/config_fuzzer -max_total_time="$seconds" -print_final_stats=1 -max_len=1024 \
  -artifact_prefix=build/fuzz/artifacts/ "$work" >"$log" 2>&1
rc=$?
execs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
rate=$(grep -Eo 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
echo "fuzz (long): ${execs:-?} executions in ${seconds}s (${rate:-?}/s), exit $rc; log: $log"
[ $rc -eq 0 ] || { grep -E 'invariant violated|ERROR|SUMMARY|Test unit written' "$log"; exit 1; }
