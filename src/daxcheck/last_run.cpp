#include "daxcheck/last_run.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "daxcheck/report_text.h"
#include "platform/text_conversion.h"
#include "platform/unique_handle.h"
#include "upgrade/run_objects.h"
#include "upgrade/run_record_folder.h"

namespace daxcheck {

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A value of the record as one line: a text as it is, anything else as JSON; escaped.
std::string Field(const Json& record, const char* key) {
  if (!record.is_object() || !record.contains(key) || record[key].is_null()) return "(none)";
  const Json& value = record[key];
  return Printable(value.is_string() ? value.get<std::string>() : Dump(value));
}

std::string Member(const Json& object, const char* key) {
  return object.is_object() ? Field(object, key) : "(none)";
}

bool ReadPlainFile(const std::wstring& path, std::string& bytes, std::string& why) {
  platform::UniqueFileHandle file(::CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    why = "it cannot be opened (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!::GetFileInformationByHandle(file.get(), &information)) {
    why = "it cannot be read (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  if (information.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    why = "it is not a plain file";
    return false;
  }
  if (information.nNumberOfLinks != 1) {
    why = "it has " + std::to_string(information.nNumberOfLinks) +
          " links, so another name of it lies elsewhere";
    return false;
  }
  if (information.nFileSizeHigh != 0 || information.nFileSizeLow > kMaxRunRecordBytes) {
    why = "it is larger than " + std::to_string(kMaxRunRecordBytes) + " bytes";
    return false;
  }
  bytes.assign(information.nFileSizeLow, '\0');
  DWORD read = 0;
  if (!bytes.empty() &&
      (!::ReadFile(file.get(), &bytes[0], information.nFileSizeLow, &read, nullptr) ||
       read != information.nFileSizeLow)) {
    why = "it cannot be read (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

bool HasOutcome(const Json& record) {
  if (!record.is_object() || !record.contains("outcome")) return false;
  const Json& outcome = record["outcome"];
  return outcome.is_object() && outcome.contains("code") && outcome["code"].is_number_unsigned() &&
         outcome.contains("name") && outcome["name"].is_string() && outcome.contains("succeeded") &&
         outcome["succeeded"].is_boolean();
}

}  // namespace

LastRecord ReadLastRecord(const std::wstring& folder) {
  LastRecord last;
  const DWORD attributes = ::GetFileAttributesW(folder.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    last.why = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? "no run has left a record"
                   : "the records' folder cannot be read (error " + std::to_string(error) + ")";
    return last;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    last.why = "the records' folder is not a plain folder";
    return last;
  }
  std::wstring newest;
  WIN32_FIND_DATAW found = {};
  platform::UniqueFindHandle search(::FindFirstFileExW((folder + L"\\run-*.json").c_str(),
                                                       FindExInfoBasic, &found,
                                                       FindExSearchNameMatch, nullptr, 0));
  if (search) {
    do {
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      const std::wstring name = found.cFileName;
      if (upgrade::IsRunRecordName(name) && name > newest) newest = name;
    } while (::FindNextFileW(search.get(), &found));
  }
  if (newest.empty()) {
    last.why = "no run has left a record";
    return last;
  }
  last.name = platform::NarrowWithoutBestFit(newest);
  std::string bytes;
  std::string why;
  if (!ReadPlainFile(folder + L"\\" + newest, bytes, why)) {
    last.why = "the newest record " + last.name + " is not read: " + why;
    return last;
  }
  Json record = Json::parse(bytes, nullptr, false);
  if (record.is_discarded()) {
    last.why = "the newest record " + last.name + " is not JSON";
    return last;
  }
  if (!HasOutcome(record)) {
    last.why = "the newest record " + last.name + " has no outcome";
    return last;
  }
  last.found = true;
  last.record = std::move(record);
  return last;
}

std::string RenderLastRun(const std::string& name, const Json& record) {
  const Json& outcome = record["outcome"];
  std::string text = "Last run (" + Printable(name) +
                     "): " + Printable(outcome["name"].get<std::string>()) + " (" +
                     std::to_string(outcome["code"].get<unsigned long long>()) + "), " +
                     (outcome["succeeded"].get<bool>() ? "succeeded" : "failed") + "\n";
  const Json agent = record.contains("agent") ? record["agent"] : Json();
  text += "  started:            " + Field(record, "started") + "\n";
  text += "  ended:              " + Field(record, "ended") + "\n";
  text += "  agent:              " +
          (agent.is_object() ? Member(agent, "version") + " (" + Member(agent, "build") + ")"
                             : Field(record, "agent")) +
          "\n";
  text += "  package folder:     " + Field(record, "package_folder") + "\n";
  text += "  package version:    " + Field(record, "package_version") + "\n";
  text += "  installed version:  " + Field(record, "installed_version") + "\n";
  text += "  path:               " + Field(record, "path") + "\n";
  text += "  gates:\n";
  if (record.contains("gates") && record["gates"].is_array() && !record["gates"].empty()) {
    for (const Json& gate : record["gates"]) {
      const bool passes = gate.is_object() && gate.contains("passes") &&
                          gate["passes"].is_boolean() && gate["passes"].get<bool>();
      text += "    " + Member(gate, "name") + ": " + (passes ? "passes" : "stops");
      const std::string reason = Member(gate, "reason");
      if (reason != "(none)") text += ": " + reason;
      text += "\n";
    }
  } else {
    text += "    (none)\n";
  }
  text += "  setup command line: " + Field(record, "setup_command_line") + "\n";
  text += "  setup exit code:    " + Field(record, "setup_exit_code") + "\n";
  text += "  setup code:         " + Field(record, "setup_code") + "\n";
  const Json wait = record.contains("installer_wait") ? record["installer_wait"] : Json();
  if (wait.is_object()) {
    const bool timedOut = wait.contains("timed_out") && wait["timed_out"].is_boolean() &&
                          wait["timed_out"].get<bool>();
    text += "  installer wait:     " + Member(wait, "waited_ms") + " ms" +
            (timedOut ? ", timed out" : "") + "\n";
  }
  return text;
}

int LastRunExitCode(const Json& record) {
  return record["outcome"]["succeeded"].get<bool>() ? kLastRunSucceeded : kLastRunFailed;
}

int PrintLastRun(bool json) {
  // A run in progress writes its record only at its end: the newest one is an earlier run's.
  if (upgrade::LookForARun().InProgress()) {
    std::fputs("daxcheck: a run is in progress; its record is written when it ends\n", stderr);
    return kLastRunNone;
  }
  std::wstring folder;
  if (!upgrade::RunRecordFolder(folder)) {
    std::fputs("daxcheck: the records' folder cannot be found\n", stderr);
    return kLastRunNone;
  }
  const LastRecord last = ReadLastRecord(folder);
  if (!last.found) {
    std::fprintf(stderr, "daxcheck: no readable run record: %s\n", Printable(last.why).c_str());
    return kLastRunNone;
  }
  const std::string text =
      json ? last.record.dump(2, ' ', false, Json::error_handler_t::replace) + "\n"
           : RenderLastRun(last.name, last.record);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return LastRunExitCode(last.record);
}

}  // namespace daxcheck
