#!/usr/bin/env bash
# Runs a Windows test program under Wine for ctest. Wine's helper processes
# inherit ctest's pipes and would hold them open; a keeper process started
# once per prefix, detached from the pipes, keeps them out of ctest's way.
set -u
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEPREFIX WINEARCH=win32 WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
keeper_pid="$WINEPREFIX/keeper.pid"
if [ -n "${VENTRIX_KEEPER:-}" ] && ! { [ -f "$keeper_pid" ] && kill -0 "$(cat "$keeper_pid")" 2>/dev/null; }; then
  setsid wine "$VENTRIX_KEEPER" </dev/null >/dev/null 2>&1 &
  echo $! >"$keeper_pid"
fi
exec wine "$@"
