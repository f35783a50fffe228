#include "upgrade/setup_verifier.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "diag/trace.h"
#include "machine_cert_stores.h"
#include "platform/file_identity.h"
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

// Each refusal through the path form, which opens the file itself, and through the held form,
// which judges the caller's handle.
enum class Form { kPath, kHeld };

class SetupVerifierRejectionTest
    : public SetupVerifierTest,
      public ::testing::WithParamInterface<std::tuple<RejectedCase, Form>> {};

TEST_P(SetupVerifierRejectionTest, ReportsAndKeepsNothing) {
  const RejectedCase& c = std::get<0>(GetParam());
  const std::wstring path = Program(c.file);
  platform::UniqueFileHandle held;
  if (std::get<1>(GetParam()) == Form::kHeld) {
    held = platform::OpenReadShared(path.c_str());
    ASSERT_TRUE(held);
  }
  verifier_ = MakeVerifier();
  EXPECT_EQ(held ? upgrade::VerifySetupFile(verifier_, path.c_str(), held.get())
                 : upgrade::VerifySetupFile(verifier_, path.c_str()),
            c.result);
  EXPECT_TRUE(verifier_->keptFiles.empty());
  wchar_t expected[600];
  ::_snwprintf(expected, 599, c.reportFormat, path.c_str(), c.detail);
  expected[599] = 0;
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], expected);
  held.reset();
  if (c.detail != 2) {
    EXPECT_TRUE(CanOpen(path, GENERIC_WRITE));  // closed again
  }
}

const RejectedCase kUntrusted[] = {
    {L"signed_other", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_tampered", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_nousage", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"unsigned", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    // Signers under the publisher's chain that come close to the publisher.
    {L"signed_differs_cn", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_differs_ou", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_differs_o", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_differs_l", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_differs_st", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_differs_c", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_near_case", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_near_blank", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_named_nousage", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3},
    {L"signed_reordered_nousage", static_cast<LONG>(TRUST_E_SUBJECT_NOT_TRUSTED),
     L"File %s is not trusted. VerifyFile result: %d", 3}};
const RejectedCase kMissing{L"missing", static_cast<LONG>(0x80070002),
                            L"Could not open file %s. Last error: %d", 2};

INSTANTIATE_TEST_SUITE_P(Held, SetupVerifierRejectionTest,
                         ::testing::Combine(::testing::ValuesIn(kUntrusted),
                                            ::testing::Values(Form::kHeld)));
INSTANTIATE_TEST_SUITE_P(Path, SetupVerifierRejectionTest,
                         ::testing::Combine(::testing::ValuesIn(kUntrusted),
                                            ::testing::Values(Form::kPath)));
INSTANTIATE_TEST_SUITE_P(PathMissing, SetupVerifierRejectionTest,
                         ::testing::Combine(::testing::Values(kMissing),
                                            ::testing::Values(Form::kPath)));

// The held form keeps the caller's file, and a handle that holds nothing is refused.
TEST_F(SetupVerifierTest, HeldFormKeepsTheCallersFileAndRefusesNoFile) {
  const std::wstring good = Program(L"signed_good");
  verifier_ = MakeVerifier();
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, good.c_str(), INVALID_HANDLE_VALUE),
            static_cast<LONG>(HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE)));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], L"Could not open file " + good + L". Last error: 6");

  testing_support::TempFolder folder("setup_verifier_held");
  const std::wstring copy = Widen(folder.path()) + L"\\setup.exe";
  ASSERT_TRUE(::CopyFileW(good.c_str(), copy.c_str(), FALSE));
  platform::UniqueFileHandle held = platform::OpenReadShared(copy.c_str());
  ASSERT_TRUE(held);
  ASSERT_EQ(upgrade::VerifySetupFile(verifier_, copy.c_str(), held.get()), 0);
  ASSERT_EQ(verifier_->keptFiles.size(), 1u);
  platform::FileIdentity kept;
  platform::FileIdentity caller;
  ASSERT_TRUE(platform::FileIdentityOf(verifier_->keptFiles[0].get(), kept));
  ASSERT_TRUE(platform::FileIdentityOf(held.get(), caller));
  EXPECT_EQ(kept, caller);
  // The kept handle alone still holds the file once the caller lets go of its own.
  held.reset();
  EXPECT_FALSE(CanOpen(copy, GENERIC_WRITE));
  upgrade::DestroySetupVerifier(verifier_);
  verifier_ = nullptr;
  EXPECT_TRUE(CanOpen(copy, GENERIC_WRITE));
}

