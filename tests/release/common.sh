# Shared by the release tests: a clean copy of the source tree, and a vendor made for the test.

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# copy_source SOURCE DEST: the files a clone of the checkout holds (tracked and new, not ignored),
# so that no build folder or user preset of the developer comes along. The copy is no git
# checkout: SOURCE_DATE_EPOCH carries the commit's time instead.
copy_source() {
  local source=$1 dest=$2
  rm -rf "$dest"
  mkdir -p "$dest"
  (cd "$source" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do [ -e "$file" ] && printf '%s\0' "$file"; done |
    xargs -0 cp --parents -t "$dest")
  SOURCE_DATE_EPOCH=$(git -C "$source" log -1 --format=%ct)
  export SOURCE_DATE_EPOCH
}

# vendor_environment FOLDER: a vendor's bundle and PKCS #12 made anew, and the environment that
# the release presets read.
vendor_environment() {
  local folder=$1
  VENDOR_SERIAL=$(openssl rand -hex 16 | tr '[:lower:]' '[:upper:]' | sed 's/^./4/')
  bash "$(dirname "${BASH_SOURCE[0]}")/make-vendor.sh" "$folder" \
    "/C=GB/ST=Kent/L=Canterbury/O=Example Vendor Ltd/OU=Endpoint Security/CN=Example Vendor Ltd" \
    "$VENDOR_SERIAL"
  export DAXINST_CERT_BUNDLE=$folder/bundle.p7b
  export DAXINST_PUBLISHER="CN=Example Vendor Ltd;OU=Endpoint Security;O=Example Vendor Ltd;L=Canterbury;ST=Kent;C=GB"
  export DAXINST_STALE_SERIAL=$VENDOR_SERIAL
  export DAXINST_SIGNING_PKCS12=$folder/signing.p12
  export DAXINST_SIGNING_PASSFILE=$folder/passfile
  unset DAXINST_TIMESTAMP_URL CMAKE_BUILD_PARALLEL_LEVEL CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER
}

# start_timestamp_server FOLDER: a time-stamp server of the test's own on 127.0.0.1 (ended when
# the script exits), and the environment that the release preset reads for it.
start_timestamp_server() {
  local folder=$1
  mkdir -p "$folder"
  python3 "$(dirname "${BASH_SOURCE[0]}")/timestamp_server.py" "$folder" >"$folder/url" \
    2>"$folder/errors" &
  TIMESTAMP_SERVER_PID=$!
  trap 'kill "$TIMESTAMP_SERVER_PID" 2>/dev/null || true' EXIT
  # The server makes two RSA keys before it listens, which takes tens of seconds on a loaded
  # machine with this test niced: wait for as long as it lives, and end only a hung one.
  local tries=0
  until [ -s "$folder/url" ]; do
    kill -0 "$TIMESTAMP_SERVER_PID" 2>/dev/null ||
      fail "the time-stamp server ended before it listened: $(cat "$folder/errors")"
    tries=$((tries + 1))
    [ $tries -lt 3000 ] ||
      fail "the time-stamp server did not listen within 300 s: $(cat "$folder/errors")"
    sleep 0.1
  done
  export DAXINST_TIMESTAMP_URL
  DAXINST_TIMESTAMP_URL=$(head -1 "$folder/url")
  export DAXINST_TIMESTAMP_CAFILE=$folder/tsa-root.pem
}

# The shipped programs a build folder holds.
shipped_programs() {
  local build=$1 name
  for name in daxinst.exe daxcheck.exe; do
    [ -f "$build/$name" ] && echo "$name"
  done
  return 0
}
