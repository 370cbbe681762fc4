// The process services over the Win32 binding, against real processes:
// copies of the stand-in product started from fresh folders, a 64-bit one
// among them.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fileservices/mfile.h"
#include "platform/platform.h"
#include "processes/mprocesses.h"
#include "startup/trace.h"
#include "support_win_test.h"

namespace {

using MProcesses::AnySession;
using wintest::RunningProcess;

std::vector<std::wstring> g_traces;
void RecordTrace(const Text& text) {
  g_traces.push_back(text);
}

DWORD ExitCode(const RunningProcess& process) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process.Get(), &code);
  return code;
}

class Win32RealProcesses : public ::testing::Test {
 protected:
  Win32RealProcesses() {
    platform::SetOs(&platform::Native());
    MMain::SetTraceSink(&RecordTrace);
    g_traces.clear();
  }
  ~Win32RealProcesses() override {
    MMain::SetTraceSink(nullptr);
    platform::SetOs(nullptr);
  }

  // A copy of `program` at `relative` inside the temp folder.
  std::wstring Install(const std::wstring& relative,
                       const std::wstring& program = wintest::FixtureExe(L"fixture_product.exe")) {
    const std::wstring path = temp_ / relative;
    wintest::MakeFolders(path.substr(0, path.find_last_of(L'\\')));
    EXPECT_TRUE(CopyFileW(program.c_str(), path.c_str(), TRUE)) << wintest::Utf8(path);
    return path;
  }

  // Starts `path` asleep for 30 s and waits until a lookup can see it.
  RunningProcess StartSleeping(const std::wstring& path) {
    RunningProcess process = wintest::Start(path, L"product sleep 30");
    EXPECT_TRUE(wintest::WaitUntil(
        [&] { return !platform::Native().ProcessImagePath(process.Pid(), 0x410).empty(); }, 5000));
    return process;
  }

  wintest::TempFolder temp_;
};

TEST_F(Win32RealProcesses, FindsTheProgramRunningFromExactlyThatPath) {
  const std::wstring main = Install(L"Lumora \x5b89\x88c5\\app.exe");
  RunningProcess other = StartSleeping(Install(L"other\\app.exe"));
  EXPECT_FALSE(MProcesses::IsProcessRunning(main, AnySession));
  EXPECT_TRUE(g_traces.empty());

  RunningProcess running = StartSleeping(main);
  EXPECT_TRUE(MProcesses::IsProcessRunning(main, AnySession));
  EXPECT_EQ(g_traces.back(), L"Current ProcessId:" + std::to_wstring(GetCurrentProcessId()) +
                                 L", Proc's Id:" + std::to_wstring(running.Pid()));
  // Letter case does not matter; other spellings of the same file do.
  std::wstring upper = main;
  CharUpperBuffW(upper.data(), DWORD(upper.size()));
  EXPECT_TRUE(MProcesses::IsProcessRunning(upper, AnySession));
  std::wstring slashes = main;
  std::replace(slashes.begin(), slashes.end(), L'\\', L'/');
  EXPECT_FALSE(MProcesses::IsProcessRunning(slashes, AnySession));
  DWORD session = 0;
  ASSERT_TRUE(ProcessIdToSessionId(running.Pid(), &session));
  EXPECT_TRUE(MProcesses::IsProcessRunning(main, int32_t(session)));
  EXPECT_FALSE(MProcesses::IsProcessRunning(main, int32_t(session) + 1));

  running.End();
  EXPECT_TRUE(
      wintest::WaitUntil([&] { return !MProcesses::IsProcessRunning(main, AnySession); }, 5000));
}

TEST_F(Win32RealProcesses, SeesA64BitProgram) {
  if (wintest::kSkipAcrossBitness)
    GTEST_SKIP() << wintest::kSkipAcrossBitness;
  const std::wstring main = Install(L"x64\\app.exe", wintest::FixtureExe(L"fixture_product64.exe"));
  RunningProcess running = StartSleeping(main);
  EXPECT_TRUE(MProcesses::IsProcessRunning(main, AnySession));
}

TEST_F(Win32RealProcesses, TerminatesEveryProgramNamedLikeTheProductAndNothingElse) {
  // A name of its own, so that no other test's processes are in the way.
  RunningProcess first = StartSleeping(Install(L"a\\kill-probe.exe"));
  RunningProcess second = StartSleeping(Install(L"b\\KILL-PROBE.EXE"));
  RunningProcess bystander = StartSleeping(Install(L"c\\mykill-probe.exe"));
  g_traces.clear();

  MProcesses::KillProcessesByName(L"kill-probe.exe", AnySession);
  ASSERT_TRUE(first.WaitEnded(5000));
  ASSERT_TRUE(second.WaitEnded(5000));
  EXPECT_EQ(ExitCode(first), 0u);
  EXPECT_EQ(ExitCode(second), 0u);
  EXPECT_EQ(g_traces.size(), 2u);
  EXPECT_TRUE(bystander.Running());
}

TEST_F(Win32RealProcesses, TheCallerNeverCountsAndIsNeverTerminated) {
  // A copy of this test program named like the product looks for itself and
  // terminates its own name: another copy of the product dies, it lives on.
  const std::wstring self = Install(L"Lumora\\self-probe.exe", wintest::OwnExe());
  RunningProcess product = StartSleeping(Install(L"elsewhere\\self-probe.exe"));
  RunningProcess caller;
  {
    wintest::ScopedEnvironment environment(
        std::vector<std::pair<std::wstring, std::wstring>>{{L"VELTRIN_CHILD_CHECK", L"1"}});
    caller = wintest::Start(
        self,
        L"self-probe.exe "
        L"--gtest_filter=Win32RealProcessesChild.LooksForItselfAndTerminatesItsName");
  }
  ASSERT_TRUE(caller.WaitEnded(30000));
  EXPECT_EQ(ExitCode(caller), 7u);
  ASSERT_TRUE(product.WaitEnded(5000));
}

TEST(Win32RealProcessesChild, LooksForItselfAndTerminatesItsName) {
  if (GetEnvironmentVariableW(L"VELTRIN_CHILD_CHECK", nullptr, 0) == 0)
    GTEST_SKIP() << "runs as the child of TheCallerNeverCountsAndIsNeverTerminated";
  platform::SetOs(&platform::Native());
  const std::wstring self = wintest::OwnExe();
  if (MProcesses::IsProcessRunning(self, AnySession))
    ExitProcess(2);
  // Terminating itself would not return.
  MProcesses::KillProcessesByName(MFile::GetFileName(self), AnySession);
  // A code of its own: being terminated would give 0.
  ExitProcess(7);
}

}  // namespace
