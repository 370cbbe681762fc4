// The scripted fake platform.
#include "fake/fake_platform.h"

#include <algorithm>
#include <cstdio>

#include "sequencer/form1.h"
#include "startup/mmain.h"
#include "startup/trace.h"

namespace fake {

AllocationMeter meter;

namespace {

FakePlatform* g_current = nullptr;

// The fake's own work is not the program's: nothing it allocates is counted.
struct Unmetered {
  Unmetered() { ++meter.paused; }
  ~Unmetered() { --meter.paused; }
};

void RecordTrace(const Text& text) {
  if (g_current)
    g_current->log.push_back("trace " + Utf8(text));
}

std::string Hex(uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%X", unsigned(value));
  return buffer;
}

Char Fold(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? Char(c - 'A' + 'a') : c;
}

// Wildcard match as the system's directory search does it: "*" any run,
// "?" one character, letter case ignored.
bool WildcardMatch(TextView pattern, TextView name) {
  size_t p = 0, n = 0, star = TextView::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == Char('?') || Fold(pattern[p]) == Fold(name[n]))) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == Char('*')) {
      star = p++;
      resume = n;
    } else if (star != TextView::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == Char('*'))
    ++p;
  return p == pattern.size();
}

// What a copy of `file` is: a plain file with its bytes, and so with the
// signature they carry.
File PlainCopy(const File& file) {
  File copy;
  copy.bytes = file.bytes;
  copy.publisher = file.publisher;
  copy.tampered = file.tampered;
  return copy;
}

Text Parent(const Text& path) {
  const size_t at = path.rfind(kPathSeparator);
  return at == Text::npos ? Text() : path.substr(0, at);
}

Text BaseName(const Text& path) {
  const size_t at = path.rfind(kPathSeparator);
  return at == Text::npos ? path : path.substr(at + 1);
}

}  // namespace

Text P(const std::string& generic) {
  Text out;
#if defined(_WIN32)
  // Decode UTF-8 into UTF-16.
  for (size_t i = 0; i < generic.size();) {
    unsigned char c = static_cast<unsigned char>(generic[i]);
    uint32_t cp = c;
    size_t extra = 0;
    if (c >= 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    }
    for (size_t k = 1; k <= extra && i + k < generic.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(generic[i + k]) & 0x3F);
    i += 1 + extra;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += wchar_t(0xD800 + (cp >> 10));
      out += wchar_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += wchar_t(cp);
    }
  }
#else
  out = generic;
#endif
  std::replace(out.begin(), out.end(), Char('/'), kPathSeparator);
  return out;
}

std::string Utf8(const Text& text) {
#if defined(_WIN32)
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t cp = uint16_t(text[i]);
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size()) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (uint16_t(text[++i]) - 0xDC00);
    }
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }
  return out;
#else
  return text;
#endif
}

FakePlatform::FakePlatform() {
  g_current = this;
  platform::SetOs(this);
  MMain::SetTraceSink(&RecordTrace);
  MMain::ResetGlobals();
  Form1::Reset();
  on_start = [this](const Text& path) {
    auto it = files.find(path);
    if (it == files.end() || it->second.delete_pending ||
        it->second.bytes.rfind("not-an-exe", 0) == 0)
      return false;
    Spawn(path);
    return true;
  };
}

FakePlatform::~FakePlatform() {
  MMain::SetTraceSink(nullptr);
  platform::SetOs(nullptr);
  g_current = nullptr;
}

void FakePlatform::AddDir(const Text& path) {
  for (Text dir = path; !dir.empty(); dir = Parent(dir))
    dirs.insert(dir);
}

void FakePlatform::AddFile(const Text& path, const std::string& bytes, uint32_t attributes) {
  AddDir(Parent(path));
  File file;
  file.bytes = bytes;
  file.attributes = attributes;
  files[path] = file;
}

