// What the option writers changed in an INI file, as the report lists it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "daxcheck/report_text.h"

namespace daxcheck {

// Sections in file order, each with its keys and values in file order.
using IniContents =
    std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;

// Every section and key of an INI file as the profile functions read it.
IniContents ReadIni(const std::string& path);

// The keys added, changed and removed from `before` to `after`: added and changed keys in the
// order of `after`, then the removed ones in the order of `before`.
Json IniChanges(const IniContents& before, const IniContents& after);

}  // namespace daxcheck
