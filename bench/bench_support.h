// What the benchmark programs share: the clock, the summary of repeated runs and the rows of the
// table that ./run-bench prints.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline LONGLONG Counter() {
  LARGE_INTEGER now = {};
  ::QueryPerformanceCounter(&now);
  return now.QuadPart;
}

inline double CounterMs(LONGLONG ticks) {
  static const double frequency = [] {
    LARGE_INTEGER value = {};
    ::QueryPerformanceFrequency(&value);
    return static_cast<double>(value.QuadPart);
  }();
  return static_cast<double>(ticks) * 1000.0 / frequency;
}

struct Summary {
  double median = 0;
  double min = 0;
  double max = 0;
  size_t count = 0;
};

inline Summary Summarise(std::vector<double> values) {
  Summary summary;
  summary.count = values.size();
  if (values.empty()) return summary;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  summary.median = values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
  summary.min = values.front();
  summary.max = values.back();
  return summary;
}

// "median (min-max)" with the given number of decimals.
inline std::string Show(const Summary& summary, int decimals, const char* unit) {
  if (summary.count == 0) return "n/a";
  char text[128];
  std::snprintf(text, sizeof(text), "%.*f (%.*f-%.*f) %s", decimals, summary.median, decimals,
                summary.min, decimals, summary.max, unit);
  return text;
}

inline std::string Ratio(double value, double base) {
  if (base <= 0) return "n/a";
  char text[32];
  std::snprintf(text, sizeof(text), "%.2fx", value / base);
  return text;
}

// One row of the table: ./run-bench lines up the tab-separated fields of every "ROW" line.
inline void Row(const std::string& figure, const std::string& measured, const std::string& baseline,
                const std::string& ratio, const std::string& target, const std::string& verdict) {
  std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), measured.c_str(), baseline.c_str(),
              ratio.c_str(), target.c_str(), verdict.c_str());
  std::fflush(stdout);
}

inline std::string OwnDirectory() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory = path;
  return directory.substr(0, directory.find_last_of('\\'));
}

inline bool WriteText(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}

inline bool ReadText(const std::string& path, std::string& text) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  text.clear();
  char buffer[4096];
  size_t read = 0;
  while ((read = std::fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, read);
  std::fclose(file);
  return true;
}

}  // namespace bench
