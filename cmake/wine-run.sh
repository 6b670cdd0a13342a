#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest: wine-run.sh 32|64 PROGRAM...
# Wine's server and helper processes inherit the pipes of whoever starts them
# first and would hold ctest's open; so once per prefix a keeper process,
# detached from the pipes, starts them (and keeps them up) before the first
# test program runs.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
bits=$1; shift
. "$(dirname "$0")/../scripts/wine-env.sh"
use_wine "$bits"
export WINEPREFIX
if [ -n "${VENTRIX_KEEPER:-}" ]; then
  (
    flock 9
    pidfile="$WINEPREFIX/keeper.pid"
    if ! { [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null; }; then
      setsid wine "$VENTRIX_KEEPER" </dev/null >/dev/null 2>&1 9>&- &
      echo $! >"$pidfile"
      # Returns once the server and services are up, all started off our pipes.
      wine cmd /c exit </dev/null >/dev/null 2>&1 9>&-
    fi
  ) 9>"$WINEPREFIX/keeper.lock"
fi
# Now and then a Wine process ends at once, before the program's first
# instruction, with nothing written; that start alone is tried once more.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
for attempt in 1 2; do
  started=$(date +%s%N)
  wine "$@" >"$out" 2>"$err"
  rc=$?
  elapsed_ms=$(( ($(date +%s%N) - started) / 1000000 ))
  # Under load the 32-bit Wine has also been seen to crash (SIGSEGV) in its
  # own teardown after the test had passed: a run ended by a signal is tried
  # once more too, and one that crashes again fails.
  if [ $rc -ge 128 ] && [ $attempt -eq 1 ]; then
    echo "wine-run: $1 was ended by signal $((rc - 128)); starting it again" >&2
    continue
  fi
  if [ $rc -eq 0 ] || [ -s "$out" ] || [ -s "$err" ] || [ $elapsed_ms -ge 1000 ] || [ $attempt -eq 2 ]; then break; fi
  echo "wine-run: $1 ended at once (exit $rc, no output, ${elapsed_ms} ms); starting it again" >&2
done
cat "$out"
cat "$err" >&2
exit $rc
