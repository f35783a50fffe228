#include "service/event_message_file.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "contract/event_report.h"
#include "contract/service_names.h"
#include "platform/change_rights.h"
#include "platform/security_attributes.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "service/resource_ids.h"
#include "upgrade/run_record_folder.h"

namespace service {

namespace {

// SYSTEM and the Administrators change them, everyone else reads them, and nothing is inherited
// from above: %ProgramData% lets every user add folders and files of their own.
constexpr wchar_t kFolderDescriptor[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr wchar_t kFileDescriptor[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";

constexpr wchar_t kEventMessageFileValue[] = L"EventMessageFile";
constexpr wchar_t kTypesSupportedValue[] = L"TypesSupported";
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

std::string Text(const std::wstring& wide) { return platform::NarrowWithoutBestFit(wide); }
std::string ErrorText(DWORD error) { return "error " + std::to_string(error); }

// Why a folder that is there is not the program's own, or "" when it is.
std::string FolderRefusal(const std::wstring& path, platform::PathRole role) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    return "it cannot be read (" + ErrorText(::GetLastError()) + ")";
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
    return "it is a reparse point that leads elsewhere";
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return "it is not a folder";
  const platform::PathRights rights = platform::CheckPathRights(path, role);
  switch (rights.verdict) {
    case platform::PathRights::Verdict::kPasses:
      return {};
    case platform::PathRights::Verdict::kMissing:
      return "it is gone";
    case platform::PathRights::Verdict::kUnreadable:
      return "its owner or its DACL cannot be read (" + ErrorText(rights.error) + ")";
    case platform::PathRights::Verdict::kForeignOwner:
      return "it is owned by " + (rights.sid.empty() ? std::string("no one") : rights.sid);
    case platform::PathRights::Verdict::kForeignRight:
      return rights.sid + " may change it (" + platform::RightNames(rights.rights, role) + ")";
  }
  return "it cannot be judged";
}

// Makes the folder with the program's own descriptor, or takes the one that is there when it is
// the program's own (a folder made first by another account is never used).
bool EnsureFolder(const std::wstring& path, platform::PathRole role, std::string& refusal) {
  platform::SddlAttributes attributes;
  if (!attributes.Build(kFolderDescriptor)) {
    refusal = "its descriptor cannot be made (" + ErrorText(::GetLastError()) + ")";
    return false;
  }
  if (!::CreateDirectoryW(path.c_str(), attributes.get()) &&
      ::GetLastError() != ERROR_ALREADY_EXISTS) {
    refusal = "it cannot be made (" + ErrorText(::GetLastError()) + ")";
    return false;
  }
  refusal = FolderRefusal(path, role);
  return refusal.empty();
}

// The message file that this program carries.
bool CarriedMessageFile(const char*& bytes, DWORD& size) {
  HRSRC found = ::FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_EVENT_MESSAGE_FILE),
                                MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (!found) return false;
  HGLOBAL loaded = ::LoadResource(nullptr, found);
  size = ::SizeofResource(nullptr, found);
  bytes = loaded ? static_cast<const char*>(::LockResource(loaded)) : nullptr;
  return bytes && size > 0;
}

// True when `path` is already a plain file, with no other name, that holds exactly `bytes`.
bool HoldsAlready(const std::wstring& path, const char* bytes, DWORD size) {
  platform::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING,
                                                FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return false;
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(file.get(), &information)) return false;
  if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY) ||
      information.nNumberOfLinks != 1 || information.nFileSizeHigh != 0 ||
      information.nFileSizeLow != size) {
    return false;
  }
  std::vector<char> held(size);
  DWORD read = 0;
  return ::ReadFile(file.get(), held.data(), size, &read, nullptr) && read == size &&
         std::memcmp(held.data(), bytes, size) == 0;
}

