// The checks of a signer certificate after WinTrust has accepted the signature, at each level: on
// certificates made here from the configured publisher with one thing changed, and on the signer
// certificates of the test programs that the near signers signed.
#include "sharedlib/signer_checks.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/unique_handle.h"
#include "sharedlib/signer_certificate.h"
#include "sharedlib/trust_identity.h"
#include "sharedlib/trust_verifier.h"
#include "support/test_support.h"

namespace {

using sharedlib::PublisherIdentity;

const char kCodeSigningUsage[] = "1.3.6.1.5.5.7.3.3";
const char kServerAuthUsage[] = "1.3.6.1.5.5.7.3.1";

// One relative distinguished name of a subject, in the order it is encoded.
struct NamePart {
  const char* oid;
  std::wstring value;
};

// The publisher's six attributes, encoded from country down to common name as a CA writes them.
std::vector<NamePart> PublisherParts(const PublisherIdentity& identity) {
  return {{szOID_COUNTRY_NAME, identity.country},
          {szOID_STATE_OR_PROVINCE_NAME, identity.state},
          {szOID_LOCALITY_NAME, identity.locality},
          {szOID_ORGANIZATION_NAME, identity.organisation},
          {szOID_ORGANIZATIONAL_UNIT_NAME, identity.organisationalUnit},
          {szOID_COMMON_NAME, identity.commonName}};
}

// The programs import only what they use from crypt32.dll; the encoder and the context maker
// that these tests need are looked up.
template <typename Function>
Function Crypt32(const char* name) {
  HMODULE module = ::LoadLibraryExW(L"crypt32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module
             ? reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)))
             : nullptr;
}

std::vector<BYTE> Encode(LPCSTR type, const void* value) {
  static const auto encode = Crypt32<decltype(&::CryptEncodeObjectEx)>("CryptEncodeObjectEx");
  DWORD size = 0;
  if (!encode || !encode(X509_ASN_ENCODING, type, value, 0, nullptr, nullptr, &size)) return {};
  std::vector<BYTE> encoded(size);
  if (!encode(X509_ASN_ENCODING, type, value, 0, nullptr, encoded.data(), &size)) return {};
  encoded.resize(size);
  return encoded;
}

// A certificate context with `subject` and, unless `usages` is empty, an enhanced key usage
// extension that lists them (an empty list when it holds none). Its signature is never checked
// here: these checks run after WinTrust has judged the chain.
using UsageList = std::optional<std::vector<const char*>>;

platform::UniqueCertContext MakeCertificate(const std::vector<NamePart>& subject,
                                            const UsageList& usages) {
  std::vector<std::wstring> values;
  values.reserve(subject.size());
  std::vector<CERT_RDN_ATTR> attributes(subject.size());
  std::vector<CERT_RDN> rdns(subject.size());
  for (size_t i = 0; i < subject.size(); ++i) {
    values.push_back(subject[i].value);
    const bool country = std::string(subject[i].oid) == szOID_COUNTRY_NAME;
    attributes[i].pszObjId = const_cast<char*>(subject[i].oid);
    attributes[i].dwValueType = country ? CERT_RDN_PRINTABLE_STRING : CERT_RDN_UTF8_STRING;
    attributes[i].Value.pbData = reinterpret_cast<BYTE*>(&values[i][0]);
    attributes[i].Value.cbData = 0;  // a wide value ends at its terminator
    rdns[i] = {1, &attributes[i]};
  }
  CERT_NAME_INFO name = {static_cast<DWORD>(rdns.size()), rdns.data()};
  std::vector<BYTE> nameBlob = Encode(X509_UNICODE_NAME, &name);
  if (nameBlob.empty()) return {};

  std::vector<BYTE> usageBlob;
  CERT_EXTENSION extension = {};
  if (usages) {
    CERT_ENHKEY_USAGE usage = {static_cast<DWORD>(usages->size()),
                               const_cast<LPSTR*>(usages->data())};
    usageBlob = Encode(X509_ENHANCED_KEY_USAGE, &usage);
    if (usageBlob.empty()) return {};
    extension.pszObjId = const_cast<char*>(szOID_ENHANCED_KEY_USAGE);
    extension.Value = {static_cast<DWORD>(usageBlob.size()), usageBlob.data()};
  }

  BYTE serial[] = {1};
  BYTE key[] = {0x30, 0x03, 0x02, 0x01, 0x03};  // any bit string: the key is never used
  BYTE signature[] = {0};
  CERT_INFO info = {};
  info.dwVersion = CERT_V3;
  info.SerialNumber = {sizeof(serial), serial};
  info.SignatureAlgorithm.pszObjId = const_cast<char*>(szOID_RSA_SHA256RSA);
  info.Issuer = {static_cast<DWORD>(nameBlob.size()), nameBlob.data()};
  info.Subject = info.Issuer;
  SYSTEMTIME now = {};
  ::GetSystemTime(&now);
  ::SystemTimeToFileTime(&now, &info.NotBefore);
  info.NotAfter = info.NotBefore;
  info.NotAfter.dwHighDateTime += 0x100;  // some years on
  info.SubjectPublicKeyInfo.Algorithm.pszObjId = const_cast<char*>(szOID_RSA_RSA);
  info.SubjectPublicKeyInfo.PublicKey = {sizeof(key), key, 0};
  info.cExtension = usages ? 1 : 0;
  info.rgExtension = usages ? &extension : nullptr;
  std::vector<BYTE> toBeSigned = Encode(X509_CERT_TO_BE_SIGNED, &info);
  if (toBeSigned.empty()) return {};

  CERT_SIGNED_CONTENT_INFO signedInfo = {};
  signedInfo.ToBeSigned = {static_cast<DWORD>(toBeSigned.size()), toBeSigned.data()};
  signedInfo.SignatureAlgorithm = info.SignatureAlgorithm;
  signedInfo.Signature = {sizeof(signature), signature, 0};
  std::vector<BYTE> encoded = Encode(X509_CERT, &signedInfo);
  if (encoded.empty()) return {};
  static const auto create =
      Crypt32<decltype(&::CertCreateCertificateContext)>("CertCreateCertificateContext");
  if (!create) return {};
  return platform::UniqueCertContext(
      create(X509_ASN_ENCODING, encoded.data(), static_cast<DWORD>(encoded.size())));
}

