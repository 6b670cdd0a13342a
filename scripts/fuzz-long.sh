#!/usr/bin/env bash
# Long fuzzing run of the configuration loader or the pipe codec (libFuzzer,
# ASan+UBSan).
#   bash scripts/fuzz-long.sh [seconds] [config|request]
# default 1200 s (20 minutes) of the configuration loader. The working corpus
# grows in build/fuzz/corpus-long (or request-corpus-long), seeded from
# tests/fuzz/corpus (or corpus-requests); a failing input is written to
# build/fuzz/artifacts/.
# Prints the executions reached; exits non-zero if the fuzzer found a fault.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-1200}
case ${2:-config} in
  config) target=config_fuzzer seeds=tests/fuzz/corpus work=build/fuzz/corpus-long max_len=1024 ;;
  request) target=request_fuzzer seeds=tests/fuzz/corpus-requests work=build/fuzz/request-corpus-long max_len=4096 ;;
  *) echo "usage: $0 [seconds] [config|request]"; exit 2 ;;
esac

cmake --preset fuzz >/dev/null && cmake --build build/fuzz --target "$target" || { echo "fuzz build failed"; exit 1; }

mkdir -p "$work" build/fuzz/artifacts
cp -n "$seeds"/* "$work"/
log=build/fuzz/$target-long.log
build/fuzz/tests/fuzz/$target -max_total_time="$seconds" -print_final_stats=1 -max_len="$max_len" \
  -artifact_prefix=build/fuzz/artifacts/ "$work" >"$log" 2>&1
rc=$?
execs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
rate=$(grep -Eo 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
echo "$target (long): ${execs:-?} executions in ${seconds}s (${rate:-?}/s), exit $rc; log: $log"
[ $rc -eq 0 ] || { grep -E 'invariant violated|ERROR|SUMMARY|Test unit written' "$log"; exit 1; }
