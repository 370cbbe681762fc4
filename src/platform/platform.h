// The one interface between Veltrin's logic and the operating system.
//
// The modules (MMain, MFile, MProcesses, Form1) call only this interface; it
// has a Win32 binding (win_*.cpp), a POSIX binding (posix_*.cpp) and,
// for the tests, a scripted fake. Each operation opens and closes whatever
// handles it needs within the call, with one exception: the single-instance
// token that ClaimSingleInstance claims is held until the process ends.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/text.h"

namespace platform {

// Windows file attribute bits. The POSIX binding maps its own notions onto
// them: a name starting with "." is hidden, a file without any write
// permission bit is read-only, a directory is a directory.
inline constexpr uint32_t kAttrReadOnly = 0x1;
inline constexpr uint32_t kAttrHidden = 0x2;
inline constexpr uint32_t kAttrSystem = 0x4;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrArchive = 0x20;
inline constexpr uint32_t kAttrNormal = 0x80;

// Process snapshot flags (CreateToolhelp32Snapshot).
inline constexpr uint32_t kSnapProcess = 0x2;  // TH32CS_SNAPPROCESS
inline constexpr uint32_t kSnapAll = 0xF;      // TH32CS_SNAPALL

// Process access masks (OpenProcess).
inline constexpr uint32_t kProcessTerminate = 0x1;             // PROCESS_TERMINATE
inline constexpr uint32_t kProcessQueryAndRead = 0x410;        // QUERY_INFORMATION | VM_READ
inline constexpr uint32_t kProcessAllAccessLegacy = 0x1F0FFF;  // PROCESS_ALL_ACCESS before Vista
inline constexpr uint32_t kProcessQueryLimited = 0x1000;       // PROCESS_QUERY_LIMITED_INFORMATION

// One entry of a process snapshot.
struct ProcessEntry {
  uint32_t pid = 0;
  // The executable-name field as the snapshot delivers it: a fixed-size field
  // whose text ends at its first NUL (the NUL and what follows are included).
  Text exe_field;
};

// What a process turned out to be, read through the handle that may end it.
struct ProcessIdentity {
  // The full path of its executable, as ProcessImagePath reports it; empty
  // when it cannot be read.
  Text image;
  // Its session number; nullopt when it cannot be read.
  std::optional<uint32_t> session;
};
// Decides whether a process is the one to terminate: refers to a callable
// of the caller's, which must outlive it (a named lambda, or a temporary
// passed straight to the call). No std::function: its empty-call error
// would bring the C++ runtime's exceptions into a program without them.
class ProcessCheck {
 public:
  template <typename Check>
  ProcessCheck(const Check& check)  // NOLINT: converts, as a function parameter does
      : check_(&check), call_([](const void* callable, const ProcessIdentity& found) {
          return bool((*static_cast<const Check*>(callable))(found));
        }) {}
  bool operator()(const ProcessIdentity& found) const { return call_(check_, found); }

 private:
  const void* check_;
  bool (*call_)(const void* callable, const ProcessIdentity& found);
};

// What ReplaceWithCopy came to.
enum class ReplaceOutcome {
  kReplaced,  // the destination holds the copy, on disk
  kInUse,     // refused: sharing violation or access denied; worth another try
  kFailed,    // refused for any other reason
  // Failed after `to` was changed: it may hold the copy (the rename could
  // not be written through) or be missing (the old file could not be put
  // back). Whatever `to` held must be restored.
  kFailedAfterChange,
};

// What the trust check of a download came to.
enum class TrustOutcome {
  kNoReference,   // the installed program, the reference, carries no signature
                  // at all: there is nothing to hold the download against
  kTrusted,       // validly signed by the reference's publisher
  kRefused,       // unsigned, broken, another publisher's, or unreadable
  kUnverifiable,  // the installed program, the reference, carries a signature
                  // that does not verify here, or cannot be read or checked
};

// Whose publisher an elevated update holds the download against.
enum class TrustReference {
  kOwnPublisher,  // the one CheckOwnPublisher found this program signed by
  kInstalled,     // the installed program's: this program carries no signature
};

// What the check of this program's own signature, and of the installed
// program's against it, came to.
enum class PublisherCheck {
  kOwnUnsigned,        // this program carries no signature at all
  kOwnUnverifiable,    // it carries one that does not verify here, or its
                       // image or the trust services cannot be opened
  kInstalledAlike,     // it verifies, and so does the installed program's
                       // signature by the same publisher
  kInstalledNotAlike,  // it verifies; the installed program carries no valid
                       // signature of its publisher (none, another's, one
                       // that does not verify, or it cannot be read)
};

// What a start as the desktop's user came to.
enum class UserStartOutcome {
  kStarted,       // the start request was accepted
  kFailed,        // the user's token was had, but the start was refused
  kNoShell,       // no shell window: nobody's desktop to start the program on
  kNoShellToken,  // the shell's process or token could not be had
};

enum class TerminateOutcome {
  kOpenFailed,       // the process could not be opened with the access asked for
  kTerminateFailed,  // opened, but the terminate call failed
  kTerminated,       // the termination was started
  kNotMatching,      // opened, but not the process asked for: left running
};

class Platform {
 public:
  virtual ~Platform() = default;

