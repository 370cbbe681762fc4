// The POSIX binding's own header, shared by its three files: files
// (posix_files.cpp), processes (posix_processes.cpp) and the start-up, error
// box and timer (posix_start.cpp). Nothing outside the binding includes it.
//
// Windows notions are mapped onto their nearest POSIX counterparts: a name
// starting with "." is hidden, a file without any write permission bit is
// read-only, the single-instance token is a lock on a per-user file, and the
// error box is a line on standard error (plus a desktop dialog when one can be
// shown). Processes are read from /proc (Linux).
#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

namespace platform::posix {

class PosixPlatform final : public Platform {
 public:
  // posix_start.cpp
  Text ArgumentText() override;
  bool ClaimSingleInstance() override;
  Text OwnExecutableDirectory() override;
  bool StartProgram(const Text& path) override;
  void DebugOutput(const Text& line) override;
  std::optional<bool> IsElevated() override;
  UserStartOutcome StartProgramAsDesktopUser(const Text& path) override;
  PublisherCheck CheckOwnPublisher(const Text& installed) override;
  UserStartOutcome StartProgramThroughShell(const Text& path) override;
  bool ClaimMachineInstance(const Text& main_path) override;
  TrustOutcome HoldAndCheckDownload(const Text& download,
                                    const Text& installed,
                                    TrustReference reference) override;
  void ShowErrorBox(const Text& caption, const Text& text) override;
  bool RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) override;
  void StopTimer() override;
  void Pause(unsigned ms) override;
  uint64_t NowMs() override;
  [[noreturn]] void EndProcess(int code) override;

  // posix_files.cpp
  Text FirstFileMatch(const Text& pattern) override;
  std::optional<uint32_t> GetAttributes(const Text& path) override;
  bool SetAttributes(const Text& path, uint32_t attributes) override;
  bool DeleteOneFile(const Text& path) override;
  bool CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) override;
  bool CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) override;
  bool DeleteUnsharedFile(const Text& path) override;
  ReplaceOutcome ReplaceWithCopy(const Text& from, const Text& staging, const Text& to) override;
  void RemoveAsideFiles(const Text& path) override;

  // posix_processes.cpp
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
  // The single-instance lock, held open (and locked) until the process ends.
  int lock_fd_ = -1;
  // The machine-wide lock on the main path, likewise.
  int machine_lock_fd_ = -1;
  // Set by StopTimer from within a tick; the tick loop runs on one thread.
  bool stop_requested_ = false;
};

// Helpers used by more than one of the binding's files.

// The target of the symbolic link `path`, of any length; empty when it cannot
// be read. (posix_processes.cpp)
std::string ReadLink(const std::string& path);

// The part of `path` after its last "/": all of it when it holds none.
// (posix_files.cpp)
std::string LastComponent(const std::string& path);

// Writes all `size` bytes to `fd`, resuming after signals; false on an
// error. Async-signal-safe. (posix_files.cpp)
bool WriteAll(int fd, const char* data, size_t size);

}  // namespace platform::posix
