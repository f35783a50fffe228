#include "daxcheck/file_version.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/unique_handle.h"

namespace daxcheck {

namespace {

// The fixed part follows the "VS_VERSION_INFO" header, found by its signature on a 4-byte
// boundary.
std::string FixedFileVersion(const BYTE* data, DWORD size) {
  for (DWORD offset = 0; data && offset + sizeof(VS_FIXEDFILEINFO) <= size; offset += 4) {
    VS_FIXEDFILEINFO info;
    std::memcpy(&info, data + offset, sizeof(info));
    if (info.dwSignature != VS_FFI_SIGNATURE) continue;
    char version[64];
    std::snprintf(version, sizeof(version), "%u.%u.%u.%u",
                  static_cast<unsigned>(HIWORD(info.dwFileVersionMS)),
                  static_cast<unsigned>(LOWORD(info.dwFileVersionMS)),
                  static_cast<unsigned>(HIWORD(info.dwFileVersionLS)),
                  static_cast<unsigned>(LOWORD(info.dwFileVersionLS)));
    return version;
  }
  return {};
}

}  // namespace

std::string FileVersion(const std::string& path) {
  const platform::UniqueLibrary image(::LoadLibraryExA(
      path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  if (!image) return {};
  HRSRC resource = ::FindResourceA(image.get(), MAKEINTRESOURCEA(VS_VERSION_INFO), RT_VERSION);
  HGLOBAL loaded = resource ? ::LoadResource(image.get(), resource) : nullptr;
  const auto* data = static_cast<const BYTE*>(loaded ? ::LockResource(loaded) : nullptr);
  const DWORD size = resource ? ::SizeofResource(image.get(), resource) : 0;
  return FixedFileVersion(data, size);
}

}  // namespace daxcheck
