# Sourced by the scripts that run Windows programs: a private 32-bit Wine prefix
# under the build tree, no debug chatter, and no Mono or Gecko installer prompts.
_skan_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$_skan_root/build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

# Creates the prefix once; later calls return at once.
skan_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1 </dev/null || true
    wineserver -w >/dev/null 2>&1 </dev/null || true
  fi
}

# A persistent wineserver saves start-up time for every test program. It must
# not hold the caller's stdout, or whoever waits for that stream waits for it.
skan_wineserver_start() { wineserver -p60 >/dev/null 2>&1 </dev/null & }
skan_wineserver_stop() { wineserver -k >/dev/null 2>&1 </dev/null || true; }
