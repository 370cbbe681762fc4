// The Win32 binding's start-up operations, seen from child processes: this
// test program run in a child mode, and copies of the stand-in product.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support_win_test.h"

namespace {

using platform::Native;
using wintest::RunChild;
using wintest::RunningProcess;
using wintest::TempFolder;
using wintest::Utf8;

std::vector<std::wstring> Split(const std::wstring& text, wchar_t separator) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::wstring::npos)
      return parts;
    start = end + 1;
  }
}

std::wstring CurrentFolder() {
  wchar_t folder[32768];
  const DWORD length = GetCurrentDirectoryW(32768, folder);
  return std::wstring(folder, length);
}

// Copies this test program to `path`, so that a child mode runs from there.
void CopyOwnExe(const std::wstring& path) {
  wintest::MakeFolders(path.substr(0, path.find_last_of(L'\\')));
  ASSERT_TRUE(CopyFileW(wintest::OwnExe().c_str(), wintest::Extended(path).c_str(), TRUE))
      << Utf8(path) << " error " << GetLastError();
}

// --- ArgumentText ----------------------------------------------------------------

struct CommandLineCase {
  const wchar_t* command_line;
  const wchar_t* arguments;
};

class Win32ArgumentText : public ::testing::TestWithParam<CommandLineCase> {
 protected:
  TempFolder temp_;
};

TEST_P(Win32ArgumentText, IsTheCommandLineAfterTheProgramName) {
  const wintest::ChildResult child =
      RunChild(wintest::OwnExe(), L"argument-text", GetParam().command_line, temp_);
  ASSERT_TRUE(child.ended);
  EXPECT_EQ(child.output, GetParam().arguments)
      << "command line: " << Utf8(GetParam().command_line);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines,
    Win32ArgumentText,
    ::testing::Values(
        // A quoted name with blanks ends at its closing quote; the quotes and
        // runs of blanks inside the arguments stay as they are.
        CommandLineCase{L"\"C:\\Program Files\\Lumora\\Veltrin.exe\" \"C:\\a b\\Lumora.exe\"  "
                        L"\"C:\\new\\Lumora.exe\"",
                        L"\"C:\\a b\\Lumora.exe\"  \"C:\\new\\Lumora.exe\""},
        // An unquoted name ends at the first blank; every blank after it goes,
        // trailing blanks of the arguments stay.
        CommandLineCase{L"Veltrin.exe    one?two  ", L"one?two  "},
        // Tabs count as blanks.
        CommandLineCase{L"Veltrin.exe\t \targs", L"args"},
        // Nothing after the name.
        CommandLineCase{L"\"C:\\Program Files\\Veltrin.exe\"", L""},
        CommandLineCase{L"Veltrin.exe", L""},
        CommandLineCase{L"Veltrin.exe   ", L""},
        // The closing quote ends the name even without a blank after it.
        CommandLineCase{L"\"Veltrin.exe\"a!b", L"a!b"},
        // A quote inside an unquoted name does not open a quoted part.
        CommandLineCase{L"Velt\"rin x\" y", L"x\" y"},
        // A name whose quote is never closed takes the whole line.
        CommandLineCase{L"\"Veltrin.exe a b", L""},
        // Text beyond ASCII passes through unchanged.
        CommandLineCase{L"Veltrin.exe \"C:\\\x4ea7\x54c1\\\x4e3b.exe\" \x65b0",
                        L"\"C:\\\x4ea7\x54c1\\\x4e3b.exe\" \x65b0"}));

// --- ClaimSingleInstance ------------------------------------------------------------

