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

// Terminates `pid` where `check` accepts the image and session read
// through the very open that ends it: full access first; where that is
// refused or the terminate call fails, terminate and limited query access
// with the debug privilege (the query is what the check reads through). A
// process the check refuses is left alone at once. Traced once, when the
// check first accepts it.
void Terminate(uint32_t pid, const platform::ProcessCheck& check) {
  auto& os = Os();
  bool traced = false;
  const auto traced_check = [&](const platform::ProcessIdentity& found) {
    if (!check(found))
      return false;
    if (!traced && MMain::Tracing())
      MMain::Trace(kTraceKillProcess + PidText(pid));
    traced = true;
    return true;
  };
  using platform::TerminateOutcome;
  const TerminateOutcome plain =
      os.TerminateIfMatching(pid, platform::kProcessAllAccessLegacy, 0, traced_check);
  if (plain == TerminateOutcome::kTerminated || plain == TerminateOutcome::kNotMatching)
    return;
  os.EnableDebugPrivilege();
  os.TerminateIfMatching(pid, platform::kProcessTerminate | platform::kProcessQueryLimited, 0,
                         traced_check);
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
  // The snapshot's name picks the candidates; what is ended is checked
  // again on the open that ends it: an id may have gone to another program.
  const auto named_so = [&](const platform::ProcessIdentity& found) {
    return ExeNameMatches(found.image, name) &&
           (session == AnySession ||
            (found.session && static_cast<int32_t>(*found.session) == session));
  };
  for (const platform::ProcessEntry& entry : os.SnapshotProcesses(platform::kSnapProcess)) {
    if (!ExeNameMatches(ExeNameInField(entry.exe_field), name))
      continue;
    if (entry.pid == self)
      continue;
    Terminate(entry.pid, named_so);
  }
}

void KillProcessesRunning(const Text& path, uint32_t session) {
  auto& os = Os();
  const Text name = MFile::GetFileName(path);
  const Text path_lower = os.ToLower(path);
  const uint32_t self = os.CurrentProcessId();
  if (name.empty())
    return;
  const auto running_it = [&](const platform::ProcessIdentity& found) {
    return found.session == session && os.ToLower(TrimSpaces(found.image)) == path_lower;
  };
  for (const platform::ProcessEntry& entry : os.SnapshotProcesses(platform::kSnapProcess)) {
    if (entry.pid == self || !ExeNameMatches(ExeNameInField(entry.exe_field), name))
      continue;
    Terminate(entry.pid, running_it);
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
