#include "upgrade/run_record.h"

#include <aclapi.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

#include "contract/event_report.h"
#include "diag/log.h"
#include "platform/change_rights.h"
#include "platform/security_attributes.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "upgrade/run_record_folder.h"

#ifndef DAXINST_AGENT_VERSION
#define DAXINST_AGENT_VERSION ""
#endif

namespace upgrade {

namespace {

using Json = nlohmann::ordered_json;

// Owned by the Administrators, whom every reader trusts (an object made without an owner in its
// descriptor has none under Wine); protected, so that nothing of ProgramData's rights for users,
// who may add files and folders there, is inherited: users read the records and change nothing.
constexpr wchar_t kFolderDescriptor[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)";
constexpr wchar_t kFileDescriptor[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";
constexpr wchar_t kRecordPrefix[] = L"run-";
constexpr wchar_t kTemporarySuffix[] = L".tmp";

std::string Utf8FromAnsi(const std::string& ansi) {
  return platform::NarrowCountedToUtf8(platform::WidenCountedLenient(ansi));
}

Json TextOrNull(const std::string& ansi) {
  return ansi.empty() ? Json(nullptr) : Json(Utf8FromAnsi(ansi));
}

template <typename T>
Json NumberOrNull(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

std::string Narrow(const std::wstring& wide) { return platform::NarrowWithoutBestFit(wide); }

RecordWriteResult Failure(RecordWrite result, const std::wstring& where, const std::string& why,
                          DWORD error = ERROR_SUCCESS) {
  RecordWriteResult failure;
  failure.result = result;
  failure.where = where;
  failure.why = why;
  failure.error = error;
  return failure;
}

std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

// The folder as it is now, held so that nobody can delete, rename or replace it while the record
// is written into it (no FILE_SHARE_DELETE), and judged through that handle: a link is refused
// before anything is read through it.
RecordWriteResult HoldFolder(const std::wstring& path, platform::PathRole role,
                             platform::UniqueFileHandle& held) {
  platform::UniqueFileHandle folder(::CreateFileW(
      path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!folder) {
    const DWORD error = ::GetLastError();
    return Failure(RecordWrite::kFailed, path, "cannot be opened - " + ErrorText(error), error);
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(folder.get(), &information)) {
    const DWORD error = ::GetLastError();
    return Failure(RecordWrite::kFailed, path, "cannot be read - " + ErrorText(error), error);
  }
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    return Failure(RecordWrite::kFolderRefused, path, "is a link (a reparse point)");
  }
  if (!(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return Failure(RecordWrite::kFolderRefused, path, "is not a folder");
  }
  PSECURITY_DESCRIPTOR raw = nullptr;
  const DWORD read = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT,
                                       OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &raw);
  if (read != ERROR_SUCCESS) {
    return Failure(RecordWrite::kFolderRefused, path,
                   "has an owner or a DACL that cannot be read - " + ErrorText(read), read);
  }
  platform::UniqueLocalMemory descriptor(raw);
  const platform::PathRights rights = platform::JudgeDescriptor(raw, role);
  switch (rights.verdict) {
    case platform::PathRights::Verdict::kPasses:
      held = std::move(folder);
      return RecordWriteResult{RecordWrite::kWritten, path, std::string(), ERROR_SUCCESS};
    case platform::PathRights::Verdict::kForeignOwner:
      return Failure(
          RecordWrite::kFolderRefused, path,
          rights.sid.empty() ? std::string("has no owner") : "is owned by " + rights.sid);
    case platform::PathRights::Verdict::kForeignRight:
      return Failure(RecordWrite::kFolderRefused, path,
                     "may be changed by " + rights.sid + " (" +
                         platform::RightNames(rights.rights, platform::PathRole::kFolder) + ")");
    default:
      return Failure(RecordWrite::kFolderRefused, path, "cannot be judged", rights.error);
  }
}

// The last kRunRecordFoldersMade folders of `folder`, the outermost first.
std::vector<std::wstring> FoldersToMake(const std::wstring& folder) {
  std::vector<std::wstring> folders;
  std::wstring path = folder;
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  for (int level = 0; level < kRunRecordFoldersMade && !path.empty(); ++level) {
    folders.insert(folders.begin(), path);
    const std::size_t separator = path.find_last_of(L'\\');
    if (separator == std::wstring::npos) break;
    path.resize(separator);
  }
  return folders;
}

RecordWriteResult MakeAndHoldFolders(const std::wstring& folder,
                                     std::vector<platform::UniqueFileHandle>& held) {
  platform::SddlAttributes descriptor;
  if (!descriptor.Build(kFolderDescriptor)) {
    const DWORD error = ::GetLastError();
    return Failure(RecordWrite::kFailed, folder, "no descriptor - " + ErrorText(error), error);
  }
  const std::vector<std::wstring> folders = FoldersToMake(folder);
  for (std::size_t index = 0; index < folders.size(); ++index) {
    const std::wstring& path = folders[index];
    if (!::CreateDirectoryW(path.c_str(), descriptor.get()) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
      const DWORD error = ::GetLastError();
      return Failure(RecordWrite::kFailed, path, "cannot be made - " + ErrorText(error), error);
    }
    // The folders above only must keep others from renaming or deleting what they hold; the
    // records' own folder from adding to it at all.
    const bool own = index + 1 == folders.size();
    platform::UniqueFileHandle handle;
    RecordWriteResult judged =
        HoldFolder(path, own ? platform::PathRole::kFolder : platform::PathRole::kAncestor, handle);
    if (judged.result != RecordWrite::kWritten) return judged;
    held.push_back(std::move(handle));
  }
  return RecordWriteResult{RecordWrite::kWritten, folder, std::string(), ERROR_SUCCESS};
}

RecordWriteResult WriteAtomically(const std::wstring& folder, const std::wstring& fileName,
                                  const std::string& text) {
  const std::wstring target = folder + L"\\" + fileName;
  const std::wstring temporary = target + kTemporarySuffix;
  platform::SddlAttributes descriptor;
  if (!descriptor.Build(kFileDescriptor)) {
    const DWORD error = ::GetLastError();
    return Failure(RecordWrite::kFailed, target, "no descriptor - " + ErrorText(error), error);
  }
  // A temporary file of the same name is what a run killed while writing left: only SYSTEM and
  // the Administrators may have put it in this folder.
  ::DeleteFileW(temporary.c_str());
  {
    platform::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0,
                                                  descriptor.get(), CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      const DWORD error = ::GetLastError();
      return Failure(RecordWrite::kFailed, temporary, "cannot be created - " + ErrorText(error),
                     error);
    }
    DWORD written = 0;
    const bool complete =
        ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
        written == text.size() && ::FlushFileBuffers(file.get());
    if (!complete) {
      const DWORD error = ::GetLastError();
      file.reset();
      ::DeleteFileW(temporary.c_str());
      return Failure(RecordWrite::kFailed, temporary, "cannot be written - " + ErrorText(error),
                     error);
    }
  }
  if (!::MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = ::GetLastError();
    ::DeleteFileW(temporary.c_str());
    return Failure(RecordWrite::kFailed, target, "cannot be put in place - " + ErrorText(error),
                   error);
  }
  return RecordWriteResult{RecordWrite::kWritten, target, std::string(), ERROR_SUCCESS};
}

// Name order is time order. A folder that takes a record's name is left alone; a link in its
// place is deleted as the link, never through it.
void DeleteOlderRecords(const std::wstring& folder) {
  std::vector<std::wstring> records;
  WIN32_FIND_DATAW found = {};
  platform::UniqueFindHandle search(
      ::FindFirstFileW((folder + L"\\" + kRecordPrefix + L"*").c_str(), &found));
  if (!search) return;
  do {
    const std::wstring name = found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (!IsRunRecordName(name)) continue;
    records.push_back(name);
  } while (::FindNextFileW(search.get(), &found));
  search.reset();
  if (records.size() <= kRunRecordsKept) return;
  std::sort(records.begin(), records.end());
  const std::size_t older = records.size() - kRunRecordsKept;
  for (std::size_t index = 0; index < older; ++index) {
    ::DeleteFileW((folder + L"\\" + records[index]).c_str());
  }
}

std::mutex g_recordLock;
FILETIME g_started = {};
std::wstring g_folderForTesting;

std::string OutcomeText(const diag::RunNotes& notes, diag::RunOutcome outcome) {
  const auto orNone = [](const std::string& text) { return text.empty() ? "(none)" : text; };
  return std::string("DaxInst: ") + RunOutcomeMeaning(outcome) + " (" +
         diag::RunOutcomeName(outcome) + "). Package " + orNone(notes.packageFolder) +
         ", package version " + orNone(notes.packageVersion) + ", installed version " +
         orNone(notes.installedVersion) + ".";
}

void RecordWriteFailure(const RecordWriteResult& written) {
  if (written.result == RecordWrite::kWritten) return;
  const std::string where = Narrow(written.where);
  if (written.result == RecordWrite::kFolderRefused) {
    contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kRunRecordFolderRefused,
                          "DaxInst: the run records' folder " + where + " " + written.why +
                              ". The run's record is not written");
    return;
  }
  contract::RecordEvent(contract::EventKind::kWarning, contract::EventId::kRunRecordNotWritten,
                        "DaxInst: the run's record " + where + " " + written.why +
                            ". The run's record is not written");
}

}  // namespace

std::string RecordTime(const FILETIME& time) {
  SYSTEMTIME utc = {};
  if (!::FileTimeToSystemTime(&time, &utc)) return std::string();
  char text[32];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth,
                utc.wDay, utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
  return text;
}

std::wstring RunRecordFileName(const FILETIME& started, DWORD processId) {
  SYSTEMTIME utc = {};
  ::FileTimeToSystemTime(&started, &utc);
  wchar_t name[64];
  std::swprintf(name, sizeof(name) / sizeof(name[0]),
                L"run-%04u%02u%02uT%02u%02u%02u.%03uZ-%lu.json", utc.wYear, utc.wMonth, utc.wDay,
                utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds,
                static_cast<unsigned long>(processId));
  return name;
}

Json RunRecordJson(const diag::RunNotes& notes, const RunRecordAgent& agent,
                   const FILETIME& started, const FILETIME& ended, bool withLog) {
  Json record;
  record["record_version"] = kRunRecordVersion;
  record["agent"] = Json{{"version", agent.version}, {"build", agent.build}};
  record["package_folder"] = Utf8FromAnsi(notes.packageFolder);
  record["package_version"] = TextOrNull(notes.packageVersion);
  record["installed_version"] = TextOrNull(notes.installedVersion);
  record["started"] = RecordTime(started);
  record["ended"] = RecordTime(ended);
  record["path"] = TextOrNull(notes.path);
  Json gates = Json::array();
  for (const diag::GateNote& gate : notes.gates) {
    gates.push_back(
        Json{{"name", gate.name}, {"passes", gate.passes}, {"reason", TextOrNull(gate.reason)}});
  }
  record["gates"] = std::move(gates);
  record["setup_command_line"] = TextOrNull(notes.setupCommandLine);
  record["setup_exit_code"] = NumberOrNull(notes.setupExitCode);
  record["setup_code"] = NumberOrNull(notes.setupCode);
  record["installer_wait"] = notes.installerWaitMilliseconds
                                 ? Json{{"waited_ms", *notes.installerWaitMilliseconds},
                                        {"timed_out", notes.installerWaitTimedOut}}
                                 : Json(nullptr);
  const diag::RunOutcome outcome = notes.outcome.value_or(diag::RunOutcome::kException);
  record["outcome"] = Json{{"code", static_cast<unsigned>(outcome)},
                           {"name", diag::RunOutcomeName(outcome)},
                           {"succeeded", diag::RunOutcomeSucceeded(outcome)}};
  if (withLog) {
    Json lines = Json::array();
    if (notes.logLinesDropped != 0) {
      lines.push_back("(" + std::to_string(notes.logLinesDropped) + " earlier lines left out)");
    }
    for (const std::string& line : notes.logLines) lines.push_back(Utf8FromAnsi(line));
    record["log"] = std::move(lines);
  }
  return record;
}

RecordWriteResult WriteRunRecordFile(const std::wstring& folder, const std::wstring& fileName,
                                     const std::string& text) noexcept {
  try {
    std::vector<platform::UniqueFileHandle> held;
    RecordWriteResult made = MakeAndHoldFolders(folder, held);
    if (made.result != RecordWrite::kWritten) return made;
    RecordWriteResult written = WriteAtomically(folder, fileName, text);
    if (written.result == RecordWrite::kWritten) DeleteOlderRecords(folder);
    return written;
  } catch (...) {
    return Failure(RecordWrite::kFailed, folder, "cannot be written (out of memory)");
  }
}

void BeginRunRecord() noexcept {
  diag::ResetRunNotes();
  std::lock_guard<std::mutex> lock(g_recordLock);
  ::GetSystemTimeAsFileTime(&g_started);
}

void FinishRunRecord(diag::RunOutcome generic) noexcept {
  try {
    diag::NoteOutcome(generic);
    const diag::RunNotes notes = diag::CurrentRunNotes();
    const diag::RunOutcome outcome = notes.outcome.value_or(generic);
    FILETIME started = {};
    std::wstring folder;
    {
      std::lock_guard<std::mutex> lock(g_recordLock);
      started = g_started;
      folder = g_folderForTesting;
    }
    FILETIME ended = {};
    ::GetSystemTimeAsFileTime(&ended);
    if (folder.empty() && !RunRecordFolder(folder)) {
      RecordWriteFailure(Failure(RecordWrite::kFailed, L"(the common application data folder)",
                                 "cannot be found"));
    } else {
      const diag::IDebugLog* log = diag::CurrentLog();
      const bool withLog = log && log->IsEnabled();
      const RunRecordAgent agent{DAXINST_AGENT_VERSION, diag::BuildKind()};
      const std::string text =
          RunRecordJson(notes, agent, started, ended, withLog)
              .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
          "\n";
      RecordWriteFailure(
          WriteRunRecordFile(folder, RunRecordFileName(started, ::GetCurrentProcessId()), text));
    }
    contract::RecordRunOutcome(outcome, OutcomeText(notes, outcome));
  } catch (...) {
    // Without memory for the record the run ends as it would without records.
  }
}

void SetRunRecordFolderForTesting(const std::wstring& folder) {
  std::lock_guard<std::mutex> lock(g_recordLock);
  g_folderForTesting = folder;
}

const char* RunOutcomeMeaning(diag::RunOutcome outcome) noexcept {
  using diag::RunOutcome;
  switch (outcome) {
    case RunOutcome::kSucceeded:
      return "Setup ran and succeeded";
    case RunOutcome::kSucceededRestartPending:
      return "Setup succeeded and asks for a restart";
    case RunOutcome::kSucceededBefore:
      return "Setup succeeded in an earlier run for this package: not run again";
    case RunOutcome::kFailedBefore:
      return "Setup was run for this package before: not run again";
    case RunOutcome::kRunInProgress:
      return "Another run is in progress";
    case RunOutcome::kObjectOfAnotherUser:
      return "A named object the run needs was made by another account";
    case RunOutcome::kUnsafeFolder:
      return "Another account may change the package or config.xml";
    case RunOutcome::kNotTrusted:
      return "setup.exe or the .msi fails the trust check";
    case RunOutcome::kLowerVersion:
      return "The package is older than the installed client";
    case RunOutcome::kPackageInvalid:
      return "The package's .msi is not one readable file";
    case RunOutcome::kSettingsUnusable:
      return "config.xml or setAid.ini cannot be read or written safely";
    case RunOutcome::kSetupNotStarted:
      return "Setup could not be started";
    case RunOutcome::kSetupFailed:
      return "Setup ran and reported a failure";
    case RunOutcome::kNoResultInTime:
      return "Setup left no result within the polling time";
    case RunOutcome::kInstallerBusy:
      return "Setup failed because another installation was in progress";
    case RunOutcome::kEarlierResultKept:
      return "The setup result left from before cannot be deleted: setup is not run";
    case RunOutcome::kServiceNotStarted:
      return "The service could not report its start or make its objects";
    case RunOutcome::kPackagePathUnusable:
      return "The run cannot read its own path, or the path has no exact form";
    case RunOutcome::kException:
      return "The run ended by an exception";
  }
  return "Unknown outcome";
}

}  // namespace upgrade