TEST(Win32SingleInstance, OnlyOneProcessHoldsTheClaimUntilItEnds) {
  TempFolder temp;
  const std::wstring release_name =
      L"Local\\VeltrinTestRelease-" + std::to_wstring(GetCurrentProcessId());
  platform::win::Handle release(CreateEventW(nullptr, TRUE, FALSE, release_name.c_str()));
  ASSERT_TRUE(release);

  const std::wstring holder_output = temp / L"holder.out";
  RunningProcess holder;
  {
    wintest::ScopedEnvironment environment({{wintest::kChildModeVariable, L"claim-and-hold"},
                                            {wintest::kChildOutputVariable, holder_output},
                                            {wintest::kChildEventVariable, release_name}});
    holder = wintest::Start(wintest::OwnExe(), L"binding_tests");
  }
  ASSERT_EQ(wintest::WaitForChildOutput(holder_output, 20000), L"1");

  // A second process while the first one runs is refused.
  EXPECT_EQ(RunChild(wintest::OwnExe(), L"claim", L"binding_tests", temp).output, L"0");

  // Once the holder has ended, the claim is free again.
  ASSERT_TRUE(SetEvent(release.Get()));
  ASSERT_TRUE(holder.WaitEnded(10000));
  EXPECT_EQ(RunChild(wintest::OwnExe(), L"claim", L"binding_tests", temp).output, L"1");
}

TEST(Win32MachineInstance, OneClaimPerMainPathWhateverItsLetterCase) {
  TempFolder temp;
  const std::wstring path = temp / L"Lumora\\App.exe";
  ASSERT_TRUE(Native().ClaimMachineInstance(path));
  const std::wstring upper = temp / L"LUMORA\\app.EXE";
  EXPECT_EQ(RunChild(wintest::OwnExe(), L"claim-machine", L"t " + upper, temp).output, L"0");
  EXPECT_EQ(RunChild(wintest::OwnExe(), L"claim-machine", L"t " + path + L"x", temp).output, L"1");
}

// --- OwnExecutableDirectory -------------------------------------------------------------

TEST(Win32OwnExecutableDirectory, IsTheFolderTheProgramRunsFrom) {
  TempFolder temp;
  const std::wstring folder = temp / L"\x5b89\x88c5 \x7a0b\x5e8f";  // Chinese, with a blank
  CopyOwnExe(folder + L"\\Veltrin.exe");
  const wintest::ChildResult child =
      RunChild(folder + L"\\Veltrin.exe", L"own-directory", L"Veltrin", temp);
  ASSERT_TRUE(child.ended);
  EXPECT_EQ(child.output, folder);
}

TEST(Win32OwnExecutableDirectory, KeepsTheLongestFolderAProgramCanRunFromWhole) {
  TempFolder temp;
  const std::wstring name = L"\\Veltrin.exe";
  std::wstring folder = temp.Path() + L"\\";
  folder.resize(MAX_PATH - 1 - name.size(), L'd');
  CopyOwnExe(folder + name);
  const wintest::ChildResult child = RunChild(folder + name, L"own-directory", L"Veltrin", temp);
  ASSERT_TRUE(child.ended);
  EXPECT_EQ(child.output, folder);
}

// --- StartProgram ------------------------------------------------------------------

class Win32StartProgram : public ::testing::Test {
 protected:
  void CopyProduct(const std::wstring& path) {
    wintest::MakeFolders(path.substr(0, path.find_last_of(L'\\')));
    ASSERT_TRUE(CopyFileW(wintest::FixtureExe(L"fixture_product.exe").c_str(), path.c_str(), TRUE));
  }

  TempFolder temp_;
  std::vector<RunningProcess> started_;
};

TEST_F(Win32StartProgram, StartsExactlyTheProgramAtAPathWithBlanks) {
  const std::wstring product = temp_ / L"first part\\Lumora.exe";
  CopyProduct(product);
  // What an unquoted search of the same path would run first.
  const std::wstring planted = temp_ / L"first.exe";
  CopyProduct(planted);

  ASSERT_TRUE(Native().StartProgram(product));

  // Started without arguments, the stand-in logs "<version> <own path> <pid>"
  // beside itself and stays up.
  const std::wstring log = temp_ / L"first part\\product.log";
  std::string line;
  ASSERT_TRUE(wintest::WaitUntil(
      [&] {
        line = wintest::ReadBytes(log);
        return !line.empty() && line.back() == '\n';
      },
      15000));
  const size_t path_start = line.find(' ') + 1;
  const size_t pid_start = line.rfind(' ') + 1;
  const DWORD pid = std::stoul(line.substr(pid_start));
  started_.push_back(wintest::Adopt(pid));
  EXPECT_EQ(line.substr(path_start, pid_start - 1 - path_start), Utf8(product));

  // The started program outlives the call; the planted one never ran.
  EXPECT_TRUE(started_.back().Running());
  EXPECT_FALSE(wintest::Exists(temp_ / L"product.log"));
  for (const auto& entry : Native().SnapshotProcesses(platform::kSnapProcess))
    EXPECT_NE(entry.exe_field.substr(0, entry.exe_field.find(L'\0')), L"first.exe");
}

