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

# A loader that makes what wineboot and reg make, just enough for a template.
good_bin=$scratch/good-bin
mkdir -p "$good_bin"
cat >"$good_bin/wine64" <<'FAKE'
#!/bin/sh
case "$1 $2" in
  "wineboot --init") mkdir -p "$WINEPREFIX/drive_c/windows/system32" &&
    touch "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" && echo '[System]' >"$WINEPREFIX/system.reg" ;;
  "reg add") echo '"ServicesPipeTimeout"=dword:00007530' >>"$WINEPREFIX/system.reg" ;;
esac
exit 0
FAKE
cp "$fake_bin/wineserver" "$good_bin/wineserver"
chmod +x "$good_bin/wine64"

# A test entry whose run folder holds somebody else's files.
build=$scratch/foreign-build
mkdir -p "$build/test-runs/entry"
echo precious >"$build/test-runs/entry/notes.txt"
output=$(DAXINST_WINE=$good_bin/wine64 DAXINST_BUILD_DIR=$build DAXINST_TEST_NAME=entry \
  "$wrapper" program.exe 2>&1)
status=$?
check "a foreign run folder stops the entry" test "$status" -ne 0
check "the foreign run folder is kept" grep -q precious "$build/test-runs/entry/notes.txt"
check "the refusal names the folder" grep -q "test-runs/entry was not made by this wrapper" <<<"$output"
check "the template was made before" test -f "$build/wineprefix-template/drive_c/windows/system32/kernel32.dll"

# The same entry once its folder is the wrapper's own: it runs in a copy of the template.
rm -rf "$build/test-runs/entry"
DAXINST_WINE=$good_bin/wine64 DAXINST_BUILD_DIR=$build DAXINST_TEST_NAME=entry \
  "$wrapper" program.exe >/dev/null 2>&1
check "an entry of the wrapper's own runs" test $? -eq 0
check "the template stays" test -f "$build/wineprefix-template/system.reg"

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
