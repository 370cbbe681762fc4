// Whole updates through the native program: a real product folder, real
// stand-in products in two versions, and the program started the way the
// product starts it. Each scenario checks the bytes left on disk, which
// version was started from which path, and what the user was told.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/support_posix_test.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using posixtest::ReadFile;
using posixtest::WaitFor;
using posixtest::WriteFile;

const fs::path kProgram = VELTRIN_PROGRAM;
const fs::path kFixtures = VELTRIN_FIXTURE_DIR;

const char* const kLibraries[] = {"Oxmere.dll",  "Pilvane.dll", "Quintor.dll",
                                  "Rellisk.dll", "Saffrel.dll", "Tovrane.dll"};

bool Alive(pid_t pid) {
  return kill(pid, 0) == 0;
}

// Whether process `pid` holds a whole-file lock (the single-instance token).
bool HoldsAFileLock(pid_t pid) {
  std::ifstream locks("/proc/locks");  // "1: FLOCK  ADVISORY  WRITE <pid> <inode> 0 EOF"
  for (std::string line; std::getline(locks, line);) {
    if (line.find(" FLOCK ") != std::string::npos &&
        line.find(" " + std::to_string(pid) + " ") != std::string::npos)
      return true;
  }
  return false;
}

// One line of a stand-in product's log: which version started, from where.
struct Started {
  std::string version;
  std::string path;
  pid_t pid;
};

// A product installed in a folder whose name has a space and Chinese
// characters, a downloaded new version, and a private copy of the program
// (its "bin" folder is the one the self-restart mode cleans).
class NativeUpdate : public ::testing::Test {
 protected:
  NativeUpdate() {
    char pattern[] = "/tmp/veltrin-e2e-XXXXXX";
    root_ = mkdtemp(pattern);
    install_ = root_ / "Lumora 安装";
    // Named for this test process: the program terminates every process
    // named like the product, other checkouts' tests' products included.
    main_ = install_ / ("app-" + std::to_string(getpid()) + ".exe");
    download_ = root_ / "download" / main_.filename();
    program_ = root_ / "helper" / "veltrin";
    fs::create_directories(install_);
    fs::create_directories(download_.parent_path());
    fs::create_directories(program_.parent_path());
    fs::copy_file(kFixtures / "product_v1", main_);
    fs::copy_file(kFixtures / "product_v2", download_);
    fs::copy_file(kProgram, program_);
    v1_ = ReadFile(main_);
    v2_ = ReadFile(download_);
    // The programs started here keep their single-instance lock in the
    // sandbox: another run by this user would make them quiet second instances.
    fs::create_directory(root_ / "run");
    setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
  }

  ~NativeUpdate() override {
    for (pid_t pid : children_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    // Products the program started are not our children: find them by the
    // logs and make sure they run from this sandbox before ending them.
    for (const fs::path& log : {install_ / "product.log", root_ / "other" / "product.log"}) {
      for (const Started& s : Log(log)) {
        std::error_code error;
        const fs::path exe = fs::read_symlink("/proc/" + std::to_string(s.pid) + "/exe", error);
        if (!error && exe.string().rfind(root_.string(), 0) == 0)
          kill(s.pid, SIGKILL);
      }
    }
    fs::remove_all(root_);
  }

  static std::vector<Started> Log(const fs::path& log) {
    std::vector<Started> lines;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      // "<version> <path> <pid>": the path may hold spaces.
      const size_t first = line.find(' '), last = line.rfind(' ');
      if (first == std::string::npos || first == last)
        continue;
      lines.push_back({line.substr(0, first), line.substr(first + 1, last - first - 1),
                       pid_t(std::atoi(line.c_str() + last + 1))});
    }
    return lines;
  }
  fs::path LogPath() const { return install_ / "product.log"; }
  std::vector<Started> ProductLog() const { return Log(LogPath()); }
  // The log once it has `count` lines: a product started just before the
  // program ended may not have written its line yet.
  static std::vector<Started> LogOnceItHas(size_t count, const fs::path& log) {
    WaitFor([&] { return Log(log).size() >= count; }, 10s);
    return Log(log);
  }
  std::vector<Started> ProductLogOnceItHas(size_t n) const { return LogOnceItHas(n, LogPath()); }

  // Starts `program` with `args`, standard error into errors.txt.
  pid_t Start(const fs::path& program, const std::vector<std::string>& args) {
    const fs::path errors = root_ / "errors.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(fd, 2);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    children_.push_back(pid);
    return pid;
  }

