#include "diag/outputstr.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace diag {

outputstr::outputstr(outputstr&& other) noexcept
    : buffer_(std::exchange(other.buffer_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

outputstr& outputstr::operator=(const outputstr& other) {
  if (this != &other) {
    outputstr copy(other);
    *this = std::move(copy);
  }
  return *this;
}

outputstr& outputstr::operator=(outputstr&& other) noexcept {
  if (this != &other) {
    release();
    buffer_ = std::exchange(other.buffer_, nullptr);
    length_ = std::exchange(other.length_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

outputstr& outputstr::append(const char* text) {
  return text ? append(text, std::strlen(text)) : *this;
}

outputstr& outputstr::append(const char* text, std::size_t count) {
  if (!text || count == 0) return *this;
  const std::size_t newLength = length_ + count;
  const std::size_t wanted = CapacityFor(newLength);
  if (wanted > capacity_) {
    // realloc would leave the old copy behind unwiped, so move by hand.
    char* grown = static_cast<char*>(std::malloc(wanted));
    if (!grown) throw outputstr_alloc_error();
    if (buffer_) std::memcpy(grown, buffer_, length_);
    char* old = buffer_;
    const std::size_t oldLength = length_;
    buffer_ = grown;
    capacity_ = wanted;
    if (old) {
      ::SecureZeroMemory(old, oldLength);
      std::free(old);
    }
  }
  std::memcpy(buffer_ + length_, text, count);
  length_ = newLength;
  buffer_[length_] = '\0';
  return *this;
}

void outputstr::release() noexcept {
  if (buffer_) {
    ::SecureZeroMemory(buffer_, length_);
    std::free(buffer_);
  }
  buffer_ = nullptr;
  length_ = 0;
  capacity_ = 0;
}

outputstr operator+(const outputstr& left, const char* right) {
  outputstr result(left);
  result += right;
  return result;
}

}  // namespace diag
