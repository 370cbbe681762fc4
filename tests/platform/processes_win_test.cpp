// The Win32 binding's process operations on real processes: copies of the
// stand-in product started from a scratch folder.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support_win_test.h"

namespace {

using platform::Native;
using platform::TerminateOutcome;
using wintest::RunningProcess;
using wintest::TempFolder;
using wintest::Utf8;

// The name in a snapshot entry's field: the text before its first NUL.
std::wstring NameInField(const std::wstring& field) {
  return field.substr(0, field.find(L'\0'));
}

// This test program's file name, as its own module path ends.
std::wstring OwnFileName() {
  const std::wstring own = wintest::OwnExe();
  return own.substr(own.find_last_of(L'\\') + 1);
}

const platform::ProcessEntry* FindEntry(const std::vector<platform::ProcessEntry>& entries,
                                        DWORD pid) {
  for (const auto& entry : entries) {
    if (entry.pid == pid)
      return &entry;
  }
  return nullptr;
}

// A pid that no process has: that of a process that has ended and whose
// handles are all closed.
DWORD EndedPid() {
  DWORD pid = 0;
  {
    RunningProcess ended =
        wintest::Start(wintest::FixtureExe(L"fixture_product.exe"), L"product exit 0");
    EXPECT_TRUE(ended.WaitEnded(10000));
    pid = ended.Pid();
  }
  // Wine keeps an ended process reachable for a moment (about half a second)
  // after its last handle here is closed.
  EXPECT_TRUE(wintest::WaitUntil(
      [pid] { return !platform::win::Handle(OpenProcess(SYNCHRONIZE, FALSE, pid)); }, 5000));
  return pid;
}

// Waits (up to 2 s) until a just started process has a module list: until its
// loader has run, the list cannot be read and only the fallback would answer.
void WaitForModuleList(const RunningProcess& process) {
  platform::win::Handle query(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process.Pid()));
  wintest::WaitUntil(
      [&] {
        HMODULE first = nullptr;
        DWORD needed = 0;
        return K32EnumProcessModules(query.Get(), &first, sizeof first, &needed) && needed > 0;
      },
      2000);
}

class Win32Processes : public ::testing::Test {
 protected:
  // Copies a stand-in to `path` and starts it there, asleep for 30 s.
  RunningProcess StartProduct(const std::wstring& path,
                              const wchar_t* fixture = L"fixture_product.exe") {
    wintest::MakeFolders(path.substr(0, path.find_last_of(L'\\')));
    EXPECT_TRUE(
        CopyFileW(wintest::FixtureExe(fixture).c_str(), wintest::Extended(path).c_str(), TRUE))
        << Utf8(path) << " error " << GetLastError();
    RunningProcess product = wintest::Start(path, L"product sleep 30");
    if (fixture == std::wstring(L"fixture_product.exe"))
      WaitForModuleList(product);
    return product;
  }

  TempFolder temp_;
};

// --- Snapshots ---------------------------------------------------------------

using Win32Snapshot = Win32Processes;

TEST_F(Win32Snapshot, ListsAStartedProgramByItsFileName) {
  const std::wstring name = L"VeltrinSnapshotProduct.exe";
  RunningProcess product = StartProduct(temp_ / name);
  ASSERT_TRUE(product.Running());

  for (const uint32_t flags : {platform::kSnapAll, platform::kSnapProcess}) {
    SCOPED_TRACE(flags);
    const auto entries = Native().SnapshotProcesses(flags);
    const platform::ProcessEntry* entry = FindEntry(entries, product.Pid());
    ASSERT_NE(entry, nullptr);
    // The whole fixed-size field, with the NUL that ends the name.
    EXPECT_EQ(entry->exe_field.size(), size_t(MAX_PATH));
    EXPECT_EQ(NameInField(entry->exe_field), name);

    const platform::ProcessEntry* own = FindEntry(entries, Native().CurrentProcessId());
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(NameInField(own->exe_field), OwnFileName());
  }
}

TEST_F(Win32Snapshot, NoLongerListsAProgramThatHasEnded) {
  RunningProcess product = StartProduct(temp_ / L"ending.exe");
  const DWORD pid = product.Pid();
  ASSERT_NE(FindEntry(Native().SnapshotProcesses(platform::kSnapProcess), pid), nullptr);
  product.End();
  EXPECT_EQ(FindEntry(Native().SnapshotProcesses(platform::kSnapProcess), pid), nullptr);
}

// --- Image paths ----------------------------------------------------------------

using Win32ImagePath = Win32Processes;

