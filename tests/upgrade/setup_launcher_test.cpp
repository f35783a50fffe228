// The setup launcher with the real verifier, option writers, command-line generator and a signed
// stand-in setup program in a package folder of the test's own.
#include "upgrade/setup_launcher.h"

#include <comdef.h>
#include <msi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_fixture.h"
#include "config/config_xml_parser.h"
#include "contract/event_report.h"
#include "diag/log.h"
#include "platform/file_identity.h"
#include "platform/unique_handle.h"
#include "setupcmd/command_line_generator.h"
#include "support/fresh_log.h"
#include "support/named_object_support.h"
#include "support/recorded_events.h"
#include "support/test_support.h"
#include "upgrade/setaid_hold.h"
#include "upgrade/setup_verifier.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsSupersetOf;
using ::testing::Not;
using testing_support::ExecutableDirectory;
using testing_support::LogPath;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;

constexpr char kChecksum[] = "C0FFEE";
constexpr char kNotifyPass[] = "Global\\TRVAutoUpgradeNotifyPass";
constexpr char kSetAid[] =
    "[PREDEFINED_DAX_CONFIG]\r\nPackageChecksum=C0FFEE\r\nAppType=105\r\n"
    "[CUSTOM_DAX_CONFIG]\r\nDestinationDirectory=C:\\Old\r\nAutoReboot=false\r\n"
    "[FEATURE_SELECTION]\r\nOld=1\r\n";

std::string SignedSetup(const char* variant) {
  return ExecutableDirectory() + "\\setup\\" + variant + ".exe";
}

class SetupLauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::g_daxDebugLog.Enable();
    testing_support::StartFreshLog();
    config_testing::ClearRegistry();
    config_testing::UseConfigFolder(configFolder_.path());
    WriteFileBytes(SetAidPath(), kSetAid);
    WriteConfig(
        "<InstallationOption InstallationDirectory=\"D:\\New\"/>"
        "<RebootOptions AutoReboot=\"1\"/>"
        "<EnabledClientFeatures><F FeatureName=\"Core\"/></EnabledClientFeatures>");
  }
  void TearDown() override {
    diag::CloseLogFile();
    config_testing::ClearRegistry();
  }

  std::string SetAidPath() const { return package_.path() + "\\setAid.ini"; }
  std::string RecordPath() const { return package_.path() + "\\setup-record.txt"; }

  void WriteConfig(const std::string& packageBody) const {
    WriteFileBytes(configFolder_.path() + "\\config.xml",
                   config_testing::Document("<ClientPackage Checksum=\"" + std::string(kChecksum) +
                                            "\">" + packageBody + "</ClientPackage>"));
  }
  void StageSetup(const char* variant, const std::string& control = "[setup]\r\ncode=0\r\n") {
    ASSERT_TRUE(testing_support::CopyFileTo(SignedSetup(variant), package_.path() + "\\setup.exe"));
    WriteFileBytes(package_.path() + "\\setup-control.ini", control);
  }

  std::vector<std::string> Log() const {
    diag::CloseLogFile();
    return testing_support::LogMessages(LogPath());
  }
  // The command line the stand-in setup program was started with, if it ran.
  std::optional<std::string> SetupCommandLine() const {
    const auto record = ReadFileBytes(RecordPath());
    if (!record) return std::nullopt;
    return record->substr(0, record->find('\n'));
  }

  testing_support::RunRegistryGuard registry_;
  testing_support::TempFolder package_{"launcher pkg"};
  testing_support::TempFolder configFolder_{"launcher config"};
};

TEST_F(SetupLauncherTest, TrustedSetupRunsWithTheMergedSettingsAndItsCommandLine) {
  StageSetup("signed_good", "[setup]\r\ncode=0\r\nexitcode=1603\r\n");

  // A failing exit code of setup does not change the result: the outcome is read elsewhere.
  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 1234), 0);

  const auto commandLine = SetupCommandLine();
  ASSERT_TRUE(commandLine) << "setup did not run";
  EXPECT_EQ(commandLine->rfind("\"" + package_.path() + "\\setup.exe\" /w /s /v\"/qn ", 0), 0u)
      << *commandLine;
  EXPECT_NE(commandLine->find(" DAXPID=1234 REBOOT=ReallySuppress IDCDEPLOYMENT=AutoUpgrade\""),
            std::string::npos)
      << *commandLine;

  const auto setAid = ReadFileBytes(SetAidPath());
  ASSERT_TRUE(setAid);
  EXPECT_NE(setAid->find("DestinationDirectory=D:\\New"), std::string::npos) << *setAid;
  EXPECT_NE(setAid->find("AutoReboot=true"), std::string::npos) << *setAid;
  EXPECT_NE(setAid->find("Core=1"), std::string::npos) << *setAid;
  EXPECT_EQ(setAid->find("Old=1"), std::string::npos) << *setAid;

  const auto log = Log();
  EXPECT_EQ(log.at(1), "Setup path = " + package_.path() + "\\setup.exe");
  EXPECT_THAT(log, Contains("Successfully created new mutex"));
  EXPECT_THAT(log, Contains(*commandLine));
  EXPECT_THAT(log, Not(Contains(::testing::HasSubstr("ERROR: Unable to update"))));
  // The mutex lives only while setup runs.
  platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, kNotifyPass));
  EXPECT_FALSE(left);
}

