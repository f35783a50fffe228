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

// One subject attribute of the identity: its short name as the publisher text writes it, its
// object identifier, and the member of PublisherIdentity that holds the expected value.
struct IdentityAttribute {
  const char* shortName;
  const char* oid;
  std::wstring PublisherIdentity::*expected;
};

inline constexpr IdentityAttribute kCommonNameAttribute = {"CN", szOID_COMMON_NAME,
                                                           &PublisherIdentity::commonName};
inline constexpr IdentityAttribute kOrganisationalUnitAttribute = {
    "OU", szOID_ORGANIZATIONAL_UNIT_NAME, &PublisherIdentity::organisationalUnit};
inline constexpr IdentityAttribute kOrganisationAttribute = {"O", szOID_ORGANIZATION_NAME,
                                                             &PublisherIdentity::organisation};
inline constexpr IdentityAttribute kLocalityAttribute = {"L", szOID_LOCALITY_NAME,
                                                         &PublisherIdentity::locality};
inline constexpr IdentityAttribute kStateAttribute = {"ST", szOID_STATE_OR_PROVINCE_NAME,
                                                      &PublisherIdentity::state};
inline constexpr IdentityAttribute kCountryAttribute = {"C", szOID_COUNTRY_NAME,
                                                        &PublisherIdentity::country};

// The six, in the order the identity check compares them.
inline constexpr IdentityAttribute kIdentityAttributes[] = {
    kCommonNameAttribute,   kOrganisationalUnitAttribute,
    kOrganisationAttribute, kLocalityAttribute,
    kStateAttribute,        kCountryAttribute};

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
