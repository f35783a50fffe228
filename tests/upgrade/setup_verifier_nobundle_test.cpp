// This program carries no "ROOTC" bundle: the certificate update fails and verification still
// runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "upgrade/setup_verifier.h"

namespace {

std::wstring Program(const wchar_t* name) {
  const std::string dir = testing_support::ExecutableDirectory();
  return std::wstring(dir.begin(), dir.end()) + L"\\signed\\" + name + L".exe";
}

bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(SetupVerifierWithoutBundle, ReportsTheFailedInstallAndStillVerifies) {
  ASSERT_EQ(::FindResourceW(nullptr, MAKEINTRESOURCEW(1), L"ROOTC"), nullptr);
  // 1812 or 1813, depending on whether the image has resources of other types.
  wchar_t installFailure[64];
  ::_snwprintf(installFailure, 63, L"Failed to install certificate. HRESULT: 0x%08X",
               static_cast<unsigned>(HRESULT_FROM_WIN32(::GetLastError())));
  installFailure[63] = 0;
  std::vector<std::wstring> reports;
  upgrade::SetupVerifier* verifier =
      upgrade::CreateSetupVerifier([&](const wchar_t* text) { reports.emplace_back(text); });

  const LONG other = upgrade::VerifySetupFile(verifier, Program(L"signed_other").c_str());
  EXPECT_TRUE(verifier->certificatesUpdated);
  const LONG good = upgrade::VerifySetupFile(verifier, Program(L"signed_good").c_str());
  upgrade::DestroySetupVerifier(verifier);

  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0], installFailure);
  EXPECT_EQ(reports[0].rfind(L"Failed to install certificate. HRESULT: 0x8007071", 0), 0u);
  // The verification ran: the other publisher is told apart by its identity...
  EXPECT_EQ(other, static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED));
  EXPECT_EQ(reports[1],
            L"File " + Program(L"signed_other") + L" is not trusted. VerifyFile result: 3");
  // ...and the update ran only once.
  EXPECT_EQ(std::count(reports.begin(), reports.end(), std::wstring(installFailure)), 1);
  // Without the root in the machine store only Wine, which accepts an unknown root, trusts the
  // publisher's file.
  if (RunningUnderWine()) {
    EXPECT_EQ(good, 0);
  }
}

}  // namespace
