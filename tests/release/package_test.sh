#!/usr/bin/env bash
# The release path as a release engineer runs it, in a scratch folder: a vendor's bundle and a
# PKCS #12 made for the test, "cmake --workflow --preset release" from the environment, then the
# package is checked as a customer would check it. Then: configuring release without what it
# needs stops and says what to set; a file signed by the wrong key is never packaged;
# release-unsigned makes a ZIP that says it is unsigned and holds unsigned files. That last build
# runs from a second copy of the source, in a folder of another name and length, some minutes
# later: its programs and symbol files must be release's bytes, so a build path, a time stamp or
# anything random that reached a file shows as a difference.
#
# usage: package_test.sh SOURCE WORKDIR
set -euo pipefail
source "$(dirname "$0")/common.sh"
source_dir=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
second="$work/second build of the same commit/daxinst-source"
# Both copies first: the source must not change between the builds.
copy_source "$source_dir" "$work/src"
copy_source "$source_dir" "$second"
vendor_environment "$work/vendor"
start_timestamp_server "$work/timestamps"
# A second vendor: its keys are no good for this bundle.
bash "$(dirname "$0")/make-vendor.sh" "$work/stranger" \
  "/C=GB/ST=Kent/L=Canterbury/O=Example Vendor Ltd/OU=Endpoint Security/CN=Example Vendor Ltd" \
  "$VENDOR_SERIAL" >/dev/null
# Its key under the vendor's password, so that only the root tells it apart.
openssl pkcs12 -export -inkey "$work/stranger/leaf.key" -in "$work/stranger/leaf.pem" \
  -certfile "$work/stranger/intermediate.pem" -passout "file:$DAXINST_SIGNING_PASSFILE" \
  -out "$work/stranger/vendor-password.p12"
cd "$work/src"

echo "== configuring release without what it needs stops with a message"
# name|environment change|what the message must say
cases=(
  "no bundle|DAXINST_CERT_BUNDLE=|set DAXINST_CERT_BUNDLE"
  "serial of another intermediate|DAXINST_STALE_SERIAL=0123456789ABCDEF|set DAXINST_STALE_SERIAL to the intermediate's serial"
  "the test chain's publisher|DAXINST_PUBLISHER=CN=Quorvex Test Publisher;OU=Client Security;O=Quorvex Test;L=Springfield;ST=Oregon;C=US|DAXINST_PUBLISHER is the test chain's publisher"
  "no publisher|DAXINST_PUBLISHER=|A release needs DAXINST_PUBLISHER"
  "no signing file|DAXINST_SIGNING_PKCS12=|Signing needs DAXINST_SIGNING_PKCS12"
  "no password file|DAXINST_SIGNING_PASSFILE=$work/missing|Signing needs DAXINST_SIGNING_PASSFILE"
  "no time-stamp server|DAXINST_TIMESTAMP_URL=|set DAXINST_TIMESTAMP_URL"
)
index=0
for case in "${cases[@]}"; do
  IFS='|' read -r name change expected <<<"$case"
  index=$((index + 1))
  if output=$(env "$change" cmake --preset release -B "$work/refused-$index" 2>&1); then
    fail "release configured with $name"
  fi
  # CMake wraps its messages: compare with the line breaks taken out.
  grep -qF "$expected" <<<"$(tr -s ' \n' ' ' <<<"$output")" ||
    fail "configuring with $name stopped without saying '$expected':"$'\n'"$output"
  echo "  $name: stopped, '$expected'"
done

# A password given to the build is refused, and does not stay in the cache.
if output=$(cmake --preset release -B "$work/refused-password" -DDAXINST_SIGNING_PASSWORD=hunter2-secret 2>&1); then
  fail "release configured with a password in a cache variable"
fi
grep -qF "set DAXINST_SIGNING_PASSFILE" <<<"$(tr -s ' \n' ' ' <<<"$output")" ||
  fail "a password in a cache variable was refused without saying what to set:"$'\n'"$output"
! grep -rqF hunter2-secret "$work/refused-password" || fail "the refused password stayed in the build folder"
echo "  a password as a cache variable: stopped, not kept"

echo "== cmake --workflow --preset release without a time-stamp server stops and names it"
if output=$(env DAXINST_TIMESTAMP_URL= cmake --workflow --preset release 2>&1); then
  fail "the release workflow ran without a time-stamp server"
fi
grep -qF "set DAXINST_TIMESTAMP_URL" <<<"$(tr -s ' \n' ' ' <<<"$output")" ||
  fail "the release workflow stopped without naming DAXINST_TIMESTAMP_URL:"$'\n'"$output"
