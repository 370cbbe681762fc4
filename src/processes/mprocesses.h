// MProcesses: finds the product running from its executable path, and
// terminates lingering copies of it by image name.
#pragma once

#include <cstdint>

#include "platform/text.h"

namespace MProcesses {

// The session argument meaning "a process in any session qualifies".
inline constexpr int32_t AnySession = -1;

// The characters of `text` before its first NUL; empty when `text` holds no
// NUL at all (not `text` itself).
Text TrimAtNul(const Text& text);

// The full path of the executable that process `pid` runs, without
// surrounding spaces; empty when it cannot be read. Never raises.
Text GetProcessImagePath(uint32_t pid);

// True when a process other than this one runs from `path` (same full path,
// letter case ignored) and, unless `session` is AnySession, lives in that
// session. The path is compared as text: another spelling of the same file
// (relative, short names, other separators) does not count.
bool IsProcessRunning(const Text& path, int32_t session);

// True when the executable name `exe` (as a process snapshot reports it)
// names the file `name`: equal, letter case ignored, or ending in a path
// separator followed by it. "myapp.exe" does not name "app.exe".
bool ExeNameMatches(const Text& exe, const Text& name);

// Terminates, with exit code 0, every process other than this one whose
// executable is `name` (see ExeNameMatches) and, unless `session` is
// AnySession, that lives in that session. Does nothing for an empty name.
// The snapshot's name picks the candidates; each is opened once, and its
// image and session are checked again through the open that terminates it,
// so that an id that has gone to another program since ends nothing. Full
// access first, then, with the debug privilege enabled, terminate and
// limited query access. Does not wait for the processes to vanish and
// reports nothing.
void KillProcessesByName(const Text& name, int32_t session);

// Terminates, with exit code 0, every process other than this one that
// runs from `path` itself (its image path, as IsProcessRunning compares it)
// and lives in `session`. A process of the same name elsewhere, or in
// another session (another signed-in user's), is left alone. Image and
// session are read through the open that terminates, as KillProcessesByName
// reads them. Does not wait for the processes to vanish and reports nothing.
void KillProcessesRunning(const Text& path, uint32_t session);

// Enables the debug privilege for this program (it stays enabled) and
// terminates `pid` with terminate-only access. True only when the terminate
// call succeeded; false at once, touching nothing, for pid 0. It checks
// nothing: the terminations above take their own privileged retry, which
// checks what it ends.
bool KillProcessPrivileged(uint32_t pid);

}  // namespace MProcesses
