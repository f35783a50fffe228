// Windows Installer runs one installation at a time and holds its execution mutex while it does;
// a setup started meanwhile fails with 1618 and spends the package's one attempt. The run waits,
// for a bounded time, while the mutex is held, and the check reports whether it is.
//
// The mutex is someone else's object: one whose owner is not trusted is not waited on, so that a
// standard user cannot hold every upgrade back. It is never kept: a probe or a wait that gets it
// releases it at once, abandoned or not.
#pragma once

#include <windows.h>

#include <string>

#include "platform/named_object.h"

namespace upgrade {

// The name under which Windows Installer's service creates the mutex.
constexpr char kInstallerMutexName[] = "Global\\_MSIExecute";
// How long the run waits for Windows Installer before it starts setup all the same.
constexpr DWORD kInstallerWaitLimitMs = 10 * 60 * 1000;

enum class InstallerState {
  kFree,     // no such mutex, or nobody holds it
  kBusy,     // another installation holds it
  kForeign,  // made by an account the program does not trust (or one it cannot open at all)
  kUnknown,  // it cannot be asked (openError tells why)
};

struct InstallerProbe {
  InstallerState state = InstallerState::kUnknown;
  std::string owner;  // what a foreign mutex showed ("owner S-1-5-32-545", ...)
  DWORD openError = ERROR_SUCCESS;
};

// Whether `name` is held now, asked without keeping it.
InstallerProbe ProbeInstaller(const std::string& name = kInstallerMutexName);

struct InstallerWaitResult {
  InstallerState state = InstallerState::kUnknown;  // as the run found it before any wait
  DWORD waitedMs = 0;
  bool timedOut = false;
};

// Waits while `name` is held, for at most `limitMs`, with a log line at the start and at the end
// of a wait, and notes the time waited in the run's notes. A foreign mutex is recorded as an event
// and not waited on. Whatever the answer, setup is started afterwards as it would be without it.
InstallerWaitResult WaitForFreeInstaller(const std::string& name = kInstallerMutexName,
                                         DWORD limitMs = kInstallerWaitLimitMs);

// "10 minutes", "1 minute", "5 s": a limit as the log lines give it.
std::string WaitLimitText(DWORD milliseconds);

}  // namespace upgrade
