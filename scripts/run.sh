#!/usr/bin/env bash
# Builds ventrix.exe and starts it under Wine, inside the "shell" virtual
# desktop (taskbar and tray) on the current X display. The Wine prefix is
# kept between runs, so "Tamrel.conf" and its data-protection key persist.
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
cmake --preset windows >/dev/null
cmake --build build/windows --target ventrix

prefix="${VENTRIX_PREFIX:-${XDG_DATA_HOME:-$HOME/.local/share}/ventrix/wineprefix}"
if [ ! -f "$prefix/system.reg" ]; then
  echo "preparing the Wine prefix $prefix (once)"
  make_prefix "$prefix"
fi
export WINEPREFIX="$prefix"
policy_dir="$WINEPREFIX/drive_c/Ventrix"
mkdir -p "$policy_dir"
cp build/windows/ventrix.exe "$policy_dir/"
cd "$policy_dir"
echo "Ventrix runs in the tray of the Wine desktop; policy file: $policy_dir/Tamrel.conf"
set +e
wine ./ventrix.exe
code=$?
echo "ventrix.exe ended with exit code $code"
