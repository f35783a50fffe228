#pragma once

namespace service {

struct VerbEntry {
  const char* name;
  void (*handler)();
};

// The verb that the first argument names: the first of -install, -uninstall, -start, -stop,
// -debug that occurs anywhere in it, case-sensitive. Null when none does.
const VerbEntry* MatchVerb(const char* argument);

}  // namespace service
