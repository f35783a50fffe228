// The event source's message file: what lets Event Viewer and Get-WinEvent show the text of the
// program's Application log entries instead of "the description for event ID ... cannot be
// found".
//
// The package folder is deleted by the staging program after the run, so the message file cannot
// lie there: -install writes it out of the program's own resources into a folder of its own below
// the common application-data folder, where it outlives every package, and registers it. The
// registration and the file stay for as long as the agent is deployed, so that every past entry
// keeps its text: only an administrator's -uninstall removes them, never the end of a run.
#pragma once

#include <string>

namespace service {

// Below the common application-data folder: the folder of the file and the file itself.
constexpr wchar_t kMessageFileParentFolder[] = L"Quorvex";
constexpr wchar_t kMessageFileFolder[] = L"Quorvex\\Daxinst";
constexpr wchar_t kMessageFileName[] = L"daxinst-messages.dll";

// The event source's key below HKEY_LOCAL_MACHINE; its name is the one RegisterEventSource uses.
std::wstring EventSourceKeyPath();

// The message file's full path, from the system's known folder and never from the environment.
// False, with `path` untouched, when the common application-data folder cannot be had.
bool EventMessageFilePath(std::wstring& path);

// -install: writes the message file (when it is not there already) and registers the event
// source with it. A folder that is not the program's own (a link, another account's, one that
// others may change) is not used. Nothing here fails -install: a failure is recorded and
// -install goes on; the entries are written all the same, only without their text.
void InstallEventMessageFile();

// An administrator's -uninstall: removes the registration and the message file.
void RemoveEventMessageFile();

}  // namespace service
