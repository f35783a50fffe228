#include "sharedlib/verdict_cache.h"

#include <cwctype>

namespace sharedlib {

VerdictCache& VerdictCache::Instance() {
  static VerdictCache cache;
  return cache;
}

VerdictCache::Key VerdictCache::KeyFor(const std::wstring& path, ULONG catalogHashOption,
                                       ULONG driverMode) {
  std::wstring lowered = path;
  for (wchar_t& c : lowered) c = static_cast<wchar_t>(std::towlower(c));
  return Key{lowered, catalogHashOption, driverMode};
}

VerdictCache::Lookup VerdictCache::Find(const Key& key, ULONG level) {
  FileStamp stamp;
  if (!Stamp(key.path, stamp)) return Lookup::kNothing;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return Lookup::kNothing;
  if (!(it->second.stamp == stamp)) {
    entries_.erase(it);
    return Lookup::kNothing;
  }
  // Levels demand different checks rather than more of the same, so an entry speaks only for
  // its own level; negative verdicts are never stored.
  return it->second.level == level ? Lookup::kTrusted : Lookup::kNothing;
}

void VerdictCache::Store(const Key& key, ULONG level) {
  FileStamp stamp;
  if (!Stamp(key.path, stamp)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  entries_[key] = Entry{level, stamp};
}

void VerdictCache::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

bool VerdictCache::Stamp(const std::wstring& path, FileStamp& stamp) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  stamp.size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  stamp.writeTime = (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                    data.ftLastWriteTime.dwLowDateTime;
  return true;
}

}  // namespace sharedlib
