# shellcheck shell=bash
# Shared by check-clang.sh and check-function-size.sh: clang reads src/ the way MinGW-w64's g++
# does (its libstdc++ and Windows headers, never the host's /usr/include), with the compile
# options and include folders that CMake gives the build.

DAXINST_MINGW_GCC=${DAXINST_MINGW_GCC:-/usr/lib/gcc/x86_64-w64-mingw32/12-posix}
DAXINST_MINGW_ROOT=${DAXINST_MINGW_ROOT:-/usr/x86_64-w64-mingw32}

# clang_mingw_flags CLANG: fills the array clang_flags with the target, the language level, the
# warnings and the system include folders. -nostdinc and -nostdinc++ keep clang from adding the
# host's C++ library and /usr/include; its own resource folder supplies the compiler's intrinsic
# headers.
clang_mingw_flags() {
  local clang=$1 resource
  resource=$("$clang" -print-resource-dir) || return 1
  local cxx=$DAXINST_MINGW_GCC/include/c++
  local folder
  for folder in "$cxx" "$DAXINST_MINGW_ROOT/include" "$resource/include"; do
    if [ ! -d "$folder" ]; then
      echo "missing header folder $folder (install g++-mingw-w64-x86-64-posix and clang)" >&2
      return 1
    fi
  done
  # shellcheck disable=SC2034 # read by the scripts that source this file
  clang_flags=(--target=x86_64-w64-mingw32 -std=c++17 -Wall -Wextra -Werror -nostdinc -nostdinc++
               -isystem "$cxx" -isystem "$cxx/x86_64-w64-mingw32" -isystem "$cxx/backward"
               -isystem "$resource/include" -isystem "$DAXINST_MINGW_ROOT/include")
}

# clang_mingw_sources SOURCE_DIR: every C++ source file of src/, one a line, in a fixed order.
clang_mingw_sources() {
  (cd "$1" && find src -name '*.cpp' -type f | LC_ALL=C sort)
}
