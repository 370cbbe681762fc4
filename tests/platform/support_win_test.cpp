// Helpers shared by the Win32 binding tests, and this program's child modes.
#include "support_win_test.h"

#include <cstdio>
#include <cstdlib>

#include "platform/platform.h"

namespace wintest {
namespace {

using platform::win::Handle;

std::wstring Environment(const wchar_t* name) {
  wchar_t value[32768];
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length > 0 && length < 32768 ? std::wstring(value, length) : std::wstring();
}

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  {
    platform::win::FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (find) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
          continue;
        const std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(path);
        } else {
          SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
          // A program that has just ended may keep its file busy a moment.
          WaitUntil([&] { return DeleteFileW(path.c_str()) != 0; }, 3000);
        }
      } while (FindNextFileW(find.Get(), &found));
    }
  }
  SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryW(folder.c_str());
}

void WriteChildOutput(const std::wstring& text) {
  const std::wstring path = Environment(kChildOutputVariable);
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  WriteFile(file.Get(), text.data(), DWORD(text.size() * sizeof(wchar_t)), &written, nullptr);
}

std::wstring StartupInfoReport() {
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoW(&startup);
  wchar_t folder[32768];
  const DWORD folder_length = GetCurrentDirectoryW(32768, folder);
  return std::to_wstring(startup.dwFlags) + L"|" + std::to_wstring(startup.wShowWindow) + L"|" +
         std::wstring(folder, folder_length) + L"|" + GetCommandLineW() + L"|" +
         std::to_wstring(GetCurrentProcessId());
}

// Signals the parent's event through the handle value the parent named: that
// reaches the parent's event only if the handle was inherited.
void SignalThroughInheritedHandle() {
  const auto value = std::wcstoul(Environment(kChildHandleVariable).c_str(), nullptr, 10);
  if (value != 0)
    SetEvent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value)));
}

// Runs before any test when this program was started as a child.
struct ChildMode {
  ChildMode() {
    const std::wstring mode = Environment(kChildModeVariable);
    if (mode.empty())
      return;
    platform::Platform& os = platform::Native();
    if (mode == L"argument-text") {
      WriteChildOutput(os.ArgumentText());
    } else if (mode == L"own-directory") {
      WriteChildOutput(os.OwnExecutableDirectory());
    } else if (mode == L"claim") {
      WriteChildOutput(os.ClaimSingleInstance() ? L"1" : L"0");
    } else if (mode == L"claim-machine") {
      WriteChildOutput(os.ClaimMachineInstance(os.ArgumentText()) ? L"1" : L"0");
    } else if (mode == L"claim-and-hold") {
      WriteChildOutput(os.ClaimSingleInstance() ? L"1" : L"0");
      Handle release(OpenEventW(SYNCHRONIZE, FALSE, Environment(kChildEventVariable).c_str()));
      if (release)
        WaitForSingleObject(release.Get(), 30000);
    } else if (mode == L"startup-info") {
      SignalThroughInheritedHandle();
      WriteChildOutput(StartupInfoReport());
    } else {
      ExitProcess(99);
    }
    ExitProcess(0);
  }
} child_mode;

}  // namespace

TempFolder::TempFolder() {
  static unsigned counter = 0;
  wchar_t temp[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, length);
  if (!base.empty() && base.back() == L'\\')
    base.pop_back();
  path_ = base + L"\\veltrin-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
          std::to_wstring(++counter) + L"-" + std::to_wstring(GetTickCount64());
  EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr)) << Utf8(path_);
}

TempFolder::~TempFolder() {
  RemoveTree(Extended(path_));
  EXPECT_FALSE(Exists(Extended(path_))) << "left behind: " << Utf8(path_);
}

std::wstring Extended(const std::wstring& path) {
  return path.rfind(L"\\\\?\\", 0) == 0 ? path : L"\\\\?\\" + path;
}

void MakeFolders(const std::wstring& path) {
  const std::wstring extended = Extended(path);
  if (Exists(extended))
    return;
  const auto slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos)
    MakeFolders(path.substr(0, slash));
  ASSERT_TRUE(CreateDirectoryW(extended.c_str(), nullptr)) << Utf8(path);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file) << Utf8(path) << " error " << GetLastError();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file.Get(), bytes.data(), DWORD(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
}

