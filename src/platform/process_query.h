// The shared component library's process query: executable file name and parent process number
// of a process, as far as the system will tell.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

struct ProcessRecord {
  // File name only (no folder), whichever way it was found, so that two records compare.
  std::string fileName;
  DWORD parentId = 0;
};

class ProcessQuery {
 public:
  // Resolves the system entry points the query needs; false when they are missing.
  bool Initialise();

  // Fills `record` with what the system yields for `processId`. Answers true only when the
  // process itself could be asked; a process list look-up still fills the record but answers
  // false, since its data may belong to an earlier process of the same number.
  bool Query(DWORD processId, ProcessRecord& record) const;

 private:
  using NtQueryInformationProcessFn = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
  NtQueryInformationProcessFn ntQueryInformationProcess_ = nullptr;
};

// The base name of a path: what follows its last backslash or slash.
std::string FileNameOf(const std::string& path);

}  // namespace platform
