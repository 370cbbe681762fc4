// What the POSIX binding needs from the process entry beyond platform.h.
#pragma once

namespace platform {

// Hands the program's arguments (without argv[0]) to the POSIX binding, whose
// ArgumentText joins them with single spaces.
void SetPosixArguments(int argc, char** argv);

}  // namespace platform
