// A scripted stand-in for the operating system: in-memory files, a process
// table, virtual time for the form's timer, and an ordered log of every call,
// trace and message box. Any call can be made to fail, or to raise an error,
// on demand, so that every error path of the logic is reachable.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

// Thrown by EndProcess: unwinds the logic the way the real process end
// stops it (no statement after it runs). Not a std::exception, so the
// logic's error-ignoring stretches never swallow it.
struct QuitSignal {
  int code;
};

// An error raised by a platform call, as the runtime would raise one.
struct RaisedError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct File {
  std::string bytes;
  uint32_t attributes = platform::kAttrArchive;
  bool in_use = false;  // open elsewhere: cannot be deleted or overwritten
  // Open elsewhere with read and delete sharing (a scanner): it can be
  // marked for deletion, but keeps its name until CloseElsewhere, and can be
  // neither overwritten nor opened again meanwhile.
  bool shared_delete = false;
  // Open elsewhere only to read its attributes (an indexer), which no
  // sharing mode keeps out: a plain delete only marks it, and it keeps its
  // name until CloseElsewhere.
  bool attributes_holder = false;
  bool delete_pending = false;
  // The publisher whose signature the file carries; empty: unsigned. A
  // copy carries it along.
  std::string publisher;
  bool tampered = false;  // changed after it was signed: the signature fails
};

struct Process {
  uint32_t pid = 0;
  Text image;      // full path of its executable
  Text exe_field;  // the snapshot's name field (name, NUL, padding)
  uint32_t session = 1;
  bool alive = true;
  bool session_unreadable = false;
  bool query_refused = false;        // its image path cannot be read
  bool full_access_refused = false;  // only terminate access, with the privilege
  bool terminate_refused = false;    // opens, but the terminate call fails
  std::optional<uint32_t> exit_code;
};

// The allocations the program under test makes, for sweeps that make each
// one fail in turn. The unit-test program replaces the global operator new
// to keep it; allocations of the fake itself are not counted.
struct AllocationMeter {
  bool armed = false;
  long count = 0;    // counted since armed
  long fail_at = 0;  // the one that fails (1: the first); 0: none
  // Set from a change on disk (attributes, delete, copy) until a program is
  // started: the stretch in which the program must allocate nothing.
  bool unsettled = false;
  long unsettled_count = 0;  // counted in that stretch
  int paused = 0;            // inside the fake
};
extern AllocationMeter meter;

// A path written with "/" as the separator, in the platform's own form.
Text P(const std::string& generic_utf8);
// UTF-8 for assertions and the log.
std::string Utf8(const Text& text);

class FakePlatform : public platform::Platform {
 public:
  // Installs itself as the platform and as the trace sink, and resets the
  // start-up globals and the form.
  FakePlatform();
  ~FakePlatform() override;

  // --- Scripting -----------------------------------------------------------
  Text args;
  bool other_instance = false;
  bool elevated = false;
  bool elevation_unknown = false;  // IsElevated cannot tell
  // This program's own signer; empty: none at all; nullopt: does not verify.
  std::optional<std::string> own_publisher = std::string();
  // What StartProgramAsDesktopUser finds; when it finds the user, the start
  // goes as StartProgram's would.
  platform::UserStartOutcome desktop_user = platform::UserStartOutcome::kStarted;
  // What StartProgramThroughShell finds, likewise.
  platform::UserStartOutcome desktop_shell = platform::UserStartOutcome::kStarted;
  bool other_machine_instance = false;  // another elevated Veltrin claimed MainPath
  Text exe_dir = P("/opt/Lumora");
  uint32_t self_pid = 4120;
  uint32_t self_session = 1;
  int max_ticks = 500;  // the timer stops by itself after this many ticks
  // The virtual time each copy takes, staged or not.
  long long copy_ms = 0;
  // Runs before the timer tick with that number (1 = first tick of the form).
  std::map<int, std::function<void()>> before_tick;
  // Decides what StartProgram does; by default a file that exists and does
  // not begin with "not-an-exe" starts and stays running.
  std::function<bool(const Text& path)> on_start;
  // Called while a message box is open (after it is logged).
  std::function<void()> on_box;
  // Called after each Pause, once the virtual clock has moved on.
  std::function<void()> on_pause;
  // Called at the start of every call that can fail, before the fault is
  // decided: what the program left on disk with its previous call.
  std::function<void()> on_call;
  // Failure injection by operation name ("copy", "replace", "delete", "setattr",
  // "getattr", "lookup", "start", "snapshot", "image", "terminate",
  // "session", "trust", "signature") and first argument.
  std::function<bool(const std::string& op, const Text& arg)> fail_if;
  std::function<bool(const std::string& op, const Text& arg)> raise_if;
  int calls = 0;         // calls made that can fail, in order
  bool touched = false;  // a file was changed (attributes, delete, copy)

