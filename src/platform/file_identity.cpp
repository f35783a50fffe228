#include "platform/file_identity.h"

#include <cstring>
#include <vector>

namespace platform {

namespace {

// FILE_ID_INFO and its class number, which the headers show only to Windows 8 builds; Windows 7
// answers ERROR_INVALID_PARAMETER for it.
struct FileIdRecord {
  ULONGLONG volumeSerialNumber;
  BYTE fileId[16];
};
constexpr FILE_INFO_BY_HANDLE_CLASS kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);

HANDLE SystemOpenReadShared(const wchar_t* path) {
  return ::CreateFileW(path, FILE_GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool SystemProcessImageIdentity(HANDLE process, FileIdentity& identity) {
  std::vector<wchar_t> name(32768);
  DWORD size = static_cast<DWORD>(name.size());
  if (!::QueryFullProcessImageNameW(process, 0, name.data(), &size) || size == 0) return false;
  // The name is the one the process was created with. It still names the image as long as the
  // caller holds that file open without delete sharing: the file can then be neither renamed nor
  // replaced, and Windows renames no folder beneath which a file is open. Only the identity of
  // what it names now is compared, never the name itself.
  UniqueFileHandle image(::CreateFileW(name.data(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
  return image && FileIdentityOf(image.get(), identity);
}

OpenReadSharedFn g_open = SystemOpenReadShared;
ProcessImageIdentityFn g_identify = SystemProcessImageIdentity;

}  // namespace

UniqueFileHandle OpenReadShared(const wchar_t* path) { return UniqueFileHandle(g_open(path)); }

bool operator==(const FileIdentity& a, const FileIdentity& b) {
  if (a.volumeSerial != b.volumeSerial || a.fileIndex != b.fileIndex) return false;
  if (a.hasExtended != b.hasExtended) return false;
  return !a.hasExtended || (a.extendedVolumeSerial == b.extendedVolumeSerial &&
                            std::memcmp(a.extendedFileId, b.extendedFileId, 16) == 0);
}

bool FileIdentityOf(HANDLE file, FileIdentity& identity) {
  identity = FileIdentity();
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(file, &information)) return false;
  identity.volumeSerial = information.dwVolumeSerialNumber;
  identity.fileIndex =
      (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  FileIdRecord extended = {};
  if (::GetFileInformationByHandleEx(file, kFileIdInfo, &extended, sizeof(extended))) {
    identity.hasExtended = true;
    identity.extendedVolumeSerial = extended.volumeSerialNumber;
    std::memcpy(identity.extendedFileId, extended.fileId, 16);
  }
  return true;
}

bool ProcessImageIdentity(HANDLE process, FileIdentity& identity) {
  identity = FileIdentity();
  return g_identify(process, identity);
}

OpenReadSharedFn SetOpenReadSharedForTesting(OpenReadSharedFn open) {
  const OpenReadSharedFn previous = g_open;
  g_open = open ? open : SystemOpenReadShared;
  return previous;
}

ProcessImageIdentityFn SetProcessImageIdentityForTesting(ProcessImageIdentityFn identify) {
  const ProcessImageIdentityFn previous = g_identify;
  g_identify = identify ? identify : SystemProcessImageIdentity;
  return previous;
}

}  // namespace platform
