# Shared by ./run-tests, ./run-demo and ./run-bench.

DAXINST_PACKAGES=(
  cmake make file
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64
  libboost-dev nlohmann-json3-dev googletest
  wixl msitools openssl osslsigncode
  xvfb xauth
  clang clang-tidy libclang-rt-14-dev
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

# configure_and_build [--quiet] PRESET BUILD_DIR [CMAKE_ARGUMENT...] [--target TARGET...]
# Configures BUILD_DIR with a configure preset of CMakePresets.json (the folder given replaces
# the preset's own) and builds everything, or only the targets after --target. --quiet keeps
# the configure output to itself.
configure_and_build() {
  local quiet=0
  if [ "$1" = --quiet ]; then
    quiet=1
    shift
  fi
  local preset=$1 build_dir=$2
  shift 2
  local arguments=() targets=()
  while [ $# -gt 0 ]; do
    if [ "$1" = --target ]; then
      shift
      targets=("$@")
      break
    fi
    arguments+=("$1")
    shift
  done
  if [ "$quiet" = 1 ]; then
    cmake --preset "$preset" -B "$build_dir" "${arguments[@]}" >/dev/null
  else
    cmake --preset "$preset" -B "$build_dir" "${arguments[@]}"
  fi
  cmake --build "$build_dir" -j"$(nproc)" ${targets[@]:+--target "${targets[@]}"}
}