TEST_F(Win32StartProgram, TheDesktopShellStartsTheProgramWhereOneAnswers) {
  using Outcome = platform::UserStartOutcome;
  const std::wstring product = temp_ / L"shell\\Lumora.exe";
  CopyProduct(product);
  Outcome outcome = Outcome::kNoShell;  // Wine's desktop shell answers once it has come up
  const auto ask = [&] {
    return (outcome = Native().StartProgramThroughShell(product)) != Outcome::kNoShell;
  };
  if (!wintest::WaitUntil(ask, 10000))
    GTEST_SKIP() << "no desktop shell answers here";
  ASSERT_EQ(outcome, Outcome::kStarted);
  std::string line;
  const auto logged = [&] {
    return (line = wintest::ReadBytes(temp_ / L"shell\\product.log")).find('\n') !=
           std::string::npos;
  };
  ASSERT_TRUE(wintest::WaitUntil(logged, 15000));
  started_.push_back(wintest::Adopt(std::stoul(line.substr(line.rfind(' ') + 1))));
  EXPECT_NE(line.find(Utf8(product)), std::string::npos);
}

TEST_F(Win32StartProgram, StartsInANormalWindowHereWithoutHandingOverHandles) {
  const std::wstring program = temp_ / L"child folder\\Veltrin Child.exe";
  CopyOwnExe(program);
  // An inheritable handle: a child that inherited it could set the event.
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  platform::win::Handle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const std::wstring handle_value = std::to_wstring(reinterpret_cast<ULONG_PTR>(event.Get()));
  const std::wstring output = temp_ / L"startup.out";

  {
    wintest::ScopedEnvironment environment({{wintest::kChildModeVariable, L"startup-info"},
                                            {wintest::kChildOutputVariable, output},
                                            {wintest::kChildHandleVariable, handle_value}});
    ASSERT_TRUE(Native().StartProgram(program));
  }
  const std::vector<std::wstring> report = Split(wintest::WaitForChildOutput(output, 20000), L'|');
  ASSERT_EQ(report.size(), 5u);
  started_.push_back(wintest::Adopt(std::stoul(report[4])));
  started_.back().WaitEnded(10000);

  EXPECT_NE(std::stoul(report[0]) & STARTF_USESHOWWINDOW, 0u);
  EXPECT_EQ(report[1], std::to_wstring(SW_SHOWNORMAL));
  EXPECT_EQ(report[2], CurrentFolder());
  EXPECT_EQ(report[3], L"\"" + program + L"\"");
  EXPECT_EQ(WaitForSingleObject(event.Get(), 0), DWORD(WAIT_TIMEOUT)) << "handle was inherited";
}

TEST_F(Win32StartProgram, FailsForFilesThatAreNotPrograms) {
  for (const wchar_t* name : {L"notes.txt", L"fake.exe"}) {
    const std::wstring path = temp_ / name;
    wintest::WriteBytes(path, "not a program\r\n");
    EXPECT_FALSE(Native().StartProgram(path)) << Utf8(path);
  }
}

TEST_F(Win32StartProgram, FailsForMissingFilesAndFolders) {
  EXPECT_FALSE(Native().StartProgram(temp_ / L"missing.exe"));
  EXPECT_FALSE(Native().StartProgram(temp_ / L"missing\\Lumora.exe"));
  EXPECT_FALSE(Native().StartProgram(temp_.Path()));
  EXPECT_FALSE(Native().StartProgram(L""));
}

}  // namespace