// Writes the file beside its place and then puts it there: a half-written file never stands
// where the event log reads it, and whatever name was there is replaced, not written through.
bool WriteMessageFile(const std::wstring& path, const char* bytes, DWORD size, std::string& why) {
  platform::SddlAttributes attributes;
  if (!attributes.Build(kFileDescriptor)) {
    why = "its descriptor cannot be made (" + ErrorText(::GetLastError()) + ")";
    return false;
  }
  const std::wstring temporary = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L".tmp";
  {
    platform::UniqueFileHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0,
                                                  attributes.get(), CREATE_NEW,
                                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
      why = "it cannot be created (" + ErrorText(::GetLastError()) + ")";
      return false;
    }
    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes, size, &written, nullptr) || written != size ||
        !::FlushFileBuffers(file.get())) {
      why = "it cannot be written (" + ErrorText(::GetLastError()) + ")";
      file.reset();
      ::DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!::MoveFileExW(temporary.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    why = "it cannot replace the file there (" + ErrorText(::GetLastError()) + ")";
    ::DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

bool PlaceMessageFile(std::wstring& path, std::string& why) {
  std::wstring common;
  if (!upgrade::CommonAppDataFolder(common)) {
    why = "the common application-data folder cannot be found";
    return false;
  }
  const std::wstring parent = common + L"\\" + kMessageFileParentFolder;
  const std::wstring folder = common + L"\\" + kMessageFileFolder;
  std::string refusal;
  // Whoever may delete or rename what the upper folder holds may put a folder of their own in
  // the place of the lower one.
  if (!EnsureFolder(parent, platform::PathRole::kAncestor, refusal)) {
    why = "the folder " + Text(parent) + " is not used: " + refusal;
    return false;
  }
  if (!EnsureFolder(folder, platform::PathRole::kFolder, refusal)) {
    why = "the folder " + Text(folder) + " is not used: " + refusal;
    return false;
  }
  const char* bytes = nullptr;
  DWORD size = 0;
  if (!CarriedMessageFile(bytes, size)) {
    why = "the program carries no message table (" + ErrorText(::GetLastError()) + ")";
    return false;
  }
  path = folder + L"\\" + kMessageFileName;
  if (HoldsAlready(path, bytes, size)) return true;
  if (!WriteMessageFile(path, bytes, size, why)) {
    why = Text(path) + " is not written: " + why;
    return false;
  }
  return true;
}

bool RegisterSource(const std::wstring& messageFile, DWORD& error) {
  platform::UniqueRegKey key;
  error = static_cast<DWORD>(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str(), 0,
                                               nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                                               nullptr, key.put(), nullptr));
  if (error != ERROR_SUCCESS) return false;
  const DWORD bytes = static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t));
  error = static_cast<DWORD>(::RegSetValueExW(key.get(), kEventMessageFileValue, 0, REG_EXPAND_SZ,
                                              reinterpret_cast<const BYTE*>(messageFile.c_str()),
                                              bytes));
  if (error != ERROR_SUCCESS) return false;
  error = static_cast<DWORD>(::RegSetValueExW(key.get(), kTypesSupportedValue, 0, REG_DWORD,
                                              reinterpret_cast<const BYTE*>(&kTypesSupported),
                                              sizeof(kTypesSupported)));
  return error == ERROR_SUCCESS;
}

void Warn(contract::EventId id, const std::string& text) {
  contract::RecordEvent(contract::EventKind::kWarning, id, text);
}

}  // namespace

std::wstring EventSourceKeyPath() {
  return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" +
         platform::WidenToNulLenient(contract::kServiceName);
}

bool EventMessageFilePath(std::wstring& path) {
  std::wstring common;
  if (!upgrade::CommonAppDataFolder(common)) return false;
  path = common + L"\\" + kMessageFileFolder + L"\\" + kMessageFileName;
  return true;
}

void InstallEventMessageFile() {
  std::wstring path;
  std::string why;
  if (!PlaceMessageFile(path, why)) {
    Warn(contract::EventId::kMessageFileNotWritten,
         "<mfn_Install> The event message file is not in place: " + why +
             ". Event Viewer shows this program's entries without their text.");
    return;
  }
  DWORD error = ERROR_SUCCESS;
  if (!RegisterSource(path, error)) {
    Warn(contract::EventId::kEventSourceNotRegistered,
         "<mfn_Install> The event source \"" + std::string(contract::kServiceName) +
             "\" is not registered (" + ErrorText(error) +
             "). Event Viewer shows this program's entries without their text.");
  }
}

void RemoveEventMessageFile() {
  const LSTATUS status = ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, EventSourceKeyPath().c_str());
  // No registration, no -install to undo: the message file is not looked for either, since
  // finding its folder loads the shell (and the window manager with it) into a verb that otherwise
  // needs neither.
  if (status == ERROR_FILE_NOT_FOUND) return;
  if (status != ERROR_SUCCESS) {
    Warn(contract::EventId::kMessageFileNotRemoved,
         "<mfn_UnInstall> The event source \"" + std::string(contract::kServiceName) +
             "\" stays registered (" + ErrorText(static_cast<DWORD>(status)) + ").");
  }
  std::wstring common;
  if (!upgrade::CommonAppDataFolder(common)) return;
  const std::wstring parent = common + L"\\" + kMessageFileParentFolder;
  const std::wstring folder = common + L"\\" + kMessageFileFolder;
  // Nothing is deleted through a folder that is not the program's own: its file is not ours.
  if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) return;
  const std::string refusal = FolderRefusal(folder, platform::PathRole::kFolder);
  const std::string parentRefusal = FolderRefusal(parent, platform::PathRole::kAncestor);
  if (!refusal.empty() || !parentRefusal.empty()) {
    Warn(contract::EventId::kMessageFileNotRemoved,
         "<mfn_UnInstall> Nothing is deleted in " + Text(folder) + ": " +
             (refusal.empty() ? "the folder above it: " + parentRefusal : refusal) + ".");
    return;
  }
  const std::wstring path = folder + L"\\" + kMessageFileName;
  if (!::DeleteFileW(path.c_str())) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return;
    // Held open by an event log reader: it goes at the next restart.
    const bool later = ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    Warn(contract::EventId::kMessageFileNotRemoved,
         "<mfn_UnInstall> The event message file " + Text(path) + " cannot be deleted (" +
             ErrorText(error) + ")" + (later ? "; it is deleted at the next restart." : "."));
    return;
  }
  // Only when empty: the runs' records stay.
  if (::RemoveDirectoryW(folder.c_str())) ::RemoveDirectoryW(parent.c_str());
}

}  // namespace service
