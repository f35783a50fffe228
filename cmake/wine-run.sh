#!/usr/bin/env bash
# Runs one Windows program under Wine and passes its exit code through.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#   wine-run.sh --prepare-template BUILD_DIR
#
# Every build folder holds one template prefix (<build>/wineprefix-template), made once with
# wineboot under a lock and moved into place only when it is complete. A CTest entry (CTest sets
# DAXINST_TEST_NAME) runs in a copy of its own, <build>/test-runs/<name>/prefix, so that no two
# entries share a registry, a Service Control Manager or a named object and they can run side by
# side. When the program has ended, that prefix's server is ended too, so that nothing of one
# entry outlives it. Wine's own processes write into <build>/test-runs/<name>/wine.log, never
# into the entry's output: CTest waits for that output to close, and a system process that
# inherited it would hold it open for as long as the server lives. The log is printed when the
# program fails and kept with the prefix (DAXINST_KEEP_PREFIX=1 keeps the prefix after a pass).
#
# Outside CTest (the demo, the benchmark, a program run by hand) the prefix is DAXINST_WINEPREFIX
# or <build>/wineprefix; it is made from the template when it is missing and kept afterwards.
#
# The wrapper deletes only what it made: folders that carry its marker file.
# DAXINST_WINEDEBUG sets WINEDEBUG (default -all), for example DAXINST_WINEDEBUG=+service.
# DAXINST_WINE names the Wine loader to use.
set -u

