// What the whole-update tests under Windows share: a product installed in a
// sandbox, the program started the way the product starts it, its error
// boxes answered like a user would, and every process of the sandbox ended.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../platform/support_win_test.h"

namespace e2e {

// One line of a stand-in product's log: which version started, from where.
struct Started {
  std::string version;
  std::string path;  // UTF-8, as the product wrote it
  DWORD pid = 0;
};
std::vector<Started> ReadLog(const std::wstring& log);

std::wstring Quoted(const std::wstring& path);
std::wstring FolderOf(const std::wstring& path);

// Ids of the processes whose executable lies inside `folder`, this program
// excepted.
std::vector<DWORD> ProcessesInside(const std::wstring& folder);
// Terminates them (again, as long as new ones appear) and waits for their end.
void EndProcessesInside(const std::wstring& folder);

// What one of the program's error boxes says, as the user reads it.
struct BoxText {
  std::wstring first;
  std::wstring second;
};
extern const wchar_t kCaption[];
extern const BoxText kBackupFailed;
extern const BoxText kReplaceFailed;
extern const BoxText kStartFailed;
extern const BoxText kNotRunning;

// Watches the top-level windows of one process from a helper thread, every
// 20 ms while it lives, and notes every visible one by its class.
class WindowWatch {
 public:
  explicit WindowWatch(DWORD pid);
  ~WindowWatch();
  WindowWatch(const WindowWatch&) = delete;
  WindowWatch& operator=(const WindowWatch&) = delete;

  // Class names of the visible windows seen so far, each once.
  std::vector<std::wstring> VisibleClasses() const;
  // Waits (up to `timeout_ms`) until a visible window of `window_class` has
  // been seen.
  bool WaitForVisible(const std::wstring& window_class, DWORD timeout_ms) const;

 private:
  void Look();

  DWORD pid_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::wstring> visible_;
  std::thread thread_;
};

// The program, started as the product starts it, with its windows watched.
struct VeltrinRun {
  wintest::RunningProcess process;
  std::unique_ptr<WindowWatch> windows;

  DWORD Pid() const { return process.Pid(); }
  // Waits (up to `timeout_ms`) for the program's error box, checks its
  // caption, text and single OK button, then presses OK the way a click does.
  // False (with the failures recorded) when no box came.
  bool AnswerBox(const BoxText& expected, DWORD timeout_ms = 30000) const;
  // Waits for the end; the exit code, or -1 when it did not end in time.
  long Finish(DWORD timeout_ms = 30000);
  // Fails the test if any window of the program was ever visible.
  void ExpectNoVisibleWindow() const;
  // Fails the test if any window but a box (the system's dialog class) was
  // ever visible, or none was.
  void ExpectOnlyTheBoxVisible() const;
};

// A product installed in a folder whose name has a space and Chinese
// characters, the program copied beside it (its "bin" folder is then inside
// the sandbox), and a downloaded new version in a folder of its own.
class Sandbox : public ::testing::Test {
 protected:
  Sandbox();
  // Ends every process started from inside the sandbox before the folder goes.
  ~Sandbox() override;

  // Starts the program at `program` exactly as the product does:
  // CreateProcessW with the program's quoted path, one blank and `arguments`.
  VeltrinRun StartVeltrin(const std::wstring& arguments, const std::wstring& program = L"");
  // The argument the product passes: "<main>"?"<download>".
  std::wstring ProductArguments() const { return Quoted(main_) + L"?" + Quoted(download_); }

  std::vector<Started> ProductLog() const { return ReadLog(install_ + L"\\product.log"); }
  // Waits until the product log has `lines` lines.
  bool WaitForLog(size_t lines, DWORD timeout_ms = 20000) const;
  // Starts the installed version the way a user does, and waits for it to be up.
  wintest::RunningProcess StartProduct();

  // What `path` holds, by name: "v1", "v2", a name given to Know(), the bytes
  // themselves when short and printable, else "<N other bytes>" (or
  // "<missing>"). Keeps a failure's message readable.
  std::string Holds(const std::wstring& path) const;
  void Know(const std::string& name, const std::string& bytes) { known_.push_back({name, bytes}); }

  // Checks that the old version is back at the main path, the backup holds
  // it, and it was started again from the main path (the log's last line,
  // waited for: the program does not wait for the product to come up).
  void ExpectOldVersionRestored() const;

  wintest::TempFolder temp_;
  std::wstring install_;   // ...\Lumora 安装
  std::wstring main_;      // ...\Lumora 安装\app.exe
  std::wstring backup_;    // ...\Lumora 安装\app.exe.bak
  std::wstring download_;  // ...\新版 下载\app.exe
  std::wstring veltrin_;   // ...\Lumora 安装\Veltrin.exe
  std::string v1_;
  std::string v2_;

 private:
  std::vector<std::pair<std::string, std::string>> known_;
};

// Copies a file, failing the test when it cannot.
void CopyInto(const std::wstring& from, const std::wstring& to);

}  // namespace e2e