TEST_F(Win32ImagePath, IsTheFullPathThatStartedTheProgram) {
  for (const std::wstring& relative :
       {std::wstring(L"Lumora Old\\Lumora.exe"),
        std::wstring(L"\x8001\x7248\\\x4ea7\x54c1 \x4e3b\x7a0b\x5e8f.exe")}) {  // Chinese names
    const std::wstring path = temp_ / relative;
    SCOPED_TRACE(Utf8(path));
    RunningProcess product = StartProduct(path);
    EXPECT_EQ(Native().ProcessImagePath(product.Pid(), platform::kProcessQueryAndRead), path);
  }
}

TEST_F(Win32ImagePath, NamesTheSameFileWhateverCaseStartedTheProgram) {
  const std::wstring path = temp_ / L"Lumora Old\\Lumora.exe";
  wintest::MakeFolders(temp_ / L"Lumora Old");
  ASSERT_TRUE(CopyFileW(wintest::FixtureExe(L"fixture_product.exe").c_str(), path.c_str(), TRUE));
  // Started through a path spelled in other letter cases. (Wine reports the
  // spelling stored on disk, keeping only the drive letter's case as given.)
  const std::wstring spelled = Native().ToLower(temp_.Path()) + L"\\LUMORA OLD\\LUMORA.EXE";
  RunningProcess product = wintest::Start(spelled, L"product sleep 30");
  ASSERT_TRUE(product.Running());
  WaitForModuleList(product);
  for (const uint32_t access : {platform::kProcessQueryAndRead, platform::kProcessTerminate}) {
    SCOPED_TRACE(access);
    const std::wstring reported = Native().ProcessImagePath(product.Pid(), access);
    EXPECT_TRUE(wintest::SameNameIgnoringCase(reported, path)) << Utf8(reported);
  }
}

TEST_F(Win32ImagePath, FallsBackToTheLimitedQueryWhenModulesCannotBeListed) {
  const std::wstring path = temp_ / L"Product.exe";
  RunningProcess product = StartProduct(path);
  // Terminate rights only: listing the modules is refused, the limited query
  // (opened separately) still answers.
  EXPECT_EQ(Native().ProcessImagePath(product.Pid(), platform::kProcessTerminate), path);
}

TEST_F(Win32ImagePath, FindsA64BitProgramFromThis32BitOne) {
  if (wintest::kSkipAcrossBitness)
    GTEST_SKIP() << wintest::kSkipAcrossBitness;
  const std::wstring path = temp_ / L"Lumora x64\\Lumora.exe";
  RunningProcess product = StartProduct(path, L"fixture_product64.exe");
  ASSERT_TRUE(product.Running());
  EXPECT_EQ(Native().ProcessImagePath(product.Pid(), platform::kProcessQueryAndRead), path);
}

TEST_F(Win32ImagePath, ReportsTheLongestPathAProgramCanStartFromInFull) {
  // Programs start from paths of up to MAX_PATH - 1 characters (Wine refuses
  // longer ones too); such a path comes back whole, not cut short.
  std::wstring folder = temp_.Path() + L"\\";
  const std::wstring name = L"\\Lumora.exe";
  folder.resize(MAX_PATH - 1 - name.size(), L'x');
  const std::wstring path = folder + name;
  ASSERT_EQ(path.size(), size_t(MAX_PATH - 1));
  RunningProcess product = StartProduct(path);
  ASSERT_TRUE(product.Running());
  EXPECT_EQ(Native().ProcessImagePath(product.Pid(), platform::kProcessQueryAndRead), path);
  EXPECT_EQ(Native().ProcessImagePath(product.Pid(), platform::kProcessTerminate), path);
}

TEST_F(Win32ImagePath, OfThisProgramIsItsOwnPath) {
  EXPECT_EQ(Native().ProcessImagePath(Native().CurrentProcessId(), platform::kProcessQueryAndRead),
            wintest::OwnExe());
}

TEST_F(Win32ImagePath, IsEmptyForAProcessThatHasEnded) {
  const DWORD pid = EndedPid();
  EXPECT_EQ(Native().ProcessImagePath(pid, platform::kProcessQueryAndRead), L"");
}

// --- Termination ---------------------------------------------------------------

using Win32Terminate = Win32Processes;

TEST_F(Win32Terminate, EndsTheProcessWithTheExitCodeGiven) {
  RunningProcess product = StartProduct(temp_ / L"Lumora.exe");
  ASSERT_TRUE(product.Running());
  EXPECT_EQ(Native().TerminateProcessById(product.Pid(), platform::kProcessAllAccessLegacy, 4321),
            TerminateOutcome::kTerminated);
  ASSERT_TRUE(product.WaitEnded(10000));
  DWORD exit_code = 0;
  ASSERT_TRUE(GetExitCodeProcess(product.Get(), &exit_code));
  EXPECT_EQ(exit_code, 4321u);
}

