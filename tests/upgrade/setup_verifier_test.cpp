#include "upgrade/setup_verifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/trace.h"
#include "machine_cert_stores.h"
#include "support/test_support.h"

namespace {

using testing_support::AddToMachineStore;
using testing_support::InMachineStore;
using testing_support::RemoveFromMachineStore;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::wstring Program(const wchar_t* name) {
  return Widen(testing_support::ExecutableDirectory()) + L"\\signed\\" + name + L".exe";
}

bool CanOpen(const std::wstring& path, DWORD access, DWORD* error = nullptr) {
  HANDLE file =
      ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = ::GetLastError();
    return false;
  }
  ::CloseHandle(file);
  return true;
}

// The machine stores start and end without the bundle's certificates, so that each test sees
// the update it causes and the suite can run again in the same prefix.
class SetupVerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bundle_ = testing_support::BundleCertificates();
    ASSERT_EQ(bundle_.size(), 2u) << "this test program carries no ROOTC bundle";
    // DER sorts the certificates of a bundle, so the root is told by being self-signed.
    const bool firstIsRoot = ::CertCompareCertificateName(
        X509_ASN_ENCODING, &bundle_[0]->pCertInfo->Issuer, &bundle_[0]->pCertInfo->Subject);
    root_ = bundle_[firstIsRoot ? 0 : 1].get();
    intermediate_ = bundle_[firstIsRoot ? 1 : 0].get();
    ClearStores();
    ASSERT_NE(::GetFileAttributesW(Program(L"signed_good").c_str()), INVALID_FILE_ATTRIBUTES);
  }
  void TearDown() override {
    if (verifier_) upgrade::DestroySetupVerifier(verifier_);
    ClearStores();
  }

  void ClearStores() {
    for (const wchar_t* store : {L"ROOT", L"CA"}) {
      RemoveFromMachineStore(store, root_);
      RemoveFromMachineStore(store, intermediate_);
    }
  }

  upgrade::SetupVerifier* MakeVerifier() {
    return upgrade::CreateSetupVerifier(
        [this](const wchar_t* text) { reports_.emplace_back(text); });
  }

  std::vector<testing_support::Certificate> bundle_;
  const CERT_CONTEXT* root_ = nullptr;
  const CERT_CONTEXT* intermediate_ = nullptr;
  upgrade::SetupVerifier* verifier_ = nullptr;
  std::vector<std::wstring> reports_;
};

TEST_F(SetupVerifierTest, StaleIntermediateMovesFromTheRootsToTheIntermediateAuthorities) {
  ASSERT_TRUE(AddToMachineStore(L"ROOT", intermediate_));
  ASSERT_TRUE(InMachineStore(L"ROOT", intermediate_));

  verifier_ = MakeVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, Program(L"signed_good").c_str()), 0);
  EXPECT_TRUE(verifier_->certificatesUpdated);

  EXPECT_FALSE(InMachineStore(L"ROOT", intermediate_));
  EXPECT_TRUE(InMachineStore(L"CA", intermediate_));
  EXPECT_TRUE(InMachineStore(L"ROOT", root_));
  EXPECT_FALSE(InMachineStore(L"CA", root_));
  EXPECT_TRUE(reports_.empty()) << (reports_.empty()
                                        ? ""
                                        : std::string(reports_[0].begin(), reports_[0].end()));
}

TEST_F(SetupVerifierTest, SecondVerificationLeavesTheStoresAlone) {
  verifier_ = MakeVerifier();
  ASSERT_EQ(upgrade::VerifySetupFile(verifier_, Program(L"signed_good").c_str()), 0);
  ASSERT_TRUE(InMachineStore(L"CA", intermediate_));

  // A stale copy planted now would be removed by another update.
  ASSERT_TRUE(AddToMachineStore(L"ROOT", intermediate_));
  RemoveFromMachineStore(L"ROOT", root_);
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, Program(L"signed_good").c_str()), 0);
  EXPECT_TRUE(InMachineStore(L"ROOT", intermediate_));
  EXPECT_FALSE(InMachineStore(L"ROOT", root_));
}

