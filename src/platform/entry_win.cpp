// The Windows entry points: the image's own, which seeds the stack guard
// before anything else runs, and wWinMain, which hardens DLL loading,
// installs the Win32 binding and hands over to MMain.
#include <windows.h>

#include <cstdint>

#include "platform/platform.h"
#include "startup/mmain.h"

// The C runtime's start-up (static constructors, the command line, then
// wWinMain), the image's entry point had it not been replaced.
extern "C" int WinMainCRTStartup();
// The guard that the stack protector's checks compare (runtime_win.cpp).
extern "C" void* __stack_chk_guard;

namespace {

// Seeds the stack guard from what the process can read without loading any
// DLL (kernel32 is in every process from its start), as the system's own C
// runtime seeds its security cookie: the time, the process and thread ids,
// the tick count, the performance counter, and the addresses where ASLR put
// the stack and the image. Not a secret against someone who can watch the
// process start, but different in every process, which is what stops an
// overflow from forging the guard. Runs before any function with a checked
// frame has been entered, and is not checked itself.
__attribute__((no_stack_protector)) void SeedStackGuard() {
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  LARGE_INTEGER counter = {};
  QueryPerformanceCounter(&counter);
  uint64_t seed = (uint64_t(now.dwHighDateTime) << 32) ^ now.dwLowDateTime;
  seed ^= uint64_t(GetCurrentProcessId()) << 16;
  seed ^= uint64_t(GetCurrentThreadId()) << 40;
  seed ^= GetTickCount64() << 24;
  seed ^= uint64_t(counter.QuadPart) ^ (uint64_t(counter.QuadPart) << 32);
  seed ^= uint64_t(reinterpret_cast<uintptr_t>(&counter));
  seed ^= uint64_t(reinterpret_cast<uintptr_t>(&__stack_chk_guard)) << 12;
  uintptr_t guard = uintptr_t(seed ^ (seed >> 32));
  // Never zero, which would read as "not seeded".
  if (guard == 0)
    guard = uintptr_t(0x2B992DDFA232ull);
  __stack_chk_guard = reinterpret_cast<void*>(guard);
}

// Restricts every later DLL load to the system folder, so that no DLL placed
// beside this program (in a download or update folder) is ever loaded. Looked
// up at run time: systems without the update that adds it simply go on.
void RestrictDllSearchToSystem() {
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (!kernel32)
    return;
  const FARPROC found = GetProcAddress(kernel32, "SetDefaultDllDirectories");
  if (!found)
    return;
  // GetProcAddress hands back a generic pointer; it is this function's.
  const auto set_default_dll_directories =
      reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(found));
  set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

// The image's entry point (the link names it): the guard is seeded before the
// C runtime starts, whose constructors may already run checked functions,
// and long before wWinMain restricts where DLLs may come from.
extern "C" __attribute__((no_stack_protector)) int VeltrinStart() {
  SeedStackGuard();
  return WinMainCRTStartup();
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem();
  platform::SetOs(&platform::Native());
  MMain::Main();
  return 0;
}