  // --- Start-up -----------------------------------------------------------

  // The command line's argument text: everything after the program's own
  // name and the blanks that follow it, quotes included.
  virtual Text ArgumentText() = 0;
  // Claims the single-instance token for the rest of the process's life.
  // False when another instance of this program already holds it.
  virtual bool ClaimSingleInstance() = 0;
  // The folder of this program's own executable, without a trailing
  // separator; empty when it cannot be found.
  virtual Text OwnExecutableDirectory() = 0;
  // Starts exactly the executable at `path` (no other file is ever tried, no
  // arguments), in a normal activated window. True when the start request was
  // accepted. The started program outlives this one.
  virtual bool StartProgram(const Text& path) = 0;
  // True when this program runs with an elevated token: an administrator's,
  // after the system's consent prompt; nullopt when it cannot be told.
  virtual std::optional<bool> IsElevated() = 0;
  // Starts `path` as StartProgram does, but as the user whose shell owns the
  // desktop (the process behind the shell window), with that user's token
  // rather than this program's.
  virtual UserStartOutcome StartProgramAsDesktopUser(const Text& path) = 0;
  // Asks the desktop's shell, through its automation interface, to start
  // `path` in a normal window: the shell starts it as the user whose desktop
  // this is, and needs no service for it. kNoShell when no desktop shell
  // answers; kFailed when it refused the request. The shell starts the
  // program on its own: kStarted says the request was accepted, not that
  // the program runs.
  virtual UserStartOutcome StartProgramThroughShell(const Text& path) = 0;
  // Claims, for the rest of the process's life, a token that one process of
  // the whole machine (any session, any user) can hold for `main_path`,
  // letter case ignored. False when another process holds it, or when it
  // cannot be claimed at all.
  virtual bool ClaimMachineInstance(const Text& main_path) = 0;
  // Writes one diagnostic line where a developer can read it (the debugger
  // stream on Windows, standard error on POSIX). Only diagnostic builds call it.
  virtual void DebugOutput(const Text& line) = 0;

  // --- Files ----------------------------------------------------------------

  // Paths are absolute. The Win32 binding reaches any length the system
  // allows (long paths take the extended-length form on the way in).

