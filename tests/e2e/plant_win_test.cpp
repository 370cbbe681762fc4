// DLL planting: libraries named like system ones, placed beside Veltrin.exe
// (say, by whoever can write to the folder it runs from), must never be loaded
// by it. Wine prefers its own built-in libraries for most of these names; the
// WINEDLLOVERRIDES this test runs with make it search a program's folder
// first, as Windows does. Wine reads them from the environment it was started
// with (CTest sets it), not from the block a Windows parent hands a child.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sandbox_win_test.h"

namespace {

using e2e::Quoted;
using wintest::FixtureExe;
using wintest::Utf8;

const wchar_t* const kPlanted[] = {L"psapi.dll", L"dwmapi.dll", L"winmm.dll", L"wtsapi32.dll",
                                   L"userenv.dll"};

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

std::wstring Variable(const wchar_t* name) {
  wchar_t value[4096];
  const DWORD length = GetEnvironmentVariableW(name, value, 4096);
  return length > 0 && length < 4096 ? std::wstring(value, length) : std::wstring();
}

// The "<library>.loaded" markers the planted libraries left in `folder`,
// sorted.
std::vector<std::string> Markers(const std::wstring& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  platform::win::FindHandle find(FindFirstFileW((folder + L"\\*.loaded").c_str(), &found));
  if (find) {
    do {
      names.push_back(Utf8(found.cFileName));
    } while (FindNextFileW(find.Get(), &found));
  }
  std::sort(names.begin(), names.end());
  return names;
}

class DllPlanting : public e2e::Sandbox {
 protected:
  DllPlanting() {
    // The program in a folder of its own with the planted libraries, so that
    // a marker can only come from it: the product it restarts runs from the
    // installation folder.
    e2e::CopyInto(veltrin_, planted_veltrin_);
    for (const wchar_t* library : kPlanted) {
      e2e::CopyInto(FixtureExe((std::wstring(L"planted\\") + library).c_str()),
                    helper_ + L"\\" + library);
    }
  }

  const std::wstring helper_ = temp_ / L"helper";
  const std::wstring planted_veltrin_ = helper_ + L"\\Veltrin.exe";
};

TEST_F(DllPlanting, NoLibraryBesideTheProgramIsLoadedWhileAControlProgramLoadsThemAll) {
  if (UnderWine()) {
    ASSERT_EQ(Utf8(Variable(L"WINEDLLOVERRIDES")), "psapi,dwmapi,winmm,wtsapi32,userenv=n,b")
        << "run through CTest, which sets the overrides";
  }

  // A whole update that ends in the replace-failed box and the restart of
  // the old version: the program goes through all its stages.
  ASSERT_TRUE(DeleteFileW(download_.c_str()));
  {
    e2e::VeltrinRun run = StartVeltrin(ProductArguments(), planted_veltrin_);
    EXPECT_TRUE(run.AnswerBox(e2e::kReplaceFailed));
    EXPECT_EQ(run.Finish(), 0);
  }
  ExpectOldVersionRestored();
  EXPECT_EQ(Markers(helper_), std::vector<std::string>{});

  // The control: the same libraries, folder and overrides, and a program
  // that loads them by name does load every one of them from there.
  const std::wstring loader = helper_ + L"\\plant_loader.exe";
  e2e::CopyInto(FixtureExe(L"planted\\plant_loader.exe"), loader);
  std::wstring names;
  std::vector<std::string> expected;
  for (const wchar_t* library : kPlanted) {
    names += std::wstring(L" ") + library;
    expected.push_back(Utf8(library) + ".loaded");
  }
  std::sort(expected.begin(), expected.end());
  wintest::RunningProcess control = wintest::Start(loader, Quoted(loader) + names);
  ASSERT_TRUE(control.WaitEnded(20000));
  DWORD not_loaded = 0;
  GetExitCodeProcess(control.Get(), &not_loaded);
  EXPECT_EQ(not_loaded, 0u);
  EXPECT_EQ(Markers(helper_), expected);
}

}  // namespace