struct RefusedCase {
  const char* variant;  // nullptr: no setup.exe at all
  const char* line;
};

class RefusedSetup : public SetupLauncherTest, public ::testing::WithParamInterface<RefusedCase> {};

// A setup program that cannot be opened or is not trusted never runs, and the package's settings
// stay exactly as they came.
TEST_P(RefusedSetup, StartsNothingAndLeavesSetAidAlone) {
  if (GetParam().variant) StageSetup(GetParam().variant);
  const auto before = ReadFileBytes(SetAidPath());

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 1234), 0);

  EXPECT_FALSE(SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before);
  EXPECT_THAT(Log(),
              ElementsAre(::testing::StartsWith("====== DaxInst starts at "),
                          "Setup path = " + package_.path() + "\\setup.exe", GetParam().line));
}

INSTANTIATE_TEST_SUITE_P(
    Files, RefusedSetup,
    ::testing::Values(
        RefusedCase{nullptr,
                    "Failed to open a read-shared handle of setup.exe file. Cannot move ahead with "
                    "install"},
        RefusedCase{"unsigned", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_tampered", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_other", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_differs_cn", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_differs_ou", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_differs_o", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_differs_l", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_differs_st", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_differs_c", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_near_case", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_near_blank", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_named_nousage", "Trust verification for setup.exe failed"},
        RefusedCase{"signed_reordered_nousage", "Trust verification for setup.exe failed"}),
    [](const ::testing::TestParamInfo<RefusedCase>& info) {
      return std::string(info.param.variant ? info.param.variant : "missing");
    });

// A file trust verifier that gives one answer to every held file it is asked about.
class FixedAnswerVerifyTrust final : public sharedlib::IvnVerifyTrust,
                                     public sharedlib::IvnVerifyHeldFile {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** object) override {
    *object = nullptr;
    if (::IsEqualIID(id, sharedlib::IID_IvnVerifyHeldFile)) {
      *object = static_cast<sharedlib::IvnVerifyHeldFile*>(this);
    } else if (::IsEqualIID(id, sharedlib::IID_IvnVerifyTrust) || ::IsEqualIID(id, IID_IUnknown)) {
      *object = static_cast<sharedlib::IvnVerifyTrust*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  ULONG STDMETHODCALLTYPE Initialise(ULONG) override { return sharedlib::kTrustReady; }
  ULONG STDMETHODCALLTYPE FlushVerdictCache() override { return 0; }
  ULONG STDMETHODCALLTYPE VerifyFile(const wchar_t*, ULONG) override { return answer; }
  ULONG STDMETHODCALLTYPE VerifyFileA(const char*, ULONG) override { return answer; }
  ULONG STDMETHODCALLTYPE VerifyFileEx(const wchar_t*, ULONG, ULONG, BYTE*, ULONG) override {
    return answer;
  }
  ULONG STDMETHODCALLTYPE VerifyFileExA(const char*, ULONG, ULONG, BYTE*, ULONG) override {
    return answer;
  }
  ULONG STDMETHODCALLTYPE VerifyHeldFile(const wchar_t*, HANDLE, ULONG level) override {
    ++heldCalls;
    askedLevel = level;
    return answer;
  }

  ULONG answer = sharedlib::kTrustTrusted;
  ULONG references = 0;
  int heldCalls = 0;
  ULONG askedLevel = 0;
};
FixedAnswerVerifyTrust g_fixedAnswer;
HRESULT MakeFixedAnswer(sharedlib::IvnVerifyTrust** instance) {
  g_fixedAnswer.AddRef();
  *instance = &g_fixedAnswer;
  return S_OK;
}

// The launcher starts setup on the answer "trusted" alone: every other answer the verifier
// gives, a verdict or not, keeps setup from running.
class VerifierAnswer : public SetupLauncherTest, public ::testing::WithParamInterface<ULONG> {
 protected:
  void SetUp() override {
    SetupLauncherTest::SetUp();
    g_fixedAnswer = FixedAnswerVerifyTrust();
    g_fixedAnswer.answer = GetParam();
    previous_ = upgrade::SetVerifyTrustFactoryForTesting(MakeFixedAnswer);
  }
  void TearDown() override {
    upgrade::SetVerifyTrustFactoryForTesting(previous_);
    SetupLauncherTest::TearDown();
  }
  upgrade::VerifyTrustFactory previous_ = nullptr;
};

TEST_P(VerifierAnswer, OtherThanTrustedStartsNothing) {
  StageSetup("signed_good");
  const auto before = ReadFileBytes(SetAidPath());

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 1234), 0);

  // The answer came from the component, asked once about the held file at the publisher level.
  EXPECT_EQ(g_fixedAnswer.heldCalls, 1);
  EXPECT_EQ(g_fixedAnswer.askedLevel, 3u);
  EXPECT_EQ(g_fixedAnswer.references, 0u);
  EXPECT_FALSE(SetupCommandLine()) << "setup ran on answer " << GetParam();
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before);
  EXPECT_THAT(Log(), Contains("Trust verification for setup.exe failed"));
}

