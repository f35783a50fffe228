#include "sharedlib/trust_verifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/trace.h"
#include "platform/unique_handle.h"
#include "support/test_support.h"

namespace {

using sharedlib::IvnVerifyHeldFile;
using sharedlib::IvnVerifyTrust;
using sharedlib::IvnVerifyTrustConfig;

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring SignedDir() { return Widen(testing_support::ExecutableDirectory()) + L"\\signed"; }
std::wstring Program(const wchar_t* name) { return SignedDir() + L"\\" + name + L".exe"; }

bool RunningUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// One ready instance per test, with the external-verdict lookup off as the setup check uses it.
class TrustVerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(sharedlib::CreateVerifyTrust(&verifier_), S_OK);
    ASSERT_EQ(verifier_->QueryInterface(sharedlib::IID_IvnVerifyTrustConfig,
                                        reinterpret_cast<void**>(&config_)),
              S_OK);
    ASSERT_EQ(config_->SetOption(0), S_OK);
    ASSERT_EQ(verifier_->Initialise(1), sharedlib::kTrustReady);
    ASSERT_NE(::GetFileAttributesW(Program(L"signed_good").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the signed test programs are missing";
  }
  void TearDown() override {
    if (config_) config_->Release();
    if (verifier_) {
      verifier_->FlushVerdictCache();
      verifier_->Release();
    }
  }

  IvnVerifyTrust* verifier_ = nullptr;
  IvnVerifyTrustConfig* config_ = nullptr;
};

struct SignedCase {
  const wchar_t* file;
  ULONG level;
  ULONG expected;
};

class SignedProgramTest : public TrustVerifierTest,
                          public ::testing::WithParamInterface<SignedCase> {};

TEST_P(SignedProgramTest, AnswersByTheSignerAndTheLevel) {
  const SignedCase& c = GetParam();
  EXPECT_EQ(verifier_->VerifyFile(Program(c.file).c_str(), c.level), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Level3, SignedProgramTest,
    ::testing::Values(SignedCase{L"signed_good", 3, 1},
                      // Wine checks the digest and the chain; only the identity check tells
                      // another publisher under the same chain apart.
                      SignedCase{L"signed_other", 3, 3},
                      // No code-signing usage and a name that is not the publisher's.
                      SignedCase{L"signed_nousage", 3, 3},
                      // Wine reports the bad digest.
                      SignedCase{L"signed_tampered", 3, 3},
                      // No signature: WinTrust's answer falls into "anything else".
                      SignedCase{L"unsigned", 3, 3}, SignedCase{L"missing", 3, 2}));

INSTANTIATE_TEST_SUITE_P(
    OtherLevels, SignedProgramTest,
    ::testing::Values(SignedCase{L"signed_other", 2, 1},  // usage only
                      SignedCase{L"signed_other", 4, 3},  // organisation differs
                      SignedCase{L"signed_good", 4, 1},   // organisation matches
                      SignedCase{L"signed_good", 2, 1},
                      // Catalogs are consulted at level 2; none holds this program.
                      SignedCase{L"unsigned", 2, 3}, SignedCase{L"signed_tampered", 2, 3},
                      SignedCase{L"missing", 2, 2}));

// Signers that come close to the publisher under the same chain. Level 3, the level the setup
// check uses, refuses every one; level 4 only those of another organisation or unit.
struct NearSignerCase {
  const wchar_t* file;
  ULONG codeSigning;   // level 2
  ULONG publisher;     // level 3
  ULONG organisation;  // level 4
};

class NearSignerTest : public TrustVerifierTest,
                       public ::testing::WithParamInterface<NearSignerCase> {};

TEST_P(NearSignerTest, AnswersAtEachLevel) {
  const NearSignerCase& c = GetParam();
  const std::wstring path = Program(c.file);
  EXPECT_EQ(verifier_->VerifyFile(path.c_str(), 2), c.codeSigning);
  EXPECT_EQ(verifier_->VerifyFile(path.c_str(), 3), c.publisher);
  EXPECT_EQ(verifier_->VerifyFile(path.c_str(), 4), c.organisation);
}

// The held-file form answers level 3 only, as the path form does.
TEST_P(NearSignerTest, HeldFileAnswersAsThePathForm) {
  const NearSignerCase& c = GetParam();
  const std::wstring path = Program(c.file);
  platform::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  IvnVerifyHeldFile* held = nullptr;
  ASSERT_EQ(
      verifier_->QueryInterface(sharedlib::IID_IvnVerifyHeldFile, reinterpret_cast<void**>(&held)),
      S_OK);
  EXPECT_EQ(held->VerifyHeldFile(path.c_str(), file.get(), 3), c.publisher);
  held->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Signers, NearSignerTest,
    ::testing::Values(
        NearSignerCase{L"signed_good", 1, 1, 1}, NearSignerCase{L"signed_differs_cn", 1, 3, 1},
        NearSignerCase{L"signed_differs_ou", 1, 3, 3}, NearSignerCase{L"signed_differs_o", 1, 3, 3},
        NearSignerCase{L"signed_differs_l", 1, 3, 1}, NearSignerCase{L"signed_differs_st", 1, 3, 1},
        NearSignerCase{L"signed_differs_c", 1, 3, 1}, NearSignerCase{L"signed_near_case", 1, 3, 1},
        NearSignerCase{L"signed_near_blank", 1, 3, 1},
        // A usage list without code signing, whatever the name: Wine's WinTrust
        // lets the signature through, the signer check refuses it.
        NearSignerCase{L"signed_named_nousage", 3, 3, 3},
        NearSignerCase{L"signed_reordered_nousage", 3, 3, 3},
        // No usage list: good for every use, under the publisher's name.
        NearSignerCase{L"signed_named_anyusage", 1, 1, 1}),
    [](const ::testing::TestParamInfo<NearSignerCase>& info) {
      const std::wstring name = info.param.file;
      return std::string(name.begin(), name.end());
    });

// The held-file form: the file is read through a handle its caller holds, as the setup program
// is. It answers the same matrix as the path form.
class HeldFileTest : public TrustVerifierTest {
 protected:
  void SetUp() override {
    TrustVerifierTest::SetUp();
    ASSERT_EQ(verifier_->QueryInterface(sharedlib::IID_IvnVerifyHeldFile,
                                        reinterpret_cast<void**>(&held_)),
              S_OK);
  }
  void TearDown() override {
    if (held_) held_->Release();
    TrustVerifierTest::TearDown();
  }
  static platform::UniqueFileHandle Hold(const std::wstring& path) {
    return platform::UniqueFileHandle(::CreateFileW(
        path.c_str(), FILE_GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  }

  IvnVerifyHeldFile* held_ = nullptr;
};

class HeldFileMatrixTest : public HeldFileTest, public ::testing::WithParamInterface<SignedCase> {};

TEST_P(HeldFileMatrixTest, AnswersAsThePathFormDoes) {
  const SignedCase& c = GetParam();
  const std::wstring path = Program(c.file);
  platform::UniqueFileHandle file = Hold(path);
  ASSERT_TRUE(file);
  EXPECT_EQ(held_->VerifyHeldFile(path.c_str(), file.get(), c.level), c.expected);
  EXPECT_EQ(verifier_->VerifyFile(path.c_str(), c.level), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Level3, HeldFileMatrixTest,
                         ::testing::Values(SignedCase{L"signed_good", 3, 1},
                                           SignedCase{L"signed_other", 3, 3},
                                           SignedCase{L"signed_nousage", 3, 3},
                                           SignedCase{L"signed_tampered", 3, 3},
                                           SignedCase{L"unsigned", 3, 3}));

// The answer is about the file the handle holds, whatever the path names, and wherever the
// handle was left standing; the handle stays usable and keeps writers out afterwards.
TEST_F(HeldFileTest, JudgesTheFileItHoldsNotTheFileThePathNames) {
  const std::wstring good = Program(L"signed_good");
  const std::wstring unsigned_ = Program(L"unsigned");
  platform::UniqueFileHandle goodFile = Hold(good);
  platform::UniqueFileHandle unsignedFile = Hold(unsigned_);
  ASSERT_TRUE(goodFile);
  ASSERT_TRUE(unsignedFile);

  EXPECT_EQ(held_->VerifyHeldFile(unsigned_.c_str(), goodFile.get(), 3), 1u);
  EXPECT_EQ(held_->VerifyHeldFile(good.c_str(), unsignedFile.get(), 3), 3u);
  EXPECT_EQ(held_->VerifyHeldFile(Program(L"missing").c_str(), goodFile.get(), 3), 1u);

  LARGE_INTEGER end = {};
  ASSERT_TRUE(::SetFilePointerEx(goodFile.get(), end, nullptr, FILE_END));
  EXPECT_EQ(held_->VerifyHeldFile(good.c_str(), goodFile.get(), 3), 1u);

  char header[2] = {};
  DWORD read = 0;
  ASSERT_TRUE(::SetFilePointerEx(goodFile.get(), end, nullptr, FILE_BEGIN));
  EXPECT_TRUE(::ReadFile(goodFile.get(), header, 2, &read, nullptr));
  EXPECT_EQ(std::string(header, read), "MZ");
  platform::UniqueFileHandle writer(::CreateFileW(good.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer);
}

// What it cannot judge is never trusted: no handle, no name, a level that would need the
// catalogs, an instance that was not initialised.
TEST_F(HeldFileTest, RefusesWhatItCannotJudge) {
  const std::wstring good = Program(L"signed_good");
  platform::UniqueFileHandle file = Hold(good);
  ASSERT_TRUE(file);
  EXPECT_EQ(held_->VerifyHeldFile(good.c_str(), INVALID_HANDLE_VALUE, 3), 5u);
  EXPECT_EQ(held_->VerifyHeldFile(good.c_str(), nullptr, 3), 5u);
  EXPECT_EQ(held_->VerifyHeldFile(nullptr, file.get(), 3), 5u);
  EXPECT_EQ(held_->VerifyHeldFile(L"", file.get(), 3), 5u);
  for (ULONG level : {0u, 2u, 4u, 5u}) {
    EXPECT_EQ(held_->VerifyHeldFile(good.c_str(), file.get(), level), 5u) << "level " << level;
  }

  IvnVerifyTrust* fresh = nullptr;
  ASSERT_EQ(sharedlib::CreateVerifyTrust(&fresh), S_OK);
  IvnVerifyHeldFile* freshHeld = nullptr;
  ASSERT_EQ(
      fresh->QueryInterface(sharedlib::IID_IvnVerifyHeldFile, reinterpret_cast<void**>(&freshHeld)),
      S_OK);
  EXPECT_EQ(freshHeld->VerifyHeldFile(good.c_str(), file.get(), 3), 5u);
  freshHeld->Release();
  EXPECT_EQ(fresh->Release(), 0u);
}

TEST_F(TrustVerifierTest, UnknownRootFollowsTheSystemsChainPolicy) {
  // Wine accepts a chain that ends in an unknown root, and the leaf carries the right identity,
  // so Wine trusts it; Windows answers CERT_E_UNTRUSTEDROOT, which maps to 3.
  const ULONG answer = verifier_->VerifyFile(Program(L"signed_unknown_root").c_str(), 3);
  EXPECT_EQ(answer, RunningUnderWine() ? 1u : 3u);
}

TEST_F(TrustVerifierTest, BadArgumentsAnswerFiveBeforeTheDiskIsAsked) {
  const std::wstring good = Program(L"signed_good");
  EXPECT_EQ(verifier_->VerifyFile(nullptr, 3), 5u);
  EXPECT_EQ(verifier_->VerifyFile(L"", 3), 5u);
  // Level 0 on an existing, trusted file: the argument check comes first.
  EXPECT_EQ(verifier_->VerifyFile(good.c_str(), 0), 5u);
  EXPECT_EQ(verifier_->VerifyFileA(nullptr, 3), 5u);
  EXPECT_EQ(verifier_->VerifyFileA("", 3), 5u);
  EXPECT_EQ(verifier_->VerifyFileEx(L"", 3, 1, nullptr, 0), 5u);
}

TEST_F(TrustVerifierTest, NarrowAndLongFormsAnswerAsTheWideForm) {
  const std::string good = testing_support::ExecutableDirectory() + "\\signed\\signed_good.exe";
  const std::string other = testing_support::ExecutableDirectory() + "\\signed\\signed_other.exe";
  EXPECT_EQ(verifier_->VerifyFileA(good.c_str(), 3), 1u);
  EXPECT_EQ(verifier_->VerifyFileA(other.c_str(), 3), 3u);
  BYTE outFlag = 0xAA;
  EXPECT_EQ(verifier_->VerifyFileEx(Program(L"signed_good").c_str(), 3, 1, &outFlag, 0), 1u);
  EXPECT_EQ(outFlag, 0);  // no external verdict marked the file
  outFlag = 0xAA;
  EXPECT_EQ(verifier_->VerifyFileExA(other.c_str(), 3, 1, &outFlag, 0), 3u);
  EXPECT_EQ(outFlag, 0);
}

TEST_F(TrustVerifierTest, DeviceFormNamesTheSameFileAsTheDriveLetterForm) {
  const std::wstring good = Program(L"signed_good");
  const std::wstring other = Program(L"signed_other");
  ASSERT_EQ(good[1], L':');
  EXPECT_EQ(verifier_->VerifyFile((L"\\??\\" + good).c_str(), 3), 1u);
  EXPECT_EQ(verifier_->VerifyFile((L"\\??\\" + other).c_str(), 3), 3u);
  EXPECT_EQ(verifier_->VerifyFile((L"\\??\\" + Program(L"missing")).c_str(), 3), 2u);

  // The volume form, as the system names the drive.
  const wchar_t drive[] = {good[0], L':', 0};
  wchar_t target[MAX_PATH] = {};
  ASSERT_NE(::QueryDosDeviceW(drive, target, MAX_PATH), 0u);
  const std::wstring volume = target;
  if (_wcsnicmp(volume.c_str(), L"\\Device\\HarddiskVolume", 22) != 0) {
    GTEST_SKIP() << "drive " << good[0] << ": is not a hard disk volume here";
  }
  EXPECT_EQ(sharedlib::NormaliseTrustPath(volume + good.substr(2)), good);
  EXPECT_EQ(verifier_->VerifyFile((volume + good.substr(2)).c_str(), 3), 1u);
  EXPECT_EQ(verifier_->VerifyFile((volume + other.substr(2)).c_str(), 3), 3u);
}

TEST_F(TrustVerifierTest, EnvironmentReferencesAreExpanded) {
  ASSERT_TRUE(::SetEnvironmentVariableW(L"DAXINST_TRUST_TEST_DIR", SignedDir().c_str()));
  EXPECT_EQ(verifier_->VerifyFile(L"%DAXINST_TRUST_TEST_DIR%\\signed_good.exe", 3), 1u);
  EXPECT_EQ(verifier_->VerifyFile(L"%DAXINST_TRUST_TEST_DIR%\\unsigned.exe", 3), 3u);
  ::SetEnvironmentVariableW(L"DAXINST_TRUST_TEST_DIR", nullptr);
}

// A file replaced after its verdict was cached is judged afresh, and with the cache off (as
// created) every request is judged afresh.
TEST_F(TrustVerifierTest, VerdictCacheNeverOutlivesTheFileItJudged) {
  testing_support::TempFolder folder("trust_cache");
  const std::string copy = folder.path() + "\\program.exe";
  const std::string dir = testing_support::ExecutableDirectory() + "\\signed\\";
  const std::wstring wideCopy = Widen(copy);

  for (ULONG cacheOn : {0u, 1u}) {
    ASSERT_EQ(config_->SetVerdictCache(cacheOn), S_OK);
    ASSERT_TRUE(::CopyFileA((dir + "signed_good.exe").c_str(), copy.c_str(), FALSE));
    EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 1u) << "cache " << cacheOn;
    EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 1u) << "cache " << cacheOn;
    // Replace the contents with the tampered copy and give it a later write time.
    ASSERT_TRUE(::CopyFileA((dir + "signed_tampered.exe").c_str(), copy.c_str(), FALSE));
    HANDLE file =
        ::CreateFileA(copy.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ::SetFileTime(file, nullptr, nullptr, &now);
    ::CloseHandle(file);
    EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 3u) << "cache " << cacheOn;
  }
}

// The cache trusts a file that keeps its size and write time: a copy tampered in place with
// both restored is still answered from the cache, which shows that the entry is used. Only the
// same level and path (in any spelling) hit.
TEST_F(TrustVerifierTest, CacheAnswersForAnUnchangedFileAtTheSameLevel) {
  testing_support::TempFolder folder("trust_cache_hit");
  const std::string copy = folder.path() + "\\program.exe";
  const std::string dir = testing_support::ExecutableDirectory() + "\\signed\\";
  ASSERT_TRUE(::CopyFileA((dir + "signed_good.exe").c_str(), copy.c_str(), FALSE));
  const std::wstring wideCopy = Widen(copy);
  ASSERT_EQ(config_->SetVerdictCache(1), S_OK);
  EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 1u);

  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(::GetFileAttributesExA(copy.c_str(), GetFileExInfoStandard, &before));
  ASSERT_TRUE(::CopyFileA((dir + "signed_tampered.exe").c_str(), copy.c_str(), FALSE));
  HANDLE file =
      ::CreateFileA(copy.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(::SetFileTime(file, nullptr, nullptr, &before.ftLastWriteTime));
  ::CloseHandle(file);

  EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 1u);
  EXPECT_EQ(verifier_->VerifyFile((L"\\??\\" + wideCopy).c_str(), 3), 1u);
  // Another level is judged in full and sees the tampering.
  EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 4), 3u);
  // So is every request once the cache is switched off again, or flushed.
  ASSERT_EQ(config_->SetVerdictCache(0), S_OK);
  EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 3u);
  ASSERT_EQ(config_->SetVerdictCache(1), S_OK);
  verifier_->FlushVerdictCache();
  EXPECT_EQ(verifier_->VerifyFile(wideCopy.c_str(), 3), 3u);
}

