// Fuzzes the process-name helpers of MProcesses on the fake platform.
//
// TrimAtNul (the whole input): the result is a prefix of the input with no
// NUL, followed in the input by a NUL; empty when the input has none.
//
// ExeNameMatches and KillProcessesByName: the input's first line is an
// executable name as a snapshot reports it, the rest the name to kill.
//  - A match needs the name at the end of the executable (letter case
//    ignored), alone or after a separator; letter case never changes the
//    verdict.
//  - "my" + name never matches; folder + separator + name always does, and
//    so does the name in capitals or the executable itself.
//  - The kill by name terminates a process exactly when its snapshot name
//    (up to its first NUL, or the whole field when it has none) matches,
//    never this program and nothing at all for an empty name.
#include <algorithm>
#include <vector>

#include "fake/fake_platform.h"
#include "fuzz_check.h"
#include "processes/mprocesses.h"

namespace {

using fuzz::EndsWith;
using fuzz::StartsWith;

Text Upper(Text s) {
  for (Char& c : s) {
    if (c >= Char('a') && c <= Char('z'))
      c = Char(c - 'a' + 'A');
  }
  return s;
}

void CheckTrimAtNul(const Text& input) {
  const Text trimmed = MProcesses::TrimAtNul(input);
  FUZZ_CHECK(StartsWith(input, trimmed));
  FUZZ_CHECK(trimmed.find(Char('\0')) == Text::npos);
  if (input.find(Char('\0')) == Text::npos)
    FUZZ_CHECK(trimmed.empty());
  else
    FUZZ_CHECK(input.size() > trimmed.size() && input[trimmed.size()] == Char('\0'));
}

bool Terminated(fake::FakePlatform& os, uint32_t pid) {
  for (const fake::Process& process : os.processes) {
    if (process.pid == pid)
      return !process.alive;
  }
  return false;
}

fake::Process MakeProcess(uint32_t pid, const Text& exe_field) {
  fake::Process process;
  process.pid = pid;
  process.image = VT("/image/") + exe_field.substr(0, exe_field.find(Char('\0')));
  process.exe_field = exe_field;
  return process;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Text input = fuzz::ToText(data, size);
  CheckTrimAtNul(input);

  const size_t line_end = input.find(Char('\n'));
  const Text exe = input.substr(0, line_end);
  const Text name = line_end == Text::npos ? Text() : input.substr(line_end + 1);

  fake::FakePlatform os;
  const bool match = MProcesses::ExeNameMatches(exe, name);
  if (match) {
    FUZZ_CHECK(EndsWith(os.ToLower(exe), os.ToLower(name)));
    if (exe.size() > name.size())
      FUZZ_CHECK(exe[exe.size() - name.size() - 1] == kPathSeparator);
  }
  FUZZ_CHECK(MProcesses::ExeNameMatches(Upper(exe), name) == match);
  FUZZ_CHECK(MProcesses::ExeNameMatches(exe, Upper(name)) == match);
  FUZZ_CHECK(!MProcesses::ExeNameMatches(VT("my") + name, name));
  FUZZ_CHECK(MProcesses::ExeNameMatches(VT("folder") + Text(1, kPathSeparator) + name, name));
  FUZZ_CHECK(MProcesses::ExeNameMatches(Upper(name), name));
  FUZZ_CHECK(MProcesses::ExeNameMatches(exe, exe));

  // The kill by name over a small process table built from the input.
  const Text nul(1, Char('\0'));
  const Text padded = exe + nul + VT("pad");
  const Text in_folder = VT("dir") + Text(1, kPathSeparator) + name;
  os.processes = {
      MakeProcess(100, padded),              // exe, as a padded snapshot field
      MakeProcess(104, VT("my") + name),     // merely ends the same way
      MakeProcess(108, in_folder + nul),     // the name with a folder
      MakeProcess(os.self_pid, name + nul),  // this program
      MakeProcess(112, exe),                 // a field without any NUL
  };
  MProcesses::KillProcessesByName(name, MProcesses::AnySession);

  const Text exe_cut = exe.substr(0, exe.find(Char('\0')));
  const Text in_folder_cut = in_folder.substr(0, in_folder.find(Char('\0')));
  const bool any = !name.empty();
  const bool exe_named = any && MProcesses::ExeNameMatches(exe_cut, name);
  FUZZ_CHECK(Terminated(os, 100) == exe_named);
  FUZZ_CHECK(!Terminated(os, 104));
  FUZZ_CHECK(Terminated(os, 108) == (any && MProcesses::ExeNameMatches(in_folder_cut, name)));
  FUZZ_CHECK(!Terminated(os, os.self_pid));
  FUZZ_CHECK(Terminated(os, 112) == exe_named);
  // Every termination asked for full access first.
  for (const std::string& line : os.Lines("terminate "))
    FUZZ_CHECK(line.find(" 0x1F0FFF ") != std::string::npos);
  return 0;
}