! ls "$work/src/build-release/package/"*.zip >/dev/null 2>&1 || fail "a ZIP was made without time stamps"
echo "  stopped, 'set DAXINST_TIMESTAMP_URL'"

echo "== cmake --workflow --preset release"
cmake --workflow --preset release >"$work/release.log" 2>&1 ||
  { cat "$work/release.log"; fail "the release workflow failed"; }
build=$work/src/build-release
grep -A7 -- '-- daxinst ' "$work/release.log"
grep -q "trust: *vendor bundle $DAXINST_CERT_BUNDLE" "$work/release.log" ||
  fail "the summary does not name the vendor bundle"
grep -qF "stale serial: $VENDOR_SERIAL" "$work/release.log" || fail "the summary lacks the serial"
password=$(cat "$DAXINST_SIGNING_PASSFILE")
! grep -rqF "$password" "$build" || fail "the signing password landed in the build folder"

mapfile -t programs < <(shipped_programs "$build")
echo "  shipped programs: ${programs[*]}"
[ "${programs[0]}" = daxinst.exe ] || fail "no daxinst.exe in the build folder"
package=$(ls "$build"/package/daxinst-*-win64.zip)
symbols=$(ls "$build"/package/daxinst-*-win64-symbols.zip)
echo "  package: $(basename "$package"), symbols: $(basename "$symbols")"
mkdir "$work/unpacked" "$work/symbols"
(cd "$work/unpacked" && cmake -E tar xf "$package")
(cd "$work/symbols" && cmake -E tar xf "$symbols")
listed=$(awk '{ print $2 }' "$work/unpacked/SHA256SUMS" | sort | tr '\n' ' ')
[ "$listed" = "$(printf '%s\n' "${programs[@]}" BUILDINFO.txt | sort | tr '\n' ' ')" ] ||
  fail "SHA256SUMS lists '$listed', not the shipped programs ${programs[*]} and BUILDINFO.txt"
