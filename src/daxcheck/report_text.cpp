#include "daxcheck/report_text.h"

#include <cstdio>

#include "platform/text_conversion.h"

namespace daxcheck {

Json Gate(int number, const char* name) {
  Json gate;
  gate["number"] = number;
  gate["name"] = name;
  gate["passes"] = true;
  gate["stops_because"] = nullptr;
  return gate;
}

void Stop(Json& gate, const std::string& reason) {
  if (!gate["passes"].get<bool>()) return;  // the first reason stands
  gate["passes"] = false;
  gate["stops_because"] = reason;
}

std::string Utf8(const std::wstring& wide) { return platform::NarrowCountedToUtf8(wide); }

std::string Utf8(const std::string& ansi) { return Utf8(platform::WidenCountedLenient(ansi)); }

Json OptionalDword(bool found, DWORD value) { return found ? Json(value) : Json(nullptr); }

std::string Hex8(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

}  // namespace daxcheck