  // First-match directory lookup of `pattern`, whose last component may hold
  // the wildcards "*" and "?" and which, ending in a separator, stands for
  // every entry of that folder. Directories and entries with the hidden or
  // system attribute are skipped. Returns the first matching name; empty when
  // nothing matches or the lookup fails (bad name, missing folder or drive).
  virtual Text FirstFileMatch(const Text& pattern) = 0;
  // The file attribute bits of `path`; nullopt when they cannot be read.
  virtual std::optional<uint32_t> GetAttributes(const Text& path) = 0;
  // Sets the attribute bits of `path`; false on failure.
  virtual bool SetAttributes(const Text& path, uint32_t attributes) = 0;
  // Deletes the file `path`; false on failure (missing, read-only, in use).
  virtual bool DeleteOneFile(const Text& path) = 0;
  // Copies the bytes and the last-write time of the file `from` to `to`, and
  // writes the copy through to the disk, data and metadata (on POSIX the
  // folder entry that names it too), before returning: after true it
  // survives a power cut. Nothing else comes along: no other data stream
  // (a download's mark of origin stays behind), no attribute; the copy is a
  // plain file that anyone who may write here can replace (on POSIX it
  // keeps the source's execute bits and is writable by its owner). With
  // `fail_if_exists` an existing destination makes the copy fail; without
  // it the destination is replaced, unless it is read-only, hidden or in
  // use. Nobody else can open a copy being made. False on failure, which
  // leaves no destination that this call created, and leaves an existing
  // destination it refused untouched.
  virtual bool CopyOneFile(const Text& from, const Text& to, bool fail_if_exists) = 0;
  // Copies as CopyOneFile does, but does not wait for the disk: the copy
  // stays open, and nobody else can open it, until the next ReplaceWithCopy
  // writes it through together with its own copy, before its rename, so
  // that both reach the disk in one wait. Until then a power cut may lose
  // it, and it is not to be read. One such copy at a time; a second one
  // writes the first through first.
  virtual bool CopyOneFileUnflushed(const Text& from, const Text& to, bool fail_if_exists) = 0;
  // Deletes the file `path` so that its name is free the moment this
  // returns true. Windows merely marks a file for deletion while another
  // program holds it open, and the name stays taken until the last holder
  // lets go. A holder that reads, writes or deletes (a scanner, even one
  // that allows deletion) makes this refuse the file and leave it whole. A
  // holder that only reads attributes or waits on the file (an indexer, a
  // backup agent; no sharing mode keeps those out) cannot stop the delete:
  // the file is first moved aside under another name in its folder, which
  // it keeps until that holder lets go, and then is deleted. A file that
  // cannot be deleted (a running program's image, a read-only file) is
  // never moved. False on failure (missing, read-only, running, in use),
  // with the file whole under its own name.
  virtual bool DeleteUnsharedFile(const Text& path) = 0;
  // Replaces the file `to` with a copy of `from` so that `to` names a whole
  // file, the old one or the copy, at every instant, a power cut included.
  // The copy is made in `staging`, a free name in `to`'s folder, as
  // CopyOneFile makes a fresh file (bytes and last-write time, written
  // through to the disk, nobody else can open it meanwhile), and is then
  // renamed onto `to` on its own handle, replacing the file there; the
  // rename is written through too. Where the file at `to` cannot be replaced
  // in place (a holder that only reads attributes), its name is freed first
  // the way DeleteUnsharedFile frees one and the copy renamed in: `to` is
  // then absent for that one rename. A missing `to` is simply created. A
  // copy being made that the process ends with (killed, logged off) goes
  // with it where the system allows. After kReplaced, `to` is a plain file
  // holding the copy and `staging` is free; after any other outcome, `to`
  // is as it was, whole under its own name, and no file this call created
  // is left - with two exceptions. Where `to` was changed before the
  // failure, kFailedAfterChange is reported, so that the caller restores
  // what it must. And after kInUse the copy may be kept, whole and on
  // disk, under `staging`, held by this program and gone with it: a call
  // again from the same source file renames it instead of copying again.
  // A copy left pending by CopyOneFileUnflushed is written through before
  // the rename; where that fails, kFailed, `to` untouched.
  virtual ReplaceOutcome ReplaceWithCopy(const Text& from, const Text& staging, const Text& to) = 0;
  // Checks this program's own code signature, through a handle on its own
  // image, with the system's trust services (loaded as for
  // HoldAndCheckDownload, no network). Where it verifies, its signer is kept
  // as this program's publisher, and `installed` is checked the same way
  // against it. A file carries no signature at all only where its image
  // header says so; every other failure is a signature that cannot be
  // verified.
  virtual PublisherCheck CheckOwnPublisher(const Text& installed) = 0;
  // Opens the file `download` for reading, sharing reading only, and keeps
  // it open until this program ends: nobody can write, rename or delete it
  // meanwhile, and a ReplaceWithCopy from that path reads through this very
  // handle, so the bytes checked here are the bytes installed. Then checks
  // its code signature through that handle with the system's trust
  // services (no network: revocation is not fetched), loaded on first use
  // from the system folder by full path, and compares its signer with
  // `reference`'s publisher: this program's own, as CheckOwnPublisher
  // verified it (kRefused where it did not), or the one that signed
  // `installed`. Against `installed`: kNoReference where it carries no
  // signature at all, whether or not the download could be opened;
  // kUnverifiable where its signature does not verify, or it or the trust
  // services cannot be opened. A download that cannot be opened or read is
  // kRefused.
  virtual TrustOutcome HoldAndCheckDownload(const Text& download,
                                            const Text& installed,
                                            TrustReference reference) = 0;
  // Removes the files that DeleteUnsharedFile moved aside in earlier runs
  // from `path` and that are still there: a power cut came before their
  // holder let go, or a rename back failed. Only names of exactly the form
  // DeleteUnsharedFile gives (`path`'s name, ".", a process id and a try
  // number in hexadecimal joined by "-", ".deleted") are removed; anything
  // else is left alone. Any attributes; one still held is marked for
  // deletion and left. Best effort: nothing is reported.
  virtual void RemoveAsideFiles(const Text& path) = 0;