  std::map<Text, File> files;
  std::set<Text> dirs;
  std::vector<Process> processes;

  void AddFile(const Text& path,
               const std::string& bytes,
               uint32_t attributes = platform::kAttrArchive);
  void AddDir(const Text& path);
  std::optional<std::string> Bytes(const Text& path) const;
  // The other program holding `path` closes it: a file marked for deletion
  // goes.
  void CloseElsewhere(const Text& path);
  // A new live process running from `image`; returns its pid.
  uint32_t Spawn(const Text& image, uint32_t session = 1);
  Process* Find(uint32_t pid);
  void ExitProcess(uint32_t pid, uint32_t code = 0);
  // Pids of live processes running from exactly `image`.
  std::vector<uint32_t> RunningFrom(const Text& image) const;

  // Runs MMain::Main to its end. Returns the exit code given to EndProcess,
  // or nullopt when Main returned (no form, or the timer ran out).
  std::optional<int> RunMain();

  // --- Observation -----------------------------------------------------------
  std::vector<std::string> log;              // every call, trace and box, in order
  std::vector<std::pair<Text, Text>> boxes;  // caption, text
  int ticks_run = 0;
  long long now_ms = 0;
  int staged_copies = 0;  // copies ReplaceWithCopy made into its staging file
  bool privilege_enabled = false;
  // The download HoldAndCheckDownload holds, and the file as it checked it:
  // what a replace from that path copies.
  Text held_download;
  File held;
  bool timer_running = false;
  // The log lines that start with `prefix`.
  std::vector<std::string> Lines(const std::string& prefix) const;
  std::vector<std::string> Traces() const;
  // Position of the first log line equal to `line`, or -1.
  int IndexOf(const std::string& line) const;

  // --- platform::Platform ------------------------------------------------------
  Text ArgumentText() override;
  bool ClaimSingleInstance() override;
  Text OwnExecutableDirectory() override;
  bool StartProgram(const Text& path) override;
  std::optional<bool> IsElevated() override;
  platform::UserStartOutcome StartProgramAsDesktopUser(const Text& path) override;
  platform::UserStartOutcome StartProgramThroughShell(const Text& path) override;
  bool ClaimMachineInstance(const Text& main_path) override;
  platform::PublisherCheck CheckOwnPublisher(const Text& installed) override;
  platform::TrustOutcome HoldAndCheckDownload(const Text& download,
                                              const Text& installed,
                                              platform::TrustReference reference) override;
  void DebugOutput(const Text& line) override;
  Text FirstFileMatch(const Text& pattern) override;
  std::optional<uint32_t> GetAttributes(const Text& path) override;
  bool SetAttributes(const Text& path, uint32_t attributes) override;
  bool DeleteOneFile(const Text& path) override;
  bool CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) override;
  bool CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) override;
  bool DeleteUnsharedFile(const Text& path) override;
  platform::ReplaceOutcome ReplaceWithCopy(const Text& from,
                                           const Text& staging,
                                           const Text& to) override;
  void RemoveAsideFiles(const Text& path) override;
  std::vector<platform::ProcessEntry> SnapshotProcesses(uint32_t flags) override;
  uint32_t CurrentProcessId() override;
  std::optional<uint32_t> ProcessSessionId(uint32_t pid) override;
  Text ProcessImagePath(uint32_t pid, uint32_t access) override;
  platform::TerminateOutcome TerminateProcessById(uint32_t pid,
                                                  uint32_t access,
                                                  uint32_t exit_code) override;
  platform::TerminateOutcome TerminateIfMatching(uint32_t pid,
                                                 uint32_t access,
                                                 uint32_t exit_code,
                                                 const platform::ProcessCheck& check) override;
  void EnableDebugPrivilege() override;
  Text ToLower(const Text& s) override;
  void ShowErrorBox(const Text& caption, const Text& text) override;
  bool RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) override;
  void StopTimer() override;
  void Pause(unsigned ms) override;
  uint64_t NowMs() override;
  [[noreturn]] void EndProcess(int code) override;

 private:
  bool Fails(const std::string& op, const Text& arg);
  // The signer of `path`: "" none at all; nullopt: missing, changed, or failed.
  std::optional<std::string> Signer(const Text& path);
  // A change on disk begins: the program must allocate nothing until a
  // program is started.
  void Touch();
  // What any delete of `path` needs: present, writable, not in use or running.
  bool Deletable(const Text& path);
  // `found`, unless a fault is planted or the program does not start.
  platform::UserStartOutcome StartAs(const char* what,
                                     platform::UserStartOutcome found,
                                     const Text& path);
  void Log(const std::string& line) { log.push_back(line); }
  uint32_t next_pid_ = 3960;
  // The staged copy a replace refused for a file in use kept, and its source.
  std::optional<File> kept_;
  Text kept_from_;
  bool stop_requested_ = false;
};

}  // namespace fake
