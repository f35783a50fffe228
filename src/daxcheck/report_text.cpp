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

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0], size,
                          nullptr, nullptr);
  }
  return text;
}

std::string Utf8(const std::string& ansi) { return Utf8(platform::WidenCountedLenient(ansi)); }

Json OptionalDword(bool found, DWORD value) { return found ? Json(value) : Json(nullptr); }

std::string Hex8(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

}  // namespace daxcheck