TEST_F(SetupVerifierTest, CertificatesAlreadyInPlaceGiveNoReport) {
  ASSERT_TRUE(AddToMachineStore(L"ROOT", root_));
  ASSERT_TRUE(AddToMachineStore(L"CA", intermediate_));
  verifier_ = MakeVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, Program(L"signed_good").c_str()), 0);
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(InMachineStore(L"ROOT", root_));
  EXPECT_TRUE(InMachineStore(L"CA", intermediate_));
  EXPECT_FALSE(InMachineStore(L"ROOT", intermediate_));
}

TEST_F(SetupVerifierTest, TrustedFileIsHeldAgainstWritingAndDeletingUntilDestruction) {
  testing_support::TempFolder folder("setup_verifier_kept");
  const std::wstring copy = Widen(folder.path()) + L"\\setup.exe";
  ASSERT_TRUE(::CopyFileW(Program(L"signed_good").c_str(), copy.c_str(), FALSE));

  verifier_ = MakeVerifier();
  ASSERT_EQ(upgrade::VerifySetupFile(verifier_, copy.c_str()), 0);
  EXPECT_EQ(verifier_->keptFiles.size(), 1u);
  DWORD error = 0;
  EXPECT_FALSE(CanOpen(copy, GENERIC_WRITE, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(CanOpen(copy, DELETE, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(::DeleteFileW(copy.c_str()));
  EXPECT_TRUE(CanOpen(copy, GENERIC_READ));  // setup can still be started from it

  upgrade::DestroySetupVerifier(verifier_);
  verifier_ = nullptr;
  EXPECT_TRUE(CanOpen(copy, GENERIC_WRITE));
  EXPECT_TRUE(::DeleteFileW(copy.c_str()));
}

struct RejectedCase {
  const wchar_t* file;
  LONG result;
  const wchar_t* reportFormat;  // %s: the path
  int detail;
};

class SetupVerifierRejectionTest : public SetupVerifierTest,
                                   public ::testing::WithParamInterface<RejectedCase> {};

TEST_P(SetupVerifierRejectionTest, ReportsAndKeepsNothing) {
  const RejectedCase& c = GetParam();
  const std::wstring path = Program(c.file);
  verifier_ = MakeVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, path.c_str()), c.result);
  EXPECT_TRUE(verifier_->keptFiles.empty());
  wchar_t expected[600];
  ::_snwprintf(expected, 599, c.reportFormat, path.c_str(), c.detail);
  expected[599] = 0;
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], expected);
  if (c.detail != 2) {
    EXPECT_TRUE(CanOpen(path, GENERIC_WRITE));  // closed again
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, SetupVerifierRejectionTest,
    ::testing::Values(RejectedCase{L"signed_other", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
                                   L"File %s is not trusted. VerifyFile result: %d", 3},
                      RejectedCase{L"signed_tampered",
                                   static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
                                   L"File %s is not trusted. VerifyFile result: %d", 3},
                      RejectedCase{L"unsigned", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
                                   L"File %s is not trusted. VerifyFile result: %d", 3},
                      RejectedCase{L"missing", static_cast<LONG>(0x80070002),
                                   L"Could not open file %s. Last error: %d", 2}));

TEST_F(SetupVerifierTest, FileOpenForWritingElsewhereCannotBeVerified) {
  testing_support::TempFolder folder("setup_verifier_locked");
  const std::wstring copy = Widen(folder.path()) + L"\\setup.exe";
  ASSERT_TRUE(::CopyFileW(Program(L"signed_good").c_str(), copy.c_str(), FALSE));
  HANDLE writer = ::CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  verifier_ = MakeVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, copy.c_str()),
            static_cast<LONG>(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)));
  ::CloseHandle(writer);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], L"Could not open file " + copy + L". Last error: 32");
}

