#include "service/event_message_file.h"

#include <windows.h>
// After windows.h.
#include <sddl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "contract/event_report.h"
#include "diag/run_notes.h"
#include "platform/text_conversion.h"

#include "support/administrators_only.h"
#include "support/message_table.h"
#include "support/recorded_events.h"
#include "support/test_support.h"

namespace {

using contract::EventId;
using diag::RunOutcome;

// The numbers the generator read from the headers are the compiler's.
#define DAXINST_CHECK_ID(enumeration, enumerator, number)                        \
  static_assert(static_cast<unsigned long>(enumeration::enumerator) == (number), \
                #enumeration "::" #enumerator);
DAXINST_EACH_EVENT_MESSAGE_ID(DAXINST_CHECK_ID)
#undef DAXINST_CHECK_ID

std::string Narrow(const std::wstring& wide) { return platform::NarrowWithoutBestFit(wide); }

std::wstring CommonAppData() {
  std::wstring file;
  EXPECT_TRUE(service::EventMessageFilePath(file));
  // <common>\Quorvex\Daxinst\daxinst-messages.dll
  for (int i = 0; i < 3; ++i) file = file.substr(0, file.find_last_of(L'\\'));
  return file;
}

void MakeFolder(const std::wstring& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                     &descriptor, nullptr));
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  const BOOL made = ::CreateDirectoryW(path.c_str(), &attributes);
  const DWORD error = ::GetLastError();
  ::LocalFree(descriptor);
  ASSERT_TRUE(made) << Narrow(path) << ": error " << error;
}

// The descriptor the program gives its own folders.
constexpr wchar_t kOwnFolder[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class EventMessageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    ASSERT_TRUE(service::EventMessageFilePath(file_));
    folder_ = file_.substr(0, file_.find_last_of(L'\\'));
    parent_ = folder_.substr(0, folder_.find_last_of(L'\\'));
  }
  void TearDown() override { Clean(); }

  static void Clean() {
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, service::EventSourceKeyPath().c_str());
    testing_support::RemoveTree(Narrow(CommonAppData() + L"\\Quorvex"));
  }

  static std::optional<testing_support::RegistryValue> SourceValue(const char* name) {
    return testing_support::ReadRegistryValue(HKEY_LOCAL_MACHINE,
                                              Narrow(service::EventSourceKeyPath()).c_str(), name);
  }
  static bool SourceRegistered() {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, service::EventSourceKeyPath().c_str(), 0, KEY_READ,
                        &key) != ERROR_SUCCESS) {
      return false;
    }
    ::RegCloseKey(key);
    return true;
  }

  std::wstring file_;
  std::wstring folder_;
  std::wstring parent_;
  testing_support::RecordedEvents events_;
};

