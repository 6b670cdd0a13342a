#!/usr/bin/env bash
# Builds everything and runs every test: the native core suite (plain and under
# ASan+UBSan), a bounded fuzz run, the static checks of both Windows builds,
# then each Windows build's suites under Wine in a fresh prefix inside Xvfb:
# the x64 build always, the x86 build where this machine starts 32-bit
# programs. Exits non-zero on any failure; the closing line counts a suite
# that could not start or gave no summary as failed, and skipped tests apart.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/install-deps.sh || { echo "dependency installation failed"; exit 1; }
. scripts/wine-env.sh

jobs=$(nproc)
passed=0; failed=0; skipped=0; status=0

# How long each phase took, printed at the end so a slow one shows.
times=()
phase_start=$SECONDS
phase_done() {  # phase_done NAME: the time since the last phase ended
  times+=("$1 $((SECONDS - phase_start))s")
  phase_start=$SECONDS
}

run_suite() {  # run_suite NAME BUILD_DIR [ctest args...]
  local name=$1 dir=$2; shift 2
  echo "== $name"
  local log="$dir/ctest-summary.log"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line total bad skip
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n1)
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$line")
  if [ -z "$line" ]; then status=1; failed=$((failed + 1)); echo "$name: no test summary (counted as failed)"; return; fi
  # ctest counts a skipped test among the passed ones; it lists it apart.
  skip=$(sed -n '/^The following tests did not run:/,/^[^[:space:]]/p' "$log" | grep -c '(Skipped)')
  passed=$((passed + total - bad - skip)); failed=$((failed + bad)); skipped=$((skipped + skip))
}

build() {  # build PRESET [cmake -D options...]
  local preset=$1; shift
  cmake --preset "$preset" "$@" >/dev/null && cmake --build "build/$preset" -j"$jobs" || { echo "build $preset failed"; exit 1; }
}

phase_done "installs"
build native
run_suite "native core" build/native
phase_done "native"
build asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite "native core (ASan+UBSan)" build/asan
phase_done "native under sanitizers"

