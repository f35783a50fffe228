// The publisher identity that signer certificates are compared with, and the serial number of
// the publisher's intermediate certificate. Both are fixed when the program is built.
#pragma once

#include <windows.h>
// after windows.h
#include <wincrypt.h>

#include <string>
#include <vector>

namespace sharedlib {

// The six subject attributes that the identity check compares.
struct PublisherIdentity {
  std::wstring commonName;
  std::wstring organisationalUnit;
  std::wstring organisation;
  std::wstring locality;
  std::wstring state;
  std::wstring country;

  bool complete() const;
};

// Parses "CN=...;OU=...;O=...;L=...;ST=...;C=..." (keys in any order and case, S for ST
// accepted). False when the text is malformed or names an attribute twice.
bool ParsePublisherIdentity(const std::wstring& text, PublisherIdentity& identity);

// The identity that the build configured.
const PublisherIdentity& ExpectedPublisher();

// The configured identity as CertNameToStrW renders a subject with CERT_X500_NAME_STR and
// CERT_NAME_STR_REVERSE_FLAG when it is encoded from country down to common name.
std::wstring PublisherNameText(const PublisherIdentity& identity);

// A big-endian hexadecimal serial turned into the little-endian integer blob that CryptoAPI
// keeps serial numbers in. Empty for malformed text.
std::vector<BYTE> SerialBlobFromHex(const char* hex);

// The serial of the bundle's intermediate certificate, little-endian.
const std::vector<BYTE>& StaleCopySerial();

}  // namespace sharedlib
