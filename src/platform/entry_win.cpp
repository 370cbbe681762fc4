// The Windows entry points: the image's own, which is the whole start-up
// (it seeds the stack guard, runs the static constructors and ends the process
// with wWinMain's result), and wWinMain, which hardens DLL loading, installs
// the Win32 binding and hands over to MMain.
#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "platform/platform.h"
#include "startup/mmain.h"

// The static constructors as the linker lists them: a count (or -1), the
// functions, then a null entry.
extern "C" void (*__CTOR_LIST__[])();
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

// Runs the static constructors, last listed first, as GCC's own start-up
// does.
void RunStaticConstructors() {
  std::size_t count = 0;
  while (__CTOR_LIST__[count + 1])
    ++count;
  for (std::size_t i = count; i > 0; --i)
    __CTOR_LIST__[i]();
}

}  // namespace

// The image's entry point (the link names it), in place of the C runtime's
// start-up, which is not linked: the program reads its own command line
// (GetCommandLineW), keeps no thread-local data, imports no data from a DLL
// (the link refuses that) and raises nothing, so what that start-up adds
// (argument vectors, the floating-point mode, signal and math-error
// handlers, the TLS directory, the pseudo-relocation fixer, the registration
// of DWARF unwind tables) would only be dead weight. msvcrt.dll initialises
// itself when it is loaded. The guard is seeded before the constructors, which may already
// run checked functions, and long before wWinMain restricts where DLLs may
// come from; exit runs what was registered with atexit.
extern "C" __attribute__((no_stack_protector, noreturn)) void VeltrinStart() {
  SeedStackGuard();
  RunStaticConstructors();
  std::exit(wWinMain(GetModuleHandleW(nullptr), nullptr, GetCommandLineW(), SW_SHOWDEFAULT));
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem();
  platform::SetOs(&platform::Native());
  MMain::Main();
  return 0;
}