# The configuration loader and the pipe codec under libFuzzer, side by side for
# the same bounded time, each on a fresh copy of its seed corpus; any fault
# either finds fails the run.
echo "== fuzz (configuration loader, pipe messages)"
build fuzz
fuzz_seconds=${VENTRIX_FUZZ_SECONDS:-60}
rm -rf build/fuzz/corpus-run build/fuzz/request-corpus-run
mkdir -p build/fuzz/corpus-run build/fuzz/request-corpus-run build/fuzz/artifacts
cp tests/fuzz/corpus/* build/fuzz/corpus-run/
cp tests/fuzz/corpus-requests/* build/fuzz/request-corpus-run/
build/fuzz/tests/fuzz/config_fuzzer -max_total_time="$fuzz_seconds" -print_final_stats=1 -max_len=1024 \
  -artifact_prefix=build/fuzz/artifacts/ build/fuzz/corpus-run >build/fuzz/fuzz-run.log 2>&1 &
config_pid=$!
# Long enough for a password change with three of the longest passwords.
build/fuzz/tests/fuzz/request_fuzzer -max_total_time="$fuzz_seconds" -print_final_stats=1 -max_len=4096 \
  -artifact_prefix=build/fuzz/artifacts/ build/fuzz/request-corpus-run >build/fuzz/request-fuzz-run.log 2>&1 &
request_pid=$!

fuzz_result() {  # fuzz_result LABEL LOG EXIT_CODE
  local label=$1 log=$2 rc=$3 execs
  execs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$')
  echo "$label: ${execs:-0} executions in ${fuzz_seconds}s, exit $rc (log: $log)"
  if [ "$rc" -eq 0 ] && [ -n "$execs" ]; then
    passed=$((passed + 1))
  else
    grep -E 'invariant violated|ERROR|SUMMARY|runtime error|Test unit written' "$log"
    failed=$((failed + 1)); status=1
  fi
}
wait "$config_pid"; config_rc=$?
wait "$request_pid"; request_rc=$?
fuzz_result fuzz build/fuzz/fuzz-run.log "$config_rc"
fuzz_result "fuzz (pipe messages)" build/fuzz/request-fuzz-run.log "$request_rc"
phase_done "fuzz"

# A throw-away code-signing certificate: both Windows builds are signed with
# it, their suites run the signed files, the static checks verify them.
sign=$root/build/signing
rm -rf "$sign" && mkdir -p "$sign"
{ openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Ventrix test signing" \
    -addext extendedKeyUsage=codeSigning -keyout "$sign/key.pem" -out "$sign/cert.pem" &&
  openssl rand -hex 16 >"$sign/password.txt" &&
  openssl pkcs12 -export -inkey "$sign/key.pem" -in "$sign/cert.pem" -out "$sign/cert.pfx" \
    -passout "file:$sign/password.txt"; } >/dev/null 2>&1 || { echo "making the signing certificate failed"; exit 1; }
signing=(-DVENTRIX_SIGN_PFX="$sign/cert.pfx" -DVENTRIX_SIGN_PASSWORD_FILE="$sign/password.txt"
         -DVENTRIX_SIGN_CA_FILE="$sign/cert.pem")
build windows64 "${signing[@]}"
phase_done "x64 build"
build windows "${signing[@]}"
phase_done "x86 build"
run_suite "static checks (x64 exe and package)" build/windows64/tests/static
run_suite "static checks (x86 exe and package)" build/windows/tests/static
# Every relative link and image of the README and the guides resolves.
echo "== links (README.md, docs/)"
if python3 tests/static/check_links.py README.md docs/*.md; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
phase_done "static checks"

# The x64 build runs under the 64-bit Wine everywhere; the x86 build needs a
# kernel that starts 32-bit programs, which not every machine has.
runnable=(64)
if can_run_32bit; then
  runnable+=(32)
  echo "Windows builds run here: x64 and x86"
else
  echo "Windows builds run here: x64; x86 could not run (this machine does not start 32-bit programs; its static checks ran)"
fi

# Each build's Windows and end-to-end suites run side by side, each in a
# prefix and an X display of its own: they mostly wait on Wine, so two
# builds take little longer than one. Each writes its log and its counts.
run_build() {  # run_build BITS
  local dir arch
  if [ "$1" = 64 ]; then dir=build/windows64 arch=x64; else dir=build/windows arch=x86; fi
  passed=0; failed=0; skipped=0; status=0
  local began=$SECONDS
  use_wine "$1"
  start_xvfb
  rm -rf "$dir/wineprefix"
  make_prefix "$root/$dir/wineprefix"
  trap 'kill "$(cat "$WINEPREFIX/keeper.pid" 2>/dev/null)" 2>/dev/null; wineserver -k 2>/dev/null; kill "$XVFB_PID" 2>/dev/null' EXIT
  export VENTRIX_KEEPER="$root/$dir/tests/wine_keeper.exe"
  run_suite "windows $arch (Wine)" "$dir" -LE 'e2e|static'
  local windows=$((SECONDS - began))
  # The end-to-end runs drive the real exe in a prefix of their own, one at a time.
  run_suite "end-to-end $arch (Wine)" "$dir" -L e2e -j1
  echo "$passed $failed $skipped $status $windows $((SECONDS - began - windows))" >"$dir/suite-counts"
}

pids=()
for bits in "${runnable[@]}"; do
  if [ "$bits" = 64 ]; then dir=build/windows64; else dir=build/windows; fi
  rm -f "$dir/suite-counts"
  (run_build "$bits") >"$dir/suites.log" 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done
for bits in "${runnable[@]}"; do
  if [ "$bits" = 64 ]; then dir=build/windows64; else dir=build/windows; fi
  cat "$dir/suites.log"
  if read -r p f sk st win e2e <"$dir/suite-counts" 2>/dev/null; then
    passed=$((passed + p)); failed=$((failed + f)); skipped=$((skipped + sk)); [ "$st" = 0 ] || status=1
    times+=("windows suite ${dir#build/} ${win}s" "end-to-end ${dir#build/} ${e2e}s")
  else
    echo "windows suites of $dir: no counts (counted as failed)"; failed=$((failed + 1)); status=1
  fi
done

phase_done "Windows suites (side by side)"
echo "Times: ${times[*]/%/,} total $((SECONDS))s" | sed 's/,,/,/g; s/, total/; total/'
echo "$passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ] && exit $status
exit 1