TEST_F(Win32Terminate, CannotOpenAProcessThatHasEnded) {
  const DWORD pid = EndedPid();
  EXPECT_EQ(Native().TerminateProcessById(pid, platform::kProcessAllAccessLegacy, 1),
            TerminateOutcome::kOpenFailed);
  EXPECT_EQ(Native().TerminateProcessById(pid, platform::kProcessTerminate, 1),
            TerminateOutcome::kOpenFailed);
}

TEST_F(Win32Terminate, FailsToTerminateWithoutTheRightToDoSo) {
  RunningProcess product = StartProduct(temp_ / L"Lumora.exe");
  // Opening for queries only succeeds, the termination through it does not.
  EXPECT_EQ(Native().TerminateProcessById(product.Pid(), PROCESS_QUERY_LIMITED_INFORMATION, 1),
            TerminateOutcome::kTerminateFailed);
  EXPECT_FALSE(product.WaitEnded(200));
}

// --- Sessions, privileges, text ------------------------------------------------------

TEST(Win32Session, IsTheSameForThisProgramAndTheOnesItStarts) {
  TempFolder temp;
  const auto own = Native().ProcessSessionId(Native().CurrentProcessId());
  ASSERT_TRUE(own.has_value());
  RunningProcess product =
      wintest::Start(wintest::FixtureExe(L"fixture_product.exe"), L"product sleep 30");
  EXPECT_EQ(Native().ProcessSessionId(product.Pid()), own);
}

TEST(Win32Session, IsUnknownForAProcessThatHasEnded) {
  const DWORD pid = EndedPid();
  EXPECT_EQ(Native().ProcessSessionId(pid), std::nullopt);
}

// The state of the debug privilege in this program's token; nullopt when the
// token does not hold it at all.
std::optional<bool> DebugPrivilegeEnabled() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
    return std::nullopt;
  platform::win::Handle token(raw);
  LUID debug = {};
  if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &debug))
    return std::nullopt;
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenPrivileges, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.Get(), TokenPrivileges, buffer.data(), size, &size))
    return std::nullopt;
  const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
  for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
    const LUID_AND_ATTRIBUTES& entry = privileges->Privileges[i];
    if (entry.Luid.LowPart == debug.LowPart && entry.Luid.HighPart == debug.HighPart)
      return (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  return std::nullopt;
}

void DisableDebugPrivilege() {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw));
  platform::win::Handle token(raw);
  TOKEN_PRIVILEGES off = {};
  off.PrivilegeCount = 1;
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &off.Privileges[0].Luid));
  off.Privileges[0].Attributes = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(token.Get(), FALSE, &off, 0, nullptr, nullptr));
}

TEST(Win32DebugPrivilege, IsEnabledInThisProgramsToken) {
  if (!DebugPrivilegeEnabled().has_value())
    GTEST_SKIP() << "this user does not hold the debug privilege";
  DisableDebugPrivilege();
  ASSERT_EQ(DebugPrivilegeEnabled(), std::optional<bool>(false));
  Native().EnableDebugPrivilege();
  EXPECT_EQ(DebugPrivilegeEnabled(), std::optional<bool>(true));
  // Asking again changes nothing and does no harm.
  Native().EnableDebugPrivilege();
  EXPECT_EQ(DebugPrivilegeEnabled(), std::optional<bool>(true));
}

TEST(Win32ToLower, LowerCasesLettersOfEveryScript) {
  EXPECT_EQ(Native().ToLower(L"C:\\Program Files\\LUMORA\\Lumora.EXE"),
            L"c:\\program files\\lumora\\lumora.exe");
  EXPECT_EQ(Native().ToLower(L"\x00C4\x00D6\x00DC"), L"\x00E4\x00F6\x00FC");  // German umlauts
  EXPECT_EQ(Native().ToLower(L"\x0391\x0392\x0393"), L"\x03B1\x03B2\x03B3");  // Greek
  EXPECT_EQ(Native().ToLower(L"\x041B\x042E"), L"\x043B\x044E");              // Cyrillic
}

TEST(Win32ToLower, LeavesEverythingElseAlone) {
  EXPECT_EQ(Native().ToLower(L""), L"");
  EXPECT_EQ(Native().ToLower(L"already lower 123 !?*\\"), L"already lower 123 !?*\\");
  EXPECT_EQ(Native().ToLower(L"\x5b89\x88c5.EXE"), L"\x5b89\x88c5.exe");  // Chinese has no case
  // The whole text is converted, also past an embedded NUL.
  const std::wstring with_nul(L"AB\0CD", 5);
  EXPECT_EQ(Native().ToLower(with_nul), std::wstring(L"ab\0cd", 5));
}

}  // namespace
