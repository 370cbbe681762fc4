// The POSIX binding's process operations against real child processes: copies
// of the fixture program started from fresh temporary folders.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support_posix_test.h"

namespace {

namespace fs = std::filesystem;
using platform::ProcessEntry;
using platform::TerminateOutcome;
using posixtest::Child;
using posixtest::ReadLink;
using posixtest::TempDir;
using posixtest::WaitFor;

std::string ExeLink(pid_t pid) {
  return ReadLink("/proc/" + std::to_string(pid) + "/exe");
}

// The state letter of /proc/<pid>/stat ('R', 'S', 'Z', ...).
char ProcessState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || paren + 2 >= stat.size() ? '?' : stat[paren + 2];
}

class PosixProcesses : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()) << "mkdtemp failed"; }

  // A copy of the fixture program under `name` in `folder`.
  static std::string CopyFixture(const TempDir& folder, const std::string& name) {
    const std::string path = folder / name;
    fs::copy_file(VELTRIN_FIXTURE_DIR "/fixture_product", path);
    chmod(path.c_str(), 0755);
    return path;
  }

  // Starts `path` with "sleep 30" and waits until it runs that file.
  static void StartSleeping(std::unique_ptr<Child>& child, const std::string& path) {
    child = std::make_unique<Child>(path, std::vector<std::string>{"sleep", "30"});
    ASSERT_GT(child->pid(), 0);
    const pid_t pid = child->pid();
    ASSERT_TRUE(WaitFor([&] { return ExeLink(pid) == path; })) << path;
  }

  const ProcessEntry* Find(const std::vector<ProcessEntry>& entries, uint32_t pid) {
    for (const auto& entry : entries) {
      if (entry.pid == pid)
        return &entry;
    }
    return nullptr;
  }

  platform::Platform& os_ = platform::Native();
  TempDir dir_;
};

// --- Snapshot ---------------------------------------------------------------------

TEST_F(PosixProcesses, SnapshotNamesAStartedProgramByItsExecutableFile) {
  const std::string path = CopyFixture(dir_, "lumora product");
  std::unique_ptr<Child> child;
  StartSleeping(child, path);

  const std::vector<ProcessEntry> entries = os_.SnapshotProcesses(platform::kSnapProcess);
  const ProcessEntry* entry = Find(entries, child->id());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->exe_field, Text("lumora product") + '\0');

  const ProcessEntry* self = Find(entries, uint32_t(getpid()));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->exe_field, Text("binding_tests") + '\0');

  for (size_t i = 1; i < entries.size(); ++i)
    EXPECT_LT(entries[i - 1].pid, entries[i].pid);
  for (const auto& e : entries) {
    ASSERT_FALSE(e.exe_field.empty());
    EXPECT_EQ(e.exe_field.find('\0'), e.exe_field.size() - 1) << e.pid;
  }
}

TEST_F(PosixProcesses, ZombieKeepsItsCommandNameButHasNoImagePath) {
  const std::string path = CopyFixture(dir_, "product_with_a_long_name");
  Child child(path, {"exit", "3"});
  ASSERT_GT(child.pid(), 0);
  ASSERT_TRUE(WaitFor([&] { return ProcessState(child.pid()) == 'Z'; }));

  const std::vector<ProcessEntry> entries = os_.SnapshotProcesses(platform::kSnapAll);
  const ProcessEntry* entry = Find(entries, child.id());
  ASSERT_NE(entry, nullptr);
  // The kernel's command name holds at most 15 characters.
  EXPECT_EQ(entry->exe_field, Text("product_with_a_") + '\0');
  EXPECT_EQ(os_.ProcessImagePath(child.id(), platform::kProcessQueryAndRead), "");
}

// --- Image path ---------------------------------------------------------------------

TEST_F(PosixProcesses, ImagePathSurvivesTheDeletionOfTheExecutable) {
  const std::string path = CopyFixture(dir_, "Lumora.bin");
  std::unique_ptr<Child> child;
  StartSleeping(child, path);
  EXPECT_EQ(os_.ProcessImagePath(child->id(), platform::kProcessQueryAndRead), path);

  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(ExeLink(child->pid()), path + " (deleted)");
  EXPECT_EQ(os_.ProcessImagePath(child->id(), platform::kProcessAllAccessLegacy), path);

  const std::vector<ProcessEntry> entries = os_.SnapshotProcesses(platform::kSnapProcess);
  const ProcessEntry* entry = Find(entries, child->id());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry->exe_field, Text("Lumora.bin") + '\0');
}

