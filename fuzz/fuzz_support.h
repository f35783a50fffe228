// What every fuzz target shares: turning the input into text and stopping on a broken property.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A property that does not hold is a finding: report it and abort, so that libFuzzer keeps the
// input as a crash.
#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

namespace fuzz {

inline std::string Bytes(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Each pair of bytes is one UTF-16 code unit (little-endian), as the program sees wide text on
// Windows; a last odd byte is dropped.
inline std::wstring Utf16Units(const std::uint8_t* data, std::size_t size) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

// Each byte one character (Latin-1): handy where the input is mostly ASCII structure.
inline std::wstring Latin1(const std::string& bytes) {
  std::wstring text;
  for (char c : bytes) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace fuzz
