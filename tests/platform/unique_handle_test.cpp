#include "platform/unique_handle.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

using platform::UniqueFileHandle;
using platform::UniqueKernelHandle;

// An event's signalled state tells from outside whether a handle to it is still open: a second
// handle sees the object only while the object lives.
HANDLE NewNamedEvent(const char* name) { return ::CreateEventA(nullptr, TRUE, FALSE, name); }
bool NamedEventExists(const char* name) {
  UniqueKernelHandle probe(::OpenEventA(SYNCHRONIZE, FALSE, name));
  return probe.is_valid();
}

TEST(UniqueHandle, ClosesWhatItOwnsWhenItGoes) {
  const char name[] = "daxinst-test-unique-handle-close";
  {
    UniqueKernelHandle event(NewNamedEvent(name));
    ASSERT_TRUE(event);
    EXPECT_TRUE(NamedEventExists(name));
  }
  EXPECT_FALSE(NamedEventExists(name));
}

TEST(UniqueHandle, MoveHandsOverOwnershipOnce) {
  const char name[] = "daxinst-test-unique-handle-move";
  UniqueKernelHandle first(NewNamedEvent(name));
  const HANDLE raw = first.get();
  UniqueKernelHandle second(std::move(first));
  EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_EQ(second.get(), raw);

  UniqueKernelHandle third;
  third = std::move(second);
  EXPECT_EQ(third.get(), raw);
  third = std::move(third);  // self-move keeps the handle
  EXPECT_EQ(third.get(), raw);
  EXPECT_TRUE(NamedEventExists(name));
  third.reset();
  EXPECT_FALSE(NamedEventExists(name));
}

TEST(UniqueHandle, ReleaseGivesUpOwnershipWithoutClosing) {
  const char name[] = "daxinst-test-unique-handle-release";
  HANDLE raw = nullptr;
  {
    UniqueKernelHandle event(NewNamedEvent(name));
    raw = event.release();
    EXPECT_FALSE(event);
  }
  EXPECT_TRUE(NamedEventExists(name));
  ::CloseHandle(raw);
}

// CreateFile reports failure with INVALID_HANDLE_VALUE: a file wrapper must see that as empty
// and must never try to close it; NULL would be a valid-looking value it must not confuse.
TEST(UniqueHandle, FileHandlesUseTheirOwnInvalidValue) {
  UniqueFileHandle missing(::CreateFileA("Z:\\no\\such\\folder\\file.bin", GENERIC_READ, 0, nullptr,
                                         OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(missing);
  EXPECT_EQ(missing.get(), INVALID_HANDLE_VALUE);
  UniqueFileHandle empty;
  EXPECT_EQ(empty.get(), INVALID_HANDLE_VALUE);
  UniqueKernelHandle kernelEmpty;
  EXPECT_EQ(kernelEmpty.get(), nullptr);
}

TEST(UniqueHandle, PutDropsTheOldHandleBeforeAnOutParameterFillsIt) {
  const char name[] = "daxinst-test-unique-handle-put";
  UniqueKernelHandle event(NewNamedEvent(name));
  HANDLE* slot = event.put();
  EXPECT_FALSE(NamedEventExists(name));
  *slot = NewNamedEvent(name);
  EXPECT_TRUE(event);
  EXPECT_TRUE(NamedEventExists(name));
}

}  // namespace
