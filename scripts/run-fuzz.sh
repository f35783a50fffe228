#!/usr/bin/env bash
# Builds the native fuzz targets of fuzz/ with clang and runs each for a bounded time over a
# scratch copy of its committed seed corpus (the repository stays clean). Prints the executions
# of every target and exits non-zero when any target finds a crash, a broken property, a leak,
# a timeout or runs out of memory.
#
#   scripts/run-fuzz.sh [build-folder]     default: ${DAXINST_BUILD_DIR:-build}/fuzz
#
# DAXINST_FUZZ_SECONDS (default 20) is the time per target; DAXINST_FUZZ_JOBS (default 2) how
# many targets run at once. A finding is kept as <build-folder>/artifacts/<target>/crash-*; run
# the target on that file to see it again.
set -euo pipefail
# A folder given on the command line is taken from where the script was called.
[ $# -gt 0 ] && build_dir=$(realpath -m "$1")
cd "$(dirname "$0")/.."
build_dir=${build_dir:-$(realpath -m "${DAXINST_BUILD_DIR:-build}/fuzz")}
seconds=${DAXINST_FUZZ_SECONDS:-20}
jobs=${DAXINST_FUZZ_JOBS:-2}

cmake -S fuzz -B "$build_dir" -DCMAKE_CXX_COMPILER="${DAXINST_FUZZ_CXX:-clang++}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"

mapfile -t targets < <(grep -v '^#' fuzz/targets.txt | awk 'NF >= 2 { print $1 " " $2 }')

run_target() {
  local name=$1 max_len=$2
  local work="$build_dir/work/$name" artifacts="$build_dir/artifacts/$name"
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  cp fuzz/corpus/"$name"/* "$work"/
  # -timeout: one input that takes this long is a finding, not just slow.
  local status=0
  "$build_dir/fuzz_$name" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" \
    >"$build_dir/$name.log" 2>&1 || status=$?
  echo "$status" >"$build_dir/$name.status"
}

running=0
for target in "${targets[@]}"; do
  run_target $target &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait

failed=0
printf '%-22s %14s  %s\n' target executions result
for target in "${targets[@]}"; do
  name=${target%% *}
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$build_dir/$name.log" | tail -1)
  status=$(cat "$build_dir/$name.status" 2>/dev/null || echo 1)
  findings=$(find "$build_dir/artifacts/$name" -type f | wc -l)
  result=clean
  if [ "$status" -ne 0 ] || [ "$findings" -ne 0 ]; then
    result="FAILED (exit $status, see $build_dir/$name.log and $build_dir/artifacts/$name)"
    failed=1
  fi
  printf '%-22s %14s  %s\n' "$name" "${executions:-?}" "$result"
done
for target in "${targets[@]}"; do
  name=${target%% *}
  if [ "$(cat "$build_dir/$name.status")" -ne 0 ]; then
    echo "---- $name"
    grep -E -A12 'ERROR|property failed|SUMMARY' "$build_dir/$name.log" | head -40 || true
  fi
done
exit "$failed"
