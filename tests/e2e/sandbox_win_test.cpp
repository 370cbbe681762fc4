// The sandbox, the program's start and the error boxes for the whole-update
// tests under Windows.
#include "sandbox_win_test.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace e2e {
namespace {

using platform::win::Handle;
using wintest::Utf8;

std::wstring ClassName(HWND window) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(window, name, 256);
  return std::wstring(name, size_t(length));
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  const int length = GetWindowTextW(window, text, 1024);
  return std::wstring(text, size_t(length));
}

std::wstring ImagePath(DWORD pid) {
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process)
    return std::wstring();
  std::vector<wchar_t> buffer(32768);
  DWORD size = DWORD(buffer.size());
  if (!QueryFullProcessImageNameW(process.Get(), 0, buffer.data(), &size))
    return std::wstring();
  return std::wstring(buffer.data(), size);
}

// The visible top-level windows of one process.
struct VisibleWindows {
  DWORD pid;
  std::vector<HWND> found;
};

BOOL CALLBACK CollectVisible(HWND window, LPARAM param) {
  auto* windows = reinterpret_cast<VisibleWindows*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == windows->pid && IsWindowVisible(window))
    windows->found.push_back(window);
  return TRUE;
}

struct ButtonCount {
  int count = 0;
  HWND last = nullptr;
};

BOOL CALLBACK CountButtons(HWND child, LPARAM param) {
  auto* buttons = reinterpret_cast<ButtonCount*>(param);
  if (ClassName(child) == L"Button" && IsWindowVisible(child)) {
    ++buttons->count;
    buttons->last = child;
  }
  return TRUE;
}

}  // namespace

const wchar_t kCaption[] = L"Lumora安装辅助程序";
const BoxText kBackupFailed = {L"升级失败，无法备份主程序。", L"请稍候再尝试重新升级。"};
const BoxText kReplaceFailed = {L"升级失败，无法替换新版本的主程序。", L"请稍候再尝试重新升级。"};
const BoxText kStartFailed = {L"升级失败，无法启动新版本。",
                              L"可能文件未正常下载，请稍后再次尝试升级。"};
const BoxText kNotRunning = {
    L"新版本的主程序未正常启动，可能下载的文件不全或者升级安装过程中退出。",
    L"请稍后再次尝试升级。"};

std::vector<Started> ReadLog(const std::wstring& log) {
  std::vector<Started> lines;
  std::istringstream in(wintest::ReadBytes(log));
  std::string line;
  while (std::getline(in, line)) {
    // "<version> <path> <pid>": the path may hold blanks.
    const size_t first = line.find(' '), last = line.rfind(' ');
    if (first == std::string::npos || first == last)
      continue;
    lines.push_back({line.substr(0, first), line.substr(first + 1, last - first - 1),
                     DWORD(std::strtoul(line.c_str() + last + 1, nullptr, 10))});
  }
  return lines;
}

std::wstring Quoted(const std::wstring& path) {
  return L"\"" + path + L"\"";
}

std::wstring FolderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::vector<DWORD> ProcessesInside(const std::wstring& folder) {
  std::vector<DWORD> pids;
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot)
    return pids;
  const std::wstring prefix = folder + L"\\";
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId())
      continue;
    const std::wstring image = ImagePath(entry.th32ProcessID);
    if (image.size() > prefix.size() &&
        wintest::SameNameIgnoringCase(image.substr(0, prefix.size()), prefix))
      pids.push_back(entry.th32ProcessID);
  }
  return pids;
}

void EndProcessesInside(const std::wstring& folder) {
  // A program being ended may have started another one a moment before.
  for (int round = 0; round < 5; ++round) {
    const std::vector<DWORD> pids = ProcessesInside(folder);
    if (pids.empty())
      return;
    for (const DWORD pid : pids) {
      Handle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
      if (!process)
        continue;
      TerminateProcess(process.Get(), 1);
      WaitForSingleObject(process.Get(), 10000);
    }
  }
}

bool VeltrinRun::AnswerBox(const BoxText& expected, DWORD timeout_ms) const {
  const DWORD pid = Pid();
  HWND box = nullptr;
  // The hidden form has the same title: only the dialog class is the box.
  // It exists (hidden) a moment before it is shown, while it is laid out.
  const bool shown = wintest::WaitUntil(
      [&] {
        box = FindWindowW(L"#32770", kCaption);
        DWORD owner = 0;
        return box && GetWindowThreadProcessId(box, &owner) && owner == pid && IsWindowVisible(box);
      },
      timeout_ms);
  if (!shown) {
    ADD_FAILURE() << "no error box came up; expected " << Utf8(expected.first);
    return false;
  }
  EXPECT_EQ(Utf8(WindowText(box)), Utf8(kCaption));
  wchar_t text[1024] = {};
  const UINT length = GetDlgItemTextW(box, 0xFFFF, text, 1024);
  EXPECT_EQ(Utf8(std::wstring(text, length)), Utf8(expected.first + L"\r\n\r\n" + expected.second));
  ButtonCount buttons;
  EnumChildWindows(box, &CountButtons, reinterpret_cast<LPARAM>(&buttons));
  EXPECT_EQ(buttons.count, 1);
  EXPECT_EQ(GetDlgCtrlID(buttons.last), IDOK);
  // Left up until the window watch has noted it too, so that what the watch
  // reports is complete.
  EXPECT_TRUE(windows->WaitForVisible(L"#32770", 5000));
  // What clicking OK sends the box.
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(wintest::WaitUntil([&] { return !IsWindow(box); }, 10000)) << "the box stayed";
  return true;
}

