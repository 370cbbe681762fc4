// The Win32 binding's elevated hand-over (win_elevation.cpp): nothing here
// is called, and nothing it needs is loaded, unless this program runs
// elevated.
#pragma once

#include <windows.h>

#include <optional>

#include "platform/platform.h"

namespace platform::win {

// True when this process's token is elevated; nullopt when it cannot be
// told.
std::optional<bool> TokenIsElevated();

// Starts `application` with `command_line` (writable, as CreateProcessW
// takes it) in a normal window, with a primary token duplicated from the
// process that owns the shell window: as the user whose desktop this is.
// Allocates nothing.
UserStartOutcome StartAsDesktopUser(const wchar_t* application, wchar_t* command_line);

// Platform::CheckOwnPublisher: this program's own signature, through a
// handle on its own image, and `installed`'s against it. Keeps the
// publisher for HoldAndCheck.
PublisherCheck CheckOwn(const Text& installed);
// Asks the desktop's shell, through its automation interface, to start
// `path` (an ".exe"; any other file is kFailed) in a normal window, as the
// shell's own user. kNoShell where the shell's automation cannot be loaded
// or no desktop shell answers; kFailed where it refused the request.
UserStartOutcome StartThroughDesktopShell(const wchar_t* path);

// Platform::HoldAndCheckDownload: holds `download` open, sharing reading
// only, until this program ends, and checks its signature against
// `reference`'s publisher.
TrustOutcome HoldAndCheck(const Text& download, const Text& installed, TrustReference reference);

// The held download's handle, at its start, when `path` is the path it was
// held under; nullptr for any other path; INVALID_HANDLE_VALUE when it is
// held but cannot be rewound. Allocates nothing.
HANDLE HeldDownload(const Text& path);

}  // namespace platform::win
