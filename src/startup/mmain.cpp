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

const Text kTraceNoShell = VT("No desktop shell, start as self");
const Text kTraceNoShellToken = VT("Desktop user's token unavailable, start as self");

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

bool StartTarget() {
  return Trapping(
      [] {
        auto& os = platform::Os();
        if (Elevated) {
          switch (os.StartProgramAsDesktopUser(MainPath)) {
            case platform::UserStartOutcome::kStarted:
              return true;
            case platform::UserStartOutcome::kFailed:
              return false;
            case platform::UserStartOutcome::kNoShell:
              Trace(kTraceNoShell);
              break;
            case platform::UserStartOutcome::kNoShellToken:
              Trace(kTraceNoShellToken);
              break;
          }
        }
        return os.StartProgram(MainPath);
      },
      false);
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