// Fault: HRESULT_FROM_WIN32(0) is 0, so an open that failed without a last error read as
// trusted. Failing opens come from the seam, since no real file can be made to fail that way.
DWORD g_openError = 0;
HANDLE FailingOpen(const wchar_t*) {
  ::SetLastError(g_openError);
  return INVALID_HANDLE_VALUE;
}

class FailedOpenTest : public SetupVerifierTest,
                       public ::testing::WithParamInterface<std::pair<DWORD, LONG>> {};

TEST_P(FailedOpenTest, IsNeverTrusted) {
  g_openError = GetParam().first;
  const platform::OpenReadSharedFn previous = platform::SetOpenReadSharedForTesting(FailingOpen);
  const std::wstring good = Program(L"signed_good");
  verifier_ = MakeVerifier();
  const LONG result = upgrade::VerifySetupFile(verifier_, good.c_str());
  platform::SetOpenReadSharedForTesting(previous);

  EXPECT_EQ(result, GetParam().second);
  EXPECT_LT(result, 0);
  EXPECT_TRUE(verifier_->keptFiles.empty());
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0],
            L"Could not open file " + good + L". Last error: " + std::to_wstring(g_openError));
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FailedOpenTest,
    ::testing::Values(std::make_pair(DWORD{0}, LONG{E_FAIL}),
                      std::make_pair(DWORD{ERROR_ACCESS_DENIED},
                                     static_cast<LONG>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)))));

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

// A component that can judge files only by their names, and counts how often it is asked.
// `initialiseAnswer` 0 is a component whose initialisation fails.
class NameOnlyVerifyTrust final : public sharedlib::IvnVerifyTrust {
 public:
  explicit NameOnlyVerifyTrust(ULONG initialiseAnswer) : initialiseAnswer_(initialiseAnswer) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG STDMETHODCALLTYPE Initialise(ULONG) override { return initialiseAnswer_; }
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

 private:
  const ULONG initialiseAnswer_;
};
NameOnlyVerifyTrust g_unready(0);
NameOnlyVerifyTrust g_pathOnly(1);
template <NameOnlyVerifyTrust* component>
HRESULT MakeNameOnly(sharedlib::IvnVerifyTrust** instance) {
  component->AddRef();
  *instance = component;
  return S_OK;
}
HRESULT MakeNothing(sharedlib::IvnVerifyTrust** instance) {
  *instance = nullptr;
  return E_OUTOFMEMORY;
}

// A component that cannot be made, cannot be initialised, or can judge files only by their names
// (which would judge whatever the name leads to by then) trusts nothing.
struct UnusableCase {
  const char* label;
  upgrade::VerifyTrustFactory factory;
  const NameOnlyVerifyTrust* component;  // when there is one
  const wchar_t* report;
};

class UnusableComponentTest : public SetupVerifierTest,
                              public ::testing::WithParamInterface<UnusableCase> {
 protected:
  void SetUp() override {
    SetupVerifierTest::SetUp();
    previous_ = upgrade::SetVerifyTrustFactoryForTesting(GetParam().factory);
  }
  void TearDown() override {
    upgrade::SetVerifyTrustFactoryForTesting(previous_);
    SetupVerifierTest::TearDown();
  }
  upgrade::VerifyTrustFactory previous_ = nullptr;
};

TEST_P(UnusableComponentTest, GivesEFail) {
  const std::wstring good = Program(L"signed_good");
  verifier_ = MakeVerifier();
  platform::UniqueFileHandle held = platform::OpenReadShared(good.c_str());
  ASSERT_TRUE(held);
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, good.c_str(), held.get()), E_FAIL);
  EXPECT_EQ(upgrade::VerifySetupFile(verifier_, good.c_str()), E_FAIL);
  if (const NameOnlyVerifyTrust* component = GetParam().component) {
    EXPECT_EQ(component->verifyCalls, 0);
    EXPECT_EQ(component->references, 0u);  // released
  }
  EXPECT_TRUE(verifier_->keptFiles.empty());
  EXPECT_THAT(reports_, ::testing::ElementsAre(GetParam().report, GetParam().report));
}

INSTANTIATE_TEST_SUITE_P(
    Components, UnusableComponentTest,
    ::testing::Values(UnusableCase{"Unready", MakeNameOnly<&g_unready>, &g_unready,
                                   L"Failed to create vnVerifyTrust. Error: 0"},
                      UnusableCase{"Absent", MakeNothing, nullptr,
                                   L"Failed to create vnVerifyTrust. Error: -2147024882"},
                      UnusableCase{"PathOnly", MakeNameOnly<&g_pathOnly>, &g_pathOnly,
                                   L"Failed to create vnVerifyTrust. Error: -2147467262"}),
    [](const ::testing::TestParamInfo<UnusableCase>& info) {
      return std::string(info.param.label);
    });

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
