// Checks a message file against every event ID the program reports: each one must give back the
// entry's own text, and no other number in the program's ranges may have a message.
#pragma once

#include <windows.h>

#include <set>
#include <string>
#include <vector>

// Generated from the event ID enums with the message table (generated/messages).
#include "event_message_ids.h"

namespace testing_support {

// The problems found, one per ID; empty when the table is right. A file that cannot be loaded
// is one problem.
inline std::vector<std::string> MessageTableProblems(const std::wstring& messageFile) {
  std::vector<std::string> problems;
  HMODULE module = ::LoadLibraryExW(messageFile.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) {
    problems.push_back("cannot be loaded: error " + std::to_string(::GetLastError()));
    return problems;
  }
  const std::string insertion = "DaxInst: an entry's own text, 100% as written";
  std::set<unsigned long> listed;
  for (const EventMessageId& entry : kEventMessageIds) {
    listed.insert(entry.id);
    DWORD_PTR arguments[1] = {reinterpret_cast<DWORD_PTR>(insertion.c_str())};
    char buffer[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, module,
                         entry.id, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), buffer,
                         sizeof(buffer), reinterpret_cast<va_list*>(arguments));
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (length == 0) {
      problems.push_back(std::to_string(entry.id) + " (" + entry.name + "): no message, error " +
                         std::to_string(::GetLastError()));
    } else if (text != insertion) {
      problems.push_back(std::to_string(entry.id) + " (" + entry.name + "): \"" + text + "\"");
    }
  }
  for (unsigned long id = 1000; id < 3000; ++id) {
    if (listed.count(id)) continue;
    char buffer[512] = {};
    if (::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module, id, 0,
                         buffer, sizeof(buffer), nullptr) != 0) {
      problems.push_back(std::to_string(id) + ": a message that no event ID names");
    }
  }
  ::FreeLibrary(module);
  return problems;
}

}  // namespace testing_support
