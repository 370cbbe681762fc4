// The Win32 binding's own header, shared by its three files: files
// (win_files.cpp), processes (win_processes.cpp) and the start-up, error
// box and hidden window (win_start.cpp). Nothing outside the binding
// includes it.
//
// Only the wide ("W") functions are called; every handle is owned by a
// win::Handle and closed within the call, except the single-instance
// mutexes, which live as long as the process.
#pragma once

#include <windows.h>

#include "platform/platform.h"
#include "platform/win_handle.h"

namespace platform::win {

// Big enough for any path the system can report, long paths included.
constexpr DWORD kLongPathChars = 32768;

class Win32Platform final : public Platform {
 public:
  // win_start.cpp
  Text ArgumentText() override;
  bool ClaimSingleInstance() override;
  Text OwnExecutableDirectory() override;
  bool StartProgram(const Text& path) override;
  void DebugOutput(const Text& line) override;
  std::optional<bool> IsElevated() override;
  UserStartOutcome StartProgramAsDesktopUser(const Text& path) override;
  UserStartOutcome StartProgramThroughShell(const Text& path) override;
  bool ClaimMachineInstance(const Text& main_path) override;
  void ShowErrorBox(const Text& caption, const Text& text) override;
  bool RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) override;
  void StopTimer() override;
  void Pause(unsigned ms) override;
  uint64_t NowMs() override;
  [[noreturn]] void EndProcess(int code) override;

  // win_files.cpp
  Text FirstFileMatch(const Text& pattern) override;
  std::optional<uint32_t> GetAttributes(const Text& path) override;
  bool SetAttributes(const Text& path, uint32_t attributes) override;
  bool DeleteOneFile(const Text& path) override;
  bool CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) override;
  bool CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) override;
  bool DeleteUnsharedFile(const Text& path) override;
  ReplaceOutcome ReplaceWithCopy(const Text& from, const Text& staging, const Text& to) override;
  void RemoveAsideFiles(const Text& path) override;
  PublisherCheck CheckOwnPublisher(const Text& installed) override;
  TrustOutcome HoldAndCheckDownload(const Text& download,
                                    const Text& installed,
                                    TrustReference reference) override;

  // win_processes.cpp
  std::vector<ProcessEntry> SnapshotProcesses(uint32_t flags) override;
  uint32_t CurrentProcessId() override;
  std::optional<uint32_t> ProcessSessionId(uint32_t pid) override;
  Text ProcessImagePath(uint32_t pid, uint32_t access) override;
  TerminateOutcome TerminateProcessById(uint32_t pid, uint32_t access, uint32_t exit_code) override;
  TerminateOutcome TerminateIfMatching(uint32_t pid,
                                       uint32_t access,
                                       uint32_t exit_code,
                                       const ProcessCheck& check) override;
  void EnableDebugPrivilege() override;
  Text ToLower(const Text& s) override;

 private:
  // The hidden form's window procedure: hands the timer's ticks to on_tick_.
  static LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  static inline HWND form_ = nullptr;
  static inline void (*on_tick_)() = nullptr;
  // The single-instance mutex, held open until the process ends.
  Handle single_instance_;
  // Elevated: the machine-wide mutex for MainPath, held likewise.
  Handle machine_instance_;
};

}  // namespace platform::win
