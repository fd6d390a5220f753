# Sourced by the test scripts: a private Wine prefix for the Windows tests and
# a warm wineserver whose helper processes do not hold the test runner's pipes.
export WINEPREFIX="${VELUMTAR_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/velumtar/wineprefix}"
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="

wine_start() {
  unset DISPLAY
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
  # Drive C: may still point at a test directory after an interrupted run.
  ln -sfn ../drive_c "$WINEPREFIX/dosdevices/c:"
  wineserver -p </dev/null >/dev/null 2>&1 || true
  wine wineboot </dev/null >/dev/null 2>&1 || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
}
