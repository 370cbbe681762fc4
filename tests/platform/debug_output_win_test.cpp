// The Win32 binding's diagnostic line, read the way a debug-output viewer
// reads it when no debugger is attached: through the shared DBWIN buffer.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win_handle.h"

namespace {

using platform::win::Handle;

// The viewer's side of the protocol: a 4 KiB mapping holding the writer's pid
// and its text, and two events, "buffer free" and "text written".
class DebugOutputListener {
 public:
  DebugOutputListener()
      : buffer_(CreateFileMappingW(INVALID_HANDLE_VALUE,
                                   nullptr,
                                   PAGE_READWRITE,
                                   0,
                                   4096,
                                   L"DBWIN_BUFFER")),
        buffer_ready_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY")),
        data_ready_(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY")) {
    if (buffer_)
      view_ = static_cast<const char*>(MapViewOfFile(buffer_.Get(), FILE_MAP_READ, 0, 0, 4096));
    // The buffer is free: the next writer may fill it.
    if (buffer_ready_)
      SetEvent(buffer_ready_.Get());
  }
  ~DebugOutputListener() {
    if (view_)
      UnmapViewOfFile(view_);
  }

  bool Ready() const { return view_ && buffer_ready_ && data_ready_; }

  // The line written since the buffer was freed, as "<pid> <text>"; "" when
  // none came.
  std::string WrittenLine() {
    if (WaitForSingleObject(data_ready_.Get(), 0) != WAIT_OBJECT_0)
      return std::string();
    DWORD pid = 0;
    std::memcpy(&pid, view_, sizeof pid);
    return std::to_string(pid) + " " + std::string(view_ + sizeof pid);
  }

 private:
  Handle buffer_;
  Handle buffer_ready_;
  Handle data_ready_;
  const char* view_ = nullptr;
};

TEST(Win32DebugOutput, WritesTheLineToTheDebugStream) {
  DebugOutputListener listener;
  ASSERT_TRUE(listener.Ready());
  platform::Native().DebugOutput(L"Veltrin: copying C:\\Lumora\\Lumora.exe");
  EXPECT_EQ(listener.WrittenLine(),
            std::to_string(GetCurrentProcessId()) + " Veltrin: copying C:\\Lumora\\Lumora.exe");
}

}  // namespace