std::optional<std::string> FakePlatform::Bytes(const Text& path) const {
  auto it = files.find(path);
  if (it == files.end())
    return std::nullopt;
  return it->second.bytes;
}

void FakePlatform::CloseElsewhere(const Text& path) {
  auto it = files.find(path);
  if (it == files.end())
    return;
  it->second.shared_delete = false;
  it->second.attributes_holder = false;
  if (it->second.delete_pending)
    files.erase(it);
}

uint32_t FakePlatform::Spawn(const Text& image, uint32_t session) {
  Process process;
  process.pid = next_pid_;
  next_pid_ += 4;
  process.image = image;
  process.exe_field = BaseName(image) + Char('\0') + Text(3, Char('\0'));
  process.session = session;
  processes.push_back(process);
  return process.pid;
}

Process* FakePlatform::Find(uint32_t pid) {
  for (Process& process : processes) {
    if (process.pid == pid && process.alive)
      return &process;
  }
  return nullptr;
}

void FakePlatform::ExitProcess(uint32_t pid, uint32_t code) {
  if (Process* process = Find(pid)) {
    process->alive = false;
    process->exit_code = code;
  }
}

std::vector<uint32_t> FakePlatform::RunningFrom(const Text& image) const {
  std::vector<uint32_t> pids;
  for (const Process& process : processes) {
    if (process.alive && process.image == image)
      pids.push_back(process.pid);
  }
  return pids;
}

std::optional<int> FakePlatform::RunMain() {
  try {
    MMain::Main();
  } catch (const QuitSignal& quit) {
    return quit.code;
  }
  return std::nullopt;
}

std::vector<std::string> FakePlatform::Lines(const std::string& prefix) const {
  std::vector<std::string> out;
  for (const std::string& line : log) {
    if (line.rfind(prefix, 0) == 0)
      out.push_back(line);
  }
  return out;
}

std::vector<std::string> FakePlatform::Traces() const {
  std::vector<std::string> out;
  for (const std::string& line : Lines("trace "))
    out.push_back(line.substr(6));
  return out;
}

int FakePlatform::IndexOf(const std::string& line) const {
  auto it = std::find(log.begin(), log.end(), line);
  return it == log.end() ? -1 : int(it - log.begin());
}

bool FakePlatform::Fails(const std::string& op, const Text& arg) {
  if (on_call)
    on_call();
  ++calls;
  if (raise_if && raise_if(op, arg)) {
    Log("raise " + op + " " + Utf8(arg));
    throw RaisedError(op);
  }
  if (!fail_if || !fail_if(op, arg))
    return false;
  Log("fail " + op + " " + Utf8(arg));
  return true;
}

void FakePlatform::Touch() {
  touched = true;
  meter.unsettled = true;
}

Text FakePlatform::ArgumentText() {
  const Unmetered unmetered;
  return args;
}

bool FakePlatform::ClaimSingleInstance() {
  const Unmetered unmetered;
  Log("instance");
  return !other_instance;
}

Text FakePlatform::OwnExecutableDirectory() {
  const Unmetered unmetered;
  return exe_dir;
}

bool FakePlatform::StartProgram(const Text& path) {
  const Unmetered unmetered;
  const bool ok = !Fails("start", path) && on_start(path);
  if (ok)
    meter.unsettled = false;
  Log("start " + Utf8(path) + (ok ? " ok" : " fail"));
  return ok;
}

std::optional<bool> FakePlatform::IsElevated() {
  const Unmetered unmetered;
  return elevation_unknown ? std::nullopt : std::optional<bool>(elevated);
}

platform::UserStartOutcome FakePlatform::StartAs(const char* what,
                                                 platform::UserStartOutcome found,
                                                 const Text& path) {
  using platform::UserStartOutcome;
  const Unmetered unmetered;
  UserStartOutcome outcome = found;
  if (Fails("start", path))
    outcome = UserStartOutcome::kFailed;
  else if (outcome == UserStartOutcome::kStarted && !on_start(path))
    outcome = UserStartOutcome::kFailed;
  if (outcome == UserStartOutcome::kStarted)
    meter.unsettled = false;
  static const char* const kNames[] = {"ok", "fail", "no-shell", "no-token"};
  Log(std::string(what) + " " + Utf8(path) + " " + kNames[static_cast<int>(outcome)]);
  return outcome;
}

