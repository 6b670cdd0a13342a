# Sourced: Wine settings shared by the scripts, the choice between the 32-bit
# and the 64-bit Wine, and a helper that makes a prefix with the "shell"
# virtual desktop (taskbar + tray).
wine_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# True where the kernel starts 32-bit (i386) programs, so the 32-bit Wine and the
# x86 build can run. VENTRIX_NO_32BIT=1 answers no, to try the other path.
can_run_32bit() {
  [ "${VENTRIX_NO_32BIT:-0}" != 1 ] && [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

use_wine() {  # use_wine 32|64: the Wine that runs that build
  if [ "$1" = 64 ]; then
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64 WINESERVER=/usr/lib/wine/wineserver64
    case ":$PATH:" in *":$wine_scripts/wine64:"*) ;; *) PATH="$wine_scripts/wine64:$PATH" ;; esac
    export PATH
  else
    export WINEARCH=win32
    unset WINELOADER WINESERVER
    PATH=$(sed -e "s|$wine_scripts/wine64:||g" <<<"$PATH")
    export PATH
  fi
}
if [ "${WINEARCH:-win32}" = win64 ]; then use_wine 64; else use_wine 32; fi

make_prefix() {  # make_prefix DIR, for the Wine chosen by use_wine
  export WINEPREFIX="$1"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d shell /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v shell /d 1024x768 /f >/dev/null 2>&1
  wineserver -w
}

start_xvfb() {  # sets DISPLAY and XVFB_PID
  local fifo
  fifo=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
  XVFB_PID=$!
  local tries=0
  while [ ! -s "$fifo" ] && [ $tries -lt 100 ]; do sleep 0.1; tries=$((tries + 1)); done
  DISPLAY=":$(head -n1 "$fifo")"
  export DISPLAY XVFB_PID
  rm -f "$fifo"
}
