// Start-up and command line.
#include "startup/mmain.h"

#include <optional>

#include "platform/platform.h"
#include "platform/trap.h"
#include "sequencer/form1.h"
#include "startup/trace.h"

namespace MMain {

Text MainPath;
Text NewPath;
Text BackupPath;
bool SelfRestart = false;
bool Elevated = false;

namespace {

using platform::UserStartOutcome;

// Which way each start of the product took, and why the ways before it
// failed.
const Text kTraceStartedAsDesktopUser = VT("Started with the desktop user's token");
const Text kTraceNoShellToken =
    VT("Desktop user's token unavailable, start through the desktop shell");
const Text kTraceTokenStartRefused =
    VT("Start with the desktop user's token refused, start through the desktop shell");
const Text kTraceNoShell = VT("No desktop shell, start as self");
const Text kTraceStartedThroughShell = VT("Started through the desktop shell");
const Text kTraceShellRefused = VT("Desktop shell refused the start, start as self");

}  // namespace

std::vector<Text> SplitArguments(const Text& cmd) {
  std::vector<Text> pieces;
  if (cmd.empty())
    return pieces;
  Char separator = Char(' ');
  if (cmd.find(Char('?')) != Text::npos)
    separator = Char('?');
  else if (cmd.find(Char('!')) != Text::npos)
    separator = Char('!');
  size_t start = 0;
  for (;;) {
    const size_t at = cmd.find(separator, start);
    if (at == Text::npos) {
      pieces.push_back(cmd.substr(start));
      return pieces;
    }
    pieces.push_back(cmd.substr(start, at - start));
    start = at + 1;
  }
}

Text Unquote(Text& s) {
  s = TrimSpaces(s);
  // A lone quote is both the first and the last character; it has no
  // enclosed text and is kept as it is.
  if (s.size() >= 2 && s.front() == Char('"') && s.back() == Char('"'))
    s = s.substr(1, s.size() - 2);
  return s;
}

// Elevated, each way is tried in turn, and an error one of them raises
// counts as its failure: the start of the old program in a rollback is the
// last thing this program does, and nothing may keep it from happening.
// The trace texts exist before the first start, so the rollback's restart
// allocates nothing.
bool StartTarget() {
  auto& os = platform::Os();
  if (Elevated) {
    bool ask_shell = true;
    // The shell's token: needs the Secondary Logon service, which some
    // hardened machines switch off.
    switch (Trapping([&] { return os.StartProgramAsDesktopUser(MainPath); },
                     UserStartOutcome::kFailed)) {
      case UserStartOutcome::kStarted:
        Trace(kTraceStartedAsDesktopUser);
        return true;
      case UserStartOutcome::kNoShell:
        // No shell window: no desktop shell to ask either.
        Trace(kTraceNoShell);
        ask_shell = false;
        break;
      case UserStartOutcome::kNoShellToken:
        Trace(kTraceNoShellToken);
        break;
      case UserStartOutcome::kFailed:
        Trace(kTraceTokenStartRefused);
        break;
    }
    // The desktop's shell itself, asked to start it: needs no service.
    if (ask_shell) {
      switch (Trapping([&] { return os.StartProgramThroughShell(MainPath); },
                       UserStartOutcome::kFailed)) {
        case UserStartOutcome::kStarted:
          Trace(kTraceStartedThroughShell);
          return true;
        case UserStartOutcome::kNoShell:
          Trace(kTraceNoShell);
          break;
        case UserStartOutcome::kNoShellToken:
        case UserStartOutcome::kFailed:
          Trace(kTraceShellRefused);
          break;
      }
    }
  }
  // Only then with this program's own token: the product runs elevated, but
  // it runs.
  return Trapping([&] { return os.StartProgram(MainPath); }, false);
}

void Main() {
  auto& os = platform::Os();
  if (!os.ClaimSingleInstance())
    return;
  std::vector<Text> pieces = SplitArguments(os.ArgumentText());
  if (pieces.size() != 2)
    return;
  MainPath = Unquote(pieces[0]);
  NewPath = Unquote(pieces[1]);
  // Without a main executable there is nothing to update or restart; going on
  // would take the self-restart branch (two empty paths are equal) and delete
  // the product's libraries for nothing.
  if (MainPath.empty())
    return;
  if (NewPath == MainPath)
    SelfRestart = true;
  // Elevation that cannot be told counts as elevated: every elevated
  // safeguard stays on.
  Elevated = Trapping([&] { return os.IsElevated(); }, std::optional<bool>()).value_or(true);
  // The backup and the staged copy beside MainPath are the same for every
  // session: one elevated instance per MainPath on the whole machine (two
  // administrators updating one per-machine installation).
  if (Elevated && !Trapping([&] { return os.ClaimMachineInstance(MainPath); }, false))
    return;
  Form1::Load();
}

void ResetGlobals() {
  MainPath.clear();
  NewPath.clear();
  BackupPath.clear();
  SelfRestart = false;
  Elevated = false;
}

}  // namespace MMain