  // Waits for a child; its exit code, or -1 (killed) after `limit`.
  int Wait(pid_t pid, std::chrono::seconds limit = 60s) {
    int status = 0;
    const bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    std::erase(children_, pid);
    if (!ended)
      return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Runs the program as the product does and waits for its end.
  int Update(const std::vector<std::string>& args) { return Wait(Start(program_, args)); }
  std::string Quoted(const fs::path& p) const { return "\"" + p.string() + "\""; }
  std::string Errors() const { return ReadFile(root_ / "errors.txt"); }

  fs::path root_, install_, main_, download_, program_;
  std::string v1_, v2_;
  std::vector<pid_t> children_;
};

TEST_F(NativeUpdate, ReplacesAndStartsTheNewVersionWithEachCommandLineForm) {
  // The program's arguments arrive joined by single spaces. The space form
  // cannot carry a path with a space: it updates a product in a plain folder.
  const fs::path plain = root_ / "plain" / main_.filename();
  const struct {
    const char* name;
    fs::path main;
    std::vector<std::string> args;
  } forms[] = {
      {"quoted, question mark", main_, {Quoted(main_) + "?" + Quoted(download_)}},
      {"bare, exclamation mark", main_, {main_.string() + "!" + download_.string()}},
      {"bare, space", plain, {plain, download_}},
  };
  for (const auto& form : forms) {
    SCOPED_TRACE(form.name);
    const fs::path& main = form.main;
    fs::create_directories(main.parent_path());
    fs::remove(main);
    fs::remove(main.string() + ".bak");
    fs::remove(main.parent_path() / "product.log");
    fs::copy_file(kFixtures / "product_v1", main);

    const auto started_at = Clock::now();
    EXPECT_EQ(Update(form.args), 0);
    EXPECT_LT(Clock::now() - started_at, 5s);
    EXPECT_EQ(ReadFile(main), v2_);
    EXPECT_EQ(ReadFile(main.string() + ".bak"), v1_);
    EXPECT_EQ(ReadFile(download_), v2_);
    const std::vector<Started> log = LogOnceItHas(1, main.parent_path() / "product.log");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].version, "v2");
    EXPECT_EQ(log[0].path, main.string());
    EXPECT_TRUE(Alive(log[0].pid));
    kill(log[0].pid, SIGKILL);
  }
  EXPECT_EQ(Errors(), "");
}

TEST_F(NativeUpdate, LingeringOldVersionIsTerminatedWhileABystanderSurvives) {
  const pid_t old = Start(main_, {});
  const fs::path bystander_exe = root_ / "other" / ("my" + main_.filename().string());
  fs::create_directories(bystander_exe.parent_path());
  fs::copy_file(kFixtures / "product_v1", bystander_exe);
  const pid_t bystander = Start(bystander_exe, {});
  ASSERT_TRUE(WaitFor([&] { return ProductLog().size() == 1; }, 10s));

  const auto started_at = Clock::now();
  EXPECT_EQ(Update({Quoted(main_) + "?" + Quoted(download_)}), 0);
  // Terminated in the window (from about 15.5 s on), then replaced.
  int status = 0;
  ASSERT_EQ(waitpid(old, &status, WNOHANG), old);
  std::erase(children_, old);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_GE(Clock::now() - started_at, 15s);
  EXPECT_TRUE(Alive(bystander));
  EXPECT_EQ(ReadFile(main_), v2_);
  EXPECT_EQ(ReadFile(main_.string() + ".bak"), v1_);
  const std::vector<Started> log = ProductLogOnceItHas(2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].version, "v2");
}

TEST_F(NativeUpdate, MissingDownloadRestoresAndRestartsTheOldVersion) {
  fs::remove(download_);
  EXPECT_EQ(Update({Quoted(main_) + "?" + Quoted(download_)}), 0);
  EXPECT_EQ(ReadFile(main_), v1_);
  EXPECT_EQ(ReadFile(main_.string() + ".bak"), v1_);
  const std::vector<Started> log = ProductLogOnceItHas(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].version, "v1");
  EXPECT_EQ(log[0].path, main_.string());
  EXPECT_EQ(
      Errors(),
      "Lumora安装辅助程序: 升级失败，无法替换新版本的主程序。\r\n\r\n请稍候再尝试重新升级。\n");
}

