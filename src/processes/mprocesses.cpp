// Process lookup and termination over the platform's process snapshot.
#include "processes/mprocesses.h"

#include "fileservices/mfile.h"
#include "platform/platform.h"
#include "platform/trap.h"
#include "processes/messages.h"
#include "startup/trace.h"

namespace MProcesses {

using platform::Os;

namespace {

// Process ids are traced as the signed 32-bit values they are held in.
Text PidText(uint32_t pid) {
  return Decimal(static_cast<int32_t>(pid));
}

// The executable name a snapshot's name field holds: the field up to its
// first NUL, or the whole field when it holds none. Not TrimAtNul, which
// gives nothing for a field without a NUL: the lookup filters by TrimAtNul,
// the termination matches by this.
Text ExeNameInField(const Text& field) {
  return field.substr(0, field.find(Char('\0')));
}

// Terminates `pid`: full access first, the privilege's terminate-only
// access where that is refused.
void Terminate(uint32_t pid) {
  if (MMain::Tracing())
    MMain::Trace(kTraceKillProcess + PidText(pid));
  if (Os().TerminateProcessById(pid, platform::kProcessAllAccessLegacy, 0) !=
      platform::TerminateOutcome::kTerminated) {
    KillProcessPrivileged(pid);
  }
}

}  // namespace

Text TrimAtNul(const Text& text) {
  const size_t nul = text.find(Char('\0'));
  if (nul == Text::npos)
    return Text();
  return text.substr(0, nul);
}

Text GetProcessImagePath(uint32_t pid) {
  return Trapping(
      [&] { return TrimSpaces(Os().ProcessImagePath(pid, platform::kProcessQueryAndRead)); },
      Text());
}

bool IsProcessRunning(const Text& path, int32_t session) {
  auto& os = Os();
  const Text path_lower = os.ToLower(path);
  const uint32_t self = os.CurrentProcessId();
  for (const platform::ProcessEntry& entry : os.SnapshotProcesses(platform::kSnapAll)) {
    // The name filter is cheap; reading the image path means opening the
    // process, so only candidates whose name occurs in the path get that far.
    // Nothing occurs in an empty path; an empty name occurs in any other.
    const Text name_lower = os.ToLower(TrimAtNul(entry.exe_field));
    if (path_lower.empty() || path_lower.find(name_lower) == Text::npos)
      continue;
    if (os.ToLower(GetProcessImagePath(entry.pid)) != path_lower)
      continue;
    if (MMain::Tracing())
      MMain::Trace(kTraceCurrentProcessId + PidText(self) + kTraceProcsId + PidText(entry.pid));
    if (entry.pid == self)
      continue;
    if (session == AnySession)
      return true;
    const std::optional<uint32_t> entry_session = os.ProcessSessionId(entry.pid);
    if (!entry_session)
      continue;
    if (MMain::Tracing()) {
      MMain::Trace(kTraceProcSessionId + Decimal(*entry_session) + kTraceFindSessionId +
                   Decimal(session));
    }
    if (static_cast<int32_t>(*entry_session) == session)
      return true;
  }
  return false;
}

bool ExeNameMatches(const Text& exe, const Text& name) {
  auto& os = Os();
  const Text exe_lower = os.ToLower(exe);
  const Text name_lower = os.ToLower(name);
  if (exe_lower == name_lower)
    return true;
  // Some systems report the executable with its folder: accept a name that
  // follows a separator, never one that merely ends the same way.
  return exe_lower.size() > name_lower.size() &&
         exe_lower.compare(exe_lower.size() - name_lower.size(), name_lower.size(), name_lower) ==
             0 &&
         exe_lower[exe_lower.size() - name_lower.size() - 1] == kPathSeparator;
}

void KillProcessesByName(const Text& name, int32_t session) {
  if (name.empty())
    return;
  auto& os = Os();
  const uint32_t self = os.CurrentProcessId();
  for (const platform::ProcessEntry& entry : os.SnapshotProcesses(platform::kSnapProcess)) {
    if (!ExeNameMatches(ExeNameInField(entry.exe_field), name))
      continue;
    if (entry.pid == self)
      continue;
    if (session != AnySession) {
      const std::optional<uint32_t> entry_session = os.ProcessSessionId(entry.pid);
      if (!entry_session || static_cast<int32_t>(*entry_session) != session)
        continue;
    }
    Terminate(entry.pid);
  }
}

void KillProcessesRunning(const Text& path, uint32_t session) {
  auto& os = Os();
  const Text name = MFile::GetFileName(path);
  const Text path_lower = os.ToLower(path);
  const uint32_t self = os.CurrentProcessId();
  if (name.empty())
    return;
  for (const platform::ProcessEntry& entry : os.SnapshotProcesses(platform::kSnapProcess)) {
    if (entry.pid == self || !ExeNameMatches(ExeNameInField(entry.exe_field), name))
      continue;
    if (os.ProcessSessionId(entry.pid) != session)
      continue;
    if (os.ToLower(GetProcessImagePath(entry.pid)) != path_lower)
      continue;
    Terminate(entry.pid);
  }
}

bool KillProcessPrivileged(uint32_t pid) {
  if (pid == 0)
    return false;
  auto& os = Os();
  // A process of another user, or an elevated one, refuses full access; with
  // the debug privilege enabled, terminate-only access may still be granted.
  os.EnableDebugPrivilege();
  return os.TerminateProcessById(pid, platform::kProcessTerminate, 0) ==
         platform::TerminateOutcome::kTerminated;
}

}  // namespace MProcesses
