#!/usr/bin/env bash
# Checks that the Wine wrapper harms nothing and fails loudly: it leaves alone a folder it did
# not make, and a template prefix that Wine cannot make is reported with Wine's output and never
# taken for ready.
#
#   wine_run_test.sh WRAPPER SCRATCH_DIR
set -u
wrapper=$1
scratch=$2
failures=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

rm -rf "$scratch"
mkdir -p "$scratch"

# A loader that says something and fails, as a broken Wine installation would.
fake_bin=$scratch/bin
mkdir -p "$fake_bin"
printf '#!/bin/sh\necho "fake wine: cannot start" >&2\nexit 3\n' >"$fake_bin/wine64"
printf '#!/bin/sh\nexit 0\n' >"$fake_bin/wineserver"
chmod +x "$fake_bin/wine64" "$fake_bin/wineserver"

build=$scratch/failing-build
mkdir -p "$build"
output=$(DAXINST_WINE=$fake_bin/wine64 "$wrapper" --prepare-template "$build" 2>&1)
status=$?
check "a failed template is an error" test "$status" -ne 0
check "the error shows Wine's output" grep -q 'fake wine: cannot start' <<<"$output"
check "no template is left behind" test ! -e "$build/wineprefix-template"
check "no half-made template is left behind" test ! -e "$build/wineprefix-template.new"

# A test entry whose run folder holds somebody else's files.
build=$scratch/foreign-build
mkdir -p "$build/test-runs/entry" "$build/wineprefix-template"
touch "$build/wineprefix-template/.daxinst-made-by-wine-run"
echo precious >"$build/test-runs/entry/notes.txt"
output=$(DAXINST_WINE=$fake_bin/wine64 DAXINST_BUILD_DIR=$build DAXINST_TEST_NAME=entry \
  "$wrapper" program.exe 2>&1)
status=$?
check "a foreign run folder stops the entry" test "$status" -ne 0
check "the foreign run folder is kept" grep -q precious "$build/test-runs/entry/notes.txt"
check "the refusal names the folder" grep -q "test-runs/entry was not made by this wrapper" <<<"$output"

# A template folder that is not a finished template is not replaced.
build=$scratch/foreign-template
mkdir -p "$build/wineprefix-template"
echo mine >"$build/wineprefix-template/file.txt"
output=$(DAXINST_WINE=$fake_bin/wine64 "$wrapper" --prepare-template "$build" 2>&1)
status=$?
check "an unfinished template folder is an error" test "$status" -ne 0
check "an unfinished template folder is kept" grep -q mine "$build/wineprefix-template/file.txt"

rm -rf "$scratch"
[ "$failures" -eq 0 ]
