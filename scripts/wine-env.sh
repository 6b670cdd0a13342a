# Sourced: Wine settings shared by the scripts, and a helper that makes a
# 32-bit prefix with the "shell" virtual desktop (taskbar + tray).
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="

make_prefix() {  # make_prefix DIR
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
