/* The DLL-planting test's control: loads each library named on its command
 * line by its bare name, the way a program that leaves the search order as
 * it is would, and exits with the number it could not load. */
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    if (!LoadLibraryW(argv[i]))
      ++failed;
  }
  return failed;
}