platform::UserStartOutcome FakePlatform::StartProgramAsDesktopUser(const Text& path) {
  return StartAs("start-as-user", desktop_user, path);
}

platform::UserStartOutcome FakePlatform::StartProgramThroughShell(const Text& path) {
  return StartAs("start-through-shell", desktop_shell, path);
}

bool FakePlatform::ClaimMachineInstance(const Text& main_path) {
  const Unmetered unmetered;
  Log("machine-instance " + Utf8(main_path));
  return !Fails("instance", main_path) && !other_machine_instance;
}

std::optional<std::string> FakePlatform::Signer(const Text& path) {
  auto it = files.find(path);
  const bool broken = it == files.end() || (it->second.tampered && !it->second.publisher.empty());
  return Fails("signature", path) || broken ? std::nullopt : std::optional(it->second.publisher);
}

platform::PublisherCheck FakePlatform::CheckOwnPublisher(const Text& installed) {
  using platform::PublisherCheck;
  const Unmetered unmetered;
  PublisherCheck outcome = PublisherCheck::kOwnUnsigned;
  if (!own_publisher || Fails("signature", exe_dir + P("/Veltrin.exe")))
    outcome = PublisherCheck::kOwnUnverifiable;
  else if (!own_publisher->empty())
    outcome = Signer(installed) == own_publisher ? PublisherCheck::kInstalledAlike
                                                 : PublisherCheck::kInstalledNotAlike;
  static const char* const kNames[] = {"own-unsigned", "own-unverifiable", "alike", "not-alike"};
  Log("publisher " + Utf8(installed) + " " + kNames[static_cast<int>(outcome)]);
  return outcome;
}

platform::TrustOutcome FakePlatform::HoldAndCheckDownload(const Text& download,
                                                          const Text& installed,
                                                          platform::TrustReference reference) {
  using platform::TrustOutcome;
  const Unmetered unmetered;
  TrustOutcome outcome = TrustOutcome::kTrusted;
  auto it = files.find(download);
  if (Fails("trust", download)) {
    outcome = TrustOutcome::kRefused;
  } else {
    if (it != files.end()) {
      held_download = download;
      held = it->second;
    }
    const std::optional<std::string> expected =
        reference == platform::TrustReference::kOwnPublisher ? own_publisher : Signer(installed);
    if (reference == platform::TrustReference::kInstalled && expected && expected->empty())
      outcome = TrustOutcome::kNoReference;
    else if (reference == platform::TrustReference::kInstalled && !expected)
      outcome = TrustOutcome::kUnverifiable;
    else if (!expected || expected->empty() || it == files.end() || Signer(download) != expected)
      outcome = TrustOutcome::kRefused;
  }
  static const char* const kNames[] = {"no-reference", "trusted", "refused", "unverifiable"};
  Log("trust " + Utf8(download) + " " + kNames[static_cast<int>(outcome)]);
  return outcome;
}

void FakePlatform::DebugOutput(const Text& line) {
  const Unmetered unmetered;
  Log("debug " + Utf8(line));
}

Text FakePlatform::FirstFileMatch(const Text& pattern) {
  const Unmetered unmetered;
  Log("lookup " + Utf8(pattern));
  if (Fails("lookup", pattern))
    return Text();
  const size_t at = pattern.rfind(kPathSeparator);
  const Text folder = at == Text::npos ? Text() : pattern.substr(0, at);
  Text last = at == Text::npos ? pattern : pattern.substr(at + 1);
  if (last.empty())
    last = VT("*");
  if (!folder.empty() && !dirs.count(folder))
    return Text();
  for (const auto& [path, file] : files) {
    if (Parent(path) != folder)
      continue;
    if (file.attributes & (platform::kAttrHidden | platform::kAttrSystem))
      continue;
    if (WildcardMatch(last, BaseName(path)))
      return BaseName(path);
  }
  return Text();
}

