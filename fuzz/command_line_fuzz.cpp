// Fuzzes the start-up: arbitrary argument text goes through MMain::Main on the
// fake platform, with a timer that never ticks, so only the command line's
// reading and the form's loading run.
//
// Properties:
//  - SplitArguments cuts at "?" if present, else "!", else " ": joining its
//    pieces with that character gives the input back, and no piece holds it.
//  - Either a quiet end (nothing but the single-instance claim happened) or
//    exactly the claim and the form's load.
//  - The form loads exactly when there are two pieces and the first names a
//    path; then MainPath and NewPath are their pieces without the spaces
//    around them and at most one enclosing pair of quotes.
//  - SelfRestart holds exactly when the form loads with NewPath == MainPath.
//  - A second instance always ends quietly and sets nothing.
#include <string>
#include <vector>

#include "fake/fake_platform.h"
#include "fuzz_check.h"
#include "sequencer/messages.h"
#include "startup/mmain.h"

namespace {

using fuzz::Contains;

Char SeparatorOf(const Text& cmd) {
  if (Contains(cmd, VT("?")))
    return Char('?');
  if (Contains(cmd, VT("!")))
    return Char('!');
  return Char(' ');
}

// True when `path` is what `piece` holds once the spaces around it and one
// enclosing pair of quotes are taken off.
bool IsUnquotedPiece(const Text& path, const Text& piece) {
  const Text trimmed = TrimSpaces(piece);
  if (trimmed == path)
    return !(trimmed.size() >= 2 && trimmed.front() == Char('"') && trimmed.back() == Char('"'));
  return trimmed == VT("\"") + path + VT("\"");
}

void CheckSplit(const Text& cmd, const std::vector<Text>& pieces) {
  if (cmd.empty()) {
    FUZZ_CHECK(pieces.empty());
    return;
  }
  const Char separator = SeparatorOf(cmd);
  FUZZ_CHECK(!pieces.empty());
  Text joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    FUZZ_CHECK(pieces[i].find(separator) == Text::npos);
    if (i > 0)
      joined += separator;
    joined += pieces[i];
  }
  FUZZ_CHECK(joined == cmd);
}

bool FormLoaded(const fake::FakePlatform& os) {
  return !os.Lines("form ").empty();
}

void CheckSecondInstance(const Text& cmd) {
  fake::FakePlatform os;
  os.args = cmd;
  os.max_ticks = 0;
  os.other_instance = true;
  FUZZ_CHECK(!os.RunMain().has_value());
  FUZZ_CHECK(os.log == std::vector<std::string>{"instance"});
  FUZZ_CHECK(MMain::MainPath.empty() && MMain::NewPath.empty() && MMain::BackupPath.empty());
  FUZZ_CHECK(!MMain::SelfRestart);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Text cmd = fuzz::ToText(data, size);
  const std::vector<Text> pieces = MMain::SplitArguments(cmd);
  CheckSplit(cmd, pieces);

  fake::FakePlatform os;
  os.args = cmd;
  os.max_ticks = 0;
  // With no tick the form's load returns at once and Main returns: nothing may
  // end the process.
  FUZZ_CHECK(!os.RunMain().has_value());
  FUZZ_CHECK(os.ticks_run == 0);

  const bool loaded = FormLoaded(os);
  const bool names_two_paths =
      pieces.size() == 2 && !TrimSpaces(pieces[0]).empty() && TrimSpaces(pieces[0]) != VT("\"\"");
  FUZZ_CHECK(loaded == names_two_paths);
  FUZZ_CHECK(MMain::BackupPath.empty());

  if (!loaded) {
    // A quiet end: no file, process or window was touched.
    FUZZ_CHECK(os.log == std::vector<std::string>{"instance"});
    FUZZ_CHECK(!MMain::SelfRestart);
  } else {
    FUZZ_CHECK(os.log.size() == 2 && os.log[0] == "instance");
    FUZZ_CHECK(os.log[1] == "form " + fake::Utf8(Form1::kTitle) + " 500");
    FUZZ_CHECK(!MMain::MainPath.empty());
    FUZZ_CHECK(Contains(cmd, MMain::MainPath) && Contains(cmd, MMain::NewPath));
    FUZZ_CHECK(IsUnquotedPiece(MMain::MainPath, pieces[0]));
    FUZZ_CHECK(IsUnquotedPiece(MMain::NewPath, pieces[1]));
    FUZZ_CHECK(MMain::SelfRestart == (MMain::NewPath == MMain::MainPath));
  }

  CheckSecondInstance(cmd);
  return 0;
}
