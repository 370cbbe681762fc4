// Helpers shared by the Win32 binding tests: scratch folders, the fixture
// programs, child processes of this test program, and small file utilities.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/win_handle.h"

namespace wintest {

// A fresh, empty folder under the user's temp folder (a unique name per
// instance), removed with everything in it when the object goes away.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // The folder, without a trailing backslash.
  const std::wstring& Path() const { return path_; }
  // `relative` inside the folder.
  std::wstring operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

// `path` with the "\\?\" prefix that lifts the length limit of file calls.
std::wstring Extended(const std::wstring& path);

// Creates `path` and any missing parent folders below an existing one.
void MakeFolders(const std::wstring& path);
void WriteBytes(const std::wstring& path, const std::string& bytes);
// The file's whole content; "<missing>" when it cannot be read.
std::string ReadBytes(const std::wstring& path);
std::string Utf8(const std::wstring& text);
bool Exists(const std::wstring& path);
// Case-insensitive comparison the way the file system compares names.
bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b);

// A build machine's path (handed over by CMake or a script) as this program
// sees it: Wine shows the build machine's root as drive Z:.
std::wstring FromBuildPath(const char* path);
// Full path of a program built beside the stand-in product.
std::wstring FixtureExe(const wchar_t* file_name);
// Full path of the Veltrin program under test: the one this build produced,
// unless VELTRIN_EXE_UNDER_TEST names another copy of it (a build-machine
// path), such as the signed release file.
std::wstring VeltrinExe();
// Full path of this test program.
std::wstring OwnExe();

// A process started by a test. The destructor terminates it if it still runs
// and waits for it to end, so that its folder can be removed afterwards.
class RunningProcess {
 public:
  RunningProcess() = default;
  RunningProcess(HANDLE process, DWORD pid) : process_(process), pid_(pid) {}
  RunningProcess(RunningProcess&&) = default;
  RunningProcess& operator=(RunningProcess&&) = default;
  ~RunningProcess() { End(); }

  DWORD Pid() const { return pid_; }
  HANDLE Get() const { return process_.Get(); }
  bool Running() const;
  // Waits up to `timeout_ms`; true when the process has ended.
  bool WaitEnded(DWORD timeout_ms) const;
  void End();

 private:
  platform::win::Handle process_;
  DWORD pid_ = 0;
};

// Starts `exe` with the command line `command_line` (its first token is
// whatever the test wants the program's name to be).
RunningProcess Start(const std::wstring& exe, const std::wstring& command_line);

// Takes a process of this session by pid, for one the test did not start
// itself; an empty RunningProcess when it cannot be opened.
RunningProcess Adopt(DWORD pid);

// Sets environment variables for the processes started while it exists.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(std::vector<std::pair<std::wstring, std::wstring>> values);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::vector<std::pair<std::wstring, std::wstring>> values_;
};

// Set in a 64-bit build, where Veltrin and the 64-bit stand-in product are
// of one kind: what a 32-bit Veltrin cannot see of a 64-bit program (its
// module list) is then no boundary at all, and the tests of it are skipped.
#ifdef _WIN64
inline constexpr const char* kSkipAcrossBitness =
    "a 64-bit build: the 64-bit product is of Veltrin's own kind here";
#else
inline constexpr const char* kSkipAcrossBitness = nullptr;
#endif

inline constexpr wchar_t kChildModeVariable[] = L"VELTRIN_TEST_CHILD";
inline constexpr wchar_t kChildOutputVariable[] = L"VELTRIN_TEST_OUT";
inline constexpr wchar_t kChildEventVariable[] = L"VELTRIN_TEST_EVENT";
inline constexpr wchar_t kChildHandleVariable[] = L"VELTRIN_TEST_HANDLE";

// This test program doubles as a child program: started with VELTRIN_TEST_CHILD
// set in its environment, it does one thing through the binding, writes the
// result as UTF-16 to the file named by VELTRIN_TEST_OUT and exits before any
// test runs. The modes:
//   argument-text   writes ArgumentText()
//   own-directory   writes OwnExecutableDirectory()
//   claim           writes "1" if ClaimSingleInstance() succeeded, else "0"
//   claim-machine   the same for ClaimMachineInstance(ArgumentText())
//   claim-and-hold  the same as claim, then waits (up to 30 s) for the named event in
//                   VELTRIN_TEST_EVENT before exiting
//   startup-info    sets the event whose handle value VELTRIN_TEST_HANDLE
//                   names (which it has only if it inherited it), then writes
//                   "<dwFlags>|<wShowWindow>|<current folder>|<command line>|
//                   <its pid>"
struct ChildResult {
  bool ended = false;
  std::wstring output;
};

// Runs a copy of this program (`exe`) in `mode` as `command_line` and waits for
// it (up to 20 s).
ChildResult RunChild(const std::wstring& exe,
                     const std::wstring& mode,
                     const std::wstring& command_line,
                     const TempFolder& temp);

// Reads the UTF-16 text a child wrote to `path`, waiting up to `timeout_ms` for
// it to appear; empty when it does not.
std::wstring WaitForChildOutput(const std::wstring& path, DWORD timeout_ms);

// Waits until `condition` holds, checking every 20 ms, up to `timeout_ms`.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  for (;;) {
    if (condition())
      return true;
    if (GetTickCount64() >= deadline)
      return false;
    Sleep(20);
  }
}

}  // namespace wintest