std::optional<uint32_t> FakePlatform::GetAttributes(const Text& path) {
  const Unmetered unmetered;
  if (Fails("getattr", path))
    return std::nullopt;
  if (auto it = files.find(path); it != files.end())
    return it->second.attributes;
  if (dirs.count(path))
    return platform::kAttrDirectory;
  return std::nullopt;
}

bool FakePlatform::SetAttributes(const Text& path, uint32_t attributes) {
  const Unmetered unmetered;
  Touch();
  Log("setattr " + Utf8(path) + " " + Hex(attributes));
  auto it = files.find(path);
  if (Fails("setattr", path) || it == files.end())
    return false;
  it->second.attributes = attributes;
  return true;
}

bool FakePlatform::Deletable(const Text& path) {
  auto it = files.find(path);
  return !Fails("delete", path) && it != files.end() &&
         !(it->second.attributes & platform::kAttrReadOnly) && !it->second.in_use &&
         RunningFrom(path).empty();
}

bool FakePlatform::DeleteOneFile(const Text& path) {
  const Unmetered unmetered;
  Touch();
  const bool ok = Deletable(path);
  if (ok && (files[path].shared_delete || files[path].attributes_holder))
    files[path].delete_pending = true;  // the name stays until the holder closes
  else if (ok)
    files.erase(path);
  Log("delete " + Utf8(path) + (ok ? " ok" : " fail"));
  return ok;
}

bool FakePlatform::DeleteUnsharedFile(const Text& path) {
  const Unmetered unmetered;
  Touch();
  // An attributes-only holder keeps the file, moved aside, not its name.
  const bool ok = Deletable(path) && !files[path].shared_delete;
  if (ok)
    files.erase(path);
  Log("delete-unshared " + Utf8(path) + (ok ? " ok" : " fail"));
  return ok;
}

bool FakePlatform::CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) {
  const Unmetered unmetered;
  Touch();
  auto source = files.find(from);
  bool ok = !Fails("copy", from) && source != files.end() && !source->second.delete_pending &&
            dirs.count(Parent(to));
  if (ok) {
    if (auto existing = files.find(to); existing != files.end()) {
      const uint32_t blocking = platform::kAttrReadOnly | platform::kAttrHidden;
      ok = !fail_if_exists && !(existing->second.attributes & blocking) &&
           !existing->second.in_use && !existing->second.shared_delete &&
           !existing->second.delete_pending && RunningFrom(to).empty();
    }
  }
  if (ok) {
    // Only the bytes come along, written through to the disk: the copy is a
    // plain file.
    files[to] = PlainCopy(source->second);
  }
  if (ok)
    now_ms += copy_ms;
  Log("copy " + Utf8(from) + " -> " + Utf8(to) + (ok ? " ok" : " fail"));
  return ok;
}

bool FakePlatform::CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) {
  return CopyOneFile(from, to, fail_if_exists);
}

