#!/usr/bin/env bash
# Makes what a vendor hands its release engineer, for the release tests: a root and an
# intermediate with the given serial (bundle.p7b), a code-signing leaf with the given subject in
# signing.p12, a leaf of another subject in other.p12, a leaf with the subject and one more OU
# before its own in lookalike.p12, and the password of all three in passfile.
# Everything is made anew with openssl; no key is ever committed.
#
# usage: make-vendor.sh OUTDIR SUBJECT SERIAL_HEX     (SUBJECT as openssl wants it: /C=../CN=..)
set -euo pipefail
out=$1
subject=$2
serial=$3
rm -rf "$out"
mkdir -p "$out"
cd "$out"
cat >ext.cnf <<'CNF'
[ca_root]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
[ca_intermediate]
basicConstraints = critical, CA:TRUE, pathlen:0
keyUsage = critical, keyCertSign, cRLSign
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
key() { openssl genrsa -out "$1.key" 2048 2>/dev/null; }
issue() { # name subject issuer extension serial
  key "$1"
  openssl req -new -key "$1.key" -subj "$2" -out "$1.csr" 2>/dev/null
  openssl x509 -req -in "$1.csr" -CA "$3.pem" -CAkey "$3.key" -set_serial "0x$5" -days 365 \
    -sha256 -extfile ext.cnf -extensions "$4" -out "$1.pem" 2>/dev/null
}
key root
openssl req -new -key root.key -subj "/C=GB/O=Example Vendor/CN=Example Vendor Root CA" \
  -out root.csr 2>/dev/null
openssl x509 -req -in root.csr -signkey root.key -days 365 -sha256 -extfile ext.cnf \
  -extensions ca_root -out root.pem 2>/dev/null
issue intermediate "/C=GB/O=Example Vendor/CN=Example Vendor Code Signing CA" root \
  ca_intermediate "$serial"
issue leaf "$subject" intermediate leaf "$(openssl rand -hex 16 | sed 's/^./1/')"
issue other "/C=GB/ST=Kent/L=Dover/O=Someone Else/OU=Elsewhere/CN=Someone Else" intermediate \
  leaf "$(openssl rand -hex 16 | sed 's/^./1/')"
# An OU of someone else's before the subject's own: a comparison that keeps the last value of each
# attribute name sees the subject itself, Windows's first-value reading does not.
issue lookalike "${subject/\/OU=//OU=Someone Else/OU=}" intermediate leaf \
  "$(openssl rand -hex 16 | sed 's/^./1/')"
openssl crl2pkcs7 -nocrl -certfile root.pem -certfile intermediate.pem -outform DER -out bundle.p7b
openssl rand -hex 16 >passfile
for name in leaf other lookalike; do
  openssl pkcs12 -export -inkey $name.key -in $name.pem -certfile intermediate.pem \
    -passout file:passfile -out $name.p12
done
mv leaf.p12 signing.p12
rm -f ./*.csr
