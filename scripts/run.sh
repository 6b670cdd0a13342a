#!/usr/bin/env bash
# Builds ventrix.exe and starts it under Wine, inside the "shell" virtual
# desktop (taskbar and tray) on the current X display. The Wine prefix is
# kept between runs, so "Tamrel.conf" and its data-protection key persist.
# Starts the x86 build where this machine runs 32-bit programs, else the x64
# build; VENTRIX_BUILD=x64 or x86 chooses.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ -z "${DISPLAY:-}" ]; then
  echo "Ventrix needs an X display to show its tray icon: run this from a desktop session," >&2
  echo "or start one first, e.g.  Xvfb :5 -screen 0 1024x768x24 & export DISPLAY=:5" >&2
  exit 2
fi
scripts/install-deps.sh
. scripts/wine-env.sh

build=${VENTRIX_BUILD:-}
if [ -z "$build" ]; then
  if can_run_32bit; then build=x86; else build=x64; fi
fi
data="${XDG_DATA_HOME:-$HOME/.local/share}/ventrix"
case "$build" in
  x86) preset=windows bits=32 prefix="${VENTRIX_PREFIX:-$data/wineprefix}" ;;
  x64) preset=windows64 bits=64 prefix="${VENTRIX_PREFIX:-$data/wineprefix64}" ;;
  *) echo "VENTRIX_BUILD must be x86 or x64" >&2; exit 2 ;;
esac
use_wine "$bits"
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset" --target ventrix

if [ ! -f "$prefix/system.reg" ]; then
  echo "preparing the Wine prefix $prefix (once)"
  make_prefix "$prefix"
fi
export WINEPREFIX="$prefix"
policy_dir="$WINEPREFIX/drive_c/Ventrix"
mkdir -p "$policy_dir"
cp "build/$preset/ventrix.exe" "$policy_dir/"
cd "$policy_dir"
echo "starting the $build build (build/$preset/ventrix.exe); Ventrix runs in the tray of the Wine desktop"
echo "policy file: $policy_dir/Tamrel.conf"
set +e
wine ./ventrix.exe
code=$?
echo "ventrix.exe ended with exit code $code"
