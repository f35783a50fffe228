// The record every run leaves: one JSON file per run in the records' folder, for administrators
// and deployment tools, who see neither the log of a shipped build nor the package folder that
// the staging program deletes.
//
// A record never changes the run: nothing leaves the writer, and the outcome, the registry values
// and the log are the same whether a record is written or not.
#pragma once

#include <windows.h>

#include <nlohmann/json.hpp>

#include <string>

#include "diag/run_notes.h"

namespace upgrade {

constexpr int kRunRecordVersion = 1;
// Older records than the newest this many are deleted.
constexpr std::size_t kRunRecordsKept = 20;
// The folders the writer makes (and checks, where they exist) at the end of the records' path:
// Quorvex, Quorvex\Daxinst and Quorvex\Daxinst\runs.
constexpr int kRunRecordFoldersMade = 3;

// Where a record's version and build kind come from.
struct RunRecordAgent {
  std::string version;  // the file version "a.b.c.d"
  std::string build;    // "shipped" or "diagnostic"
};

// The record of `notes`, UTF-8 throughout. `withLog` adds the run's log lines.
nlohmann::ordered_json RunRecordJson(const diag::RunNotes& notes, const RunRecordAgent& agent,
                                     const FILETIME& started, const FILETIME& ended, bool withLog);

// "run-<yyyymmdd>T<hhmmss>.<mmm>Z-<pid>.json" for a run started at `started` (UTC).
std::wstring RunRecordFileName(const FILETIME& started, DWORD processId);

// "2026-12-11T03:15:00.123Z".
std::string RecordTime(const FILETIME& time);

enum class RecordWrite {
  kWritten,
  kFolderRefused,  // the folder or one above it is a link, foreign, or open to others' changes
  kFailed,         // a folder could not be made or the file could not be written
};
struct RecordWriteResult {
  RecordWrite result = RecordWrite::kFailed;
  std::wstring where;  // the folder refused or the path that failed
  std::string why;     // the owner, the rights or the error, as the event tells it
  DWORD error = ERROR_SUCCESS;
};

// Makes `folder`'s last kRunRecordFoldersMade folders where missing (owned by the
// Administrators; SYSTEM and the Administrators change them, Users read), refuses them where an
// existing one is a link, has another owner or lets others change it, then writes `text` as
// `fileName` atomically (a temporary file in the same folder, flushed, then moved over) and
// deletes all but the newest kRunRecordsKept records by name. Nothing leaves it.
RecordWriteResult WriteRunRecordFile(const std::wstring& folder, const std::wstring& fileName,
                                     const std::string& text) noexcept;

// A run's start: its notes start afresh and its start time is taken.
void BeginRunRecord() noexcept;

// A run's end: notes `generic` unless an outcome is noted already, writes the record into
// RunRecordFolder() and the one event log entry of the run's outcome. Refusals of the folder and
// write failures go to the event log too; nothing else of the run changes.
void FinishRunRecord(diag::RunOutcome generic) noexcept;

// The sentence of an outcome in the run's event log entry ("setup ran and succeeded").
const char* RunOutcomeMeaning(diag::RunOutcome outcome) noexcept;

// Test seam: where FinishRunRecord writes; empty puts RunRecordFolder() back.
void SetRunRecordFolderForTesting(const std::wstring& folder);

}  // namespace upgrade
