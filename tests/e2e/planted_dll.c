/* A library named like a system one, for the DLL-planting test: all it does
 * is announce that it was loaded, by creating "<its own file name>.loaded"
 * beside itself when it attaches to a process. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH)
    return TRUE;
  wchar_t path[2048];
  const DWORD length = GetModuleFileNameW(instance, path, 2000);
  if (length == 0 || length >= 2000)
    return TRUE;
  lstrcpyW(path + length, L".loaded");
  const HANDLE marker =
      CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (marker != INVALID_HANDLE_VALUE)
    CloseHandle(marker);
  return TRUE;
}
