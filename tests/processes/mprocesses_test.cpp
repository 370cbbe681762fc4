// Process services: which processes count as the product running from a path,
// and which are terminated by name.
#include "processes/mprocesses.h"

#include <gtest/gtest.h>

#include "fake/fake_platform.h"

namespace {

using fake::FakePlatform;
using fake::P;
using MProcesses::AnySession;

const Text kApp = P("/opt/Lumora/app.exe");

TEST(TrimAtNulTest, TextBeforeTheFirstNul) {
  EXPECT_EQ(MProcesses::TrimAtNul(Text(VT("ab\0cd"), 5)), VT("ab"));
  EXPECT_EQ(MProcesses::TrimAtNul(Text(VT("\0ab"), 3)), VT(""));
  EXPECT_EQ(MProcesses::TrimAtNul(VT("abc")), VT(""));  // no NUL: empty, not the text
  EXPECT_EQ(MProcesses::TrimAtNul(VT("")), VT(""));
}

TEST(TrimAtNulTest, AFieldWithoutANulFiltersNothingOutButIsAWholeNameToTerminate) {
  FakePlatform os;
  const uint32_t pid = os.Spawn(kApp);
  os.Find(pid)->exe_field = VT("other.exe");
  // The lookup's name filter (TrimAtNul) gets no name: the image path decides.
  EXPECT_TRUE(MProcesses::IsProcessRunning(kApp, AnySession));
  // The termination by name takes the whole field as the name.
  os.Find(pid)->image = P("/opt/Lumora/other.exe");  // as a real snapshot's field has it
  MProcesses::KillProcessesByName(VT("other.exe"), AnySession);
  EXPECT_FALSE(os.Find(pid));
}

TEST(GetProcessImagePathTest, TrimsSpacesAndTurnsErrorsIntoEmpty) {
  FakePlatform os;
  const uint32_t pid = os.Spawn(P("/opt/Lumora/app.exe  "));
  EXPECT_EQ(MProcesses::GetProcessImagePath(pid), kApp);
  EXPECT_EQ(os.Lines("image"), std::vector<std::string>{"image " + std::to_string(pid) + " 0x410"});
  EXPECT_EQ(MProcesses::GetProcessImagePath(12345), VT(""));
  os.raise_if = [](const std::string& op, const Text&) { return op == "image"; };
  EXPECT_EQ(MProcesses::GetProcessImagePath(pid), VT(""));
}

TEST(IsProcessRunningTest, MatchesTheFullPathIgnoringCase) {
  FakePlatform os;
  const uint32_t pid = os.Spawn(P("/OPT/LUMORA/APP.EXE"));
  EXPECT_TRUE(MProcesses::IsProcessRunning(kApp, AnySession));
  EXPECT_EQ(os.Traces(),
            std::vector<std::string>{"Current ProcessId:4120, Proc's Id:" + std::to_string(pid)});
  EXPECT_TRUE(os.Lines("session").empty());  // any session: no lookup
}

TEST(IsProcessRunningTest, OtherSpellingsAndFoldersDoNotCount) {
  FakePlatform os;
  os.Spawn(P("/other/app.exe"));
  os.Spawn(P("/opt/Lumora/./app.exe"));
  os.Spawn(P("/opt/LUMORA~1/app.exe"));
#if defined(_WIN32)
  os.Spawn(L"C:/opt/Lumora/app.exe");
#endif
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, AnySession));
  EXPECT_FALSE(MProcesses::IsProcessRunning(VT("app.exe"), AnySession));  // relative
  EXPECT_TRUE(os.Traces().empty());
}

TEST(IsProcessRunningTest, NameFilterSparesTheImageRead) {
  FakePlatform os;
  os.Spawn(P("/usr/bin/editor.exe"));
  os.Spawn(P("/usr/bin/shell.exe"));
  const uint32_t candidate = os.Spawn(P("/elsewhere/app.exe"));
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, AnySession));
  EXPECT_EQ(os.Lines("image"),
            std::vector<std::string>{"image " + std::to_string(candidate) + " 0x410"});
  EXPECT_EQ(os.Lines("snapshot"), std::vector<std::string>{"snapshot 0xF"});
}

TEST(IsProcessRunningTest, EmptyPathNeverRuns) {
  FakePlatform os;
  os.Spawn(VT(""));
  os.processes.back().exe_field = Text(1, Char('\0'));
  EXPECT_FALSE(MProcesses::IsProcessRunning(VT(""), AnySession));
  EXPECT_TRUE(os.Lines("image").empty());
}

