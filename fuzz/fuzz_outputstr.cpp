// outputstr: the growable text of log lines, driven by a script of operations and compared with
// std::string after each one.
#include <cstring>
#include <string>
#include <utility>

#include "diag/outputstr.h"
#include "fuzz_support.h"

using diag::outputstr;

namespace {

// The text equals the model, is terminated, and sits in a buffer of the documented capacity.
void CheckAgainst(const outputstr& text, const std::string& model) {
  FUZZ_CHECK(text.length() == model.size());
  FUZZ_CHECK(text.empty() == model.empty());
  FUZZ_CHECK(std::memcmp(text.c_str(), model.data(), model.size()) == 0);
  FUZZ_CHECK(text.c_str()[text.length()] == '\0');
  if (model.empty()) {
    FUZZ_CHECK(text.capacity() == 0);
  } else {
    FUZZ_CHECK(text.capacity() == outputstr::CapacityFor(text.length()));
    FUZZ_CHECK(text.capacity() % 16 == 0);
    FUZZ_CHECK(text.length() < text.capacity() && text.capacity() <= text.length() + 16);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  outputstr text;
  std::string model;
  size_t at = 0;
  // Takes the next piece of the script: a length byte, then up to that many bytes.
  auto piece = [&]() {
    if (at >= size) return std::string();
    const size_t wanted = data[at++];
    const size_t count = wanted < size - at ? wanted : size - at;
    std::string bytes(reinterpret_cast<const char*>(data) + at, count);
    at += count;
    return bytes;
  };

  while (at < size) {
    switch (data[at++] % 8) {
      case 0: {  // counted append, NUL bytes included
        const std::string bytes = piece();
        text.append(bytes.data(), bytes.size());
        model += bytes;
        break;
      }
      case 1: {  // C-string append: the text ends at its first NUL
        const std::string bytes = piece();
        text += bytes.c_str();
        model += std::string(bytes.c_str());
        break;
      }
      case 2: {  // a copy is equal and independent
        outputstr copy(text);
        CheckAgainst(copy, model);
        copy += "tail";
        CheckAgainst(text, model);
        text = copy;
        model += "tail";
        break;
      }
      case 3: {  // moves hand the buffer over and leave the source empty
        outputstr moved(std::move(text));
        CheckAgainst(moved, model);
        CheckAgainst(text, std::string());
        text = std::move(moved);
        CheckAgainst(moved, std::string());
        break;
      }
      case 4: {  // concatenation leaves its operand unchanged
        const std::string bytes = piece();
        const outputstr joined = text + bytes.c_str();
        CheckAgainst(text, model);
        CheckAgainst(joined, model + std::string(bytes.c_str()));
        break;
      }
      case 5:
        text.release();
        model.clear();
        break;
      case 6: {  // self-assignment, and appending its own text while it stays small
        const outputstr& same = text;
        text = same;
        if (model.size() < 4096) {
          text += same;
          model += model;
        }
        break;
      }
      case 7:  // a missing or empty text changes nothing
        text.append(nullptr);
        text.append("");
        text.append(reinterpret_cast<const char*>(data), 0);
        break;
    }
    CheckAgainst(text, model);
  }
  return 0;
}
