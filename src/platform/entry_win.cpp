// The Windows entry point: hardens DLL loading, installs the Win32 binding and
// hands over to MMain.
#include <windows.h>

#include "platform/platform.h"
#include "startup/mmain.h"

namespace {

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

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  RestrictDllSearchToSystem();
  platform::SetOs(&platform::Native());
  MMain::Main();
  return 0;
}
