# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (POSIX thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained executable: no libstdc++, libgcc or winpthread DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Every test executable runs under Wine in a private prefix of the build folder.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
