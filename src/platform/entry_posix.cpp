// The process entry of the POSIX build: hands the arguments to the binding,
// installs it as the platform every module talks to, and runs the program.
#include "platform/platform.h"
#include "platform/platform_posix.h"
#include "startup/mmain.h"

int main(int argc, char** argv) {
  platform::SetPosixArguments(argc, argv);
  platform::SetOs(&platform::Native());
  MMain::Main();
  return 0;
}
