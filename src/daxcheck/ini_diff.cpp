#include "daxcheck/ini_diff.h"

#include <windows.h>

#include <cctype>
#include <cstring>
#include <map>

namespace daxcheck {

namespace {

// A section and a key, as the profile functions match them: without regard to case.
using KeyId = std::pair<std::string, std::string>;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  return text;
}

KeyId IdOf(const std::string& section, const std::string& key) {
  return std::make_pair(Lower(section), Lower(key));
}

std::vector<std::pair<std::string, std::string>> SplitSection(const char* body, DWORD size) {
  std::vector<std::pair<std::string, std::string>> keys;
  for (const char* line = body; line < body + size && *line; line += std::strlen(line) + 1) {
    const std::string text = line;
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
      keys.emplace_back(text, std::string());
    } else {
      keys.emplace_back(text.substr(0, equals), text.substr(equals + 1));
    }
  }
  return keys;
}

Json Change(const char* kind, const std::string& section, const std::string& key) {
  return {{"change", kind}, {"section", Utf8(section)}, {"key", Utf8(key)}};
}

}  // namespace

IniContents ReadIni(const std::string& path) {
  IniContents contents;
  std::vector<char> names(65536, '\0');
  const DWORD length = ::GetPrivateProfileSectionNamesA(
      names.data(), static_cast<DWORD>(names.size()), path.c_str());
  for (const char* section = names.data(); section < names.data() + length && *section;
       section += std::strlen(section) + 1) {
    std::vector<char> body(65536, '\0');
    const DWORD size = ::GetPrivateProfileSectionA(section, body.data(),
                                                   static_cast<DWORD>(body.size()), path.c_str());
    contents.emplace_back(section, SplitSection(body.data(), size));
  }
  return contents;
}

Json IniChanges(const IniContents& before, const IniContents& after) {
  std::map<KeyId, std::string> old;
  for (const auto& section : before) {
    for (const auto& key : section.second) {
      old.emplace(IdOf(section.first, key.first), key.second);
    }
  }
  Json changes = Json::array();
  std::map<KeyId, bool> seen;
  for (const auto& section : after) {
    for (const auto& key : section.second) {
      const KeyId id = IdOf(section.first, key.first);
      seen[id] = true;
      const auto was = old.find(id);
      if (was == old.end()) {
        Json change = Change("add", section.first, key.first);
        change["value"] = Utf8(key.second);
        changes.push_back(change);
      } else if (was->second != key.second) {
        Json change = Change("change", section.first, key.first);
        change["from"] = Utf8(was->second);
        change["value"] = Utf8(key.second);
        changes.push_back(change);
      }
    }
  }
  for (const auto& section : before) {
    for (const auto& key : section.second) {
      if (seen.count(IdOf(section.first, key.first))) continue;
      Json change = Change("remove", section.first, key.first);
      change["from"] = Utf8(key.second);
      changes.push_back(change);
    }
  }
  return changes;
}

}  // namespace daxcheck
