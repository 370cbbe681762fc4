// The Win32 binding: start-up (arguments, single instance, starting the
// product), the error box and the hidden form with its timer, and the
// binding itself.
#include <windows.h>

#include <vector>

#include "platform/win_binding.h"
#include "platform/win_elevation.h"

namespace platform {
namespace win {
namespace {

// Named in the session's own namespace: one Veltrin per logged-on user.
constexpr wchar_t kSingleInstanceMutex[] = L"Local\\Veltrin.SingleInstance";
// Named in the machine's namespace, seen from every session, and followed
// by a hash of the main path: one elevated Veltrin per installation.
constexpr wchar_t kMachineInstancePrefix[] = L"Global\\Veltrin.MainPath.";
constexpr wchar_t kHiddenFormClass[] = L"VeltrinHiddenForm";
constexpr UINT_PTR kTimerId = 1;

// The part of `command_line` after the program's name and the blanks that
// follow it, split the way the system splits it for WinMain: a name starting
// with a double quote runs to the next double quote (inclusive), any other
// name to the first blank or control character.
const wchar_t* SkipProgramName(const wchar_t* command_line) {
  const wchar_t* p = command_line;
  if (*p == L'"') {
    ++p;
    while (*p != L'\0' && *p != L'"')
      ++p;
    if (*p == L'"')
      ++p;
  } else {
    while (*p > L' ')
      ++p;
  }
  while (*p != L'\0' && *p <= L' ')
    ++p;
  return p;
}

}  // namespace

Text Win32Platform::ArgumentText() {
  return Text(SkipProgramName(GetCommandLineW()));
}

bool Win32Platform::ClaimSingleInstance() {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, kSingleInstanceMutex);
  const bool already_exists = GetLastError() == ERROR_ALREADY_EXISTS;
  // Kept open (never closed) while this process lives, even when another
  // instance created it first: the name stays claimed as long as any
  // instance is still running.
  single_instance_.Reset(mutex);
  return mutex != nullptr && !already_exists;
}

bool Win32Platform::ClaimMachineInstance(const Text& main_path) {
  // FNV-1a over the path's UTF-16 units, letters lower-cased by the
  // system's own mapping: one name for every case of one path. (Other
  // spellings of the same file, short names or other separators, give other
  // names; the product passes its path in the one spelling it runs from.)
  const Text folded = ToLower(main_path);
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const wchar_t unit : folded) {
    hash ^= uint16_t(unit);
    hash *= 0x100000001b3ULL;
  }
  constexpr size_t kPrefixChars = sizeof kMachineInstancePrefix / sizeof(wchar_t) - 1;
  wchar_t name[kPrefixChars + 17];
  for (size_t i = 0; i < kPrefixChars; ++i)
    name[i] = kMachineInstancePrefix[i];
  for (size_t i = 0; i < 16; ++i)
    name[kPrefixChars + i] = L"0123456789abcdef"[(hash >> (60 - 4 * i)) & 0xF];
  name[kPrefixChars + 16] = L'\0';
  // Created with this elevated token's default security: administrators
  // may open it, other users may not. A mutex that cannot be had at all
  // (one of that name another user made first) counts as claimed
  // elsewhere: this instance ends, changing nothing.
  HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
  const bool already_exists = GetLastError() == ERROR_ALREADY_EXISTS;
  machine_instance_.Reset(mutex);
  return mutex != nullptr && !already_exists;
}

Text Win32Platform::OwnExecutableDirectory() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
    if (length == 0)
      return Text();
    if (length < buffer.size()) {
      Text path(buffer.data(), length);
      const auto slash = path.find_last_of(L'\\');
      return slash == Text::npos ? Text() : path.substr(0, slash);
    }
    // Truncated: the path did not fit, try again with twice the room.
    if (buffer.size() >= kLongPathChars)
      return Text();
    buffer.resize(buffer.size() * 2);
  }
}

