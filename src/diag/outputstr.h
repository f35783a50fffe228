// Growable narrow text in which log lines are put together. Its buffer is wiped before it is
// freed, so log text never stays readable in released memory.
#pragma once

#include <cstddef>
#include <new>

namespace diag {

class outputstr_alloc_error : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "outputstr failed to allocate memory"; }
};

class outputstr {
 public:
  outputstr() noexcept = default;
  explicit outputstr(const char* text) { append(text); }
  outputstr(const outputstr& other) { append(other.c_str(), other.length_); }
  outputstr(outputstr&& other) noexcept;
  outputstr& operator=(const outputstr& other);
  outputstr& operator=(outputstr&& other) noexcept;
  ~outputstr() { release(); }

  // Appending a missing or empty text changes nothing.
  outputstr& append(const char* text);
  outputstr& append(const char* text, std::size_t count);
  outputstr& operator+=(const char* text) { return append(text); }
  outputstr& operator+=(const outputstr& other) { return append(other.c_str(), other.length_); }

  const char* c_str() const noexcept { return buffer_ ? buffer_ : ""; }
  std::size_t length() const noexcept { return length_; }
  std::size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return length_ == 0; }

  void release() noexcept;

  // Capacity that holds `length` characters and the terminator: always a multiple of 16.
  static std::size_t CapacityFor(std::size_t length) noexcept { return length / 16 * 16 + 16; }

 private:
  char* buffer_ = nullptr;
  std::size_t length_ = 0;
  std::size_t capacity_ = 0;
};

outputstr operator+(const outputstr& left, const char* right);

}  // namespace diag
