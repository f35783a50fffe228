#include "daxcheck/scratch_folder.h"

#include <windows.h>

#include <cstdio>

#include "platform/unique_handle.h"

namespace daxcheck {

ScratchFolder::ScratchFolder() {
  char base[MAX_PATH] = {};
  const DWORD length = ::GetTempPathA(MAX_PATH, base);
  if (length == 0 || length >= MAX_PATH) return;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    char name[64];
    std::snprintf(name, sizeof(name), "daxcheck-%lu-%lu-%d", ::GetCurrentProcessId(),
                  ::GetTickCount(), attempt);
    const std::string candidate = std::string(base) + name;
    if (::CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate;
  }
}

ScratchFolder::~ScratchFolder() {
  if (path_.empty()) return;
  WIN32_FIND_DATAA match = {};
  platform::UniqueFindHandle search(::FindFirstFileA((path_ + "\\*").c_str(), &match));
  if (search) {
    do {
      const std::string file = path_ + "\\" + match.cFileName;
      if (!(match.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileA(file.c_str());
      }
    } while (::FindNextFileA(search.get(), &match));
  }
  search.reset();
  ::RemoveDirectoryA(path_.c_str());
}

}  // namespace daxcheck