  // --- Processes --------------------------------------------------------------

  // Every entry of a fresh process snapshot taken with `flags`, in snapshot
  // order; empty when no snapshot can be made.
  virtual std::vector<ProcessEntry> SnapshotProcesses(uint32_t flags) = 0;
  virtual uint32_t CurrentProcessId() = 0;
  // The session number of process `pid`; nullopt when it cannot be fetched.
  virtual std::optional<uint32_t> ProcessSessionId(uint32_t pid) = 0;
  // The full path of the executable that process `pid` runs, opening it with
  // `access`, exactly as the system reports it; empty when it cannot be read.
  virtual Text ProcessImagePath(uint32_t pid, uint32_t access) = 0;
  // Opens process `pid` with `access` and terminates it with `exit_code`.
  virtual TerminateOutcome TerminateProcessById(uint32_t pid,
                                                uint32_t access,
                                                uint32_t exit_code) = 0;
  // Opens process `pid` once with `access`, reads its image path and its
  // session through that one open, and terminates it with `exit_code`
  // through the same open only when `check` accepts what was read
  // (kNotMatching otherwise). An id freed and given to another process
  // after the caller chose it names that other process here, which the
  // check then sees; while the open lasts, the id names nobody else. The
  // image path needs query access (limited query suffices), the session
  // none.
  virtual TerminateOutcome TerminateIfMatching(uint32_t pid,
                                               uint32_t access,
                                               uint32_t exit_code,
                                               const ProcessCheck& check) = 0;
  // Enables the debug privilege in this program's own token, where the user
  // holds it. Its outcome is not reported: callers go on either way.
  virtual void EnableDebugPrivilege() = 0;
  // `s` with its letters lower-cased, by the platform's own mapping.
  virtual Text ToLower(const Text& s) = 0;

  // --- The hidden form and its timer --------------------------------------------

  // Shows a modal error box with one OK button and returns when it is closed.
  virtual void ShowErrorBox(const Text& caption, const Text& text) = 0;
  // Creates the hidden, never shown host titled `title` and calls `on_tick`
  // every `interval_ms` from the calling thread, dispatching the host's
  // messages in between. Returns after a tick has called StopTimer, or at once
  // (false) if the host cannot be created.
  virtual bool RunTimer(const Text& title, unsigned interval_ms, void (*on_tick)()) = 0;
  // Stops the ticks and destroys the hidden host; RunTimer returns once the
  // current tick has ended.
  virtual void StopTimer() = 0;
  // Waits `ms` milliseconds on the calling thread, dispatching nothing.
  virtual void Pause(unsigned ms) = 0;
  // Milliseconds of a clock that only moves forward, from any start: for
  // the time between two readings, whenever the ticks come.
  virtual uint64_t NowMs() = 0;
  // Ends the process at once with `code`.
  [[noreturn]] virtual void EndProcess(int code) = 0;
};

// The binding of the system this program is built for (one per binding file).
Platform& Native();

// The platform every module talks to. The process's entry installs the native
// binding; tests install their fake.
Platform& Os();
void SetOs(Platform* os);

}  // namespace platform
