// The Win32 binding's error box and hidden timer window, driven on this
// thread while a helper thread looks at and answers the windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support_win_test.h"

namespace {

using platform::Native;
using wintest::Utf8;

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(window, name, 256);
  return std::wstring(name, length);
}

// A caption no other window has.
std::wstring UniqueTitle(const wchar_t* base) {
  static unsigned counter = 0;
  return std::wstring(base) + L" " + std::to_wstring(GetCurrentProcessId()) + L"." +
         std::to_wstring(++counter);
}

// The message box the helper thread found, as it saw it.
struct SeenBox {
  bool found = false;
  std::wstring class_name;
  std::wstring text;
  DWORD thread = 0;
  bool visible = false;
  HWND owner = nullptr;
  int buttons = 0;
  HICON icon = nullptr;
};

BOOL CALLBACK CloseWindow(HWND window, LPARAM) {
  PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

// Waits for the box titled `caption`, notes what it shows and presses OK.
// Gives up after 10 s and then closes whatever window `thread` has, so that a
// missing box cannot hang the test.
SeenBox AnswerBox(const std::wstring& caption, DWORD thread) {
  SeenBox seen;
  HWND box = nullptr;
  // Found once shown: it exists (hidden) a moment earlier, while it is laid out.
  seen.found = wintest::WaitUntil(
      [&] {
        box = FindWindowW(nullptr, caption.c_str());
        return box && IsWindowVisible(box);
      },
      10000);
  if (!seen.found) {
    EnumThreadWindows(thread, &CloseWindow, 0);
    return seen;
  }
  seen.class_name = ClassName(box);
  wchar_t text[1024] = {};
  const UINT length = GetDlgItemTextW(box, 0xFFFF, text, 1024);
  seen.text.assign(text, length);
  seen.thread = GetWindowThreadProcessId(box, nullptr);
  seen.visible = IsWindowVisible(box) != FALSE;
  seen.owner = GetWindow(box, GW_OWNER);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassName(child) == L"Button" && IsWindowVisible(child))
      ++seen.buttons;
  }
  // The icon control: 20 on Windows, 0x440 in Wine.
  for (const int id : {20, 0x440}) {
    if (const HWND icon = GetDlgItem(box, id))
      seen.icon = reinterpret_cast<HICON>(SendMessageW(icon, STM_GETICON, 0, 0));
  }
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return seen;
}

// --- ShowErrorBox -------------------------------------------------------------------

TEST(Win32ErrorBox, ShowsTheTextAndCaptionModallyUntilOkIsPressed) {
  const std::wstring caption = UniqueTitle(L"Lumora \x66f4\x65b0");  // "update"
  const std::wstring text = L"\x66f4\x65b0\x5931\x8d25\x3002\r\nC:\\Program Files\\Lumora";
  const DWORD this_thread = GetCurrentThreadId();
  SeenBox seen;
  std::thread helper([&] { seen = AnswerBox(caption, this_thread); });
  Native().ShowErrorBox(caption, text);
  helper.join();

  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.class_name, L"#32770");  // the system's dialog class
  EXPECT_EQ(seen.text, text);
  EXPECT_EQ(seen.thread, this_thread);
  EXPECT_TRUE(seen.visible);
  EXPECT_EQ(seen.owner, nullptr);
  EXPECT_EQ(seen.buttons, 1);  // OK alone
  EXPECT_EQ(seen.icon, LoadIconW(nullptr, IDI_ERROR));
  // Gone once it has returned.
  EXPECT_EQ(FindWindowW(nullptr, caption.c_str()), nullptr);
}

// --- RunTimer / StopTimer -------------------------------------------------------------

// What the tick callback saw; plain globals, as the callback is a bare function.
struct TickLog {
  std::wstring title;
  int stop_after = 0;
  std::vector<ULONGLONG> times;
  HWND window = nullptr;
  bool window_visible = true;
  DWORD window_thread = 0;
  int depth = 0;
  int max_depth = 0;
  bool show_box_on_first_tick = false;
  int ticks_during_box = 0;
};
TickLog g_log;

