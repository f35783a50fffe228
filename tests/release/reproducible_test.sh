#!/usr/bin/env bash
# Two release builds of one commit with one bundle, from two copies of the source in folders of
# different names and lengths, one after the other: the unsigned programs must be the same bytes.
# A build path, a time stamp or anything random that reached a file would make them differ.
#
# usage: reproducible_test.sh SOURCE WORKDIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
vendor_environment "$work/vendor" >/dev/null
# The release preset needs a time-stamp server; these builds are never packaged, so none is asked.
export DAXINST_TIMESTAMP_URL=http://127.0.0.1:9/
folders=("$work/first/src" "$work/second build of the same commit/daxinst-source")
# Both copies first: the source must not change between the builds.
for folder in "${folders[@]}"; do
  copy_source "$source_dir" "$folder"
done
for folder in "${folders[@]}"; do
  echo "== $(date -u +%T) release build in $folder (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
  (cd "$folder" && cmake --preset release >"$folder.configure.log" 2>&1 &&
    cmake --build --preset release >"$folder.build.log" 2>&1) ||
    { cat "$folder.configure.log" "$folder.build.log" 2>/dev/null; fail "the build in $folder failed"; }
  # The builds run at different times, whatever the machine's speed.
  sleep 2
done

mapfile -t programs < <(shipped_programs "${folders[0]}/build-release")
[ ${#programs[@]} -gt 0 ] || fail "no shipped program was built"
for program in "${programs[@]}"; do
  for file in "$program" "$program.debug"; do
    first=$(sha256sum <"${folders[0]}/build-release/$file" | cut -d' ' -f1)
    second=$(sha256sum <"${folders[1]}/build-release/$file" | cut -d' ' -f1)
    echo "  $file: $first (first) $second (second)"
    [ "$first" = "$second" ] || fail "two builds of one commit gave two different $file"
  done
done
echo "OK"
