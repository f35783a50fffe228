#include "diag/outputstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <utility>

namespace diag {

namespace {

// Zeroes log text before its buffer goes back to the heap. The volatile stores keep the compiler
// from dropping them as dead, as it may do with a memset right before free; this is what
// SecureZeroMemory does, without tying the type to Windows.
void WipeBytes(char* bytes, std::size_t count) noexcept {
  volatile char* cursor = bytes;
  while (count-- > 0) *cursor++ = 0;
}

}  // namespace

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
  // A length whose capacity cannot even be computed cannot be allocated either.
  if (count > std::numeric_limits<std::size_t>::max() - 16 - length_) {
    throw outputstr_alloc_error();
  }
  const std::size_t newLength = length_ + count;
  const std::size_t wanted = CapacityFor(newLength);
  if (wanted > capacity_) {
    // realloc would leave the old copy behind unwiped, so move by hand. `text` may lie in the
    // old buffer (a value appended to itself): it is copied before that buffer is freed.
    char* grown = static_cast<char*>(std::malloc(wanted));
    if (!grown) throw outputstr_alloc_error();
    if (buffer_) std::memcpy(grown, buffer_, length_);
    std::memcpy(grown + length_, text, count);
    char* old = buffer_;
    const std::size_t oldLength = length_;
    buffer_ = grown;
    capacity_ = wanted;
    if (old) {
      WipeBytes(old, oldLength);
      std::free(old);
    }
  } else {
    std::memcpy(buffer_ + length_, text, count);
  }
  length_ = newLength;
  buffer_[length_] = '\0';
  return *this;
}

void outputstr::release() noexcept {
  if (buffer_) {
    WipeBytes(buffer_, length_);
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