std::string ReadBytes(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file)
    return "<missing>";
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0)
    bytes.append(chunk, got);
  return bytes;
}

std::string Utf8(const std::wstring& text) {
  const int bytes =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), bytes, nullptr,
                      nullptr);
  return out;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), int(a.size()), b.data(), int(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FromBuildPath(const char* path) {
  std::wstring wide;
  for (const char* p = path; *p != '\0'; ++p)
    wide += *p == '/' ? L'\\' : wchar_t(static_cast<unsigned char>(*p));
  if (!wide.empty() && wide[0] == L'\\')
    wide = L"Z:" + wide;
  return wide;
}

std::wstring FixtureExe(const wchar_t* file_name) {
  return FromBuildPath(VELTRIN_FIXTURE_DIR) + L"\\" + file_name;
}

std::wstring VeltrinExe() {
  static const std::wstring exe = [] {
    const char* other = std::getenv("VELTRIN_EXE_UNDER_TEST");
    if (!other || *other == '\0')
      return FromBuildPath(VELTRIN_EXE);
    // Said once, so that a run can show which file it tested.
    std::fprintf(stderr, "Veltrin under test: %s\n", other);
    return FromBuildPath(other);
  }();
  return exe;
}

std::wstring OwnExe() {
  std::vector<wchar_t> buffer(32768);
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), DWORD(buffer.size()));
  return std::wstring(buffer.data(), length);
}

bool RunningProcess::Running() const {
  return process_ && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

bool RunningProcess::WaitEnded(DWORD timeout_ms) const {
  return process_ && WaitForSingleObject(process_.Get(), timeout_ms) == WAIT_OBJECT_0;
}

void RunningProcess::End() {
  if (!process_)
    return;
  if (Running())
    TerminateProcess(process_.Get(), 0);
  WaitForSingleObject(process_.Get(), 10000);
  process_.Reset();
}

RunningProcess Start(const std::wstring& exe, const std::wstring& command_line) {
  std::wstring command = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started)) {
    ADD_FAILURE() << "cannot start " << Utf8(exe) << ": error " << GetLastError();
    return RunningProcess();
  }
  CloseHandle(started.hThread);
  return RunningProcess(started.hProcess, started.dwProcessId);
}

RunningProcess Adopt(DWORD pid) {
  HANDLE process =
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  return process ? RunningProcess(process, pid) : RunningProcess();
}

ScopedEnvironment::ScopedEnvironment(std::vector<std::pair<std::wstring, std::wstring>> values)
    : values_(std::move(values)) {
  for (const auto& [name, value] : values_)
    SetEnvironmentVariableW(name.c_str(), value.c_str());
}

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : values_)
    SetEnvironmentVariableW(name.c_str(), nullptr);
}

std::wstring WaitForChildOutput(const std::wstring& path, DWORD timeout_ms) {
  std::string bytes;
  WaitUntil(
      [&] {
        bytes = ReadBytes(path);
        return bytes != "<missing>" && !bytes.empty();
      },
      timeout_ms);
  if (bytes == "<missing>")
    return std::wstring();
  return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()),
                      bytes.size() / sizeof(wchar_t));
}

ChildResult RunChild(const std::wstring& exe,
                     const std::wstring& mode,
                     const std::wstring& command_line,
                     const TempFolder& temp) {
  static unsigned counter = 0;
  const std::wstring output = temp / (L"child-" + std::to_wstring(++counter) + L".out");
  RunningProcess child;
  {
    ScopedEnvironment environment({{kChildModeVariable, mode}, {kChildOutputVariable, output}});
    child = Start(exe, command_line);
  }
  ChildResult result;
  result.ended = child.WaitEnded(20000);
  DWORD exit_code = 1;
  GetExitCodeProcess(child.Get(), &exit_code);
  EXPECT_EQ(exit_code, 0u) << "child mode " << Utf8(mode);
  result.output = WaitForChildOutput(output, 0);
  return result;
}

}  // namespace wintest