usage() {
  echo "usage: wine-run.sh PROGRAM.exe [ARGS...] | --prepare-template BUILD_DIR" >&2
  exit 2
}
[ $# -ge 1 ] || usage

export WINEDEBUG=${DAXINST_WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
export WINEARCH=win64

# DAXINST_WINE names another Wine loader (its wineserver beside it).
if [ -n "${DAXINST_WINE:-}" ]; then
  wine=$DAXINST_WINE
elif [ -x /usr/lib/wine/wine64 ]; then
  wine=/usr/lib/wine/wine64
elif command -v wine64 >/dev/null 2>&1; then
  wine=$(command -v wine64)
else
  wine=$(command -v wine)
fi
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

marker=.daxinst-made-by-wine-run
# Written into the template's marker: a template made by another version of this wrapper is made
# again.
template_version=2

# The build folder is the nearest parent of the program that holds CMakeCache.txt.
find_build_dir() {
  local dir
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != "/" ]; do
    [ -f "$dir/CMakeCache.txt" ] && { echo "$dir"; return; }
    dir=$(dirname "$dir")
  done
  pwd
}

# Removes `folder` only when this wrapper made it, after ending a server that may still serve it.
remove_made_folder() {
  local folder=$1
  [ -e "$folder" ] || return 0
  if [ ! -f "$folder/$marker" ]; then
    echo "wine-run.sh: $folder was not made by this wrapper; leaving it alone" >&2
    return 1
  fi
  [ -d "$folder/prefix" ] && WINEPREFIX="$folder/prefix" "$wineserver" -k >/dev/null 2>&1
  rm -rf "$folder"
}

# Makes <build>/wineprefix-template once. Fails loudly, with Wine's output, when wineboot does
# not leave a usable prefix; nothing half-made is ever taken for ready.
prepare_template() {
  local build_dir=$1
  local template=$build_dir/wineprefix-template
  mkdir -p "$build_dir"
  exec 9>"$template.lock"
  flock 9
  if [ -f "$template/$marker" ]; then
    if [ "$(cat "$template/$marker")" = "$template_version" ]; then
      flock -u 9
      return 0
    fi
    echo "wine-run.sh: making the template prefix again (made by another version of this wrapper)"
    rm -rf "$template"
  fi
  if [ -e "$template" ]; then
    echo "wine-run.sh: $template exists but is not a finished template; remove it by hand" >&2
    return 1
  fi
  local staging=$build_dir/wineprefix-template.new
  local log=$build_dir/wineprefix-template.log
  if [ -e "$staging" ]; then
    if [ -f "$staging/.daxinst-staging" ]; then
      WINEPREFIX="$staging" "$wineserver" -k >/dev/null 2>&1
      rm -rf "$staging"
    else
      echo "wine-run.sh: $staging is in the way and was not made by this wrapper" >&2
      return 1
    fi
  fi
  mkdir -p "$staging"
  touch "$staging/.daxinst-staging"
  local status=0
  {
    echo "== wineboot --init in $staging ($("$wine" --version 2>&1))"
    WINEPREFIX="$staging" "$wine" wineboot --init
    echo "wineboot exit code: $?"
    # Wine's Service Control Manager gives a starting service 10 s to connect, where Windows
    # gives it 30 s; on a loaded machine a service process under Wine can take longer than 10 s
    # to start, and the start then fails as if the service were broken.
    WINEPREFIX="$staging" "$wine" reg add 'HKLM\System\CurrentControlSet\Control' \
      /v ServicesPipeTimeout /t REG_DWORD /d 30000 /f
    echo "reg add exit code: $?"
    WINEPREFIX="$staging" "$wineserver" --wait
  } >"$log" 2>&1 || status=$?
  if [ $status -ne 0 ] || [ ! -f "$staging/system.reg" ] ||
    [ ! -f "$staging/drive_c/windows/system32/kernel32.dll" ]; then
    echo "wine-run.sh: the template prefix could not be made; Wine said:" >&2
    cat "$log" >&2
    WINEPREFIX="$staging" "$wineserver" -k >/dev/null 2>&1
    rm -rf "$staging"
    return 1
  fi
  if ! grep -qi '"ServicesPipeTimeout"=dword:00007530' "$staging/system.reg"; then
    echo "wine-run.sh: the template prefix did not take its settings; Wine said:" >&2
    cat "$log" >&2
    WINEPREFIX="$staging" "$wineserver" -k >/dev/null 2>&1
    rm -rf "$staging"
    return 1
  fi
  rm -f "$staging/.daxinst-staging"
  echo "$template_version" >"$staging/$marker"
  mv "$staging" "$template"
  flock -u 9
  exec 9>&-
}

# Copies the template into `target`. The system folders' programs and libraries are the bulk of
# a prefix and nothing writes them, so they are hard links; every other file is a copy of its own.
copy_template() {
  local template=$1 target=$2
  cp -a --link "$template" "$target" || return 1
  # The template's server lock names a process that is long gone.
  rm -f "$target/wineserver"
  find "$target" -type f ! -iregex '.*/windows/\(system32\|syswow64\)/.*\.\(dll\|exe\|drv\|sys\|ocx\|cpl\|acm\|tlb\|ax\|ds\)' \
    -links +1 -print0 |
    while IFS= read -r -d '' file; do
      cp -p "$file" "$file.copy" && mv -f "$file.copy" "$file" || exit 1
    done
}

# Everything runs from this function, which bash reads whole before it starts: a script that is
# edited while tests run it would otherwise go on with the edited text.
main() {
  if [ "$1" = "--prepare-template" ]; then
    [ $# -eq 2 ] || usage
    prepare_template "$(realpath -m "$2")"
    exit $?
  fi

  build_dir=${DAXINST_BUILD_DIR:-$(find_build_dir "$1")}
  prepare_template "$build_dir" || exit 1
  template=$build_dir/wineprefix-template

  if [ -z "${DAXINST_TEST_NAME:-}" ]; then
    export WINEPREFIX=${DAXINST_WINEPREFIX:-$build_dir/wineprefix}
    if [ ! -e "$WINEPREFIX" ]; then
      mkdir -p "$(dirname "$WINEPREFIX")"
      exec 9>"$WINEPREFIX.lock"
      flock 9
      if [ ! -e "$WINEPREFIX" ]; then
        copy_template "$template" "$WINEPREFIX.new" && mv "$WINEPREFIX.new" "$WINEPREFIX" || {
          echo "wine-run.sh: could not copy $template to $WINEPREFIX" >&2
          exit 1
        }
      fi
      flock -u 9
      exec 9>&-
    fi
    exec "$wine" "$@"
  fi

  case $DAXINST_TEST_NAME in
    *[!A-Za-z0-9_.-]* | "") echo "wine-run.sh: bad DAXINST_TEST_NAME '$DAXINST_TEST_NAME'" >&2; exit 2 ;;
  esac
  run_dir=$build_dir/test-runs/$DAXINST_TEST_NAME
  remove_made_folder "$run_dir" || exit 1
  mkdir -p "$run_dir"
  touch "$run_dir/$marker"
  copy_template "$template" "$run_dir/prefix" || {
    echo "wine-run.sh: could not copy $template to $run_dir/prefix" >&2
    exit 1
  }
  export WINEPREFIX=$run_dir/prefix
  wine_log=$run_dir/wine.log
  # The tests make their folders here (Wine's drive Z: is the Unix root), apart from the other
  # entries made from the same executable.
  mkdir -p "$run_dir/work"
  export DAXINST_TEST_WORK_DIR="Z:$(tr / '\\' <<<"$run_dir/work")"

  end_server() { "$wineserver" -k >/dev/null 2>&1; "$wineserver" -w >/dev/null 2>&1; }
  # CTest ends a timed-out entry with a signal: its prefix's processes must not live on.
  trap 'end_server; exit 124' TERM INT HUP

  # The server, and the system processes that the first program starts, take their output from
  # here; a persistent server keeps them until end_server.
  "$wineserver" -p >>"$wine_log" 2>&1
  "$wine" cmd.exe /c exit >>"$wine_log" 2>&1

  "$wine" "$@" &
  program=$!
  wait $program
  status=$?
  end_server

  if [ $status -ne 0 ]; then
    echo "---- wine-run.sh: exit code $status; Wine's own output ($wine_log):"
    tail -n 200 "$wine_log"
    echo "---- the prefix stays in $WINEPREFIX"
  elif [ "${DAXINST_KEEP_PREFIX:-0}" != 1 ]; then
    rm -rf "$WINEPREFIX"
  fi
  exit $status
}

main "$@"
exit $?
