// The move-only handle owner: which values it closes, when, and that closing
// leaves the thread's last-error value alone.
#include <windows.h>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/win_handle.h"

namespace {

using platform::win::BasicHandle;
using platform::win::Handle;

// Records every close and, like some real close functions, overwrites the
// thread's last-error value while doing it.
struct RecordingTraits {
  static inline std::vector<HANDLE> closed;
  static void Close(HANDLE handle) {
    closed.push_back(handle);
    SetLastError(ERROR_INVALID_HANDLE);
  }
};
using RecordingHandle = BasicHandle<RecordingTraits>;

HANDLE Fake(ULONG_PTR value) {
  return reinterpret_cast<HANDLE>(value);
}

class HandleOwner : public ::testing::Test {
 protected:
  void SetUp() override { RecordingTraits::closed.clear(); }
};

TEST_F(HandleOwner, ClosesAHeldHandleExactlyOnceWhenDestroyed) {
  {
    RecordingHandle handle(Fake(0x40));
    EXPECT_TRUE(handle);
    EXPECT_EQ(handle.Get(), Fake(0x40));
    EXPECT_TRUE(RecordingTraits::closed.empty());
  }
  EXPECT_EQ(RecordingTraits::closed, std::vector<HANDLE>{Fake(0x40)});
}

TEST_F(HandleOwner, TreatsNullAndInvalidHandleValueAsNoHandle) {
  {
    RecordingHandle none;
    RecordingHandle null_handle(nullptr);
    RecordingHandle invalid(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(none);
    EXPECT_FALSE(null_handle);
    EXPECT_FALSE(invalid);
  }
  EXPECT_TRUE(RecordingTraits::closed.empty());
}

TEST_F(HandleOwner, MovingHandsOverOwnershipWithoutClosing) {
  {
    RecordingHandle first(Fake(0x40));
    RecordingHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(second.Get(), Fake(0x40));
    EXPECT_TRUE(RecordingTraits::closed.empty());

    RecordingHandle third(Fake(0x80));
    third = std::move(second);
    // The handle that was replaced is closed at once; the moved one is not.
    EXPECT_EQ(RecordingTraits::closed, std::vector<HANDLE>{Fake(0x80)});
    EXPECT_EQ(third.Get(), Fake(0x40));
  }
  EXPECT_EQ(RecordingTraits::closed, (std::vector<HANDLE>{Fake(0x80), Fake(0x40)}));
}

TEST_F(HandleOwner, ResetClosesTheOldHandleAndReleaseGivesItUp) {
  RecordingHandle handle(Fake(0x40));
  handle.Reset(Fake(0x44));
  EXPECT_EQ(RecordingTraits::closed, std::vector<HANDLE>{Fake(0x40)});
  EXPECT_EQ(handle.Release(), Fake(0x44));
  EXPECT_FALSE(handle);
  handle.Reset();
  EXPECT_EQ(RecordingTraits::closed, std::vector<HANDLE>{Fake(0x40)});
}

TEST_F(HandleOwner, ClosingKeepsTheLastErrorOfTheFailedCallBefore) {
  {
    RecordingHandle handle(Fake(0x40));
    SetLastError(ERROR_FILE_NOT_FOUND);
  }
  EXPECT_EQ(RecordingTraits::closed.size(), 1u);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST(HandleOwnerOnRealHandles, ClosesTheKernelObject) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  DWORD flags = 0;
  {
    Handle event(raw);
    EXPECT_TRUE(GetHandleInformation(raw, &flags));
  }
  EXPECT_FALSE(GetHandleInformation(raw, &flags));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