TEST_F(EventMessageFileTest, InstallWritesTheTableOutsideThePackageAndRegistersItForTheSource) {
  service::InstallEventMessageFile();

  EXPECT_TRUE(events_.entries().empty()) << events_.entries()[0].text;
  EXPECT_EQ(Narrow(file_), Narrow(CommonAppData() + L"\\Quorvex\\Daxinst\\daxinst-messages.dll"));
  EXPECT_EQ(service::EventSourceKeyPath(),
            L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Daxinst");
  const auto messageFile = SourceValue("EventMessageFile");
  ASSERT_TRUE(messageFile.has_value());
  EXPECT_EQ(messageFile->type, static_cast<DWORD>(REG_EXPAND_SZ));
  EXPECT_EQ(messageFile->data, Narrow(file_) + std::string(1, '\0'));
  const auto types = SourceValue("TypesSupported");
  ASSERT_TRUE(types.has_value());
  EXPECT_EQ(types->type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(types->data, std::string("\x07\x00\x00\x00", 4));
  EXPECT_THAT(testing_support::MessageTableProblems(file_), ::testing::IsEmpty());
  // The event log loads the file as the account that reads the log: nobody else may change it.
  for (const std::wstring& path : {parent_, folder_, file_}) {
    testing_support::ExpectAdministratorsChangeAndUsersRead(Narrow(path));
  }
}

TEST_F(EventMessageFileTest, TheTableNamesEveryEventIdAndEveryRunOutcome) {
  // Both ends of both enums, and the IDs of this file's own refusals.
  const unsigned long wanted[] = {
      static_cast<unsigned long>(EventId::kForeignRunGuard),
      static_cast<unsigned long>(EventId::kFinishedRunStillRegistered),
      static_cast<unsigned long>(EventId::kMessageFileNotWritten),
      static_cast<unsigned long>(EventId::kMessageFileNotRemoved),
      static_cast<unsigned long>(RunOutcome::kSucceeded),
      static_cast<unsigned long>(RunOutcome::kException),
  };
  for (unsigned long id : wanted) {
    bool found = false;
    for (const EventMessageId& entry : kEventMessageIds) found = found || entry.id == id;
    EXPECT_TRUE(found) << id;
  }
  service::InstallEventMessageFile();
  EXPECT_THAT(testing_support::MessageTableProblems(file_), ::testing::IsEmpty());
}

TEST_F(EventMessageFileTest, InstallAgainKeepsAGoodFileAndReplacesAnotherOne) {
  service::InstallEventMessageFile();
  const auto first = testing_support::ReadFileBytes(Narrow(file_));
  ASSERT_TRUE(first.has_value());

  service::InstallEventMessageFile();
  EXPECT_EQ(testing_support::ReadFileBytes(Narrow(file_)), first);

  testing_support::WriteFileBytes(Narrow(file_), "not a message file");
  service::InstallEventMessageFile();
  EXPECT_EQ(testing_support::ReadFileBytes(Narrow(file_)), first);
  EXPECT_TRUE(events_.entries().empty());
  // No temporary file is left beside it.
  WIN32_FIND_DATAW found = {};
  HANDLE search = ::FindFirstFileW((folder_ + L"\\*.tmp").c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE);
  if (search != INVALID_HANDLE_VALUE) ::FindClose(search);
}

// A folder that others may change, or something else in a folder's place, is not the
// program's: what the event log loads from there as the message file would be theirs. (Under
// Wine a folder's DACL becomes its Unix mode, and an owner given to a file is not kept: the
// owner rule itself is shown in the platform tests.)
struct ForeignFolderCase {
  const char* name;
  bool upper;      // the Quorvex folder, not Quorvex\Daxinst
  bool plainFile;  // a file in the folder's place
};

class ForeignMessageFolderTest : public EventMessageFileTest,
                                 public ::testing::WithParamInterface<ForeignFolderCase> {};

TEST_P(ForeignMessageFolderTest, IsNotUsedAndTheSourceIsNotRegistered) {
  const ForeignFolderCase& folderCase = GetParam();
  const std::wstring& foreign = folderCase.upper ? parent_ : folder_;
  if (!folderCase.upper) MakeFolder(parent_, kOwnFolder);
  if (folderCase.plainFile) {
    testing_support::WriteFileBytes(Narrow(foreign), "a file");
  } else {
    MakeFolder(foreign, kOwnFolder);
    testing_support::SetProtectedDacl(Narrow(foreign), testing_support::kEveryoneMayWriteDacl);
  }

  service::InstallEventMessageFile();

  EXPECT_FALSE(Exists(file_));
  EXPECT_FALSE(SourceRegistered());
  ASSERT_EQ(events_.ids(), std::vector<EventId>{EventId::kMessageFileNotWritten});
  EXPECT_EQ(events_.entries()[0].kind, contract::EventKind::kWarning);
  EXPECT_THAT(events_.entries()[0].text, ::testing::HasSubstr(Narrow(foreign) + " is not used"));
}

INSTANTIATE_TEST_SUITE_P(Folders, ForeignMessageFolderTest,
                         ::testing::Values(ForeignFolderCase{"LowerEveryoneMayWrite", false, false},
                                           ForeignFolderCase{"UpperEveryoneMayWrite", true, false},
                                           ForeignFolderCase{"LowerIsAFile", false, true},
                                           ForeignFolderCase{"UpperIsAFile", true, true}),
                         [](const ::testing::TestParamInfo<ForeignFolderCase>& info) {
                           return info.param.name;
                         });

TEST_F(EventMessageFileTest, RemoveTakesTheRegistrationAndTheFileAndLeavesTheRecords) {
  service::InstallEventMessageFile();
  ASSERT_TRUE(Exists(file_));
  const std::wstring runs = folder_ + L"\\runs";
  ASSERT_TRUE(::CreateDirectoryW(runs.c_str(), nullptr));
  testing_support::WriteFileBytes(Narrow(runs + L"\\run-20261211T031500.123Z-42.json"), "{}");

  service::RemoveEventMessageFile();

  EXPECT_FALSE(SourceRegistered());
  EXPECT_FALSE(Exists(file_));
  EXPECT_TRUE(Exists(runs + L"\\run-20261211T031500.123Z-42.json"));
  EXPECT_TRUE(events_.entries().empty());
}

TEST_F(EventMessageFileTest, RemoveWithNothingInstalledSaysNothing) {
  service::RemoveEventMessageFile();
  EXPECT_TRUE(events_.entries().empty());
  EXPECT_FALSE(Exists(parent_));
}

TEST_F(EventMessageFileTest, RemoveDeletesNothingInAFolderThatOthersMayChange) {
  MakeFolder(parent_, kOwnFolder);
  MakeFolder(folder_, kOwnFolder);
  testing_support::WriteFileBytes(Narrow(file_), "someone else's file");
  testing_support::SetProtectedDacl(Narrow(folder_), testing_support::kEveryoneMayWriteDacl);
  // Registered, as -install leaves it: without a registration the removal looks for no file.
  HKEY key = nullptr;
  ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, service::EventSourceKeyPath().c_str(), 0, nullptr,
                              0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  ::RegCloseKey(key);

  service::RemoveEventMessageFile();

  EXPECT_TRUE(Exists(file_));
  EXPECT_EQ(events_.ids(), std::vector<EventId>{EventId::kMessageFileNotRemoved});
}

}  // namespace