// The levels a file is judged at, and the answers of one certificate at each.
constexpr ULONG kLevels[] = {sharedlib::kTrustLevelCodeSigning, sharedlib::kTrustLevelPublisher,
                             sharedlib::kTrustLevelOrganisation};
struct LevelAnswers {
  ULONG codeSigning;   // level 2
  ULONG publisher;     // level 3
  ULONG organisation;  // level 4
  ULONG At(ULONG level) const {
    return level == 2 ? codeSigning : level == 3 ? publisher : organisation;
  }
};
constexpr LevelAnswers kPasses = {1, 1, 1};
// Another publisher that carries the publisher's organisation and unit.
constexpr LevelAnswers kSameOrganisation = {1, 3, 1};
// Another organisation or unit.
constexpr LevelAnswers kOtherOrganisation = {1, 3, 3};
constexpr LevelAnswers kRefused = {3, 3, 3};

std::wstring Upper(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(::towupper(c));
  return text;
}
std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(::towlower(c));
  return text;
}
// The value in another case; the lower case when the value has no other upper case.
std::wstring OtherCase(const std::wstring& value) {
  return Upper(value) != value ? Upper(value) : Lower(value);
}
// A country code that is not `value`.
std::wstring OtherCountry(const std::wstring& value) { return value == L"US" ? L"CA" : L"US"; }

// Index of each attribute in PublisherParts.
enum Part { kC, kST, kL, kO, kOU, kCN };

struct MadeCase {
  const char* label;
  std::function<void(std::vector<NamePart>&)> change;
  UsageList usages;
  LevelAnswers answers;
};

std::function<void(std::vector<NamePart>&)> Replace(
    Part part, std::function<std::wstring(std::wstring)> with) {
  return
      [part, with](std::vector<NamePart>& parts) { parts[part].value = with(parts[part].value); };
}
std::function<void(std::vector<NamePart>&)> Drop(Part part) {
  return [part](std::vector<NamePart>& parts) { parts.erase(parts.begin() + part); };
}
std::wstring OtherValue(std::wstring value) { return L"Other " + value; }
std::wstring TrailingBlank(std::wstring value) { return value + L" "; }
std::wstring LastCharacterDropped(std::wstring value) { return value.substr(0, value.size() - 1); }
std::wstring CharacterAdded(std::wstring value) { return value + L"s"; }
std::wstring LastCharacterChanged(std::wstring value) {
  value.back() = value.back() == L'x' ? L'y' : L'x';
  return value;
}