// A component whose initialisation fails.
class UnreadyVerifyTrust final : public sharedlib::IvnVerifyTrust {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG STDMETHODCALLTYPE Initialise(ULONG) override { return 0; }
  ULONG STDMETHODCALLTYPE FlushVerdictCache() override { return 0; }
  ULONG STDMETHODCALLTYPE VerifyFile(const wchar_t*, ULONG) override { return ++verifyCalls, 1; }
  ULONG STDMETHODCALLTYPE VerifyFileA(const char*, ULONG) override { return ++verifyCalls, 1; }
  ULONG STDMETHODCALLTYPE VerifyFileEx(const wchar_t*, ULONG, ULONG, BYTE*, ULONG) override {
    return ++verifyCalls, 1;
  }
  ULONG STDMETHODCALLTYPE VerifyFileExA(const char*, ULONG, ULONG, BYTE*, ULONG) override {
    return ++verifyCalls, 1;
  }
  ULONG references = 0;
  int verifyCalls = 0;
};
UnreadyVerifyTrust g_unready;
HRESULT MakeUnready(sharedlib::IvnVerifyTrust** instance) {
  g_unready.AddRef();
  *instance = &g_unready;
  return S_OK;
}
HRESULT MakeNothing(sharedlib::IvnVerifyTrust** instance) {
  *instance = nullptr;
  return E_OUTOFMEMORY;
}

TEST_F(SetupVerifierTest, ComponentThatCannotInitialiseGivesEFail) {
  const upgrade::VerifyTrustFactory previous =
      upgrade::SetVerifyTrustFactoryForTesting(MakeUnready);
  verifier_ = MakeVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, Program(L"signed_good").c_str()), E_FAIL);
  EXPECT_EQ(g_unready.verifyCalls, 0);
  EXPECT_EQ(g_unready.references, 0u);  // released
  EXPECT_TRUE(verifier_->keptFiles.empty());
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], L"Failed to create vnVerifyTrust. Error: 0");

  upgrade::SetVerifyTrustFactoryForTesting(MakeNothing);
  reports_.clear();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, Program(L"signed_good").c_str()), E_FAIL);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], L"Failed to create vnVerifyTrust. Error: -2147024882");
  upgrade::SetVerifyTrustFactoryForTesting(previous);
}

// Reports reach the event trace as well as the hook, and a verifier without a hook still
// traces them.
std::vector<std::wstring> g_tracedReports;
ULONG RecordReport(TRACEHANDLE, ULONG, const GUID&, USHORT, const diag::TraceArgument* args,
                   std::size_t count) {
  if (count == 1) g_tracedReports.emplace_back(static_cast<const wchar_t*>(args[0].data));
  return 0;
}
TRACEHANDLE Logger(PVOID) { return 1; }
UCHAR LevelError(TRACEHANDLE) { return diag::kTraceLevelError; }
ULONG FlagsGeneral(TRACEHANDLE) { return diag::kTraceFlagGeneral; }

TEST_F(SetupVerifierTest, ReportsGoToTheTraceWithOrWithoutAHook) {
  diag::RegisterTraceProvider();
  const diag::TraceSystem previous =
      diag::SetTraceSystemForTesting({Logger, LevelError, FlagsGeneral, RecordReport});
  WNODE_HEADER header = {};
  ULONG size = 0;
  diag::TraceControlCallback(WMI_ENABLE_EVENTS, &diag::TraceProviderBlock(), &size, &header);
  g_tracedReports.clear();

  const std::wstring other = Program(L"signed_other");
  upgrade::SetupVerifier* silent = upgrade::CreateSetupVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(silent, other.c_str()),
            static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED));
  upgrade::DestroySetupVerifier(silent);

  diag::TraceControlCallback(WMI_DISABLE_EVENTS, &diag::TraceProviderBlock(), &size, &header);
  diag::SetTraceSystemForTesting(previous);
  diag::UnregisterTraceProvider();
  ASSERT_EQ(g_tracedReports.size(), 1u);
  EXPECT_EQ(g_tracedReports[0], L"File " + other + L" is not trusted. VerifyFile result: 3");
}

}  // namespace
