# Shared by ./run-tests and ./run-demo.

DAXINST_PACKAGES=(
  cmake make file
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libboost-dev nlohmann-json3-dev googletest
  wixl msitools openssl osslsigncode
  xvfb xauth
  clang libclang-rt-14-dev
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the missing packages with one line of output; apt's own output goes to a log file that
# a failure points to.
install_packages() {
  local missing=()
  for package in "${DAXINST_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return
  local log=${DAXINST_APT_LOG:-${TMPDIR:-/tmp}/daxinst-apt.log}
  local apt=(env DEBIAN_FRONTEND=noninteractive apt-get -y --no-install-recommends)
  : >"$log"
  if ! as_root apt-get update >>"$log" 2>&1; then
    echo "apt-get update failed; see $log" >&2
    tail -n 20 "$log" >&2
    return 1
  fi
  # What apt would fetch: the number of packages with their dependencies, and the download size.
  local count bytes
  count=$(as_root "${apt[@]}" -s install "${missing[@]}" 2>>"$log" | grep -c '^Inst ' || true)
  bytes=$(as_root "${apt[@]}" -qq --print-uris install "${missing[@]}" 2>>"$log" |
    awk '{ sum += $3 } END { printf "%.1f", sum / 1048576 }')
  echo "Installing ${missing[*]} ($count packages with dependencies, $bytes MB to fetch;" \
    "apt's output: $log)"
  if ! as_root "${apt[@]}" install "${missing[@]}" >>"$log" 2>&1; then
    echo "apt-get install failed; see $log" >&2
    tail -n 20 "$log" >&2
    return 1
  fi
}

configure_and_build() {
  local build_dir=$1
  shift
  cmake -S . -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "$@"
  cmake --build "$build_dir" -j"$(nproc)"
}
