// Helpers shared by the POSIX binding and end-to-end tests: files, scratch
// folders, children and waiting.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace posixtest {

// The bytes of the file `path`; empty when it cannot be read.
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Creates or replaces the file `path` with `bytes` and gives it `mode`.
inline void WriteFile(const std::string& path, const std::string& bytes, mode_t mode = 0644) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    EXPECT_TRUE(out.good()) << path;
  }
  EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// The target of the symbolic link `path`; empty when it cannot be read.
inline std::string ReadLink(const std::string& path) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n > 0 ? std::string(buffer, size_t(n)) : std::string();
}

// The pids of the processes whose executable lies under `folder`.
inline std::vector<pid_t> ProgramsRunningFrom(const std::string& folder) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (!proc)
    return pids;
  while (const dirent* entry = readdir(proc)) {
    const pid_t pid = std::atoi(entry->d_name);
    if (pid > 0 &&
        ReadLink("/proc/" + std::string(entry->d_name) + "/exe").rfind(folder + "/", 0) == 0)
      pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

inline bool ProgramRunsFrom(const std::string& folder) {
  return !ProgramsRunningFrom(folder).empty();
}

// Every process whose executable lies under `folder` gets SIGKILL: programs
// started detached cannot be reaped by the test, only stopped.
inline void KillProgramsRunningFrom(const std::string& folder) {
  for (const pid_t pid : ProgramsRunningFrom(folder))
    kill(pid, SIGKILL);
}

// A fresh folder under the temporary directory, removed when the test ends,
// however it ends, together with whatever was started from it.
class TempDir {
 public:
  TempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/veltrin-test-XXXXXX";
    if (mkdtemp(name.data()))
      path_ = name;
  }
  ~TempDir() {
    if (path_.empty())
      return;
    KillProgramsRunningFrom(path_);
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A child process of the test, killed (if still running) and reaped when the
// test ends.
class Child {
 public:
  Child(const std::string& path, const std::vector<std::string>& args, bool own_session = false) {
    std::vector<std::string> strings = {path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings)
      argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      if (own_session)
        setsid();
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  uint32_t id() const { return uint32_t(pid_); }
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// Waits until `done` holds, checking every 5 ms; false after `limit`.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > give_up)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace posixtest
