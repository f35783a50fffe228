// The process-wide cache of the file trust verifier's trusted verdicts. An entry stays valid only
// while the file keeps the size and write time it had when it was judged, so a replaced file is
// judged afresh.
#pragma once

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace sharedlib {

class VerdictCache {
 public:
  struct Key {
    std::wstring path;
    ULONG catalogHashOption;
    ULONG driverMode;
    bool operator<(const Key& other) const {
      return std::tie(path, catalogHashOption, driverMode) <
             std::tie(other.path, other.catalogHashOption, other.driverMode);
    }
  };
  enum class Lookup { kNothing, kTrusted };

  static VerdictCache& Instance();

  // The key of a normalised path: paths that differ only in letter case share an entry.
  static Key KeyFor(const std::wstring& path, ULONG catalogHashOption, ULONG driverMode);

  Lookup Find(const Key& key, ULONG level);
  void Store(const Key& key, ULONG level);
  void Clear();

 private:
  struct FileStamp {
    ULONGLONG size = 0;
    ULONGLONG writeTime = 0;
    bool operator==(const FileStamp& other) const {
      return size == other.size && writeTime == other.writeTime;
    }
  };
  struct Entry {
    ULONG level;
    FileStamp stamp;
  };

  static bool Stamp(const std::wstring& path, FileStamp& stamp);

  std::mutex mutex_;
  std::map<Key, Entry> entries_;
};

}  // namespace sharedlib
