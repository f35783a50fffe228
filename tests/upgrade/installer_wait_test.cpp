// The wait on a busy Windows Installer before setup starts: a mutex of the execution mutex's kind
// held by another thread stands in for another installation, under a name of the test's own so
// that nothing else on the machine is waited for. The wait ends when the holder lets go (or
// abandons it), or at its limit; it never keeps the mutex; and a mutex of another account is not
// waited on at all but recorded (a recording event sink stands in for the Application log).
#include "upgrade/installer_wait.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "contract/event_report.h"
#include "diag/log.h"
#include "diag/run_notes.h"
#include "platform/unique_handle.h"
#include "support/fresh_log.h"
#include "support/named_object_support.h"
#include "support/recorded_events.h"
#include "support/test_support.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing_support::Kind;
using upgrade::InstallerState;

constexpr char kName[] = "DaxinstTest_MSIExecute";

// Holds `name` on a thread of its own from construction until Release (or, abandoned, until the
// thread ends without releasing it).
class Holder {
 public:
  enum class Ending { kRelease, kAbandon };

  Holder(const std::string& name, const std::string& descriptor)
      : mutex_(testing_support::CreateWithDescriptor(Kind::kMutex, name, descriptor)),
        held_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
        release_(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    if (!mutex_) return;
    thread_ = std::thread([this] {
      ::WaitForSingleObject(mutex_.get(), INFINITE);
      ::SetEvent(held_.get());
      ::WaitForSingleObject(release_.get(), INFINITE);
      if (ending_ == Ending::kRelease) ::ReleaseMutex(mutex_.get());
    });
    ::WaitForSingleObject(held_.get(), 10000);
  }
  ~Holder() { Release(); }

  bool holding() const { return mutex_ && ::WaitForSingleObject(held_.get(), 0) == WAIT_OBJECT_0; }
  // Lets go after `delayMs`, from the holder's own thread.
  void ReleaseAfter(DWORD delayMs, Ending ending = Ending::kRelease) {
    ending_ = ending;
    releaser_ = std::thread([this, delayMs] {
      ::Sleep(delayMs);
      ::SetEvent(release_.get());
    });
  }
  void Release() {
    ::SetEvent(release_.get());
    if (releaser_.joinable()) releaser_.join();
    if (thread_.joinable()) thread_.join();
  }

 private:
  platform::UniqueKernelHandle mutex_;
  platform::UniqueKernelHandle held_;
  platform::UniqueKernelHandle release_;
  Ending ending_ = Ending::kRelease;
  std::thread thread_;
  std::thread releaser_;
};

// True when another thread can take `name` now: nobody, the probe least of all, keeps it.
bool TakableFromAnotherThread(const std::string& name) {
  bool taken = false;
  std::thread([&] {
    platform::UniqueKernelHandle mutex(::OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()));
    if (!mutex) return;
    const DWORD answer = ::WaitForSingleObject(mutex.get(), 0);
    taken = answer == WAIT_OBJECT_0 || answer == WAIT_ABANDONED;
    if (taken) ::ReleaseMutex(mutex.get());
  }).join();
  return taken;
}

class InstallerWaitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    diag::g_daxDebugLog.Enable();
    testing_support::StartFreshLog();
    diag::ResetRunNotes();
  }
  void TearDown() override {
    diag::CloseLogFile();
    testing_support::DeleteFileIfPresent(testing_support::LogPath());
    diag::ResetRunNotes();
  }
  std::vector<std::string> Messages() {
    diag::CloseLogFile();
    return testing_support::LogMessages(testing_support::LogPath());
  }
  // The log's lines about Windows Installer.
  std::vector<std::string> WaitLines() {
    std::vector<std::string> lines;
    for (const std::string& line : Messages()) {
      if (line.find("Windows Installer") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  testing_support::RecordedEvents sink_;
};

// The limit administrators read about: the run waits at most ten minutes.
TEST(InstallerWaitLimit, IsTenMinutes) {
  EXPECT_EQ(upgrade::kInstallerWaitLimitMs, 600000u);
  EXPECT_STREQ(upgrade::kInstallerMutexName, "Global\\_MSIExecute");
}

TEST(InstallerWaitLimit, IsWrittenInMinutesOrSeconds) {
  EXPECT_EQ(upgrade::WaitLimitText(600000), "10 minutes");
  EXPECT_EQ(upgrade::WaitLimitText(60000), "1 minute");
  EXPECT_EQ(upgrade::WaitLimitText(1500), "1 s");
  EXPECT_EQ(upgrade::WaitLimitText(90000), "90 s");
}

// No installation in progress: no wait, no line, and a wait of 0 in the run's notes.
TEST_F(InstallerWaitTest, FreeInstallerIsNotWaitedFor) {
  struct Case {
    const char* name;
    bool exists;
  };
  for (const Case& c : {Case{"absent", false}, Case{"nobody holds it", true}}) {
    SCOPED_TRACE(c.name);
    diag::ResetRunNotes();
    platform::UniqueKernelHandle unheld;
    if (c.exists) {
      unheld = testing_support::CreateWithDescriptor(Kind::kMutex, kName,
                                                     testing_support::OwnAccountDescriptor());
      ASSERT_TRUE(unheld);
    }
    const ULONGLONG start = ::GetTickCount64();
    const upgrade::InstallerWaitResult result = upgrade::WaitForFreeInstaller(kName, 5000);
    EXPECT_LT(::GetTickCount64() - start, 2000u);
    EXPECT_EQ(result.state, InstallerState::kFree);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(diag::CurrentRunNotes().installerWaitMilliseconds, 0ul);
    if (c.exists) {
      EXPECT_TRUE(TakableFromAnotherThread(kName)) << "the probe kept the mutex";
    }
  }
  EXPECT_THAT(WaitLines(), IsEmpty());
  EXPECT_TRUE(sink_.entries().empty());
}

// Held by another installation: the run waits until it is let go (released, or abandoned by a
// holder that ends), then hands it back at once.
TEST_F(InstallerWaitTest, BusyInstallerIsWaitedForUntilItIsLetGo) {
  for (Holder::Ending ending : {Holder::Ending::kRelease, Holder::Ending::kAbandon}) {
    SCOPED_TRACE(ending == Holder::Ending::kRelease ? "released" : "abandoned");
    diag::ResetRunNotes();
    Holder holder(kName, testing_support::OwnAccountDescriptor());
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(upgrade::ProbeInstaller(kName).state, InstallerState::kBusy);
    holder.ReleaseAfter(1500, ending);

    const upgrade::InstallerWaitResult result = upgrade::WaitForFreeInstaller(kName, 20000);

    EXPECT_EQ(result.state, InstallerState::kBusy);
    EXPECT_FALSE(result.timedOut);
    EXPECT_GE(result.waitedMs, 1000u);
    EXPECT_LT(result.waitedMs, 15000u);
    const diag::RunNotes notes = diag::CurrentRunNotes();
    EXPECT_EQ(notes.installerWaitMilliseconds, result.waitedMs);
    EXPECT_FALSE(notes.installerWaitTimedOut);
    holder.Release();
    EXPECT_TRUE(TakableFromAnotherThread(kName)) << "the wait kept the mutex";
  }
  EXPECT_THAT(WaitLines(),
              ElementsAre(HasSubstr("DaxInst: Windows Installer is busy; waiting up to 20 s before "
                                    "setup starts."),
                          HasSubstr("DaxInst: Windows Installer is free after 1 s."),
                          HasSubstr("DaxInst: Windows Installer is busy; waiting up to 20 s before "
                                    "setup starts."),
                          HasSubstr("DaxInst: Windows Installer is free after 1 s.")));
  EXPECT_TRUE(sink_.entries().empty());
}

// An installation that outlasts the limit: the wait ends there and says so.
TEST_F(InstallerWaitTest, WaitEndsAtItsLimit) {
  Holder holder(kName, testing_support::OwnAccountDescriptor());
  ASSERT_TRUE(holder.holding());

  const upgrade::InstallerWaitResult result = upgrade::WaitForFreeInstaller(kName, 1000);

  EXPECT_TRUE(result.timedOut);
  EXPECT_GE(result.waitedMs, 900u);
  const diag::RunNotes notes = diag::CurrentRunNotes();
  EXPECT_EQ(notes.installerWaitMilliseconds, result.waitedMs);
  EXPECT_TRUE(notes.installerWaitTimedOut);
  EXPECT_THAT(WaitLines(),
              ElementsAre(HasSubstr("DaxInst: Windows Installer is busy; waiting up to 1 s before "
                                    "setup starts."),
                          HasSubstr("DaxInst: Windows Installer is still busy after 1 s; setup "
                                    "starts.")));
}

// A mutex of that name made by another account, held or not, open to all or to nobody: not
// waited on, so that a standard user cannot hold every upgrade back; recorded instead.
TEST_F(InstallerWaitTest, AnotherAccountsMutexIsNotWaitedOnAndIsRecorded) {
  struct Case {
    const char* name;
    const char* descriptor;
    const char* owner;
  };
  for (const Case& c :
       {Case{"open to all", testing_support::kUsersOwnedOpen, "owner S-1-5-32-545"},
        Case{"open to nobody", testing_support::kUsersOwnedEmptyDacl, "owner S-1-5-32-545"}}) {
    SCOPED_TRACE(c.name);
    diag::ResetRunNotes();
    const size_t before = sink_.entries().size();
    Holder holder(kName, c.descriptor);
    ASSERT_TRUE(holder.holding());
    EXPECT_EQ(upgrade::ProbeInstaller(kName).state, InstallerState::kForeign);

    const ULONGLONG start = ::GetTickCount64();
    const upgrade::InstallerWaitResult result = upgrade::WaitForFreeInstaller(kName, 10000);

    EXPECT_LT(::GetTickCount64() - start, 5000u) << "it was waited on";
    EXPECT_EQ(result.state, InstallerState::kForeign);
    EXPECT_EQ(result.waitedMs, 0u);
    EXPECT_FALSE(diag::CurrentRunNotes().installerWaitMilliseconds.has_value());
    ASSERT_EQ(sink_.entries().size(), before + 1);
    const contract::EventEntry& entry = sink_.entries().back();
    EXPECT_EQ(entry.id, contract::EventId::kForeignInstallerMutex);
    EXPECT_EQ(static_cast<int>(entry.id), 2007);
    EXPECT_EQ(entry.kind, contract::EventKind::kWarning);
    EXPECT_THAT(entry.text, HasSubstr(std::string("DaxInst: The mutex \"") + kName +
                                      "\" was made by another account (" + c.owner));
    EXPECT_THAT(entry.text, HasSubstr("): setup starts without waiting for it."));
  }
  EXPECT_THAT(WaitLines(), IsEmpty());
}

}  // namespace