// The command line that starts exactly `path`: the path in quotes, no
// arguments. Assembled in a fixed buffer (the system takes no longer one):
// a rollback restarts the product without allocating, also when memory has
// run out. One thread, one start at a time. nullptr when it does not fit.
static wchar_t* QuotedCommandLine(const Text& path) {
  static wchar_t command[kLongPathChars];
  if (path.size() + 3 > kLongPathChars)
    return nullptr;
  command[0] = L'"';
  path.copy(command + 1, path.size());
  command[path.size() + 1] = L'"';
  command[path.size() + 2] = L'\0';
  return command;
}

bool Win32Platform::StartProgram(const Text& path) {
  // The executable is named explicitly, so the system never searches for it
  // and never runs a file named like the part of the path before a blank.
  wchar_t* const command = QuotedCommandLine(path);
  if (!command)
    return false;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(path.c_str(), command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &started))
    return false;
  // Not waited for: the program runs on after this one has ended.
  Handle thread(started.hThread);
  Handle process(started.hProcess);
  return true;
}

std::optional<bool> Win32Platform::IsElevated() {
  return TokenIsElevated();
}

UserStartOutcome Win32Platform::StartProgramAsDesktopUser(const Text& path) {
  wchar_t* const command = QuotedCommandLine(path);
  if (!command)
    return UserStartOutcome::kFailed;
  return StartAsDesktopUser(path.c_str(), command);
}

UserStartOutcome Win32Platform::StartProgramThroughShell(const Text& path) {
  return StartThroughDesktopShell(path.c_str());
}

void Win32Platform::DebugOutput(const Text& line) {
  OutputDebugStringW(line.c_str());
}

void Win32Platform::ShowErrorBox(const Text& caption, const Text& text) {
  // Top-most: a windowless program that starts after the product has
  // exited can seldom take the foreground, and a box behind other windows
  // may go unseen for hours.
  MessageBoxW(nullptr, text.c_str(), caption.c_str(),
              MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
}

bool Win32Platform::RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW form_class = {};
  form_class.lpfnWndProc = &Win32Platform::FormProc;
  form_class.hInstance = instance;
  form_class.lpszClassName = kHiddenFormClass;
  if (!RegisterClassW(&form_class) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    return false;
  on_tick_ = on_tick;
  // An ordinary top-level window that is never shown: no WS_VISIBLE and no
  // ShowWindow call, so it appears neither on screen nor in the taskbar.
  form_ = CreateWindowExW(0, kHiddenFormClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                          CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                          nullptr);
  if (!form_) {
    on_tick_ = nullptr;
    return false;
  }
  if (!SetTimer(form_, kTimerId, interval_ms, nullptr)) {
    DestroyWindow(form_);
    form_ = nullptr;
    on_tick_ = nullptr;
    return false;
  }
  MSG message;
  BOOL got;
  while ((got = GetMessageW(&message, nullptr, 0, 0)) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  on_tick_ = nullptr;
  // Zero: the quit message that StopTimer posted; -1: the loop itself failed.
  return got == 0;
}

void Win32Platform::StopTimer() {
  if (!form_)
    return;
  KillTimer(form_, kTimerId);
  DestroyWindow(form_);
  form_ = nullptr;
  PostQuitMessage(0);
}

void Win32Platform::Pause(unsigned ms) {
  Sleep(ms);
}

uint64_t Win32Platform::NowMs() {
  return GetTickCount64();
}

void Win32Platform::EndProcess(int code) {
  ExitProcess(UINT(code));
}

LRESULT CALLBACK Win32Platform::FormProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  // Ticks go to the caller even inside a nested message loop (a modal box
  // opened by a tick); the caller guards against re-entry itself.
  if (message == WM_TIMER && wparam == kTimerId && window == form_ && on_tick_) {
    on_tick_();
    return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace win

Platform& Native() {
  static win::Win32Platform binding;
  return binding;
}

}  // namespace platform
