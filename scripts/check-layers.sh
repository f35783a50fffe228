#!/usr/bin/env bash
# Fails when a file of src/ includes, or a library named after a folder links, a folder above
# its own in the layer graph below. Plain text analysis: every `#include "folder/..."` line of
# src/ and every target_link_libraries(folder ...) of the top CMakeLists.txt and those of src/.
#   scripts/check-layers.sh [source-root]          check
#   scripts/check-layers.sh --graph [source-root]  check and print which folder includes which
set -euo pipefail

show_graph=0
if [[ "${1:-}" == "--graph" ]]; then
  show_graph=1
  shift
fi
root="${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
src="$root/src"

# Each folder and the folders it may use. Files directly in src/ belong to "main" (the program's
# entry); a folder of its own for the program is "daxinst".
declare -A allowed=(
  [platform]=""
  [diag]="platform"
  [contract]="platform diag"
  [sharedlib]="platform diag"
  [config]="contract sharedlib platform diag"
  [setupcmd]="config platform diag"
  [upgrade]="contract config setupcmd sharedlib platform diag"
  [service]="upgrade contract platform diag"
  [daxcheck]="upgrade config setupcmd contract sharedlib platform diag"
  [main]="service platform"
  [daxinst]="service platform"
)

may_use() {  # from to
  [[ "$1" == "$2" ]] && return 0
  local layer
  for layer in ${allowed[$1]}; do
    [[ "$layer" == "$2" ]] && return 0
  done
  return 1
}

failures=0
declare -A measured=()

report() {
  echo "$1" >&2
  failures=$((failures + 1))
}

folder_of() {  # path below src/ -> layer
  local relative="${1#"$src"/}"
  if [[ "$relative" == */* ]]; then
    echo "${relative%%/*}"
  else
    echo main
  fi
}

while IFS= read -r -d '' file; do
  from="$(folder_of "$file")"
  if [[ -z "${allowed[$from]+set}" ]]; then
    report "${file#"$root"/}: folder '$from' has no place in the layer graph"
    continue
  fi
  while IFS=: read -r line target; do
    to="${target%%/*}"
    # Only includes of our own folders are layered; generated headers without a folder are not.
    [[ -z "${allowed[$to]+set}" ]] && continue
    [[ "$to" != "$from" ]] && measured[$from]+=" $to"
    if ! may_use "$from" "$to"; then
      report "${file#"$root"/}:$line: $from may not include $target ($from may use: ${allowed[$from]:-nothing})"
    fi
  done < <(grep -n -o -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+"[^"]+/[^"]+"' "$file" |
           sed -E 's/^([0-9]+):.*"([^"]+)"/\1:\2/')
done < <(find "$src" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.rc' \
                                -o -name '*.in' \) -print0 | sort -z)

# The link lines: a library named after a folder may link only the folders that folder may use.
# daxinst_core stands for everything daxinst.exe is made of, the service layer included.
while IFS= read -r -d '' cmake; do
  # One call per line, comments dropped.
  while read -r target words; do
    [[ -z "${allowed[$target]+set}" ]] && continue
    for word in $words; do
      [[ "$word" == daxinst_core ]] && word=service
      [[ "$word" == "$target" || -z "${allowed[$word]+set}" ]] && continue
      if ! may_use "$target" "$word"; then
        report "${cmake#"$root"/}: library $target may not link $word ($target may use: ${allowed[$target]:-nothing})"
      fi
    done
  done < <(sed -E 's/#.*//' "$cmake" | tr '\n' ' ' |
           grep -o -E 'target_link_libraries\([^)]*\)' |
           sed -E 's/^target_link_libraries\([[:space:]]*//; s/\)$//' || true)
done < <(find "$root" -maxdepth 1 -name CMakeLists.txt -print0
         find "$src" -name CMakeLists.txt -print0 | sort -z)

if ((show_graph)); then
  for from in platform diag contract sharedlib config setupcmd upgrade service daxcheck main daxinst; do
    [[ -z "${measured[$from]+set}" && ! -d "$src/$from" && "$from" != main ]] && continue
    uses="$(tr " " "\n" <<<"${measured[$from]:-}" | sed "/^$/d" | sort -u | paste -sd " " -)"
    echo "$from -> ${uses:-(nothing)}"
  done
fi

if ((failures)); then
  echo "check-layers: $failures include(s) or link(s) point up the layer graph" >&2
  exit 1
fi
echo "check-layers: every include and link of src/ follows the layer graph"
