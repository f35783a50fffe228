#include "diag/outputstr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using diag::outputstr;

struct CapacityCase {
  std::size_t length;
  std::size_t capacity;
};

class OutputstrCapacity : public ::testing::TestWithParam<CapacityCase> {};

// The buffer always holds the text and its terminator, in steps of 16 bytes.
TEST_P(OutputstrCapacity, GrowsToTheNextSixteenByteStepAboveTheLength) {
  const CapacityCase& c = GetParam();
  outputstr text;
  text.append(std::string(c.length, 'x').c_str());
  EXPECT_EQ(text.length(), c.length);
  EXPECT_EQ(text.capacity(), c.capacity);
  EXPECT_EQ(std::string(text.c_str()), std::string(c.length, 'x'));
}

INSTANTIATE_TEST_SUITE_P(Lengths, OutputstrCapacity,
                         ::testing::Values(CapacityCase{0, 0}, CapacityCase{1, 16},
                                           CapacityCase{15, 16}, CapacityCase{16, 32},
                                           CapacityCase{31, 32}, CapacityCase{32, 48},
                                           CapacityCase{1000, 1008}));

TEST(Outputstr, GrowsAcrossManyAppendsWithoutLosingText) {
  outputstr text;
  std::string expected;
  for (int i = 0; i < 200; ++i) {
    const std::string piece = std::to_string(i) + ",";
    text += piece.c_str();
    expected += piece;
    ASSERT_EQ(text.capacity() % 16, 0u);
    ASSERT_GT(text.capacity(), text.length());
  }
  EXPECT_EQ(std::string(text.c_str()), expected);
}

TEST(Outputstr, MissingOrEmptyTextChangesNothing) {
  outputstr empty;
  empty.append(nullptr);
  empty.append("");
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(empty.capacity(), 0u);
  EXPECT_STREQ(empty.c_str(), "");

  outputstr text("abc");
  const std::size_t capacity = text.capacity();
  text.append(nullptr);
  text += "";
  EXPECT_STREQ(text.c_str(), "abc");
  EXPECT_EQ(text.capacity(), capacity);
}

TEST(Outputstr, ConcatenationLeavesItsOperandsUnchanged) {
  const outputstr left("left ");
  const char right[] = "right";
  const outputstr joined = left + right;
  EXPECT_STREQ(joined.c_str(), "left right");
  EXPECT_STREQ(left.c_str(), "left ");
  EXPECT_STREQ(right, "right");
}

TEST(Outputstr, CopiesAndMovesOwnTheirText) {
  outputstr original("text");
  outputstr copy(original);
  copy += " more";
  EXPECT_STREQ(original.c_str(), "text");
  EXPECT_STREQ(copy.c_str(), "text more");

  outputstr moved(std::move(copy));
  EXPECT_STREQ(moved.c_str(), "text more");
  EXPECT_TRUE(copy.empty());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_STREQ(copy.c_str(), "");

  original = moved;
  EXPECT_STREQ(original.c_str(), "text more");
  original.release();
  EXPECT_TRUE(original.empty());
  EXPECT_EQ(original.capacity(), 0u);
}

// A value appended to itself while its buffer grows: the appended text lies in the buffer that
// the growth replaces and wipes, so it must be copied before that buffer goes.
TEST(Outputstr, AppendingItselfAcrossAGrowthKeepsBothHalves) {
  const std::string half = "0123456789abcdefghij";  // 20 of a 32-byte buffer
  outputstr text(half.c_str());
  ASSERT_EQ(text.capacity(), 32u);
  text += text;
  EXPECT_EQ(std::string(text.c_str(), text.length()), half + half);
  EXPECT_EQ(text.capacity(), 48u);
  // And without a growth.
  outputstr small("ab");
  small += small;
  EXPECT_STREQ(small.c_str(), "abab");
}

TEST(Outputstr, AllocationFailureRaisesOutOfMemoryWithItsText) {
  outputstr text("x");
  // A length whose buffer no allocator can provide.
  const std::size_t huge = static_cast<std::size_t>(-1) / 2;
  try {
    text.append("y", huge);
    FAIL() << "no exception";
  } catch (const std::bad_alloc& error) {
    EXPECT_STREQ(error.what(), "outputstr failed to allocate memory");
  }
  EXPECT_STREQ(text.c_str(), "x");
}

// A count so large that the length and its 16-byte step wrap around would size the buffer
// below the text and copy past its end.
TEST(Outputstr, CountThatWrapsTheCapacityRaisesOutOfMemory) {
  outputstr text("abc");
  const std::size_t wrapping = static_cast<std::size_t>(-1) - 8;
  EXPECT_THROW(text.append("y", wrapping), diag::outputstr_alloc_error);
  EXPECT_STREQ(text.c_str(), "abc");
  EXPECT_EQ(text.capacity(), 16u);
}

}  // namespace