platform::ReplaceOutcome FakePlatform::ReplaceWithCopy(const Text& from,
                                                       const Text& staging,
                                                       const Text& to) {
  using platform::ReplaceOutcome;
  const Unmetered unmetered;
  Touch();
  // The held download is read through its handle: as it was checked.
  const auto found = files.find(from);
  const File* source = found == files.end() ? nullptr : &found->second;
  if (!held_download.empty() && from == held_download)
    source = &held;
  ReplaceOutcome outcome = ReplaceOutcome::kReplaced;
  // A copy kept from a refused try from the same source is renamed as it is.
  std::optional<File> staged;
  if (kept_ && kept_from_ == from)
    staged.swap(kept_);
  kept_.reset();
  if (Fails("replace", from) || !source || source->delete_pending || !dirs.count(Parent(to)) ||
      files.count(staging)) {
    outcome = ReplaceOutcome::kFailed;
  } else if (auto existing = files.find(to); existing != files.end()) {
    // Replaced by a rename, or freed first when only its attributes are
    // read; any other holder, a running image or the read-only bit refuse.
    const File& old = existing->second;
    if (old.in_use || old.shared_delete || old.delete_pending || !RunningFrom(to).empty() ||
        (old.attributes & platform::kAttrReadOnly))
      outcome = ReplaceOutcome::kInUse;
  }
  if (outcome != ReplaceOutcome::kFailed && !staged) {
    staged = PlainCopy(*source);
    ++staged_copies;
    now_ms += copy_ms;
  }
  if (outcome == ReplaceOutcome::kInUse) {
    kept_.swap(staged);
    kept_from_ = from;
  }
  if (outcome == ReplaceOutcome::kReplaced)
    files[to] = *staged;
  static const char* const kNames[] = {"ok", "in-use", "fail", "fail-after-change"};
  Log("replace " + Utf8(from) + " -> " + Utf8(to) + " " + kNames[static_cast<int>(outcome)]);
  return outcome;
}

void FakePlatform::RemoveAsideFiles(const Text& path) {
  const Unmetered unmetered;
  Log("remove-aside " + Utf8(path));
  if (Fails("remove-aside", path))
    return;
  Touch();
  const Text folder = Parent(path);
  const Text pattern = BaseName(path) + VT(".*.deleted");
  for (auto it = files.begin(); it != files.end();) {
    if (Parent(it->first) != folder || !WildcardMatch(pattern, BaseName(it->first))) {
      ++it;
    } else if (it->second.shared_delete || it->second.attributes_holder || it->second.in_use) {
      it->second.delete_pending = !it->second.in_use;
      ++it;
    } else {
      it = files.erase(it);
    }
  }
}

std::vector<platform::ProcessEntry> FakePlatform::SnapshotProcesses(uint32_t flags) {
  const Unmetered unmetered;
  Log("snapshot " + Hex(flags));
  std::vector<platform::ProcessEntry> entries;
  if (Fails("snapshot", Text()))
    return entries;
  for (const Process& process : processes) {
    if (process.alive)
      entries.push_back({process.pid, process.exe_field});
  }
  return entries;
}

uint32_t FakePlatform::CurrentProcessId() {
  const Unmetered unmetered;
  return self_pid;
}

std::optional<uint32_t> FakePlatform::ProcessSessionId(uint32_t pid) {
  const Unmetered unmetered;
  Log("session " + std::to_string(pid));
  Process* process = Find(pid);
  if (Fails("session", Text()))
    return std::nullopt;
  if (pid == self_pid)
    return self_session;
  if (!process || process->session_unreadable)
    return std::nullopt;
  return process->session;
}

Text FakePlatform::ProcessImagePath(uint32_t pid, uint32_t access) {
  const Unmetered unmetered;
  Log("image " + std::to_string(pid) + " " + Hex(access));
  Process* process = Find(pid);
  if (Fails("image", Text()) || !process || process->query_refused)
    return Text();
  return process->image;
}

platform::TerminateOutcome FakePlatform::TerminateProcessById(uint32_t pid,
                                                              uint32_t access,
                                                              uint32_t exit_code) {
  const Unmetered unmetered;
  using platform::TerminateOutcome;
  Process* process = Find(pid);
  TerminateOutcome outcome = TerminateOutcome::kTerminated;
  if (Fails("terminate", Text()) || !process)
    outcome = TerminateOutcome::kOpenFailed;
  else if (process->full_access_refused &&
           (access != platform::kProcessTerminate || !privilege_enabled))
    outcome = TerminateOutcome::kOpenFailed;
  else if (process->terminate_refused)
    outcome = TerminateOutcome::kTerminateFailed;
  if (outcome == TerminateOutcome::kTerminated)
    ExitProcess(pid, exit_code);
  static const char* const kNames[] = {"open-failed", "failed", "ok"};
  Log("terminate " + std::to_string(pid) + " " + Hex(access) + " " +
      kNames[static_cast<int>(outcome)]);
  return outcome;
}

