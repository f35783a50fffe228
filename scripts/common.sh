# Shared by ./run-tests and ./run-demo.

DAXINST_PACKAGES=(
  cmake make file
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libboost-dev googletest
  wixl msitools openssl osslsigncode
  xvfb xauth
  clang libclang-rt-14-dev
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_packages() {
  local missing=()
  for package in "${DAXINST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "Installing: ${missing[*]}"
  as_root apt-get update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
}

configure_and_build() {
  local build_dir=$1
  shift
  cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "$@"
  cmake --build "$build_dir" -j"$(nproc)"
}
