# Sourced by the scripts that run Windows programs: a private 32-bit Wine prefix
# under the build tree, no debug chatter, and no Mono or Gecko installer prompts.
_skan_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$_skan_root/build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Creates and configures the prefix once; later calls return at once.
# - Programs run in Wine's own virtual desktop, which manages windows itself:
#   on a bare X server (Xvfb, no window manager) a maximised window would
#   otherwise keep its old X geometry.
# - Wine's crash dialog is off: a dialog nobody answers would hang CI.
skan_wine_prefix() {
  local marker="$WINEPREFIX/.skan-configured-1"
  [ -f "$marker" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null || true
  fi
  {
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1920x1080 /f
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
  } >/dev/null 2>&1 </dev/null || true
  wineserver -w >/dev/null 2>&1 </dev/null || true
  touch "$marker"
}

# A persistent wineserver saves start-up time for every test program. It must
# not hold the caller's stdout, or whoever waits for that stream waits for it.
# The first program of a wineserver also starts Wine's own services
# (services.exe, explorer's desktop, ...), which inherit its standard streams
# and outlive it; a test runner reading that program's output would wait for
# them. Starting them here, with no streams, keeps every later pipe clean.
skan_wineserver_start() {
  wineserver -p60 >/dev/null 2>&1 </dev/null &
  wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}
skan_wineserver_stop() { wineserver -k >/dev/null 2>&1 </dev/null || true; }