// Every answer the verifier has but "trusted" (1), the further not-trusted verdicts, and values it
// never gives.
INSTANTIATE_TEST_SUITE_P(Answers, VerifierAnswer,
                         ::testing::Values(0u, 2u, 3u, 4u, 5u, 6u, 11u, 13u, 14u, 15u, 18u, 20u, 7u,
                                           0xFFFFFFFFu),
                         [](const ::testing::TestParamInfo<ULONG>& info) {
                           return "Answer" + std::to_string(info.param);
                         });

// The same component answering "trusted" lets setup run: the refusals above are the answers'.
class TrustedVerifierAnswer : public VerifierAnswer {};

TEST_P(TrustedVerifierAnswer, StartsSetup) {
  StageSetup("signed_good");
  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 1234), 0);
  EXPECT_EQ(g_fixedAnswer.heldCalls, 1);
  EXPECT_TRUE(SetupCommandLine()) << "setup did not run";
}

INSTANTIATE_TEST_SUITE_P(Trusted, TrustedVerifierAnswer, ::testing::Values(1u));

class RecordingSink final : public contract::EventSink {
 public:
  void Write(const contract::EventEntry& entry) override { entries.push_back(entry); }
  std::vector<contract::EventEntry> entries;
};

// The fault this pins: the merge cleared the read-only bit of setAid.ini and rewrote it by name,
// so a setAid.ini planted as a hard link made the run rewrite another file as a profile. Now the
// file with two names is not written, setup is not run, and the refusal is told.
TEST_F(SetupLauncherTest, SetAidPlantedAsAHardLinkIsNotWrittenAndSetupIsNotStarted) {
  StageSetup("signed_good");
  testing_support::TempFolder elsewhere("launcher elsewhere");
  const std::string target = elsewhere.path() + "\\protected.ini";
  WriteFileBytes(target, kSetAid);
  ASSERT_TRUE(::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::DeleteFileA(SetAidPath().c_str()));
  ASSERT_TRUE(::CreateHardLinkA(SetAidPath().c_str(), target.c_str(), nullptr));
  RecordingSink sink;
  contract::EventSink* previous = contract::UseEventSinkForTesting(&sink);

  const int result = upgrade::RunDaxSetup(package_.path(), 0);
  contract::UseEventSinkForTesting(previous);

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(target), std::string(kSetAid));
  EXPECT_TRUE(::GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
  ::SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_EQ(sink.entries[0].id, contract::EventId::kSetAidRefused);
  EXPECT_EQ(sink.entries[0].kind, contract::EventKind::kError);
  const std::string text = "DaxInst: " + SetAidPath() +
                           " is not written and setup is not run: it has 2 links, so another "
                           "name of it lies elsewhere";
  EXPECT_EQ(sink.entries[0].text, text);
  EXPECT_THAT(Log(), Contains(text));
}

// TEMP pointed at a folder of the test's own for as long as the object lives.
class TempInFolder {
 public:
  explicit TempInFolder(const std::string& folder) {
    const DWORD length = ::GetEnvironmentVariableA("TEMP", previous_, MAX_PATH);
    had_ = length > 0 && length < MAX_PATH;
    ::SetEnvironmentVariableA("TEMP", folder.c_str());
  }
  ~TempInFolder() { ::SetEnvironmentVariableA("TEMP", had_ ? previous_ : nullptr); }
  TempInFolder(const TempInFolder&) = delete;
  TempInFolder& operator=(const TempInFolder&) = delete;

 private:
  char previous_[MAX_PATH] = {};
  bool had_ = false;
};

// The run's side of a taken default installer log: setup starts with a log in a folder that the
// run made, and the choice is told with the path of each (entry 2204) and a line.
TEST_F(SetupLauncherTest, TakenDefaultInstallerLogGivesSetupALogOfItsOwnAndIsTold) {
  StageSetup("signed_good");
  testing_support::TempFolder temp("launcher temp");
  const std::string defaultLog = temp.path() + "\\INSTALL.LOG";
  ASSERT_TRUE(::CreateDirectoryA(defaultLog.c_str(), nullptr));
  RecordingSink sink;
  contract::EventSink* previous = contract::UseEventSinkForTesting(&sink);
  int result = -2;
  {
    const TempInFolder tempHere(temp.path());
    result = upgrade::RunDaxSetup(package_.path(), 0);
  }
  contract::UseEventSinkForTesting(previous);
  WIN32_FIND_DATAA entry;
  platform::UniqueFindHandle made(
      ::FindFirstFileA((temp.path() + "\\DaxInstLog-*").c_str(), &entry));
  ::RemoveDirectoryA(defaultLog.c_str());

  EXPECT_EQ(result, 0);
  ASSERT_TRUE(made) << "no folder for the log";
  const std::string privateLog = temp.path() + "\\" + entry.cFileName + "\\INSTALL.LOG";
  const auto commandLine = SetupCommandLine();
  ASSERT_TRUE(commandLine) << "setup did not run";
  EXPECT_NE(commandLine->find(" /l*v \\\"" + privateLog + "\\\" "), std::string::npos)
      << *commandLine;
  ASSERT_EQ(sink.entries.size(), 1u);
  EXPECT_EQ(sink.entries[0].id, contract::EventId::kInstallerLogMoved);
  EXPECT_EQ(sink.entries[0].kind, contract::EventKind::kWarning);
  const std::string text = "DaxInst: the installer log " + defaultLog +
                           " is taken (a folder is there). Setup writes its log to " + privateLog;
  EXPECT_EQ(sink.entries[0].text, text);
  EXPECT_THAT(Log(), Contains(text));
}

