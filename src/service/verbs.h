// The command-line verbs of daxinst.exe and the handlers of -install, -uninstall, -start and
// -stop (-debug is ConfirmDebugMode of process_entry.h).
#pragma once

namespace service {

struct VerbEntry {
  const char* name;
  void (*handler)();
};

// The verb that the first argument names: the first of -install, -uninstall, -start, -stop,
// -debug that occurs anywhere in it, case-sensitive. Null when none does.
const VerbEntry* MatchVerb(const char* argument);

void mfn_Install();
void mfn_UnInstall();
void mfn_StartService();
void mfn_StopService();

}  // namespace service
