#!/usr/bin/env bash
# Builds everything and runs every test: the native core suite (plain and under
# ASan+UBSan), then the Windows build's suites under Wine in a fresh prefix
# inside Xvfb. Exits non-zero on any failure.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh || { echo "dependency installation failed"; exit 1; }
. scripts/wine-env.sh

jobs=$(nproc)
passed=0; failed=0; status=0

run_suite() {  # run_suite NAME BUILD_DIR [ctest args...]
  local name=$1 dir=$2; shift 2
  echo "== $name"
  local log="$dir/ctest-summary.log"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  if [ -z "$line" ]; then status=1; echo "$name: no test summary"; return; fi
  passed=$((passed + total - bad)); failed=$((failed + bad))
}

build() {  # build PRESET
  cmake --preset "$1" >/dev/null && cmake --build "build/$1" -j"$jobs" || { echo "build $1 failed"; exit 1; }
}

build native
run_suite "native core" build/native
build asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite "native core (ASan+UBSan)" build/asan

# The configuration loader under libFuzzer for a bounded time, on a fresh copy
# of the seed corpus; any fault it finds fails the run.
echo "== fuzz (configuration loader)"
build fuzz
fuzz_seconds=${VENTRIX_FUZZ_SECONDS:-60}
rm -rf build/fuzz/corpus-run && mkdir -p build/fuzz/corpus-run build/fuzz/artifacts
cp tests/fuzz/corpus/* build/fuzz/corpus-run/
build/fuzz/tests/fuzz/config_fuzzer -max_total_time="$fuzz_seconds" -print_final_stats=1 -max_len=1024 \
  -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus-run >build/fuzz/fuzz-run.log 2>&1
fuzz_rc=$?
fuzz_execs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' build/fuzz/fuzz-run.log | grep -Eo '[0-9]+$')
echo "fuzz: ${fuzz_execs:-0} executions in ${fuzz_seconds}s, exit $fuzz_rc (log: build/fuzz/fuzz-run.log)"
if [ $fuzz_rc -eq 0 ] && [ -n "$fuzz_execs" ]; then
  passed=$((passed + 1))
else
  grep -E 'invariant violated|ERROR|SUMMARY|runtime error|Test unit written' build/fuzz/fuzz-run.log
  failed=$((failed + 1)); status=1
fi

build windows
cleanup() {
  [ -n "${WINEPREFIX:-}" ] && [ -f "$WINEPREFIX/keeper.pid" ] && kill "$(cat "$WINEPREFIX/keeper.pid")" 2>/dev/null
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null
  [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
}
trap cleanup EXIT
start_xvfb
rm -rf build/windows/wineprefix
make_prefix "$root/build/windows/wineprefix"
export VENTRIX_KEEPER="$root/build/windows/tests/wine_keeper.exe"
run_suite "windows (Wine)" build/windows -LE e2e
# The end-to-end runs drive the real exe in a prefix of their own, one at a time.
run_suite "end-to-end (Wine)" build/windows -L e2e -j1

echo "$passed passed, $failed failed"
[ $failed -eq 0 ] && exit $status
exit 1