const UsageList kCodeSigning = std::vector<const char*>{kCodeSigningUsage};
const UsageList kServerOnly = std::vector<const char*>{kServerAuthUsage};
const UsageList kNoUsages = std::vector<const char*>{};
const UsageList kSystemComponentOnly = std::vector<const char*>{"1.3.6.1.4.1.311.10.3.6"};
const UsageList kHardwareQualityOnly = std::vector<const char*>{"1.3.6.1.4.1.311.10.3.5"};
const UsageList kNoUsageList = std::nullopt;

std::vector<MadeCase> MadeCases() {
  const auto unchanged = [](std::vector<NamePart>&) {};
  const auto reversed = [](std::vector<NamePart>& parts) {
    parts.assign(parts.rbegin(), parts.rend());
  };
  return {
      {"Publisher", unchanged, kCodeSigning, kPasses},
      {"PublisherAmongOtherUsages", unchanged,
       std::vector<const char*>{kServerAuthUsage, kCodeSigningUsage}, kPasses},
      // One attribute another value: each is compared on its own.
      {"OtherCommonName", Replace(kCN, OtherValue), kCodeSigning, kSameOrganisation},
      {"OtherUnit", Replace(kOU, OtherValue), kCodeSigning, kOtherOrganisation},
      {"OtherOrganisation", Replace(kO, OtherValue), kCodeSigning, kOtherOrganisation},
      {"OtherLocality", Replace(kL, OtherValue), kCodeSigning, kSameOrganisation},
      {"OtherState", Replace(kST, OtherValue), kCodeSigning, kSameOrganisation},
      {"OtherCountry", Replace(kC, OtherCountry), kCodeSigning, kSameOrganisation},
      // One attribute missing: an attribute that cannot be read matches nothing.
      {"NoCommonName", Drop(kCN), kCodeSigning, kSameOrganisation},
      {"NoUnit", Drop(kOU), kCodeSigning, kOtherOrganisation},
      {"NoOrganisation", Drop(kO), kCodeSigning, kOtherOrganisation},
      {"NoLocality", Drop(kL), kCodeSigning, kSameOrganisation},
      {"NoState", Drop(kST), kCodeSigning, kSameOrganisation},
      {"NoCountry", Drop(kC), kCodeSigning, kSameOrganisation},
      // Near values: the comparison is exact, in case, blanks and length.
      {"CommonNameInAnotherCase", Replace(kCN, OtherCase), kCodeSigning, kSameOrganisation},
      {"CommonNameWithATrailingBlank", Replace(kCN, TrailingBlank), kCodeSigning,
       kSameOrganisation},
      {"CommonNameOneCharacterShort", Replace(kCN, LastCharacterDropped), kCodeSigning,
       kSameOrganisation},
      {"CommonNameOneCharacterLonger", Replace(kCN, CharacterAdded), kCodeSigning,
       kSameOrganisation},
      {"CommonNameLastCharacterChanged", Replace(kCN, LastCharacterChanged), kCodeSigning,
       kSameOrganisation},
      {"LocalityInAnotherCase", Replace(kL, OtherCase), kCodeSigning, kSameOrganisation},
      {"OrganisationInAnotherCase", Replace(kO, OtherCase), kCodeSigning, kOtherOrganisation},
      {"UnitWithATrailingBlank", Replace(kOU, TrailingBlank), kCodeSigning, kOtherOrganisation},
      // A usage list without code signing: issued for something else, whatever the name.
      {"PublisherWithoutTheUsage", unchanged, kServerOnly, kRefused},
      {"PublisherWithAnEmptyUsageList", unchanged, kNoUsages, kRefused},
      // The system-component and hardware-quality usages are not code signing either.
      {"PublisherWithOnlyTheSystemComponentUsage", unchanged, kSystemComponentOnly, kRefused},
      {"PublisherWithOnlyTheHardwareQualityUsage", unchanged, kHardwareQualityOnly, kRefused},
      // No usage list: good for every use, and only the publisher's name, rendered exactly as
      // the program renders it, lets the certificate on to the level's check.
      {"PublisherWithoutAUsageList", unchanged, kNoUsageList, kPasses},
      {"PublisherAttributesOtherWayRoundWithoutAUsageList", reversed, kNoUsageList, kRefused},
      {"OtherLocalityWithoutAUsageList", Replace(kL, OtherValue), kNoUsageList, kRefused},
      {"CommonNameInAnotherCaseWithoutAUsageList", Replace(kCN, OtherCase), kNoUsageList, kRefused},
      {"PublisherAttributesOtherWayRoundWithoutTheUsage", reversed, kServerOnly, kRefused},
  };
}

