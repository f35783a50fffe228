#!/usr/bin/env bash
# check-clang.sh SOURCE_DIR [COMPILE_OPTION...]
# Compiles every .cpp file of SOURCE_DIR/src with clang for the MinGW-w64 target, as the nearest
# stand-in here for a second compiler such as Visual C++: what only g++ accepts fails here. The
# options after SOURCE_DIR are the build's own defines and include folders (-D..., -I...,
# -isystem ...), handed over by CTest. Nothing is linked; exits non-zero when any file fails.
set -uo pipefail
source_dir=$1
shift
# shellcheck source=scripts/clang-mingw.sh
source "$(dirname "$0")/clang-mingw.sh"
clang=${DAXINST_CLANG:-clang++}
if ! command -v "$clang" >/dev/null; then
  echo "$clang not found: install the package clang" >&2
  exit 1
fi
clang_mingw_flags "$clang" || exit 1

mapfile -t files < <(clang_mingw_sources "$source_dir")
if [ ${#files[@]} -eq 0 ]; then
  echo "no .cpp files under $source_dir/src" >&2
  exit 1
fi
failed=()
cd "$source_dir" || exit 1
for file in "${files[@]}"; do
  if ! "$clang" "${clang_flags[@]}" "$@" -fsyntax-only "$file"; then
    failed+=("$file")
  fi
done
echo "clang --target=x86_64-w64-mingw32: ${#files[@]} files, ${#failed[@]} failed"
for file in "${failed[@]}"; do echo "  failed: $file"; done
[ ${#failed[@]} -eq 0 ]
