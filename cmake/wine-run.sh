#!/usr/bin/env bash
# Runs one Windows program under Wine in the build folder's private prefix and passes its exit
# code through. The prefix is created once (no Mono or Gecko prompts); Wine's own chatter stays
# silent unless DAXINST_WINEDEBUG asks for it (for example DAXINST_WINEDEBUG=+service).
set -u

if [ $# -lt 1 ]; then
  echo "usage: wine-run.sh PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

# The build folder is the nearest parent of the program that holds CMakeCache.txt, so the same
# prefix serves every test executable and daxinst.exe of one build.
find_build_dir() {
  local dir
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != "/" ]; do
    [ -f "$dir/CMakeCache.txt" ] && { echo "$dir"; return; }
    dir=$(dirname "$dir")
  done
  pwd
}

build_dir=${DAXINST_BUILD_DIR:-$(find_build_dir "$1")}
export WINEPREFIX=${DAXINST_WINEPREFIX:-$build_dir/wineprefix}
export WINEDEBUG=${DAXINST_WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

if [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then
  wine=wine64
else
  wine=wine
fi
wineserver=$(dirname "$(command -v "$wine" || echo /usr/lib/wine/wine64)")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

# Tests run in parallel: only one of them initialises the prefix, the others wait for it.
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/.daxinst-ready" ]; then
  rm -rf "$WINEPREFIX"
  "$wine" wineboot --init >/dev/null 2>&1
  "$wineserver" --wait >/dev/null 2>&1
  touch "$WINEPREFIX/.daxinst-ready"
fi
flock -u 9
exec 9>&-

"$wine" "$@"