void OnTick() {
  g_log.times.push_back(GetTickCount64());
  ++g_log.depth;
  g_log.max_depth = std::max(g_log.max_depth, g_log.depth);
  if (g_log.times.size() == 1) {
    g_log.window = FindWindowW(nullptr, g_log.title.c_str());
    g_log.window_visible = IsWindowVisible(g_log.window) != FALSE;
    g_log.window_thread = GetWindowThreadProcessId(g_log.window, nullptr);
    if (g_log.show_box_on_first_tick) {
      // The box's own message loop goes on delivering ticks to this callback.
      const std::wstring caption = UniqueTitle(L"Tick box");
      const DWORD this_thread = GetCurrentThreadId();
      std::thread helper([&] {
        wintest::WaitUntil([] { return g_log.times.size() >= 4; }, 10000);
        AnswerBox(caption, this_thread);
      });
      const size_t before = g_log.times.size();
      Native().ShowErrorBox(caption, L"tick");
      helper.join();
      g_log.ticks_during_box = int(g_log.times.size() - before);
    }
  }
  if (int(g_log.times.size()) == g_log.stop_after)
    Native().StopTimer();
  --g_log.depth;
}

class Win32Timer : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log = TickLog();
    g_log.title = UniqueTitle(L"Veltrin hidden form");
  }
};

TEST_F(Win32Timer, TicksAtTheIntervalUntilATickStopsIt) {
  g_log.stop_after = 5;
  constexpr unsigned kInterval = 50;
  const ULONGLONG started = GetTickCount64();
  EXPECT_TRUE(Native().RunTimer(g_log.title, kInterval, &OnTick));
  const ULONGLONG returned = GetTickCount64();

  ASSERT_EQ(g_log.times.size(), 5u);
  // A timer never fires early (allowing for the clock's 16 ms steps), and
  // five ticks come well within a few seconds even on a slow system.
  EXPECT_GE(g_log.times.front() - started, kInterval - 16);
  EXPECT_GE(g_log.times.back() - started, 5 * kInterval - 16);
  EXPECT_LT(returned - started, 5000u);
  for (size_t i = 1; i < g_log.times.size(); ++i)
    EXPECT_GE(g_log.times[i] - g_log.times[i - 1], kInterval - 16) << "tick " << i;
  EXPECT_EQ(g_log.max_depth, 1);
}

TEST_F(Win32Timer, HostsTheTicksInAHiddenWindowOfThisThread) {
  g_log.stop_after = 1;
  EXPECT_TRUE(Native().RunTimer(g_log.title, 10, &OnTick));
  ASSERT_NE(g_log.window, nullptr);
  EXPECT_FALSE(g_log.window_visible);
  EXPECT_EQ(g_log.window_thread, GetCurrentThreadId());
  // Destroyed once RunTimer has returned.
  EXPECT_FALSE(IsWindow(g_log.window));
  EXPECT_EQ(FindWindowW(nullptr, g_log.title.c_str()), nullptr);
}

TEST_F(Win32Timer, StopsTickingOnceStopped) {
  g_log.stop_after = 2;
  EXPECT_TRUE(Native().RunTimer(g_log.title, 10, &OnTick));
  EXPECT_EQ(g_log.times.size(), 2u);
  // Messages of this thread go on being handled; no late tick arrives.
  const ULONGLONG until = GetTickCount64() + 200;
  MSG message;
  while (GetTickCount64() < until) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
      DispatchMessageW(&message);
    Sleep(10);
  }
  EXPECT_EQ(g_log.times.size(), 2u);
}

TEST_F(Win32Timer, CanRunAgainAfterStopping) {
  for (int run = 0; run < 3; ++run) {
    SCOPED_TRACE(run);
    g_log = TickLog();
    g_log.title = UniqueTitle(L"Veltrin hidden form");
    g_log.stop_after = 1;
    EXPECT_TRUE(Native().RunTimer(g_log.title, 10, &OnTick));
    EXPECT_EQ(g_log.times.size(), 1u);
  }
}

TEST_F(Win32Timer, DeliversTicksInsideAModalBoxOpenedByATick) {
  g_log.show_box_on_first_tick = true;
  g_log.stop_after = 6;
  EXPECT_TRUE(Native().RunTimer(g_log.title, 20, &OnTick));
  // The ticks that arrived while the first one was still showing its box:
  // the caller, not the binding, must guard against such re-entry.
  EXPECT_GE(g_log.ticks_during_box, 3);
  EXPECT_EQ(g_log.max_depth, 2);
  EXPECT_GE(g_log.times.size(), 6u);
}

TEST(Win32StopTimer, DoesNothingWithoutARunningTimer) {
  Native().StopTimer();
  // No quit message was posted: a later timer still runs normally.
  g_log = TickLog();
  g_log.title = UniqueTitle(L"Veltrin hidden form");
  g_log.stop_after = 2;
  EXPECT_TRUE(Native().RunTimer(g_log.title, 10, &OnTick));
  EXPECT_EQ(g_log.times.size(), 2u);
}

}  // namespace