TEST_F(TrustVerifierTest, InterfacesShareOneReferenceCount) {
  IUnknown* unknown = nullptr;
  ASSERT_EQ(config_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(verifier_));
  // Three holders now: verifier_, config_ and unknown.
  EXPECT_EQ(unknown->AddRef(), 4u);
  EXPECT_EQ(unknown->Release(), 3u);
  EXPECT_EQ(unknown->Release(), 2u);
  void* other = reinterpret_cast<void*>(1);
  const IID unrelated = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(verifier_->QueryInterface(unrelated, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
}

TEST(TrustVerifierLifecycle, AnInstanceThatWasNotInitialisedTrustsNothing) {
  IvnVerifyTrust* verifier = nullptr;
  ASSERT_EQ(sharedlib::CreateVerifyTrust(&verifier), S_OK);
  EXPECT_NE(verifier->VerifyFile(Program(L"signed_good").c_str(), 3), 1u);
  EXPECT_EQ(verifier->Initialise(1), 1u);
  EXPECT_EQ(verifier->VerifyFile(Program(L"signed_good").c_str(), 3), 1u);
  EXPECT_EQ(verifier->Release(), 0u);
}

// Every answer goes to the event trace: trusted and not trusted as information, the rest as
// errors.
std::vector<std::pair<std::wstring, std::int32_t>> g_traced;
std::vector<UCHAR> g_tracedLevels;
ULONG RecordTrace(TRACEHANDLE, ULONG, const GUID&, USHORT number, const diag::TraceArgument* args,
                  std::size_t count) {
  if (number == 1 && count == 2) {
    g_traced.emplace_back(static_cast<const wchar_t*>(args[0].data),
                          *static_cast<const std::int32_t*>(args[1].data));
  }
  return 0;
}
TRACEHANDLE LoggerHandle(PVOID) { return 1; }
UCHAR LevelInformation(TRACEHANDLE) { return diag::kTraceLevelInformation; }
UCHAR LevelError(TRACEHANDLE) { return diag::kTraceLevelError; }
ULONG FlagsGeneral(TRACEHANDLE) { return diag::kTraceFlagGeneral; }

TEST_F(TrustVerifierTest, AnswersAreTracedAtTheirLevel) {
  diag::RegisterTraceProvider();
  const diag::TraceSystem previous =
      diag::SetTraceSystemForTesting({LoggerHandle, LevelError, FlagsGeneral, RecordTrace});
  WNODE_HEADER header = {};
  ULONG size = 0;
  diag::TraceControlCallback(WMI_ENABLE_EVENTS, &diag::TraceProviderBlock(), &size, &header);
  g_traced.clear();
  const std::wstring missing = Program(L"missing");
  verifier_->VerifyFile(Program(L"signed_good").c_str(), 3);
  verifier_->VerifyFile(missing.c_str(), 3);
  // At error level only the answer 2 reaches the trace.
  ASSERT_EQ(g_traced.size(), 1u);
  EXPECT_EQ(g_traced[0].first, missing);
  EXPECT_EQ(g_traced[0].second, 2);

  diag::SetTraceSystemForTesting({LoggerHandle, LevelInformation, FlagsGeneral, RecordTrace});
  diag::TraceControlCallback(WMI_ENABLE_EVENTS, &diag::TraceProviderBlock(), &size, &header);
  g_traced.clear();
  verifier_->VerifyFile(Program(L"signed_good").c_str(), 3);
  verifier_->VerifyFile(Program(L"signed_other").c_str(), 3);
  ASSERT_EQ(g_traced.size(), 2u);
  EXPECT_EQ(g_traced[0].second, 1);
  EXPECT_EQ(g_traced[1].second, 3);

  diag::TraceControlCallback(WMI_DISABLE_EVENTS, &diag::TraceProviderBlock(), &size, &header);
  diag::SetTraceSystemForTesting(previous);
  diag::UnregisterTraceProvider();
}

// The answers the trace reports as information, including the four that no check of this library
// gives and so no request above can show.
TEST(TrustAnswers, OnlyTrustedAndTheNotTrustedAnswersAreVerdicts) {
  for (ULONG answer = 0; answer <= 32; ++answer) {
    const bool verdict =
        answer == 1 || answer == 3 || answer == 11 || answer == 13 || answer == 14 || answer == 18;
    EXPECT_EQ(sharedlib::IsTrustVerdict(answer), verdict) << "answer " << answer;
  }
}

}  // namespace
