#!/usr/bin/env bash
# Builds ventrix.exe and starts it under Wine, inside the "shell" virtual
# desktop (taskbar and tray) on the current X display. The Wine prefix is
# kept between runs, so "Tamrel.conf" and its data-protection key persist.
# Starts the x86 build where this machine runs 32-bit programs, else the x64
# build; VENTRIX_BUILD=x64 or x86 chooses. Only that build is made. The
# desktop has a demo CD in D: and a demo stick in E: (see below).
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

# The desktop's demo media, so that a medium can be seen locked: a stick in
# E: (a removable drive) and a CD in D: (a CD-ROM drive), each a folder with
# a volume label and serial. Wine reads drive types when its server starts,
# so the server is restarted only when a drive was (re)defined.
define_demo_drive() {  # define_demo_drive LETTER TYPE LABEL SERIAL
  local folder="$prefix/demo-drives/$1" link="$prefix/dosdevices/$1:"
  mkdir -p "$folder"
  echo "$3" >"$folder/.windows-label"
  echo "$4" >"$folder/.windows-serial"
  [ -f "$folder/README.txt" ] || echo "A demo medium of the Ventrix desktop ($3)." >"$folder/README.txt"
  local types
  types=$(wine reg query 'HKLM\Software\Wine\Drives' /v "$1:" 2>/dev/null || true)
  if [ "$(readlink "$link" 2>/dev/null)" != "$folder" ] || ! grep -qi "$2" <<<"$types"; then
    rm -f "$link"
    ln -s "$folder" "$link"
    wine reg add 'HKLM\Software\Wine\Drives' /v "$1:" /d "$2" /f >/dev/null 2>&1
    restart_wine=1
  fi
}
restart_wine=0
define_demo_drive d cdrom DEMOCD 0dec0cd1
define_demo_drive e floppy DEMOSTICK 5e1f57c4
if [ "$restart_wine" = 1 ]; then
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
fi
echo "demo media: D: a CD labelled DEMOCD, E: a stick labelled DEMOSTICK (folders in $prefix/demo-drives)"
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
