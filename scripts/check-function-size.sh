#!/usr/bin/env bash
# check-function-size.sh SOURCE_DIR [COMPILE_OPTION...]
# No function of src/ is longer than 80 lines: clang-tidy's readability-function-size reads every
# .cpp file of SOURCE_DIR/src, and the headers of src/ they include, as clang does for the
# MinGW-w64 target (check-clang.sh), with the build's defines and include folders handed over by
# CTest.
# Prints each function over the limit once and exits non-zero when there is any.
set -uo pipefail
source_dir=$(cd "$1" && pwd) || exit 1
shift
# shellcheck source=scripts/clang-mingw.sh
source "$(dirname "$0")/clang-mingw.sh"
tidy=${DAXINST_CLANG_TIDY:-clang-tidy}
clang=${DAXINST_CLANG:-clang++}
for tool in "$tidy" "$clang"; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool not found: install the packages clang and clang-tidy" >&2
    exit 1
  fi
done
clang_mingw_flags "$clang" || exit 1
max_lines=80

mapfile -t files < <(clang_mingw_sources "$source_dir")
if [ ${#files[@]} -eq 0 ]; then
  echo "no .cpp files under $source_dir/src" >&2
  exit 1
fi
# The configuration is given whole, so that no .clang-tidy file of the tree or above it changes it.
config="{Checks: '-*,readability-function-size', CheckOptions: [
  {key: readability-function-size.LineThreshold, value: '$max_lines'}]}"
cd "$source_dir" || exit 1
report=$(mktemp)
trap 'rm -f "$report"' EXIT
status=0
for file in "${files[@]}"; do
  # Findings are warnings, so clang-tidy fails only when it cannot compile the file.
  if ! output=$("$tidy" --quiet --config="$config" --header-filter="^$source_dir/src/" "$file" \
                  -- "${clang_flags[@]}" "$@" 2>/dev/null); then
    echo "clang-tidy could not compile $file:" >&2
    grep ': error: ' <<<"$output" >&2
    status=1
  fi
  printf '%s\n' "$output" >>"$report"
done
# "<file>:<line>:<column>: warning: function 'Name' exceeds ..." followed by
# "<file>:<line>:<column>: note: 150 lines including whitespace and comments (threshold 80)".
# A header's function is reported by each file that includes it: it is listed once.
mapfile -t long < <(awk -v root="$source_dir/" '
  / warning: function .* exceeds recommended size/ {
    where = $1; sub(/:$/, "", where); sub("^" root, "", where)
    name = $0; sub(/^.* warning: function /, "", name); sub(/ exceeds.*$/, "", name)
    next
  }
  where != "" && / note: [0-9]+ lines including/ {
    lines = $0; sub(/^.* note: /, "", lines); sub(/ lines including.*$/, "", lines)
    print where ": " name ", " lines " lines"
    where = ""
  }' "$report" | LC_ALL=C sort -u)
echo "readability-function-size: ${#long[@]} functions over $max_lines lines in" \
  "${#files[@]} files of src/ and the headers they include"
for entry in "${long[@]}"; do echo "  $entry"; done
[ ${#long[@]} -eq 0 ] && [ $status -eq 0 ]