TEST(IsProcessRunningTest, UnreadableImageDoesNotCount) {
  FakePlatform os;
  os.Spawn(kApp);
  os.processes.back().query_refused = true;
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, AnySession));
}

TEST(IsProcessRunningTest, OwnProcessIsTracedButNeverCounts) {
  FakePlatform os;
  os.self_pid = os.Spawn(kApp);
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, AnySession));
  EXPECT_EQ(os.Traces().size(), 1u);
  const uint32_t other = os.Spawn(kApp);
  EXPECT_TRUE(MProcesses::IsProcessRunning(kApp, AnySession));
  EXPECT_EQ(os.Traces().back(), "Current ProcessId:" + std::to_string(os.self_pid) +
                                    ", Proc's Id:" + std::to_string(other));
}

TEST(IsProcessRunningTest, SessionRules) {
  FakePlatform os;
  const uint32_t in_two = os.Spawn(kApp, 2);
  // Same session: one session trace, then true.
  EXPECT_TRUE(MProcesses::IsProcessRunning(kApp, 2));
  EXPECT_EQ(os.Traces().back(), "Proc SessionId:2 Find SessionId:2");
  // Other session: traced, not counted.
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, 1));
  EXPECT_EQ(os.Traces().back(), "Proc SessionId:2 Find SessionId:1");
  // Unreadable session: no session trace, not counted.
  os.Find(in_two)->session_unreadable = true;
  os.log.clear();
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, 2));
  EXPECT_EQ(os.Traces().size(), 1u);
  // The scan goes on to a later process that qualifies.
  os.Spawn(kApp, 1);
  EXPECT_TRUE(MProcesses::IsProcessRunning(kApp, 1));
}

TEST(IsProcessRunningTest, StopsAtTheFirstQualifyingProcess) {
  FakePlatform os;
  os.Spawn(kApp);
  const uint32_t second = os.Spawn(kApp);
  EXPECT_TRUE(MProcesses::IsProcessRunning(kApp, AnySession));
  for (const std::string& line : os.Lines("image"))
    EXPECT_EQ(line.find(std::to_string(second)), std::string::npos);
}

TEST(IsProcessRunningTest, NoSnapshotMeansNotRunning) {
  FakePlatform os;
  os.Spawn(kApp);
  os.fail_if = [](const std::string& op, const Text&) { return op == "snapshot"; };
  EXPECT_FALSE(MProcesses::IsProcessRunning(kApp, AnySession));
}

TEST(ExeNameMatchesTest, SameNameOrAfterASeparatorOnly) {
  FakePlatform os;
  EXPECT_TRUE(MProcesses::ExeNameMatches(VT("app.exe"), VT("app.exe")));
  EXPECT_TRUE(MProcesses::ExeNameMatches(VT("APP.EXE"), VT("app.exe")));
  EXPECT_TRUE(MProcesses::ExeNameMatches(P("/X/APP.EXE"), VT("app.exe")));
  EXPECT_FALSE(MProcesses::ExeNameMatches(VT("myapp.exe"), VT("app.exe")));
  EXPECT_FALSE(MProcesses::ExeNameMatches(VT("onenote.exe"), VT("note.exe")));
  EXPECT_FALSE(MProcesses::ExeNameMatches(VT("app.exe.old"), VT("app.exe")));
  EXPECT_FALSE(MProcesses::ExeNameMatches(VT("app.exe"), VT("longer-app.exe")));
  EXPECT_FALSE(MProcesses::ExeNameMatches(VT(""), VT("app.exe")));
}

TEST(KillProcessesByNameTest, TerminatesEveryNamesakeButNotBystandersOrItself) {
  FakePlatform os;
  const uint32_t first = os.Spawn(kApp);
  const uint32_t bystander = os.Spawn(P("/opt/Other/myapp.exe"));
  const uint32_t upper = os.Spawn(P("/elsewhere/APP.EXE"));
  const uint32_t old = os.Spawn(P("/opt/Lumora/app.exe.old"));
  os.self_pid = os.Spawn(P("/opt/Lumora/Veltrin/app.exe"));  // named like the product itself
  MProcesses::KillProcessesByName(VT("app.exe"), AnySession);
  EXPECT_FALSE(os.Find(first));
  EXPECT_FALSE(os.Find(upper));
  EXPECT_TRUE(os.Find(bystander));
  EXPECT_TRUE(os.Find(old));
  EXPECT_TRUE(os.Find(os.self_pid));
  EXPECT_EQ(os.Traces(),
            (std::vector<std::string>{"Kill Process ProcessID:" + std::to_string(first),
                                      "Kill Process ProcessID:" + std::to_string(upper)}));
  EXPECT_EQ(os.processes[0].exit_code, 0u);
  EXPECT_EQ(os.Lines("terminate"),
            (std::vector<std::string>{"terminate " + std::to_string(first) + " 0x1F0FFF ok",
                                      "terminate " + std::to_string(upper) + " 0x1F0FFF ok"}));
  EXPECT_TRUE(os.Lines("privilege").empty());  // the plain attempt sufficed
  EXPECT_EQ(os.Lines("snapshot"), std::vector<std::string>{"snapshot 0x2"});
}