(cd "$work/unpacked" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
grep -q '^toolchain packages:' "$work/unpacked/BUILDINFO.txt" &&
  grep -q '^g++-mingw-w64-x86-64-posix ' "$work/unpacked/BUILDINFO.txt" ||
  fail "BUILDINFO.txt does not record the toolchain's packages"
grep -qx "SOURCE_DATE_EPOCH: $SOURCE_DATE_EPOCH (SOURCE_DATE_EPOCH)" "$work/unpacked/BUILDINFO.txt" ||
  fail "BUILDINFO.txt does not record the commit's time"
roots=$build/vendor-bundle/roots.pem
cmp -s "$roots" "$work/vendor/root.pem" || fail "the signatures are not checked against the bundle's root"
for program in "${programs[@]}"; do
  shipped=$work/unpacked/$program
  verify=$(osslsigncode verify -CAfile "$work/vendor/root.pem" -in "$shipped" 2>&1) ||
    fail "osslsigncode verify rejects the shipped $program:"$'\n'"$verify"
  grep -qF "Subject: /C=GB/ST=Kent/L=Canterbury/O=Example Vendor Ltd/OU=Endpoint Security/CN=Example Vendor Ltd" \
    <<<"$verify" || fail "$program is not signed by the vendor's leaf"
  grep -q "Message digest algorithm  : SHA256" <<<"$verify" || fail "$program is not signed with SHA-256"
  verify=$(osslsigncode verify -CAfile "$work/vendor/root.pem" -TSA-CAfile "$DAXINST_TIMESTAMP_CAFILE" \
    -in "$shipped" 2>&1) || fail "the time stamp of the shipped $program does not verify:"$'\n'"$verify"
  grep -q "Timestamp Server Signature verification: ok" <<<"$verify" ||
    fail "$program carries no time stamp that verifies:"$'\n'"$verify"
  # The build folder keeps the unsigned file; the signature is all that sets the shipped one apart.
  ! osslsigncode verify -CAfile "$work/vendor/root.pem" -in "$build/$program" >/dev/null 2>&1 ||
    fail "the build folder's $program is signed"
  # The stripped file names its symbol file, and both carry the same build id.
  [ -f "$work/symbols/$program.debug" ] || fail "the symbol archive lacks $program.debug"
  # (Whole outputs are read before they are searched: a reader that stops early would end the
  # writer with SIGPIPE, which pipefail takes for a failure.)
  link=$(x86_64-w64-mingw32-objdump -s -j .gnu_debuglink "$shipped")
  grep -q "$program" <<<"$link" || fail "$program does not name $program.debug"
  headers=$(x86_64-w64-mingw32-objdump -p "$shipped")
  id_shipped=$(grep -o 'RSDS signature [0-9a-f]*' <<<"$headers" || true)
  headers=$(x86_64-w64-mingw32-objdump -p "$work/symbols/$program.debug")
  id_symbols=$(grep -o 'RSDS signature [0-9a-f]*' <<<"$headers" || true)
  [ -n "$id_shipped" ] && [ "$id_shipped" = "$id_symbols" ] ||
    fail "build ids differ: '$id_shipped' in $program, '$id_symbols' in its symbols"
  sections=$(x86_64-w64-mingw32-objdump -h "$shipped")
  ! grep -q '\.debug_info' <<<"$sections" || fail "$program is not stripped"
  sections=$(x86_64-w64-mingw32-objdump -h "$work/symbols/$program.debug")
  grep -q '\.debug_info' <<<"$sections" || fail "$program.debug holds no DWARF"
  # A crash address resolves to a source line from the kept symbols.
  symbols=$(x86_64-w64-mingw32-nm "$work/symbols/$program.debug")
  address=$(awk '($3 == "WinMain" || $3 == "main") && !found { print $1; found = 1 }' <<<"$symbols")
  line=$(x86_64-w64-mingw32-addr2line -f -e "$work/symbols/$program.debug" "0x$address" | tail -1)
  [[ "$line" == *.cpp:[0-9]* ]] || fail "addr2line gives '$line' for $program's entry"
  echo "  $program: signature verified, signer checked, $id_shipped, entry at $line"
done

echo "== a file that the vendor's root and publisher do not vouch for is never packaged"
# name|environment change|what the message must say
cases=(
  "another publisher's key|DAXINST_SIGNING_PKCS12=$work/vendor/other.p12|is not DAXINST_PUBLISHER"
  "a key with the publisher's subject and one more OU|DAXINST_SIGNING_PKCS12=$work/vendor/lookalike.p12|is not DAXINST_PUBLISHER"
  "a key of another root|DAXINST_SIGNING_PKCS12=$work/stranger/vendor-password.p12|does not verify against the vendor's root"
  "the wrong password|DAXINST_SIGNING_PASSFILE=$work/stranger/passfile|osslsigncode could not sign"
)
for case in "${cases[@]}"; do
  IFS='|' read -r name change expected <<<"$case"
  rm -rf "$build/package"
  env "$change" cmake --preset release >/dev/null 2>&1 || fail "reconfiguring with $name failed"
  if output=$(cpack --preset release 2>&1); then
    fail "cpack packaged a file signed with $name"
  fi
  grep -qF "$expected" <<<"$(tr -s ' \n' ' ' <<<"$output")" ||
    fail "packaging with $name failed without saying '$expected':"$'\n'"$output"
  ! ls "$build"/package/*.zip >/dev/null 2>&1 || fail "a ZIP was left after packaging with $name"
  echo "  $name: refused, '$expected'"
done

echo "== cmake --workflow --preset release-unsigned, in $second"
# Without a time-stamp server: nothing is signed, so none is needed.
(cd "$second" && env -u DAXINST_TIMESTAMP_URL cmake --workflow --preset release-unsigned) \
  >"$work/unsigned.log" 2>&1 || { cat "$work/unsigned.log"; fail "the release-unsigned workflow failed"; }
grep -q 'package: *daxinst-.*-win64-unsigned.zip, UNSIGNED' "$work/unsigned.log" ||
  fail "the summary of release-unsigned does not say that it is unsigned"
unsigned_build=$second/build-release-unsigned
package=$(ls "$unsigned_build"/package/daxinst-*-win64-unsigned.zip) ||
  fail "release-unsigned made no ZIP named unsigned"
ls "$unsigned_build"/package/daxinst-*-win64-unsigned-symbols.zip >/dev/null ||
  fail "release-unsigned made no symbol archive"
mkdir "$work/unsigned"
(cd "$work/unsigned" && cmake -E tar xf "$package" && sha256sum -c SHA256SUMS) ||
  fail "the unsigned package's SHA256SUMS does not match"
for program in "${programs[@]}"; do
  ! osslsigncode verify -CAfile "$work/vendor/root.pem" -in "$work/unsigned/$program" >/dev/null 2>&1 ||
    fail "release-unsigned shipped a signed $program"
  for file in "$program" "$program.debug"; do
    first=$(sha256sum <"$build/$file" | cut -d' ' -f1)
    again=$(sha256sum <"$unsigned_build/$file" | cut -d' ' -f1)
    echo "  $file: $first (release) $again (release-unsigned)"
    [ "$first" = "$again" ] || fail "two builds of one commit gave two different $file"
  done
  cmp "$work/unsigned/$program" "$unsigned_build/$program" ||
    fail "release-unsigned packaged another $program than it built"
done
echo "  $(basename "$package"): unsigned, SHA256SUMS matches, the same bytes as release's unsigned files"
echo "OK"