platform::TerminateOutcome FakePlatform::TerminateIfMatching(uint32_t pid,
                                                             uint32_t access,
                                                             uint32_t exit_code,
                                                             const platform::ProcessCheck& check) {
  using platform::TerminateOutcome;
  std::optional<platform::ProcessIdentity> found;
  const Process* process = nullptr;
  {
    const Unmetered unmetered;
    // Whatever holds `pid` as the call begins opens, is checked and ends; one
    // refusing full access opens, with the privilege, to terminate and query.
    process = Fails("terminate", Text()) ? nullptr : Find(pid);
    constexpr uint32_t kPrivileged = platform::kProcessTerminate | platform::kProcessQueryLimited;
    if (process &&
        (!process->full_access_refused || (privilege_enabled && !(access & ~kPrivileged))))
      found = {process->query_refused ? Text() : process->image,
               process->session_unreadable ? std::nullopt : std::optional(process->session)};
  }
  const bool matching = found && check(*found);  // the program's own: its allocations count
  const Unmetered unmetered;
  const TerminateOutcome outcome = !found                       ? TerminateOutcome::kOpenFailed
                                   : !matching                  ? TerminateOutcome::kNotMatching
                                   : process->terminate_refused ? TerminateOutcome::kTerminateFailed
                                                                : TerminateOutcome::kTerminated;
  if (outcome == TerminateOutcome::kTerminated)
    ExitProcess(pid, exit_code);
  static const char* const kNames[] = {"open-failed", "failed", "ok", "not-matching"};
  Log("terminate " + std::to_string(pid) + " " + Hex(access) + " " +
      kNames[static_cast<int>(outcome)]);
  return outcome;
}

void FakePlatform::EnableDebugPrivilege() {
  const Unmetered unmetered;
  Log("privilege");
  privilege_enabled = true;
}

Text FakePlatform::ToLower(const Text& s) {
  const Unmetered unmetered;
  Text out = s;
  for (Char& c : out)
    c = Fold(c);
  return out;
}

void FakePlatform::ShowErrorBox(const Text& caption, const Text& text) {
  const Unmetered unmetered;
  Log("box " + Utf8(text.substr(0, text.find(Char('\r')))));
  boxes.emplace_back(caption, text);
  if (on_box)
    on_box();
}

bool FakePlatform::RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) {
  {
    const Unmetered unmetered;
    Log("form " + Utf8(title) + " " + std::to_string(interval_ms));
  }
  timer_running = true;
  stop_requested_ = false;
  long long due = now_ms;
  while (!stop_requested_ && ticks_run < max_ticks) {
    // A tick that overran the next comes at once after it, as a window timer's.
    due += interval_ms;
    if (now_ms < due)
      now_ms = due;
    while (due + interval_ms <= now_ms)
      due += interval_ms;
    ++ticks_run;
    if (auto it = before_tick.find(ticks_run); it != before_tick.end()) {
      const Unmetered unmetered;
      it->second();
    }
    on_tick();
  }
  timer_running = false;
  return true;
}

void FakePlatform::StopTimer() {
  const Unmetered unmetered;
  Log("stop-timer");
  stop_requested_ = true;
}

void FakePlatform::Pause(unsigned ms) {
  const Unmetered unmetered;
  Log("pause " + std::to_string(ms));
  now_ms += ms;
  if (on_pause)
    on_pause();
}

uint64_t FakePlatform::NowMs() {
  return uint64_t(now_ms);
}

void FakePlatform::EndProcess(int code) {
  const Unmetered unmetered;
  Log("exit " + std::to_string(code));
  throw QuitSignal{code};
}

}  // namespace fake