WindowWatch::WindowWatch(DWORD pid) : pid_(pid), thread_([this] { Look(); }) {}

WindowWatch::~WindowWatch() {
  stop_ = true;
  thread_.join();
}

std::vector<std::wstring> WindowWatch::VisibleClasses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return visible_;
}

bool WindowWatch::WaitForVisible(const std::wstring& window_class, DWORD timeout_ms) const {
  return wintest::WaitUntil(
      [&] {
        const std::vector<std::wstring> seen = VisibleClasses();
        return std::find(seen.begin(), seen.end(), window_class) != seen.end();
      },
      timeout_ms);
}

void WindowWatch::Look() {
  Handle process(OpenProcess(SYNCHRONIZE, FALSE, pid_));
  while (!stop_) {
    VisibleWindows windows{pid_, {}};
    EnumWindows(&CollectVisible, reinterpret_cast<LPARAM>(&windows));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const HWND window : windows.found) {
        const std::wstring name = ClassName(window);
        if (std::find(visible_.begin(), visible_.end(), name) == visible_.end())
          visible_.push_back(name);
      }
    }
    if (!process || WaitForSingleObject(process.Get(), 20) != WAIT_TIMEOUT)
      return;
  }
}

long VeltrinRun::Finish(DWORD timeout_ms) {
  if (!process.WaitEnded(timeout_ms))
    return -1;
  DWORD code = 0;
  GetExitCodeProcess(process.Get(), &code);
  return long(code);
}

void VeltrinRun::ExpectNoVisibleWindow() const {
  for (const std::wstring& name : windows->VisibleClasses())
    ADD_FAILURE() << "a visible window of class " << Utf8(name);
}

void VeltrinRun::ExpectOnlyTheBoxVisible() const {
  EXPECT_EQ(windows->VisibleClasses(), std::vector<std::wstring>{L"#32770"});
}

void CopyInto(const std::wstring& from, const std::wstring& to) {
  wintest::MakeFolders(FolderOf(to));
  ASSERT_TRUE(CopyFileW(from.c_str(), to.c_str(), FALSE))
      << Utf8(from) << " -> " << Utf8(to) << " error " << GetLastError();
}

Sandbox::Sandbox() {
  install_ = temp_ / L"Lumora 安装";
  main_ = install_ + L"\\app.exe";
  backup_ = main_ + L".bak";
  download_ = temp_ / L"新版 下载\\app.exe";
  veltrin_ = install_ + L"\\Veltrin.exe";
  CopyInto(wintest::FixtureExe(L"product_v1.exe"), main_);
  CopyInto(wintest::FixtureExe(L"product_v2.exe"), download_);
  CopyInto(wintest::VeltrinExe(), veltrin_);
  v1_ = wintest::ReadBytes(main_);
  v2_ = wintest::ReadBytes(download_);
  Know("v1", v1_);
  Know("v2", v2_);
}

Sandbox::~Sandbox() {
  EndProcessesInside(temp_.Path());
}

std::string Sandbox::Holds(const std::wstring& path) const {
  const std::string bytes = wintest::ReadBytes(path);
  if (bytes == "<missing>")
    return bytes;
  for (const auto& [name, known] : known_) {
    if (bytes == known)
      return name;
  }
  const bool printable = std::all_of(bytes.begin(), bytes.end(), [](char c) {
    return (c >= ' ' && c < 127) || c == '\r' || c == '\n';
  });
  if (printable && bytes.size() < 200)
    return bytes;
  std::ostringstream other;
  other << "<" << bytes.size() << " other bytes>";
  return other.str();
}

VeltrinRun Sandbox::StartVeltrin(const std::wstring& arguments, const std::wstring& program) {
  const std::wstring exe = program.empty() ? veltrin_ : program;
  VeltrinRun run;
  run.process = wintest::Start(exe, Quoted(exe) + L" " + arguments);
  run.windows = std::make_unique<WindowWatch>(run.process.Pid());
  return run;
}

bool Sandbox::WaitForLog(size_t lines, DWORD timeout_ms) const {
  return wintest::WaitUntil([&] { return ProductLog().size() >= lines; }, timeout_ms);
}

wintest::RunningProcess Sandbox::StartProduct() {
  const size_t before = ProductLog().size();
  wintest::RunningProcess product = wintest::Start(main_, Quoted(main_));
  EXPECT_TRUE(WaitForLog(before + 1)) << "the installed version did not come up";
  return product;
}

void Sandbox::ExpectOldVersionRestored() const {
  EXPECT_EQ(Holds(main_), "v1");
  EXPECT_EQ(Holds(backup_), "v1");
  EXPECT_TRUE(wintest::WaitUntil(
      [&] {
        const std::vector<Started> log = ProductLog();
        return !log.empty() && log.back().version == "v1";
      },
      20000));
  const std::vector<Started> log = ProductLog();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().version, "v1");
  EXPECT_EQ(log.back().path, Utf8(main_));
}

}  // namespace e2e
