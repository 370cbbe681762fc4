// The Win32 binding: processes.
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/win_binding.h"

namespace platform::win {
namespace {

// The module list asked for when looking up a process's image: the first
// entry is the executable, so a short list is enough.
constexpr DWORD kModuleListBytes = 200;

Text ModuleImagePath(HANDLE process) {
  HMODULE modules[kModuleListBytes / sizeof(HMODULE)] = {};
  DWORD needed = 0;
  if (!K32EnumProcessModules(process, modules, kModuleListBytes, &needed) || needed == 0)
    return Text();
  std::vector<wchar_t> buffer(kLongPathChars);
  const DWORD written = K32GetModuleFileNameExW(process, modules[0], buffer.data(), kLongPathChars);
  return Text(buffer.data(), written);
}

Text QueriedImagePath(HANDLE process) {
  std::vector<wchar_t> buffer(kLongPathChars);
  DWORD size = kLongPathChars;
  if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &size))
    return Text();
  return Text(buffer.data(), size);
}

// The image path of `process` as ProcessImagePath reports it, through a
// handle opened with either access: the module list where the handle may
// read it, else the limited query.
Text ImagePathOf(HANDLE process) {
  Text path = ModuleImagePath(process);
  return path.empty() ? QueriedImagePath(process) : path;
}

}  // namespace

std::vector<ProcessEntry> Win32Platform::SnapshotProcesses(uint32_t flags) {
  std::vector<ProcessEntry> entries;
  Handle snapshot(CreateToolhelp32Snapshot(flags, 0));
  if (!snapshot)
    return entries;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
       more = Process32NextW(snapshot.Get(), &entry)) {
    // The whole field, NUL and all: the caller decides where the name ends.
    entries.push_back({entry.th32ProcessID, Text(entry.szExeFile, MAX_PATH)});
  }
  return entries;
}

uint32_t Win32Platform::CurrentProcessId() {
  return GetCurrentProcessId();
}

std::optional<uint32_t> Win32Platform::ProcessSessionId(uint32_t pid) {
  DWORD session = 0;
  if (!ProcessIdToSessionId(pid, &session))
    return std::nullopt;
  return session;
}

Text Win32Platform::ProcessImagePath(uint32_t pid, uint32_t access) {
  {
    Handle process(OpenProcess(access, FALSE, pid));
    if (process) {
      Text path = ModuleImagePath(process.Get());
      if (!path.empty())
        return path;
    }
  }
  // The module list is out of reach for a 32-bit caller looking at a 64-bit
  // process, and the access asked for is refused for an elevated one; the
  // limited query needs neither.
  Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  return process ? QueriedImagePath(process.Get()) : Text();
}

TerminateOutcome Win32Platform::TerminateProcessById(uint32_t pid,
                                                     uint32_t access,
                                                     uint32_t exit_code) {
  Handle process(OpenProcess(access, FALSE, pid));
  if (!process)
    return TerminateOutcome::kOpenFailed;
  return TerminateProcess(process.Get(), exit_code) ? TerminateOutcome::kTerminated
                                                    : TerminateOutcome::kTerminateFailed;
}

TerminateOutcome Win32Platform::TerminateIfMatching(uint32_t pid,
                                                    uint32_t access,
                                                    uint32_t exit_code,
                                                    const ProcessCheck& check) {
  Handle process(OpenProcess(access, FALSE, pid));
  if (!process)
    return TerminateOutcome::kOpenFailed;
  ProcessIdentity found;
  found.image = ImagePathOf(process.Get());
  // By id, but the id is this process's: the system gives no id of a
  // process to another while a handle to it is open, even once it has
  // ended.
  DWORD session = 0;
  if (ProcessIdToSessionId(pid, &session))
    found.session = session;
  if (!check(found))
    return TerminateOutcome::kNotMatching;
  return TerminateProcess(process.Get(), exit_code) ? TerminateOutcome::kTerminated
                                                    : TerminateOutcome::kTerminateFailed;
}

void Win32Platform::EnableDebugPrivilege() {
  HANDLE raw_token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw_token))
    return;
  Handle token(raw_token);
  TOKEN_PRIVILEGES wanted = {};
  wanted.PrivilegeCount = 1;
  wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  // On failure the LUID stays zero and the adjustment below simply fails;
  // neither outcome changes what the caller does next.
  LookupPrivilegeValueW(L"", L"SeDebugPrivilege", &wanted.Privileges[0].Luid);
  TOKEN_PRIVILEGES previous = {};
  DWORD previous_length = 0;
  AdjustTokenPrivileges(token.Get(), FALSE, &wanted, sizeof wanted, &previous, &previous_length);
}

Text Win32Platform::ToLower(const Text& s) {
  Text lower = s;
  if (!lower.empty())
    CharLowerBuffW(lower.data(), DWORD(lower.size()));
  return lower;
}

}  // namespace platform::win