class MadeCertificateTest : public ::testing::TestWithParam<MadeCase> {};

TEST_P(MadeCertificateTest, AnswersAtEachLevel) {
  ASSERT_TRUE(sharedlib::ExpectedPublisher().complete());
  std::vector<NamePart> subject = PublisherParts(sharedlib::ExpectedPublisher());
  GetParam().change(subject);
  platform::UniqueCertContext certificate = MakeCertificate(subject, GetParam().usages);
  ASSERT_TRUE(certificate) << "could not make the certificate: " << ::GetLastError();
  for (ULONG level : kLevels) {
    EXPECT_EQ(sharedlib::CheckSignerCertificate(certificate.get(), level),
              GetParam().answers.At(level))
        << "level " << level;
  }
  // Level 5 asks for a further identity, and this product configures none.
  EXPECT_EQ(sharedlib::CheckSignerCertificate(certificate.get(), 5), 3u);
}

INSTANTIATE_TEST_SUITE_P(Subjects, MadeCertificateTest, ::testing::ValuesIn(MadeCases()),
                         [](const ::testing::TestParamInfo<MadeCase>& info) {
                           return std::string(info.param.label);
                         });

TEST(MadeCertificate, DriverModeWantsTheHardwareQualityUsage) {
  const std::vector<NamePart> subject = PublisherParts(sharedlib::ExpectedPublisher());
  platform::UniqueCertContext plain = MakeCertificate(subject, kCodeSigning);
  platform::UniqueCertContext driver = MakeCertificate(
      subject, std::vector<const char*>{kCodeSigningUsage, "1.3.6.1.4.1.311.10.3.5"});
  ASSERT_TRUE(plain);
  ASSERT_TRUE(driver);
  EXPECT_EQ(sharedlib::CheckCertificateAtLevel(plain.get(), 3, true), 3u);
  EXPECT_EQ(sharedlib::CheckCertificateAtLevel(driver.get(), 3, true), 1u);
  EXPECT_EQ(sharedlib::CheckCertificateAtLevel(plain.get(), 3, false), 1u);
}

TEST(MadeCertificate, NoCertificateHasNoSignature) {
  EXPECT_EQ(sharedlib::CheckSignerCertificate(nullptr, 3), 4u);
}

// The signer certificates that the test programs carry, as the verifier reads them from the file.
struct SignedFileCase {
  const char* file;
  LevelAnswers answers;
};

class SignerOfTheFileTest : public ::testing::TestWithParam<SignedFileCase> {};

TEST_P(SignerOfTheFileTest, AnswersAtEachLevel) {
  const std::string path =
      testing_support::ExecutableDirectory() + "\\signed\\" + GetParam().file + ".exe";
  const sharedlib::ObjectSigner signer = sharedlib::ReadObjectSigner(
      std::wstring(path.begin(), path.end()), sharedlib::SignedObject::kEmbeddedSignature);
  ASSERT_TRUE(signer.opened) << path << ": " << signer.openError;
  ASSERT_TRUE(signer.certificate) << path;
  for (ULONG level : kLevels) {
    EXPECT_EQ(sharedlib::CheckSignerCertificate(signer.certificate.get(), level),
              GetParam().answers.At(level))
        << "level " << level;
  }
}

INSTANTIATE_TEST_SUITE_P(NearSigners, SignerOfTheFileTest,
                         ::testing::Values(SignedFileCase{"signed_good", kPasses},
                                           SignedFileCase{"signed_differs_cn", kSameOrganisation},
                                           SignedFileCase{"signed_differs_ou", kOtherOrganisation},
                                           SignedFileCase{"signed_differs_o", kOtherOrganisation},
                                           SignedFileCase{"signed_differs_l", kSameOrganisation},
                                           SignedFileCase{"signed_differs_st", kSameOrganisation},
                                           SignedFileCase{"signed_differs_c", kSameOrganisation},
                                           SignedFileCase{"signed_near_case", kSameOrganisation},
                                           SignedFileCase{"signed_near_blank", kSameOrganisation},
                                           SignedFileCase{"signed_named_nousage", kRefused},
                                           SignedFileCase{"signed_reordered_nousage", kRefused},
                                           SignedFileCase{"signed_named_anyusage", kPasses},
                                           SignedFileCase{"signed_nousage", kRefused},
                                           SignedFileCase{"signed_other", kOtherOrganisation}),
                         [](const ::testing::TestParamInfo<SignedFileCase>& info) {
                           return std::string(info.param.file);
                         });

}  // namespace
