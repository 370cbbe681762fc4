// A move-only owner of one Win32 handle, closed when the owner goes away.
//
// Both NULL and INVALID_HANDLE_VALUE mean "no handle": the Win32 functions
// disagree on which one reports failure, and neither may be closed. Closing
// keeps the thread's last-error value, so a caller can still read why the
// call before the close failed.
#pragma once

#include <windows.h>

namespace platform::win {

// Closes handles from CreateFileW, OpenProcess, CreateToolhelp32Snapshot, ...
struct CloseHandleTraits {
  static void Close(HANDLE handle) { ::CloseHandle(handle); }
};

// Closes search handles from FindFirstFileW, which CloseHandle must not get.
struct FindCloseTraits {
  static void Close(HANDLE handle) { ::FindClose(handle); }
};

template <typename Traits>
class BasicHandle {
 public:
  BasicHandle() = default;
  explicit BasicHandle(HANDLE handle) : handle_(handle) {}
  ~BasicHandle() { Reset(); }

  BasicHandle(const BasicHandle&) = delete;
  BasicHandle& operator=(const BasicHandle&) = delete;

  BasicHandle(BasicHandle&& other) noexcept : handle_(other.Release()) {}
  BasicHandle& operator=(BasicHandle&& other) noexcept {
    if (this != &other)
      Reset(other.Release());
    return *this;
  }

  static bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

  explicit operator bool() const { return IsValid(handle_); }
  HANDLE Get() const { return handle_; }

  // Gives the handle up without closing it.
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }

  // Closes the handle held (if any) and takes `handle` instead.
  void Reset(HANDLE handle = nullptr) {
    if (IsValid(handle_) && handle_ != handle) {
      const DWORD last_error = ::GetLastError();
      Traits::Close(handle_);
      ::SetLastError(last_error);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

using Handle = BasicHandle<CloseHandleTraits>;
using FindHandle = BasicHandle<FindCloseTraits>;

}  // namespace platform::win