TEST_F(NativeUpdate, DownloadThatCannotRunRestoresTheOldVersion) {
  WriteFile(download_, "truncated download, not a program\n", 0700);
  EXPECT_EQ(Update({Quoted(main_) + "?" + Quoted(download_)}), 0);
  EXPECT_EQ(ReadFile(main_), v1_);
  const std::vector<Started> log = ProductLogOnceItHas(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].version, "v1");
  EXPECT_NE(Errors().find("升级失败，无法启动新版本。"), std::string::npos);
}

TEST_F(NativeUpdate, NewVersionThatNeverComesUpIsRolledBackAfterTheWatch) {
  // The system accepts the start, but what runs is the script's interpreter,
  // never the program at the main path: the watch cannot see it come up.
  // (A program that merely exits at once can still be seen in the start tick.)
  WriteFile(download_, "#!/bin/sh\necho \"v2-script $0 $$\" >> \"$(dirname \"$0\")/product.log\"\n",
            0700);
  const auto started_at = Clock::now();
  EXPECT_EQ(Update({Quoted(main_) + "?" + Quoted(download_)}), 0);
  EXPECT_GE(Clock::now() - started_at, 5s);
  EXPECT_EQ(ReadFile(main_), v1_);
  EXPECT_EQ(ReadFile(main_.string() + ".bak"), v1_);
  const std::vector<Started> log = ProductLogOnceItHas(2);
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].version, "v2-script");
  EXPECT_EQ(log[1].version, "v1");
  EXPECT_EQ(Errors(),
            "Lumora安装辅助程序: "
            "新版本的主程序未正常启动，可能下载的文件不全或者升级安装过程中退出。\r\n\r\n"
            "请稍后再次尝试升级。\n");
}

TEST_F(NativeUpdate, SelfRestartDeletesTheSixLibrariesAndRestarts) {
  const fs::path bin = program_.parent_path() / "bin";
  fs::create_directories(bin);
  for (const char* library : kLibraries)
    WriteFile(bin / library, "library");
  WriteFile(bin / "Keep.dll", "keep");
  WriteFile(program_.parent_path() / "Oxmere.dll", "outside bin");
  EXPECT_EQ(Update({main_.string() + "!" + main_.string()}), 0);
  for (const char* library : kLibraries)
    EXPECT_FALSE(fs::exists(bin / library)) << library;
  EXPECT_TRUE(fs::exists(bin / "Keep.dll"));
  EXPECT_TRUE(fs::exists(program_.parent_path() / "Oxmere.dll"));
  EXPECT_EQ(ReadFile(main_), v1_);
  EXPECT_EQ(ReadFile(main_.string() + ".bak"), v1_);
  const std::vector<Started> log = ProductLogOnceItHas(1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].version, "v1");
  EXPECT_EQ(Errors(), "");
}

TEST_F(NativeUpdate, SecondInstanceAndBadCommandLinesEndQuietly) {
  // A first instance waits for a lingering old version.
  Start(main_, {});
  ASSERT_TRUE(WaitFor([&] { return ProductLog().size() == 1; }, 10s));
  const pid_t first = Start(program_, {Quoted(main_) + "?" + Quoted(download_)});
  ASSERT_TRUE(WaitFor([&] { return HoldsAFileLock(first); }, 10s));

  const auto second_at = Clock::now();
  EXPECT_EQ(Update({Quoted(main_) + "?" + Quoted(download_)}), 0);
  EXPECT_LT(Clock::now() - second_at, 3s);
  ASSERT_TRUE(Alive(first));
  Wait(first, 0s);  // ends the first instance before its termination window

  const std::vector<std::vector<std::string>> bad = {
      {}, {download_.string()}, {"a", "b", "c"}, {"?"}, {"!"}, {"\"\"?" + Quoted(download_)},
  };
  for (const auto& args : bad) {
    const auto started_at = Clock::now();
    EXPECT_EQ(Update(args), 0);
    EXPECT_LT(Clock::now() - started_at, 3s);
  }
  EXPECT_EQ(ReadFile(main_), v1_);
  EXPECT_FALSE(fs::exists(main_.string() + ".bak"));
  EXPECT_EQ(ProductLog().size(), 1u);
  EXPECT_EQ(Errors(), "");
}