TEST_F(PosixProcesses, NameThatReallyEndsInTheDeletedMarkerIsKept) {
  const std::string path = CopyFixture(dir_, "odd (deleted)");
  std::unique_ptr<Child> child;
  StartSleeping(child, path);
  EXPECT_EQ(os_.ProcessImagePath(child->id(), platform::kProcessQueryAndRead), path);
}

TEST_F(PosixProcesses, SameProgramFromAnotherFolderHasAnotherPath) {
  TempDir other;
  const std::string first = CopyFixture(dir_, "Lumora.bin");
  const std::string second = CopyFixture(other, "Lumora.bin");
  std::unique_ptr<Child> a, b;
  StartSleeping(a, first);
  StartSleeping(b, second);

  EXPECT_EQ(os_.ProcessImagePath(a->id(), platform::kProcessQueryAndRead), first);
  EXPECT_EQ(os_.ProcessImagePath(b->id(), platform::kProcessQueryAndRead), second);
  EXPECT_NE(first, second);
}

TEST_F(PosixProcesses, ImagePathOfNoProcessIsEmpty) {
  Child child(CopyFixture(dir_, "short"), {"exit", "0"});
  ASSERT_GT(child.pid(), 0);
  child.Wait();
  EXPECT_EQ(os_.ProcessImagePath(child.id(), platform::kProcessQueryAndRead), "");
  EXPECT_EQ(os_.ProcessImagePath(0, platform::kProcessQueryAndRead), "");
}

// --- Termination -----------------------------------------------------------------------

TEST_F(PosixProcesses, TerminateKillsTheProcessAndThenFindsNothing) {
  std::unique_ptr<Child> child;
  StartSleeping(child, CopyFixture(dir_, "Lumora.bin"));

  EXPECT_EQ(os_.TerminateProcessById(child->id(), platform::kProcessTerminate, 1),
            TerminateOutcome::kTerminated);
  const int status = child->Wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  EXPECT_EQ(os_.TerminateProcessById(child->id(), platform::kProcessTerminate, 1),
            TerminateOutcome::kOpenFailed);
}

TEST_F(PosixProcesses, TerminateOfProcessIdZeroSignalsNoGroup) {
  // In a child leading its own process group: a kill(0, ...) would end it.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setpgid(0, 0);
    const auto outcome = platform::Native().TerminateProcessById(0, platform::kProcessTerminate, 1);
    _exit(outcome == TerminateOutcome::kOpenFailed ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the call signalled its own process group";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- Sessions and ids --------------------------------------------------------------------

TEST_F(PosixProcesses, SessionIdsAreTheProcessesSessions) {
  EXPECT_EQ(os_.CurrentProcessId(), uint32_t(getpid()));
  EXPECT_EQ(os_.ProcessSessionId(uint32_t(getpid())), uint32_t(getsid(0)));

  const std::string path = CopyFixture(dir_, "Lumora.bin");
  Child leader(path, {"sleep", "30"}, /*own_session=*/true);
  ASSERT_GT(leader.pid(), 0);
  ASSERT_TRUE(WaitFor([&] { return getsid(leader.pid()) == leader.pid(); }));
  EXPECT_EQ(os_.ProcessSessionId(leader.id()), leader.id());

  Child gone(path, {"exit", "0"});
  ASSERT_GT(gone.pid(), 0);
  gone.Wait();
  EXPECT_EQ(os_.ProcessSessionId(gone.id()), std::nullopt);
  EXPECT_EQ(os_.ProcessSessionId(0), std::nullopt);
}

TEST_F(PosixProcesses, ToLowerChangesOnlyAsciiLetters) {
  EXPECT_EQ(os_.ToLower("C:/Program Files/LUMORA.EXE"), "c:/program files/lumora.exe");
  EXPECT_EQ(os_.ToLower("@[`{AZaz09"), "@[`{azaz09");
  // Multibyte characters, upper-case ones included, keep every byte.
  EXPECT_EQ(os_.ToLower("ÄÖÜ 产品 ÉX"), "ÄÖÜ 产品 Éx");
  EXPECT_EQ(os_.ToLower(""), "");
}

}  // namespace
