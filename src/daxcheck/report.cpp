#include <string>

#include "daxcheck/check.h"
#include "daxcheck/report_text.h"

namespace daxcheck {

namespace {

using Json = nlohmann::ordered_json;

std::string Scalar(const Json& value) {
  if (value.is_null()) return "-";
  if (value.is_string()) return Printable(value.get<std::string>());
  if (value.is_boolean()) return value.get<bool>() ? "yes" : "no";
  return value.dump();
}

bool IsFlat(const Json& object) {
  for (const auto& item : object.items()) {
    if (item.value().is_structured()) return false;
  }
  return true;
}

// One line per scalar, nested objects indented below their name; a flat object in a list fits
// on one line.
void Render(const Json& value, const std::string& indent, std::string& out) {
  for (const auto& item : value.items()) {
    const Json& field = item.value();
    if (item.key() == "predicted_setaid_ini") continue;  // the changes say it shorter
    if (field.is_object()) {
      out += indent + Printable(item.key()) + ":\n";
      Render(field, indent + "  ", out);
    } else if (field.is_array()) {
      out += indent + Printable(item.key()) + ":" + (field.empty() ? " -" : "") + "\n";
      for (const auto& element : field) {
        if (element.is_object() && IsFlat(element)) {
          std::string line;
          for (const auto& part : element.items()) {
            line += (line.empty() ? "" : ", ") + Printable(part.key()) + "=" + Scalar(part.value());
          }
          out += indent + "  - " + line + "\n";
        } else if (element.is_object()) {
          out += indent + "  -\n";
          Render(element, indent + "    ", out);
        } else {
          out += indent + "  - " + Scalar(element) + "\n";
        }
      }
    } else {
      out += indent + Printable(item.key()) + ": " + Scalar(field) + "\n";
    }
  }
}

}  // namespace

std::string RenderText(const Json& report) {
  std::string out = "daxcheck: " + Printable(report["folder"].get<std::string>()) + "\n";
  for (const auto& gate : report["gates"]) {
    out += "\n" + std::to_string(gate["number"].get<int>()) + " " +
           gate["name"].get<std::string>() + ": " +
           (gate["passes"].get<bool>()
                ? std::string("passes")
                : "stops setup: " + Printable(gate["stops_because"].get<std::string>())) +
           "\n";
    Json details = gate;
    for (const char* key : {"number", "name", "passes", "stops_because", "stops_at_run_step"}) {
      details.erase(key);
    }
    Render(details, "  ", out);
  }
  const Json& verdict = report["verdict"];
  out += "\n8 verdict: " + verdict["text"].get<std::string>();
  if (!verdict["setup_would_run"].get<bool>()) {
    out += " (gate " + std::to_string(verdict["stopped_at_gate"].get<int>()) + " " +
           verdict["stopped_by"].get<std::string>() + ": " +
           Printable(verdict["because"].get<std::string>()) + ")";
  }
  out += "\n";
  if (report.contains("machine")) {
    const Json& machine = report["machine"];
    const size_t warnings = machine["warnings"].size();
    out += "\nmachine: " +
           (warnings == 0 ? std::string("no warnings")
                          : std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings")) +
           "\n";
    Render(machine, "  ", out);
  }
  return out;
}

}  // namespace daxcheck
