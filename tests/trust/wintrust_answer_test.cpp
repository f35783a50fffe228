// WinTrust's result of a request turned into the verifier's answer: every result the verifier
// tells apart, and the results that must all fall to "not trusted".
#include <gtest/gtest.h>

#include <string>

#include "sharedlib/trust_verifier.h"
#include "sharedlib/wintrust_call.h"

namespace {

struct MappedCase {
  const char* label;
  DWORD result;
  ULONG answer;
};

class WinTrustAnswerTest : public ::testing::TestWithParam<MappedCase> {};

TEST_P(WinTrustAnswerTest, MapsToTheVerifiersAnswer) {
  EXPECT_EQ(sharedlib::MapWinTrustAnswer(static_cast<LONG>(GetParam().result)), GetParam().answer);
}

std::string Label(const ::testing::TestParamInfo<MappedCase>& info) { return info.param.label; }

INSTANTIATE_TEST_SUITE_P(
    Distinguished, WinTrustAnswerTest,
    ::testing::Values(
        MappedCase{"Trusted", 0, 1},
        MappedCase{"TimeStamp", 0x80096005 /* TRUST_E_TIME_STAMP */, 20},
        MappedCase{"ProviderUnknown", 0x800B0001 /* TRUST_E_PROVIDER_UNKNOWN */, 4},
        MappedCase{"ActionUnknown", 0x800B0002 /* TRUST_E_ACTION_UNKNOWN */, 4},
        MappedCase{"SubjectFormUnknown", 0x800B0003 /* TRUST_E_SUBJECT_FORM_UNKNOWN */, 4},
        MappedCase{"RevocationFailure", 0x800B010E /* CERT_E_REVOCATION_FAILURE */, 15}),
    Label);

// Whatever else WinTrust says, the file is not trusted: a signature that is missing, broken,
// revoked, expired, out of its time-stamp, under an unknown root or not checkable for revocation.
INSTANTIATE_TEST_SUITE_P(
    NotTrusted, WinTrustAnswerTest,
    ::testing::Values(
        MappedCase{"NoSignature", 0x800B0100 /* TRUST_E_NOSIGNATURE */, 3},
        MappedCase{"BadDigest", 0x80096010 /* TRUST_E_BAD_DIGEST */, 3},
        MappedCase{"SubjectNotTrusted", 0x800B0004 /* TRUST_E_SUBJECT_NOT_TRUSTED */, 3},
        MappedCase{"ExplicitDistrust", 0x800B0111 /* TRUST_E_EXPLICIT_DISTRUST */, 3},
        MappedCase{"Revoked", 0x800B010C /* CERT_E_REVOKED */, 3},
        MappedCase{"Expired", 0x800B0101 /* CERT_E_EXPIRED */, 3},
        MappedCase{"ValidityPeriodNesting", 0x800B0102 /* CERT_E_VALIDITYPERIODNESTING */, 3},
        MappedCase{"CounterSigner", 0x80096003 /* TRUST_E_COUNTER_SIGNER */, 3},
        MappedCase{"CertificateSignature", 0x80096004 /* TRUST_E_CERT_SIGNATURE */, 3},
        MappedCase{"UntrustedRoot", 0x800B0109 /* CERT_E_UNTRUSTEDROOT */, 3},
        MappedCase{"UntrustedTestRoot", 0x800B010D /* CERT_E_UNTRUSTEDTESTROOT */, 3},
        MappedCase{"UntrustedCa", 0x800B0112 /* CERT_E_UNTRUSTEDCA */, 3},
        MappedCase{"Chaining", 0x800B010A /* CERT_E_CHAINING */, 3},
        MappedCase{"WrongUsage", 0x800B0110 /* CERT_E_WRONG_USAGE */, 3},
        MappedCase{"RevocationOffline", 0x80092013 /* CRYPT_E_REVOCATION_OFFLINE */, 3},
        MappedCase{"NoRevocationCheck", 0x80092012 /* CRYPT_E_NO_REVOCATION_CHECK */, 3},
        MappedCase{"Revoked2", 0x80092010 /* CRYPT_E_REVOKED */, 3},
        MappedCase{"FileError", 0x80092003 /* CRYPT_E_FILE_ERROR */, 3},
        MappedCase{"Fail", 0x800B010B /* TRUST_E_FAIL */, 3},
        MappedCase{"SystemError", 0x80096001 /* TRUST_E_SYSTEM_ERROR */, 3},
        // Next to the three "unknown" results, and not among them.
        MappedCase{"BeforeTheUnknowns", 0x800B0000, 3},
        MappedCase{"OutOfMemory", 0x8007000E /* E_OUTOFMEMORY */, 3},
        MappedCase{"AccessDenied", 0x80070005 /* E_ACCESSDENIED */, 3},
        // Not an HRESULT WinTrust gives, but not 0 either.
        MappedCase{"PositiveResult", 1, 3}, MappedCase{"WinTrustFalse", 0xFFFFFFFF, 3}),
    Label);

// CRYPT_E_SECURITY_SETTINGS: the machine's policy says whether the administrator's settings
// only keep the file from being judged, or refuse it.
// The programs import only what they use from wintrust.dll: the policy writer is looked up.
class SecuritySettingsTest : public ::testing::TestWithParam<bool> {
 protected:
  using SetFlags = decltype(&::WintrustSetRegPolicyFlags);
  void SetUp() override {
    HMODULE module = ::LoadLibraryExW(L"wintrust.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    ASSERT_TRUE(module);
    setFlags_ = reinterpret_cast<SetFlags>(
        reinterpret_cast<void*>(::GetProcAddress(module, "WintrustSetRegPolicyFlags")));
    ASSERT_TRUE(setFlags_);
    ::WintrustGetRegPolicyFlags(&saved_);
  }
  void TearDown() override {
    if (setFlags_) setFlags_(saved_);
  }
  SetFlags setFlags_ = nullptr;
  DWORD saved_ = 0;
};

TEST_P(SecuritySettingsTest, FollowsTheMachinesPolicy) {
  const bool ignore = GetParam();
  const DWORD flags = ignore ? (saved_ | sharedlib::kPolicyIgnoreSecuritySettings)
                             : (saved_ & ~sharedlib::kPolicyIgnoreSecuritySettings);
  ASSERT_TRUE(setFlags_(flags));
  DWORD readBack = 0;
  ::WintrustGetRegPolicyFlags(&readBack);
  ASSERT_EQ(readBack, flags);
  EXPECT_EQ(
      sharedlib::MapWinTrustAnswer(static_cast<LONG>(0x80092026 /* CRYPT_E_SECURITY_SETTINGS */)),
      ignore ? 4u : 3u);
}

INSTANTIATE_TEST_SUITE_P(Policy, SecuritySettingsTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "IgnoreSettings" : "HonourSettings");
                         });

}  // namespace
