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
