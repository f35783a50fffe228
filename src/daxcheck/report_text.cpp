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

namespace {

RunStep StepOfGate(int number) {
  switch (number) {
    case 1:
      return RunStep::kAgent;
    case 2:
      return RunStep::kPackageGround;
    case 3:
      return RunStep::kRunGuard;
    case 4:
      return RunStep::kTrust;
    case 5:
      return RunStep::kConfiguration;
    case 6:
      return RunStep::kVersion;
    default:
      return RunStep::kCommandLine;
  }
}

}  // namespace

void Stop(Json& gate, const std::string& reason) {
  Stop(gate, reason, StepOfGate(gate["number"].get<int>()));
}

void Stop(Json& gate, const std::string& reason, RunStep step) {
  if (!gate["passes"].get<bool>()) return;  // the first reason stands
  gate["passes"] = false;
  gate["stops_because"] = reason;
  gate["stops_at_run_step"] = static_cast<int>(step);
}

Json VerdictOf(const Json& gates) {
  Json verdict;
  verdict["setup_would_run"] = true;
  verdict["text"] = "setup would run";
  verdict["number"] = 8;
  verdict["stopped_by"] = nullptr;
  verdict["stopped_at_gate"] = nullptr;
  verdict["because"] = nullptr;
  const Json* first = nullptr;
  for (const auto& gate : gates) {
    if (gate["passes"].get<bool>()) continue;
    if (!first || gate["stops_at_run_step"].get<int>() < (*first)["stops_at_run_step"].get<int>()) {
      first = &gate;
    }
  }
  if (first) {
    verdict["setup_would_run"] = false;
    verdict["text"] = "setup would not run";
    verdict["stopped_by"] = (*first)["name"];
    verdict["stopped_at_gate"] = (*first)["number"];
    verdict["because"] = (*first)["stops_because"];
  }
  return verdict;
}

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  char escape[16];
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char byte = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    const unsigned char third = i + 2 < text.size() ? static_cast<unsigned char>(text[i + 2]) : 0;
    if (byte < 0x20 || byte == 0x7F) {
      std::snprintf(escape, sizeof(escape), "\\x%02X", byte);
      out += escape;
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {  // U+0080 to U+009F
      std::snprintf(escape, sizeof(escape), "\\u%04X", next);
      out += escape;
      i += 1;
    } else if (byte == 0xE2 && next == 0x80 && (third == 0xA8 || third == 0xA9)) {
      std::snprintf(escape, sizeof(escape), "\\u%04X", 0x2000 + third - 0x80);
      out += escape;
      i += 2;
    } else {
      out += static_cast<char>(byte);
    }
  }
  return out;
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
