#include "sharedlib/signer_checks.h"

#include <cstring>
#include <vector>

#include "sharedlib/trust_identity.h"
#include "sharedlib/trust_verifier.h"

namespace sharedlib {

namespace {

const char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
const char kSystemComponentUsage[] = "1.3.6.1.4.1.311.10.3.6";
const char kHardwareQualityUsage[] = "1.3.6.1.4.1.311.10.3.5";

// The subject name as CertNameToStrW renders it, against the expected publisher's name text.
ULONG CheckNameText(PCCERT_CONTEXT certificate, const PublisherIdentity& expected) {
  const DWORD type = CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG;
  CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
  const DWORD length = ::CertNameToStrW(X509_ASN_ENCODING, subject, type, nullptr, 0);
  if (length <= 1) return kTrustNoSignature;
  std::wstring name(length, L'\0');
  ::CertNameToStrW(X509_ASN_ENCODING, subject, type, &name[0], length);
  name.resize(length - 1);
  return name == PublisherNameText(expected) ? kTrustTrusted : kTrustNotTrusted;
}

struct UsageFlags {
  // No usage list at all: the certificate is good for every use, code signing among them.
  bool everyUsage = false;
  bool codeSigning = false;
  bool systemComponent = false;
  bool hardwareQuality = false;
};

UsageFlags ReadUsages(PCCERT_CONTEXT certificate) {
  UsageFlags flags;
  DWORD size = 0;
  if (!::CertGetEnhancedKeyUsage(certificate, 0, nullptr, &size) || size == 0) return flags;
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<CERT_ENHKEY_USAGE*>(buffer.data());
  ::SetLastError(ERROR_SUCCESS);
  if (!::CertGetEnhancedKeyUsage(certificate, 0, usage, &size)) return flags;
  flags.everyUsage =
      usage->cUsageIdentifier == 0 && ::GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    const char* oid = usage->rgpszUsageIdentifier[i];
    if (std::strcmp(oid, kCodeSigningUsage) == 0) flags.codeSigning = true;
    if (std::strcmp(oid, kSystemComponentUsage) == 0) flags.systemComponent = true;
    if (std::strcmp(oid, kHardwareQualityUsage) == 0) flags.hardwareQuality = true;
  }
  return flags;
}

// A certificate whose usage list leaves code signing out was issued for something else, whatever
// name it carries; one without a list passes on the publisher's name alone.
ULONG CheckUsage(PCCERT_CONTEXT certificate, const UsageFlags& usages) {
  if (usages.codeSigning) return kTrustTrusted;
  if (!usages.everyUsage) return kTrustNotTrusted;
  return CheckNameText(certificate, ExpectedPublisher());
}

// The subject's organisational unit and organisation, which the organisation check compares.
constexpr IdentityAttribute kOrganisationAttributes[] = {kOrganisationalUnitAttribute,
                                                         kOrganisationAttribute};

// Every attribute read and equal to its expected value; an expected value that is empty matches
// nothing.
template <typename Attributes>
ULONG CompareAttributes(PCCERT_CONTEXT certificate, const PublisherIdentity& expected,
                        const Attributes& attributes) {
  for (const IdentityAttribute& attribute : attributes) {
    const std::wstring& wanted = expected.*attribute.expected;
    std::wstring value;
    if (!ReadSubjectAttribute(certificate, attribute.oid, value)) return kTrustNotTrusted;
    if (wanted.empty() || value != wanted) return kTrustNotTrusted;
  }
  return kTrustTrusted;
}

ULONG CheckIdentity(PCCERT_CONTEXT certificate, const PublisherIdentity& expected) {
  return CompareAttributes(certificate, expected, kIdentityAttributes);
}

ULONG CheckOrganisation(PCCERT_CONTEXT certificate, const PublisherIdentity& expected) {
  return CompareAttributes(certificate, expected, kOrganisationAttributes);
}

// The further identity that level 5 demands. This product configures none, so level 5 never
// trusts a file until one is configured here.
const PublisherIdentity& FurtherExpectedPublisher() {
  static const PublisherIdentity none;
  return none;
}

}  // namespace

bool ReadSubjectAttribute(PCCERT_CONTEXT certificate, const char* oid, std::wstring& value) {
  wchar_t buffer[261] = {};
  const DWORD length = ::CertGetNameStringW(certificate, CERT_NAME_ATTR_TYPE, 0,
                                            const_cast<char*>(oid), buffer, 261);
  if (length <= 1) return false;
  value.assign(buffer, length - 1);
  return true;
}

ULONG CheckCertificateAtLevel(PCCERT_CONTEXT certificate, ULONG level, bool driverMode) {
  const UsageFlags usages = ReadUsages(certificate);
  ULONG answer = CheckUsage(certificate, usages);
  if (answer != kTrustTrusted) return answer;
  switch (level) {
    case kTrustLevelSigned:
    case kTrustLevelCodeSigning:
      break;
    case kTrustLevelPublisher:
      answer = CheckIdentity(certificate, ExpectedPublisher());
      break;
    case kTrustLevelOrganisation:
      answer = CheckOrganisation(certificate, ExpectedPublisher());
      break;
    case kTrustLevelFurtherPublisher:
      answer = CheckIdentity(certificate, FurtherExpectedPublisher());
      break;
    default:
      answer = kTrustInvalidArguments;
      break;
  }
  if (answer == kTrustTrusted && driverMode && !usages.hardwareQuality) answer = kTrustNotTrusted;
  return answer;
}

ULONG CheckSignerCertificate(PCCERT_CONTEXT certificate, ULONG level) {
  if (!certificate || !certificate->pCertInfo) return kTrustNoSignature;
  return CheckCertificateAtLevel(certificate, level, false);
}

}  // namespace sharedlib
