// The update sequencer.
#include "sequencer/form1.h"

#include <array>
#include <cstdlib>
#include <new>
#include <optional>

#include "fileservices/mfile.h"
#include "platform/platform.h"
#include "platform/trap.h"
#include "processes/mprocesses.h"
#include "sequencer/messages.h"
#include "startup/mmain.h"
#include "startup/trace.h"

namespace Form1 {

TimerControl Timer1;
int32_t Tick = 0;
int32_t Step = 0;

namespace {

using MFile::CopyFileTo;
using MFile::DeleteFileForced;
using MFile::FileExists;
using MMain::BackupPath;
using MMain::MainPath;
using MMain::NewPath;
using MMain::Trace;
using MProcesses::AnySession;

bool g_in_tick = false;

// How far the swap has come: what a failure must undo, and which box tells
// the user.
enum class Stage {
  kWaiting,    // the old program may still run; nothing on disk has changed
  kChecking,   // elevated: the download's signature is checked; M3, nothing to restore
  kBackingUp,  // the old executable is untouched at MainPath: M1
  kPurging,    // self-restart: the libraries go, the product restarts
  kReplacing,  // MainPath being replaced: M2, restore first
  kStarting,   // the new version is in place: M3, restore first
  kWatching,   // its start was accepted: M4 at the watch limit, restore first
};
Stage g_stage = Stage::kWaiting;
bool g_rolling_back = false;
// Whether MainPath may have been changed: from the replace on, unless it
// was refused before its rename. Where it never was, nothing is restored.
bool g_main_changed = false;
// When the start of the new version was accepted, by the platform's clock.
uint64_t g_started_at_ms = 0;

// Everything the swap and its rollbacks need, built when the form is
// loaded, before anything on disk changes. From the first change on, the
// swap and every rollback allocate nothing, so running out of memory cannot
// stop the process between the delete of the old executable and its
// restore.
struct Prepared {
  Text backup_path;
  // Where the new executable, or the old one on a restore, is copied before
  // it is renamed onto MainPath: in MainPath's folder, so on its volume.
  Text staging_path;
  // A download saved at the backup or the staging path would be deleted as
  // a stale file before it is copied. The file system ignores letter case,
  // and so does this test.
  bool download_in_the_way = false;
  Text box_backup_failed;
  Text box_replace_failed;
  Text box_start_failed;
  Text box_not_running;
  // Elevated: this program's own signature, and the installed program's
  // against it, as found at start.
  platform::PublisherCheck publisher = platform::PublisherCheck::kOwnUnsigned;
  // Empty when there is nothing to purge: not the self-restart mode, or
  // this program's own folder is unknown. A path made from an empty folder
  // would name the "bin" folder at the root of the drive instead.
  std::array<Text, kLibraries.size()> libraries;
};
Prepared g_prepared;

Text JoinLines(const BoxText& box) {
  return box.first + kBoxLineBreaks + box.second;
}

void Prepare() {
  auto& os = platform::Os();
  g_prepared.backup_path = MainPath + kBackupSuffix;
  g_prepared.staging_path = MainPath + kStagingSuffix;
  const Text download = os.ToLower(NewPath);
  g_prepared.download_in_the_way = download == os.ToLower(g_prepared.backup_path) ||
                                   download == os.ToLower(g_prepared.staging_path);
  g_prepared.box_backup_failed = JoinLines(kBoxBackupFailed);
  g_prepared.box_replace_failed = JoinLines(kBoxReplaceFailed);
  g_prepared.box_start_failed = JoinLines(kBoxStartFailed);
  g_prepared.box_not_running = JoinLines(kBoxNotRunning);
  if (!MMain::SelfRestart)
    return;
  const Text folder = os.OwnExecutableDirectory();
  if (folder.empty())
    return;
  for (size_t i = 0; i < kLibraries.size(); ++i)
    g_prepared.libraries[i] =
        folder + kPathSeparator + kLibraryFolder + kPathSeparator + kLibraries[i];
}

[[noreturn]] void FailedMidway();

// Installed once the swap has begun: an allocation that fails runs the
// rollback instead of ending the process half-way.
void OutOfMemory() {
  FailedMidway();
}

// Puts the backup back at MainPath the way the swap put the new version
// there: staged and renamed over it, so MainPath holds a whole program
// throughout. A security product opens every freshly written executable
// for a moment; a restore it refuses is tried again for a while.
void RestoreBackup() {
  for (unsigned waited = 0;; waited += kRestoreRetryMs) {
    const platform::ReplaceOutcome outcome =
        MFile::ReplaceWithCopy(BackupPath, g_prepared.staging_path, MainPath);
    if (outcome != platform::ReplaceOutcome::kInUse || waited >= kRestoreRetryForMs)
      return;
    platform::Os().Pause(kRestoreRetryMs);
  }
}

// Undoes what the swap has done so far and ends. The backup is put back
// over the main executable (where it may have been replaced) before the box
// opens: a windowless program seldom gets the foreground, so the box may
// wait for hours behind other windows while the user logs off or the
// process is ended. Then the box, then the product restarts. Each step runs
// even if the one before it failed: at worst the product restarts from
// whatever MainPath holds, which is always a whole program. The new copy is
// a plain file, so no attribute of its own keeps the old program from
// coming back, and the restored copy is on disk before it runs again.
[[noreturn]] void RollBack() {
  g_rolling_back = true;
  const Text* box = nullptr;
  switch (g_stage) {
    case Stage::kWaiting:
    case Stage::kPurging:
      break;
    case Stage::kChecking:
      // A refused self-restart has installed nothing: it restarts the
      // product, without a box about a new version.
      if (!MMain::SelfRestart)
        box = &g_prepared.box_start_failed;
      break;
    case Stage::kBackingUp:
      box = &g_prepared.box_backup_failed;
      break;
    case Stage::kReplacing:
      box = &g_prepared.box_replace_failed;
      break;
    case Stage::kStarting:
      box = &g_prepared.box_start_failed;
      break;
    case Stage::kWatching:
      box = &g_prepared.box_not_running;
      break;
  }
  if (g_stage > Stage::kReplacing || (g_stage == Stage::kReplacing && g_main_changed))
    IgnoringErrors(&RestoreBackup);
  if (box)
    IgnoringErrors([box] { platform::Os().ShowErrorBox(kTitle, *box); });
  if (g_stage == Stage::kBackingUp)
    Trace(kTraceBackupFailed);
  MMain::StartTarget();
  Quit();
}

// An error raised, or an allocation that failed, outside the stretches that
// ignore errors. Once the swap has begun, the rollback of the stage it had
// reached runs, as for a failure the swap found itself. Before, nothing has
// changed on disk and the process ends where it stands.
[[noreturn]] void FailedMidway() {
  if (g_stage != Stage::kWaiting && !g_rolling_back)
    RollBack();
  Timer1.Enabled = false;
  platform::Os().StopTimer();
  platform::Os().EndProcess(1);
  std::abort();
}

[[noreturn]] void PurgeLibrariesAndRestart() {
  g_stage = Stage::kPurging;
  Trace(kTraceSelfRestart);
  for (const Text& library : g_prepared.libraries) {
    if (!library.empty())
      DeleteFileForced(library);
  }
  RollBack();
}

// Elevated, this program writes where the user cannot, from a download in
// the user's own folder that any of the user's programs can change, into a
// MainPath any of them can name on the command line: a signed Veltrin
// installs only its own publisher's download, over its own publisher's
// program. A refused download changes nothing on disk: M3, whose text tells
// the user that the download may be incomplete, then the old program starts
// again. The download is held open from the check until it has been copied.
// Where this program carries no signature at all (a build for development
// or tests), the installed program is the reference, and only an installed
// program without any signature leaves nothing to compare with: the update
// goes on as unelevated. Any other signature that cannot be verified - this
// program's, the installed program's, the download's - refuses: the user's
// own programs can make a check fail (hold the file, distrust the
// certificate in the user's store), and a failed check must not switch the
// check off. A self-restart installs nothing: only this program's own
// signature that cannot be verified refuses it.
void CheckDownload() {
  using platform::PublisherCheck;
  using platform::TrustOutcome;
  g_stage = Stage::kChecking;
  if (g_prepared.publisher == PublisherCheck::kOwnUnverifiable) {
    Trace(kTraceOwnUnverifiable);
    RollBack();
  }
  if (MMain::SelfRestart)
    return;
  const platform::TrustReference reference = g_prepared.publisher == PublisherCheck::kInstalledAlike
                                                 ? platform::TrustReference::kOwnPublisher
                                                 : platform::TrustReference::kInstalled;
  const TrustOutcome trust = Trapping(
      [reference] { return platform::Os().HoldAndCheckDownload(NewPath, MainPath, reference); },
      TrustOutcome::kRefused);
  switch (trust) {
    case TrustOutcome::kTrusted:
      return;
    case TrustOutcome::kNoReference:
      Trace(kTraceInstalledUnsigned);
      return;
    case TrustOutcome::kUnverifiable:
      Trace(kTraceInstalledUnverifiable);
      break;
    case TrustOutcome::kRefused:
      Trace(kTraceDownloadRefused);
      break;
  }
  RollBack();
}

// Elevated, before any waiting or terminating: where this program is
// signed, it acts only on a MainPath its own publisher signed. Aimed at any
// other program - unsigned, another vendor's, one whose signature does not
// verify - it does nothing at all, as for a command line without two
// paths. False then.
bool InstalledIsOurs() {
  using platform::PublisherCheck;
  g_prepared.publisher = Trapping([] { return platform::Os().CheckOwnPublisher(MainPath); },
                                  PublisherCheck::kOwnUnverifiable);
  if (g_prepared.publisher != PublisherCheck::kInstalledNotAlike)
    return true;
  Trace(kTraceInstalledNotOurs);
  return false;
}

// The old program is gone: back up, replace and start, all in this tick.
void Swap() {
  std::set_new_handler(&OutOfMemory);
  if (MMain::Elevated)
    CheckDownload();
  g_stage = Stage::kBackingUp;
  Trace(kTraceUpdatingStart);
  BackupPath = std::move(g_prepared.backup_path);
  if (g_prepared.download_in_the_way)
    RollBack();
  // Nothing is deleted unless MainPath holds a program: where it is missing
  // (a power cut between the two renames of a replace, a scanner's
  // quarantine) the stale backup or a file moved aside may be the only copy
  // of the program left. M1, and everything stays.
  if (!MFile::IsFile(MainPath))
    RollBack();
  // What an earlier run left behind goes first: the old executable, its
  // backup or a staging copy moved aside where a power cut or a holder kept
  // it, a half-made staging copy.
  MFile::RemoveAsideFiles(MainPath);
  MFile::RemoveAsideFiles(BackupPath);
  MFile::RemoveAsideFiles(g_prepared.staging_path);
  MFile::DeleteStaleFile(g_prepared.staging_path);
  // A stale backup goes whatever its attributes (a hidden one would make
  // the copy below fail, and every later update with it), and its name is
  // freed at once, so that the backup is always a fresh file: one written
  // into a file pending deletion would vanish with its last holder. One
  // that cannot be freed makes the copy fail.
  MFile::DeleteStaleFile(BackupPath);
  // The backup must be on disk before MainPath changes: after a power cut
  // it may be the only copy of the old program left. The replace below
  // writes it through together with the new version's copy, before its
  // rename. The self-restart changes nothing at MainPath, and has no such
  // replace to wait for.
  const bool backup_made =
      MMain::SelfRestart ? CopyFileTo(MainPath, BackupPath, /*overwrite=*/false)
                         : MFile::CopyFileToUnflushed(MainPath, BackupPath, /*overwrite=*/false);

  if (MMain::SelfRestart)
    PurgeLibrariesAndRestart();

  if (!backup_made || !FileExists(BackupPath))
    RollBack();

  g_stage = Stage::kReplacing;
  // Staged beside MainPath and renamed over it: MainPath holds the whole
  // old program until the new one is whole and on disk, whenever this
  // process is ended. A file another program holds is refused and stays.
  // The new executable carries none of the download's read-only, hidden or
  // system attributes. Refused before its rename, the replace leaves
  // MainPath as it was: nothing to restore.
  g_main_changed = true;
  const platform::ReplaceOutcome replaced =
      MFile::ReplaceWithCopy(NewPath, g_prepared.staging_path, MainPath);
  if (replaced == platform::ReplaceOutcome::kInUse || replaced == platform::ReplaceOutcome::kFailed)
    g_main_changed = false;
  if (replaced != platform::ReplaceOutcome::kReplaced || !FileExists(MainPath)) {
    Trace(kTraceReplaceFailed);
    RollBack();
  }
  Trace(kTraceReplaced);

  Step = 1;
  Tick = 0;
  g_stage = Stage::kStarting;
  if (!MMain::StartTarget()) {
    Trace(kTraceStartFailed);
    RollBack();
  }
  g_started_at_ms = platform::Os().NowMs();
  // The new version is in place and its start was accepted: from here on a
  // lookup that fails, for an error or for lack of memory, only means it
  // was not seen this tick.
  g_stage = Stage::kWatching;
  std::set_new_handler(nullptr);
  Trace(kTraceStarted);
}

// The new version counts as running only when it is seen running at least
// kSeenRunningAfterMs after its start, by the clock: a tick held up by a
// long swap comes a few milliseconds after the start, when even a program
// that is about to crash is still there.
void Watch() {
  const bool settled = platform::Os().NowMs() - g_started_at_ms >= kSeenRunningAfterMs;
  if (settled &&
      Trapping([] { return MProcesses::IsProcessRunning(MainPath, AnySession); }, false)) {
    Trace(kTraceNewVersionRunning);
    Step = 2;
    Tick = 0;
    Quit();
  }
  if (Tick > kWatchLimitTick) {
    Trace(kTraceNotRunning);
    RollBack();
  }
}

// Ends the old program where it lingers. Elevated, with the debug
// privilege, any process of the machine could be ended: only those in this
// session that run MainPath itself are, never another signed-in user's copy
// with its unsaved work (the update then gives up, changing nothing).
void EndLingeringProduct() {
  if (!MMain::Elevated) {
    MProcesses::KillProcessesByName(MFile::GetFileName(MainPath), AnySession);
    return;
  }
  auto& os = platform::Os();
  if (const std::optional<uint32_t> session = os.ProcessSessionId(os.CurrentProcessId()))
    MProcesses::KillProcessesRunning(MainPath, *session);
}

}  // namespace

void Timer1_Timer() {
  Tick += 1;
  if (Step == 0) {
    if (MProcesses::IsProcessRunning(MainPath, AnySession)) {
      if (Tick > kTerminateAfterTick && Tick < kTerminateBeforeTick)
        IgnoringErrors(&EndLingeringProduct);
      // Giving up changes nothing on disk: the swap has not begun.
      if (Tick > kGiveUpAfterTick)
        Quit();
    } else {
      Swap();
    }
  }
  // Not in the start tick: the process just created is in any snapshot
  // taken now, even one that has already exited. A later tick looks once
  // the clock says it has had time to fail.
  if (Step == 1 && Tick > 0)
    Watch();
  if (MMain::Tracing())
    Trace(kTraceStepPrefix + Decimal(Step) + kTraceTickPrefix + Decimal(Tick));
}

void Quit() {
  Timer1.Enabled = false;
  platform::Os().StopTimer();
  platform::Os().EndProcess(0);
  // EndProcess does not return; should a binding ever return, stop here
  // rather than run on into the rest of a tick.
  std::abort();
}

void OnTimer1() {
  if (!Timer1.Enabled || g_in_tick)
    return;
  g_in_tick = true;
#if defined(__cpp_exceptions)
  try {
    Timer1_Timer();
  } catch (const std::exception&) {
    FailedMidway();
  }
#else
  Timer1_Timer();
#endif
  g_in_tick = false;
}

void Load() {
  Prepare();
  if (MMain::Elevated && !InstalledIsOurs())
    return;
  Tick = 0;
  Step = 0;
  Timer1.Interval = kTimerIntervalMs;
  Timer1.Enabled = true;
  platform::Os().RunTimer(kTitle, Timer1.Interval, &OnTimer1);
}

void Reset() {
  Timer1 = TimerControl();
  Tick = 0;
  Step = 0;
  g_in_tick = false;
  g_stage = Stage::kWaiting;
  g_rolling_back = false;
  g_main_changed = false;
  g_started_at_ms = 0;
  g_prepared = Prepared();
  std::set_new_handler(nullptr);
}

}  // namespace Form1
