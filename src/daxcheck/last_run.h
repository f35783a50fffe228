// daxcheck.exe --last-run: the newest record of a run, for administrators and for the detection
// rules of deployment tools.
//
// The records' folder is written by the runs, but what lies in it is read as if anyone could have
// written it: a file of bounded size, opened without following a link, read as JSON, and every
// text escaped before it reaches the console.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace daxcheck {

// Exit codes of --last-run.
constexpr int kLastRunSucceeded = 0;
constexpr int kLastRunFailed = 1;
constexpr int kLastRunNone = 2;  // no readable record, or a run is in progress

// A record larger than this is not read.
constexpr unsigned long kMaxRunRecordBytes = 1024 * 1024;

struct LastRecord {
  bool found = false;  // `record` holds the newest record
  std::string name;    // the newest record's file name, when there is one
  std::string why;     // when not found: why there is none readable
  nlohmann::ordered_json record;
};

// The newest record in `folder` by name, read and checked: an object whose "outcome" is an
// object with a number "code", a text "name" and a boolean "succeeded". The newest record that
// cannot be read or checked makes "none readable": an older one does not stand in for it.
LastRecord ReadLastRecord(const std::wstring& folder);

// The record as text for a console: the outcome, times, versions, path, gates, setup's codes.
std::string RenderLastRun(const std::string& name, const nlohmann::ordered_json& record);

// The exit code for a record that was found.
int LastRunExitCode(const nlohmann::ordered_json& record);

// The whole of --last-run: prints and returns the exit code.
int PrintLastRun(bool json);

}  // namespace daxcheck