TEST(KillProcessesByNameTest, EmptyNameTakesNoSnapshot) {
  FakePlatform os;
  os.Spawn(kApp);
  MProcesses::KillProcessesByName(VT(""), AnySession);
  EXPECT_TRUE(os.log.empty());
}

TEST(KillProcessesByNameTest, SessionLimitsTheTerminations) {
  FakePlatform os;
  const uint32_t mine = os.Spawn(kApp, 1);
  const uint32_t theirs = os.Spawn(kApp, 2);
  const uint32_t unknown = os.Spawn(kApp, 1);
  os.Find(unknown)->session_unreadable = true;
  MProcesses::KillProcessesByName(VT("app.exe"), 1);
  EXPECT_FALSE(os.Find(mine));
  EXPECT_TRUE(os.Find(theirs));
  EXPECT_TRUE(os.Find(unknown));
  EXPECT_EQ(os.Traces().size(), 1u);
}

TEST(KillProcessesByNameTest, RefusedPlainAttemptRetriesWithThePrivilege) {
  FakePlatform os;
  const uint32_t elevated = os.Spawn(kApp);
  os.Find(elevated)->full_access_refused = true;
  const uint32_t stubborn = os.Spawn(kApp);
  os.Find(stubborn)->terminate_refused = true;
  const uint32_t after = os.Spawn(kApp);
  MProcesses::KillProcessesByName(VT("app.exe"), AnySession);
  const std::string e = std::to_string(elevated), s = std::to_string(stubborn),
                    a = std::to_string(after);
  EXPECT_FALSE(os.Find(elevated));
  EXPECT_TRUE(os.Find(stubborn));  // left running; the scan went on
  EXPECT_FALSE(os.Find(after));
  std::vector<std::string> calls;
  for (const std::string& line : os.log) {
    if (line.rfind("terminate", 0) == 0 || line == "privilege" || line.rfind("trace", 0) == 0)
      calls.push_back(line);
  }
  EXPECT_EQ(calls, (std::vector<std::string>{
                       "terminate " + e + " 0x1F0FFF open-failed", "privilege",
                       "trace Kill Process ProcessID:" + e, "terminate " + e + " 0x1001 ok",
                       "trace Kill Process ProcessID:" + s, "terminate " + s + " 0x1F0FFF failed",
                       "privilege", "terminate " + s + " 0x1001 failed",
                       "trace Kill Process ProcessID:" + a, "terminate " + a + " 0x1F0FFF ok"}));
}

TEST(KillProcessesByNameTest, AnIdGivenToAnotherProgramSinceTheSnapshotEndsNothing) {
  for (const bool elevated : {false, true}) {
    FakePlatform os;
    const uint32_t pid = os.Spawn(kApp);
    // The product exits as its termination begins; its id goes to another.
    os.fail_if = [&os, pid](const std::string& op, const Text&) {
      if (op == "terminate" && os.Find(pid)->image == kApp) {
        os.ExitProcess(pid);
        os.Spawn(P("/usr/bin/editor.exe"));
        os.processes.back().pid = pid;
      }
      return false;
    };
    elevated ? MProcesses::KillProcessesRunning(kApp, 1)
             : MProcesses::KillProcessesByName(VT("app.exe"), AnySession);
    ASSERT_TRUE(os.Find(pid)) << elevated;
    EXPECT_TRUE(os.Traces().empty());
  }
}

TEST(KillProcessPrivilegedTest, PidZeroTouchesNothing) {
  FakePlatform os;
  EXPECT_FALSE(MProcesses::KillProcessPrivileged(0));
  EXPECT_TRUE(os.log.empty());
  EXPECT_FALSE(os.privilege_enabled);
}

TEST(KillProcessPrivilegedTest, GoneProcessGivesFalseAfterEnablingThePrivilege) {
  FakePlatform os;
  EXPECT_FALSE(MProcesses::KillProcessPrivileged(999));
  EXPECT_TRUE(os.privilege_enabled);
  const uint32_t pid = os.Spawn(kApp);
  EXPECT_TRUE(MProcesses::KillProcessPrivileged(pid));
  EXPECT_FALSE(os.Find(pid));
}

}  // namespace