struct SetAidCase {
  const char* name;
  // Leaves setAid.ini of `package` as the case has it; `holder` keeps it open where it says so.
  void (*leave)(const std::string& setAid, platform::UniqueFileHandle& holder,
                const std::string& elsewhere);
  upgrade::SetAidCheck check;
  upgrade::SetAidUse use;
};

void PrintTo(const SetAidCase& c, std::ostream* out) { *out << c.name; }

void LeavePlainFile(const std::string&, platform::UniqueFileHandle&, const std::string&) {}
void LeaveNothing(const std::string& setAid, platform::UniqueFileHandle&, const std::string&) {
  ASSERT_TRUE(::DeleteFileA(setAid.c_str()));
}
void LeaveHardLink(const std::string& setAid, platform::UniqueFileHandle&,
                   const std::string& elsewhere) {
  ASSERT_TRUE(::DeleteFileA(setAid.c_str()));
  WriteFileBytes(elsewhere + "\\other.ini", "[other]\r\n");
  ASSERT_TRUE(::CreateHardLinkA(setAid.c_str(), (elsewhere + "\\other.ini").c_str(), nullptr));
}
void LeaveHeldExclusively(const std::string& setAid, platform::UniqueFileHandle& holder,
                          const std::string&) {
  holder.reset(::CreateFileA(setAid.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder);
}

class HeldSetAid : public SetupLauncherTest, public ::testing::WithParamInterface<SetAidCase> {};

// What the run finds at setAid.ini before the merge, and what it then does with it. Held, the
// file cannot be renamed or deleted (so its name keeps leading to the checked file) and the
// profile functions still write it.
TEST_P(HeldSetAid, IsCheckedAndHeldBeforeTheMerge) {
  testing_support::TempFolder elsewhere("held setaid elsewhere");
  platform::UniqueFileHandle holder;
  GetParam().leave(SetAidPath(), holder, elsewhere.path());

  const upgrade::HeldSetAid held = upgrade::HoldSetAid(package_.path());

  EXPECT_EQ(held.path, SetAidPath());
  EXPECT_EQ(held.check, GetParam().check);
  EXPECT_EQ(upgrade::UseOf(held), GetParam().use);
  EXPECT_EQ(held.handle.is_valid(), GetParam().check == upgrade::SetAidCheck::kHeld);
  if (held.check != upgrade::SetAidCheck::kHeld) return;
  const std::string moved = package_.path() + "\\moved.ini";
  EXPECT_FALSE(::MoveFileA(SetAidPath().c_str(), moved.c_str()));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(::DeleteFileA(SetAidPath().c_str()));
  EXPECT_TRUE(::WritePrivateProfileStringA("CUSTOM_DAX_CONFIG", "AutoReboot", "true",
                                           SetAidPath().c_str()));
  EXPECT_THAT(ReadFileBytes(SetAidPath()).value_or(""), ::testing::HasSubstr("AutoReboot=true"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, HeldSetAid,
    ::testing::Values(SetAidCase{"PlainFile", LeavePlainFile, upgrade::SetAidCheck::kHeld,
                                 upgrade::SetAidUse::kMerge},
                      SetAidCase{"Absent", LeaveNothing, upgrade::SetAidCheck::kAbsent,
                                 upgrade::SetAidUse::kMerge},
                      SetAidCase{"HardLink", LeaveHardLink, upgrade::SetAidCheck::kLinked,
                                 upgrade::SetAidUse::kDoNotRunSetup},
                      SetAidCase{"HeldExclusively", LeaveHeldExclusively,
                                 upgrade::SetAidCheck::kInUse, upgrade::SetAidUse::kLeaveAsItIs}),
    [](const ::testing::TestParamInfo<SetAidCase>& info) { return std::string(info.param.name); });

TEST_F(SetupLauncherTest, SetupLockedByAnotherWriterIsNotStarted) {
  StageSetup("signed_good");
  platform::UniqueFileHandle writer(::CreateFileA((package_.path() + "\\setup.exe").c_str(),
                                                  GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);
  EXPECT_FALSE(SetupCommandLine());
  EXPECT_THAT(Log(), Contains("Failed to open a read-shared handle of setup.exe file. Cannot move "
                              "ahead with install"));
}

// Each writer's failure is reported on its own line; the others still run and setup still starts.
TEST_F(SetupLauncherTest, FailingWriterIsReportedAndTheRunGoesOn) {
  WriteConfig(
      "<InstallationOption InstallationDirectory=\"D:\\New\"/>"
      "<RebootOptions AutoReboot=\"2\" Countdown=\"30\"/>"
      "<EnabledClientFeatures><F FeatureName=\"Core\"/></EnabledClientFeatures>");
  StageSetup("signed_good");

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);

  EXPECT_TRUE(SetupCommandLine());
  EXPECT_THAT(Log(), Contains("ERROR: Unable to update " + package_.path() +
                              "\\setAid.ini with reboot options from config.xml - 0x000d"));
  const auto setAid = ReadFileBytes(SetAidPath());
  ASSERT_TRUE(setAid);
  EXPECT_NE(setAid->find("Countdown=30"), std::string::npos);
  EXPECT_NE(setAid->find("Core=1"), std::string::npos);
}

TEST_F(SetupLauncherTest, HeldNotifyMutexIsReportedAndSetupStillRuns) {
  StageSetup("signed_good");
  // Held by a process of the program's own account, which names itself as the owner.
  platform::UniqueKernelHandle held = testing_support::CreateWithDescriptor(
      testing_support::Kind::kMutex, kNotifyPass, testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(held);

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);

  EXPECT_TRUE(SetupCommandLine());
  EXPECT_THAT(Log(), Contains("Create Mutex. Failed (ALREADY_EXISTS) "));
}

// While setup runs, the verified file can be neither replaced nor deleted.
TEST_F(SetupLauncherTest, SetupCannotBeReplacedWhileItRuns) {
  StageSetup("signed_good", "[setup]\r\ncode=0\r\nwaitms=3000\r\n");
  const std::string setup = package_.path() + "\\setup.exe";
  int result = -2;
  std::thread launcher([&] { result = upgrade::RunDaxSetup(package_.path(), 0); });
  for (int i = 0; i < 300 && !SetupCommandLine(); ++i) ::Sleep(50);
  ASSERT_TRUE(SetupCommandLine()) << "setup did not start";

  platform::UniqueFileHandle writer(::CreateFileA(setup.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(writer);
  EXPECT_FALSE(::DeleteFileA(setup.c_str()));
  launcher.join();
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(::DeleteFileA(setup.c_str())) << "released after setup ended";
}

// The launch is bound to the checked file: a process that the system did not make from that file
// (here the seam answers for it, since Wine starts what the name leads to) is ended before its
// first instruction, and the run goes on as for a setup that could not be started.
std::wstring g_twinPath;
HANDLE g_startedProcess = nullptr;
bool AnswerTheTwin(HANDLE process, platform::FileIdentity& identity) {
  ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &g_startedProcess,
                    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  platform::UniqueFileHandle twin = platform::OpenReadShared(g_twinPath.c_str());
  return twin && platform::FileIdentityOf(twin.get(), identity);
}
bool AnswerNothing(HANDLE process, platform::FileIdentity&) {
  ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &g_startedProcess,
                    SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
  return false;
}

class LaunchMismatch : public SetupLauncherTest,
                       public ::testing::WithParamInterface<platform::ProcessImageIdentityFn> {};

TEST_P(LaunchMismatch, EndsTheProcessBeforeItRuns) {
  StageSetup("signed_good");
  // The same bytes as the checked file, but another file.
  const std::string twin = package_.path() + "\\twin.exe";
  ASSERT_TRUE(testing_support::CopyFileTo(SignedSetup("signed_good"), twin));
  g_twinPath.assign(twin.begin(), twin.end());
  g_startedProcess = nullptr;
  const platform::ProcessImageIdentityFn previous =
      platform::SetProcessImageIdentityForTesting(GetParam());

  const int result = upgrade::RunDaxSetup(package_.path(), 1234);
  platform::SetProcessImageIdentityForTesting(previous);

  EXPECT_EQ(result, -1);
  EXPECT_FALSE(SetupCommandLine()) << "setup ran";
  ASSERT_NE(g_startedProcess, nullptr) << "setup was never created";
  platform::UniqueKernelHandle started(g_startedProcess);
  EXPECT_EQ(::WaitForSingleObject(started.get(), 0), WAIT_OBJECT_0) << "setup still runs";
  DWORD exitCode = 0;
  EXPECT_TRUE(::GetExitCodeProcess(started.get(), &exitCode));
  EXPECT_EQ(exitCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  const auto log = Log();
  EXPECT_THAT(
      log, Contains("The started setup.exe is not the verified file. It was ended before it ran"));
  EXPECT_THAT(log, Contains("Successfully created new mutex"));
  platform::UniqueKernelHandle left(::OpenMutexA(SYNCHRONIZE, FALSE, kNotifyPass));
  EXPECT_FALSE(left);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LaunchMismatch, ::testing::Values(AnswerTheTwin, AnswerNothing),
    [](const ::testing::TestParamInfo<platform::ProcessImageIdentityFn>& info) {
      return std::string(info.param == AnswerTheTwin ? "AnotherFile" : "NoAnswer");
    });

// A package folder whose name can be read as two folders: as it stands, which is where the
// handle was opened and where setup starts, and rewritten (environment references expanded, or
// converted through another code page), which is where a check that finds the file again by its
// name would look. The answer must follow the file the name truly names, both ways round.
struct TwoReadingsCase {
  const char* label;
  const char* packageName;       // the folder as it stands, in the system code page
  const wchar_t* rewrittenName;  // where a rewritten reading of that name lands
  void (*rewrite)();             // makes the rewritten reading possible
  void (*restore)();
  std::wstring (*reread)(const std::string& path);  // the rewritten reading of a path
  bool signedWhereTheNamePoints;
};

LCID g_previousLocale = 0;
void SetDecoyVariable() { ::SetEnvironmentVariableA("DAXINST_DECOY", "decoy"); }
void ClearDecoyVariable() { ::SetEnvironmentVariableA("DAXINST_DECOY", nullptr); }
// Cyrillic reads the byte 0xE9 as U+0439, where the Western code page reads U+00E9.
void UseCyrillicThreadLocale() {
  g_previousLocale = ::GetThreadLocale();
  ::SetThreadLocale(MAKELCID(MAKELANGID(LANG_RUSSIAN, SUBLANG_DEFAULT), SORT_DEFAULT));
}
void RestoreThreadLocale() { ::SetThreadLocale(g_previousLocale); }

std::wstring WidenAs(const std::string& text, UINT codePage) {
  wchar_t wide[MAX_PATH] = {};
  ::MultiByteToWideChar(codePage, 0, text.c_str(), -1, wide, MAX_PATH);
  return wide;
}
std::wstring Expanded(const std::string& path) {
  wchar_t expanded[MAX_PATH] = {};
  ::ExpandEnvironmentStringsW(WidenAs(path, CP_ACP).c_str(), expanded, MAX_PATH);
  return expanded;
}
std::wstring ThroughThreadCodePage(const std::string& path) { return WidenAs(path, CP_THREAD_ACP); }

class TwoReadings : public SetupLauncherTest,
                    public ::testing::WithParamInterface<TwoReadingsCase> {};

TEST_P(TwoReadings, TheFileThatRunsIsTheFileThatWasChecked) {
  const TwoReadingsCase& c = GetParam();
  testing_support::TempFolder base("launcher readings");
  const std::string package = base.path() + "\\" + c.packageName;
  const std::wstring rewritten = WidenAs(base.path(), CP_ACP) + L"\\" + c.rewrittenName;
  ASSERT_NE(WidenAs(package, CP_ACP), rewritten);
  ASSERT_TRUE(::CreateDirectoryA(package.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(rewritten.c_str(), nullptr));
  const char* here = c.signedWhereTheNamePoints ? "signed_good" : "unsigned";
  const char* there = c.signedWhereTheNamePoints ? "unsigned" : "signed_good";
  ASSERT_TRUE(testing_support::CopyFileTo(SignedSetup(here), package + "\\setup.exe"));
  ASSERT_TRUE(::CopyFileW(WidenAs(SignedSetup(there), CP_ACP).c_str(),
                          (rewritten + L"\\setup.exe").c_str(), FALSE));
  WriteFileBytes(package + "\\setAid.ini", kSetAid);
  WriteFileBytes(package + "\\setup-control.ini", "[setup]\r\ncode=0\r\n");

  c.rewrite();
  const bool readsTwoWays = c.reread(package + "\\setup.exe") == rewritten + L"\\setup.exe";
  const int result = readsTwoWays ? upgrade::RunDaxSetup(package, 0) : -2;
  c.restore();
  // The rewritten folder may have no narrow name, so it goes by its wide one.
  ::DeleteFileW((rewritten + L"\\setup.exe").c_str());
  ::RemoveDirectoryW(rewritten.c_str());
  if (!readsTwoWays) GTEST_SKIP() << "this system reads the name only one way";

  EXPECT_EQ(result, 0);
  const bool ran = ReadFileBytes(package + "\\setup-record.txt").has_value();
  EXPECT_EQ(ran, c.signedWhereTheNamePoints);
  const auto log = Log();
  if (c.signedWhereTheNamePoints) {
    EXPECT_THAT(log, Not(Contains("Trust verification for setup.exe failed")));
  } else {
    EXPECT_THAT(log, Contains("Trust verification for setup.exe failed"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Names, TwoReadings,
    ::testing::Values(TwoReadingsCase{"Environment", "%DAXINST_DECOY%", L"decoy", SetDecoyVariable,
                                      ClearDecoyVariable, Expanded, false},
                      TwoReadingsCase{"Environment", "%DAXINST_DECOY%", L"decoy", SetDecoyVariable,
                                      ClearDecoyVariable, Expanded, true},
                      TwoReadingsCase{"CodePage", "pkg\xE9", L"pkg\x0439", UseCyrillicThreadLocale,
                                      RestoreThreadLocale, ThroughThreadCodePage, false},
                      TwoReadingsCase{"CodePage", "pkg\xE9", L"pkg\x0439", UseCyrillicThreadLocale,
                                      RestoreThreadLocale, ThroughThreadCodePage, true}),
    [](const ::testing::TestParamInfo<TwoReadingsCase>& info) {
      return std::string(info.param.label) + (info.param.signedWhereTheNamePoints
                                                  ? "SignedWhereTheNamePoints"
                                                  : "UnsignedWhereTheNamePoints");
    });

TEST(RunOptionWriter, ComErrorOfAReaderCountsAsThatWritersFailure) {
  const std::uint32_t result = upgrade::detail::RunOptionWriter(
      "install", []() -> std::uint32_t { throw _com_error(E_OUTOFMEMORY); });
  EXPECT_EQ(result, static_cast<std::uint32_t>(E_OUTOFMEMORY));
  EXPECT_EQ(upgrade::detail::RunOptionWriter("reboot", [] { return std::uint32_t{13}; }), 13u);
}

// --- The package's .msi -------------------------------------------------------------------------

std::string FixtureMsiOf(const char* name) { return ExecutableDirectory() + "\\msi\\" + name; }

class PackageMsiTest : public SetupLauncherTest {
 protected:
  void StageMsi(const char* fixture, const char* name = "client.msi") {
    ASSERT_TRUE(testing_support::CopyFileTo(FixtureMsiOf(fixture), package_.path() + "\\" + name));
  }
  testing_support::RecordedEvents events_;
};

// The .msi signed like setup.exe, by the same publisher, runs.
TEST_F(PackageMsiTest, MsiSignedByThePublisherRuns) {
  StageSetup("signed_good");
  StageMsi("package_k_signed_good.msi");

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);

  EXPECT_TRUE(SetupCommandLine()) << "setup did not run";
  EXPECT_THAT(Log(), Contains("New Version = 2.0 Installed Version = "));
  EXPECT_TRUE(events_.entries().empty());
}

struct UntrustedMsiCase {
  const char* label;
  const char* fixture;
};
void PrintTo(const UntrustedMsiCase& c, std::ostream* out) { *out << c.label; }

class UntrustedMsi : public PackageMsiTest,
                     public ::testing::WithParamInterface<UntrustedMsiCase> {};

// Fault: only setup.exe was judged, so a trusted setup.exe ran whatever .msi lay beside it.
TEST_P(UntrustedMsi, TrustedSetupBesideItIsNotRun) {
  StageSetup("signed_good");
  StageMsi(GetParam().fixture);
  const auto before = ReadFileBytes(SetAidPath());

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);

  EXPECT_FALSE(SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before);
  EXPECT_THAT(Log(), Contains("Trust verification for " + package_.path() +
                              "\\client.msi failed. Setup is not run"));
  EXPECT_EQ(events_.ids(),
            std::vector<contract::EventId>{contract::EventId::kPackageMsiNotTrusted});
}

INSTANTIATE_TEST_SUITE_P(Signers, UntrustedMsi,
                         ::testing::Values(UntrustedMsiCase{"Unsigned", "package_k_unsigned.msi"},
                                           UntrustedMsiCase{"OtherPublisher",
                                                            "package_k_signed_other.msi"}),
                         [](const auto& info) { return std::string(info.param.label); });

// Fault: the first "*.msi" the folder listed was taken, a decoy beside the real one too.
TEST_F(PackageMsiTest, TwoMsiFilesAreRefusedBeforeAnythingIsMerged) {
  StageSetup("signed_good");
  StageMsi("package_k_signed_good.msi");
  WriteFileBytes(package_.path() + "\\0.msi", "not a database");
  const auto before = ReadFileBytes(SetAidPath());

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), setupcmd::kPackageMsiRefused);

  EXPECT_FALSE(SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before);
  EXPECT_THAT(
      Log(), Contains(::testing::StartsWith("ERROR: the package holds more than one .msi file (")));
  EXPECT_EQ(events_.ids(), std::vector<contract::EventId>{contract::EventId::kPackageMsiNotSingle});
}

// A folder named like a package is no package; the one file is still found and judged.
TEST_F(PackageMsiTest, FolderNamedLikeAnMsiIsNotCounted) {
  StageSetup("signed_good");
  StageMsi("package_k_signed_good.msi");
  ASSERT_TRUE(::CreateDirectoryA((package_.path() + "\\x.msi").c_str(), nullptr));

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);

  EXPECT_TRUE(SetupCommandLine()) << "setup did not run";
  ::RemoveDirectoryA((package_.path() + "\\x.msi").c_str());
}

// The .msi is held from the gate until setup has ended: it can be neither changed nor replaced.
TEST_F(PackageMsiTest, MsiCannotBeReplacedWhileSetupRuns) {
  StageSetup("signed_good", "[setup]\r\ncode=0\r\nwaitms=1500\r\n");
  StageMsi("package_k_signed_good.msi");
  const std::string msi = package_.path() + "\\client.msi";
  std::optional<DWORD> writeError;
  std::optional<DWORD> deleteError;
  std::thread launcher([&] { upgrade::RunDaxSetup(package_.path(), 0); });
  for (int i = 0; i < 200 && !ReadFileBytes(RecordPath()); ++i) ::Sleep(20);
  platform::UniqueFileHandle writer(::CreateFileA(msi.c_str(), GENERIC_WRITE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  OPEN_EXISTING, 0, nullptr));
  if (!writer) writeError = ::GetLastError();
  if (!::DeleteFileA(msi.c_str())) deleteError = ::GetLastError();
  launcher.join();
  ASSERT_TRUE(SetupCommandLine()) << "setup did not run";
  EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(deleteError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

// --- One reading of config.xml
// --------------------------------------------------------------------

// Fault: each of the five readers loaded config.xml by name on its own, so a file changed during
// the run gave a mixed merge: install options from one version, the UI switch from another.
TEST_F(SetupLauncherTest, ConfigChangedBetweenTwoReadersChangesNothingOfTheRun) {
  StageSetup("signed_good");
  WriteConfig(
      "<InstallationOption InstallationDirectory=\"D:\\First\" UserInterfaceLevel=\"Unattended\""
      " InstallationLogFileName=\"C:\\logs\\first.log\"/>"
      "<RebootOptions AutoReboot=\"1\"/>"
      "<EnabledClientFeatures><F FeatureName=\"Core\"/></EnabledClientFeatures>");
  int readers = 0;
  const auto previous = config::SetReaderStartHookForTesting([&] {
    // After the install writer, and again before the generator's second question.
    if (++readers == 2 || readers == 5) {
      WriteConfig(
          "<InstallationOption InstallationDirectory=\"D:\\Second\" UserInterfaceLevel=\"Silent\""
          " InstallationLogFileName=\"C:\\logs\\second" +
          std::to_string(readers) +
          ".log\"/>"
          "<RebootOptions AutoReboot=\"0\"/>"
          "<EnabledClientFeatures><F FeatureName=\"Second\"/></EnabledClientFeatures>");
    }
  });

  const int result = upgrade::RunDaxSetup(package_.path(), 0);
  config::SetReaderStartHookForTesting(previous);

  EXPECT_EQ(result, 0);
  EXPECT_EQ(readers, 5);  // three writers and the generator's two questions
  const auto commandLine = SetupCommandLine();
  ASSERT_TRUE(commandLine) << "setup did not run";
  EXPECT_EQ(
      commandLine->rfind(
          "\"" + package_.path() + "\\setup.exe\" /w /s /v\"/qb!- /l*v C:\\logs\\first.log ", 0),
      0u)
      << *commandLine;
  const auto setAid = ReadFileBytes(SetAidPath());
  ASSERT_TRUE(setAid);
  EXPECT_NE(setAid->find("DestinationDirectory=D:\\First"), std::string::npos) << *setAid;
  EXPECT_NE(setAid->find("AutoReboot=true"), std::string::npos) << *setAid;
  EXPECT_NE(setAid->find("Core=1"), std::string::npos) << *setAid;
  EXPECT_EQ(setAid->find("Second"), std::string::npos) << *setAid;
}

// Fault: a config.xml held open without sharing counted as none, and setup ran with the package's
// defaults instead of the deployment policy.
TEST_F(SetupLauncherTest, ConfigHeldWithoutSharingStopsTheRunBeforeAnythingIsMerged) {
  StageSetup("signed_good");
  const auto before = ReadFileBytes(SetAidPath());
  const std::string config = configFolder_.path() + "\\config.xml";
  platform::UniqueFileHandle held(
      ::CreateFileA(config.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held);
  const auto policy = config::ConfigXmlRun::SetRetryPolicyForTesting({3, 20});
  testing_support::RecordedEvents events;

  const int result = upgrade::RunDaxSetup(package_.path(), 0);
  config::ConfigXmlRun::SetRetryPolicyForTesting(policy);

  EXPECT_EQ(result, 0);
  EXPECT_FALSE(SetupCommandLine()) << "setup ran";
  EXPECT_EQ(ReadFileBytes(SetAidPath()), before);
  EXPECT_THAT(Log(),
              Contains("ERROR: config.xml exists but cannot be read (error 32). Setup is not run"));
  ASSERT_EQ(events.entries().size(), 1u);
  EXPECT_EQ(events.entries()[0].id, contract::EventId::kConfigXmlUnreadable);
  EXPECT_EQ(events.entries()[0].kind, contract::EventKind::kError);
}

// An absent config.xml stays what it was: nothing to merge, and setup runs.
TEST_F(SetupLauncherTest, AbsentConfigStillRunsSetup) {
  StageSetup("signed_good");
  ASSERT_TRUE(::DeleteFileA((configFolder_.path() + "\\config.xml").c_str()));

  EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0), 0);

  EXPECT_TRUE(SetupCommandLine()) << "setup did not run";
}

// "Normal" waits for input only where someone can give it.
TEST_F(SetupLauncherTest, NormalGivesTheFullUiOnlyInDebugMode) {
  StageSetup("signed_good");
  WriteConfig("<InstallationOption UserInterfaceLevel=\"Normal\"/>");
  for (const bool debugMode : {false, true}) {
    ASSERT_TRUE(::DeleteFileA(RecordPath().c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(upgrade::RunDaxSetup(package_.path(), 0, debugMode), 0);
    const auto commandLine = SetupCommandLine();
    ASSERT_TRUE(commandLine) << "setup did not run";
    EXPECT_NE(commandLine->find(debugMode ? "/v\"/qf " : "/v\"/qb!- "), std::string::npos)
        << *commandLine;
  }
}

}  // namespace
