#!/usr/bin/env bash
# Checks that the layer check fails for what it exists to catch: an include or a link from a
# folder to one above it, in a small source tree of its own; and that it passes a tree that keeps
# to the graph.
#
#   check_layers_test.sh CHECK_SCRIPT SCRATCH_DIR
set -u
checker=$1
scratch=$2
failures=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# A tree whose upgrade/ includes platform/ and contract/, and whose upgrade library links them.
make_tree() {
  local root=$1
  rm -rf "$root"
  mkdir -p "$root/src/platform" "$root/src/contract" "$root/src/upgrade" "$root/src/service"
  printf '#pragma once\n' >"$root/src/platform/p.h"
  printf '#pragma once\n#include "platform/p.h"\n' >"$root/src/contract/c.h"
  printf '#include "upgrade/u.h"\n#include "contract/c.h"\n#include "platform/p.h"\n' \
    >"$root/src/upgrade/u.cpp"
  printf '#pragma once\n#include <windows.h>\n#include "generated.h"\n' >"$root/src/upgrade/u.h"
  printf '#include "upgrade/u.h"\n' >"$root/src/service/s.cpp"
  printf 'add_library(upgrade STATIC u.cpp)\ntarget_link_libraries(upgrade PUBLIC contract\n  platform advapi32)\n' \
    >"$root/src/upgrade/CMakeLists.txt"
}

rm -rf "$scratch"
mkdir -p "$scratch"

clean=$scratch/clean
make_tree "$clean"
output=$(bash "$checker" --graph "$clean" 2>&1)
check "a tree that keeps to the graph passes" test $? -eq 0
check "the measured graph lists what upgrade includes" grep -qx 'upgrade -> contract platform' <<<"$output"

include_up=$scratch/include-up
make_tree "$include_up"
printf '#include "service/s.h"\n' >>"$include_up/src/upgrade/u.cpp"
output=$(bash "$checker" "$include_up" 2>&1)
check "an include of a higher folder fails the check" test $? -ne 0
check "the failure names the file, line and include" \
  grep -q 'src/upgrade/u.cpp:4: upgrade may not include service/s.h' <<<"$output"

include_spaced=$scratch/include-spaced
make_tree "$include_spaced"
printf '  #  include   "service/s.h"\n' >>"$include_spaced/src/contract/c.h"
output=$(bash "$checker" "$include_spaced" 2>&1)
check "an include written with blanks fails too" test $? -ne 0

link_up=$scratch/link-up
make_tree "$link_up"
printf 'target_link_libraries(upgrade PRIVATE\n  service)\n' >>"$link_up/src/upgrade/CMakeLists.txt"
output=$(bash "$checker" "$link_up" 2>&1)
check "a link of a higher folder's library fails the check" test $? -ne 0
check "the failure names the library" \
  grep -q 'library upgrade may not link service' <<<"$output"

core_link=$scratch/core-link
make_tree "$core_link"
mkdir -p "$core_link/src/daxcheck"
printf 'add_executable(daxcheck main.cpp)\ntarget_link_libraries(daxcheck PRIVATE daxinst_core)\n' \
  >"$core_link/CMakeLists.txt"
output=$(bash "$checker" "$core_link" 2>&1)
check "daxcheck linking the whole program, service included, fails the check" test $? -ne 0
check "the failure names the top-level CMake file" \
  grep -q '^CMakeLists.txt: library daxcheck may not link service' <<<"$output"

unknown=$scratch/unknown-folder
make_tree "$unknown"
mkdir -p "$unknown/src/newfolder"
printf '#include "platform/p.h"\n' >"$unknown/src/newfolder/n.cpp"
output=$(bash "$checker" "$unknown" 2>&1)
check "a folder outside the graph fails the check" test $? -ne 0

rm -rf "$scratch"
if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