TEST_F(NativeUpdate, KilledAtAnyPointOfTheSwapTheOldProgramSurvives) {
  // Large executables make each copy take long enough to be interrupted
  // mid-way. The stand-in still runs: trailing bytes do not matter to it.
  const std::string padding(48 << 20, 'p');
  const std::string old_bytes = v1_ + padding;
  const std::string new_bytes = v2_ + padding;
  const fs::path backup = main_.string() + ".bak";
  const fs::path staging = main_.string() + ".staging";
  const std::vector<std::string> args = {Quoted(main_) + "?" + Quoted(download_)};
  auto reset = [&] {
    // A product the last run started (perhaps after its log was read) holds
    // its executable: it must go before the executable can be rewritten.
    posixtest::KillProgramsRunningFrom(install_);
    WaitFor([&] { return !posixtest::ProgramRunsFrom(install_); }, 5s);
    fs::remove(backup);
    fs::remove(staging);
    fs::remove(LogPath());
    WriteFile(main_, old_bytes, 0755);
    WriteFile(download_, new_bytes, 0755);
  };
  // The copies take milliseconds: their start is watched without pausing.
  const auto as_soon_as = [](const std::function<bool()>& done) {
    for (const auto give_up = Clock::now() + 10s; !done();)
      if (Clock::now() > give_up)
        return false;
    return true;
  };
  const auto backup_appeared = [&](pid_t) { return fs::exists(backup); };
  // The new executable is copied beside the old one, then renamed over it:
  // into a file that gets its name only once whole (open in the program
  // meanwhile, and listed as "#<inode> (deleted)" in its folder), or
  // into the staging name itself where the file system has no such files.
  const auto replacing = [&](pid_t pid) {
    std::error_code error;
    for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
      const std::string target = posixtest::ReadLink(fd.path());
      if (target.rfind(install_.string() + "/#", 0) == 0 && target.size() > 10 &&
          target.compare(target.size() - 10, 10, " (deleted)") == 0)
        return true;
    }
    return fs::exists(staging);
  };

  // One undisturbed update, to spread the kill points over its swap.
  reset();
  const pid_t measured = Start(program_, args);
  ASSERT_TRUE(as_soon_as([&] { return backup_appeared(measured); }));
  const auto backup_seen = Clock::now();
  ASSERT_EQ(Wait(measured), 0);
  const auto swap = Clock::now() - backup_seen;
  ASSERT_EQ(ReadFile(main_), new_bytes);
  ASSERT_EQ(ReadFile(backup), old_bytes);

  bool caught_backing_up = false;
  bool caught_replacing = false;
  std::string outcomes;
  // Kills one run `delay` after `event`; checks that the main path holds a
  // whole program, old or new, and the old bytes survived.
  const auto kill_after = [&](const char* event, const std::function<bool(pid_t)>& happened,
                              Clock::duration delay) {
    reset();
    const std::string when =
        std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(delay).count()) +
        " us after " + event;
    SCOPED_TRACE("killed " + when);
    const pid_t pid = Start(program_, args);
    EXPECT_TRUE(as_soon_as([&] { return happened(pid); }));
    for (const auto until = Clock::now() + delay; Clock::now() < until;) {
    }
    const bool was_replacing = replacing(pid);
    kill(pid, SIGKILL);
    Wait(pid);
    const std::string at_main = ReadFile(main_);
    const std::string at_backup = ReadFile(backup);
    EXPECT_TRUE(at_main == old_bytes || at_main == new_bytes) << at_main.size() << " bytes";
    EXPECT_TRUE(at_main == old_bytes || at_backup == old_bytes);
    caught_backing_up |= fs::exists(backup) && at_backup != old_bytes;
    std::error_code error;
    caught_replacing |=
        was_replacing && (!fs::exists(staging) || fs::file_size(staging, error) < new_bytes.size());
    outcomes += "\n  " + when + ": main " + std::to_string(at_main.size()) + " bytes, backup " +
                std::to_string(at_backup.size()) + " bytes";
  };
  for (int i = 0; i < 8; ++i)
    kill_after("the backup appeared", backup_appeared, swap * i / 8);
  // The copies' timing varies from run to run: kill again as soon as each
  // copy begins, until a kill lands inside each.
  for (int i = 0; i < 5 && !caught_backing_up; ++i)
    kill_after("the backup appeared", backup_appeared, i * 200us);
  for (int i = 0; i < 5 && !caught_replacing; ++i)
    kill_after("the replacement began", replacing, i * 200us);
  // Otherwise the kills missed the copies, and the test proved little.
  EXPECT_TRUE(caught_backing_up) << "no kill interrupted the backup:" << outcomes;
  EXPECT_TRUE(caught_replacing) << "no kill interrupted the replacement:" << outcomes;
}

}  // namespace
