// The update sequencer.
#include "sequencer/form1.h"

#include <cstdlib>
#include <exception>

#include "fileservices/mfile.h"
#include "platform/platform.h"
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

// Runs one step of a stretch in which errors are ignored: a step that fails
// is skipped and the next one runs.
template <typename Step>
void IgnoringErrors(Step step) {
  try {
    step();
  } catch (const std::exception&) {
  }
}

void ShowBox(const BoxText& box) {
  platform::Os().ShowErrorBox(kTitle, box.first + kBoxLineBreaks + box.second);
}

// Puts the backup back over the main executable and restarts the product,
// then ends. Each step runs even if the one before it failed: at worst the
// product restarts from whatever MainPath holds. The new copy is a plain
// file, so no attribute of its own keeps the old program from coming back,
// and the restored copy is on disk before it runs again.
[[noreturn]] void RestoreAndRestart() {
  IgnoringErrors([] { CopyFileTo(BackupPath, MainPath, true); });
  IgnoringErrors([] { MMain::StartTarget(); });
  Quit();
}

[[noreturn]] void RestartAndQuit() {
  IgnoringErrors([] { MMain::StartTarget(); });
  Quit();
}

[[noreturn]] void BackupFailed() {
  ShowBox(kBoxBackupFailed);
  Trace(kTraceBackupFailed);
  RestartAndQuit();
}

[[noreturn]] void PurgeLibrariesAndRestart() {
  Trace(kTraceSelfRestart);
  for (const Text& library : kLibraries) {
    DeleteFileForced(platform::Os().OwnExecutableDirectory() + kPathSeparator + kLibraryFolder +
                     kPathSeparator + library);
  }
  RestartAndQuit();
}

// The old program is gone: back up, replace and start, all in this tick.
void Swap() {
  Trace(kTraceUpdatingStart);
  BackupPath = MainPath + kBackupSuffix;
  // A download saved at the backup path would be deleted below as a stale
  // backup, and the old program copied back as the "new" one. The file
  // system ignores letter case, and so does this test.
  if (platform::Os().ToLower(NewPath) == platform::Os().ToLower(BackupPath))
    BackupFailed();
  if (FileExists(BackupPath))
    DeleteFileForced(BackupPath);
  // The backup must be on disk before the old executable is deleted: after a
  // power cut it may be the only copy of the old program left.
  const bool backup_made = CopyFileTo(MainPath, BackupPath, true);

  if (MMain::SelfRestart)
    PurgeLibrariesAndRestart();

  // A failed copy is a failure even when a file is found: it may be a stale
  // backup that could not be deleted, which holds an older program.
  if (!backup_made || !FileExists(BackupPath))
    BackupFailed();

  // Deleted only if the name is freed at once: a file held open elsewhere is
  // left whole, the copy onto it fails and the old program stays.
  if (FileExists(MainPath))
    MFile::DeleteFileExclusive(MainPath);
  // Likewise the old executable, if it could not be deleted, is no
  // replacement. The new executable is on disk before it is started, and
  // carries none of the download's read-only, hidden or system attributes.
  if (!CopyFileTo(NewPath, MainPath, true) || !FileExists(MainPath)) {
    Trace(kTraceReplaceFailed);
    ShowBox(kBoxReplaceFailed);
    RestoreAndRestart();
  }
  Trace(kTraceReplaced);

  Step = 1;
  Tick = 0;
  if (!MMain::StartTarget()) {
    Trace(kTraceStartFailed);
    ShowBox(kBoxStartFailed);
    RestoreAndRestart();
  }
  Trace(kTraceStarted);
}

void Watch() {
  if (MProcesses::IsProcessRunning(MainPath, AnySession)) {
    Trace(kTraceNewVersionRunning);
    Step = 2;
    Tick = 0;
    Quit();
  }
  if (Tick > kWatchLimitTick) {
    Trace(kTraceNotRunning);
    ShowBox(kBoxNotRunning);
    RestoreAndRestart();
  }
}

}  // namespace

void Timer1_Timer() {
  Tick += 1;
  if (Step == 0) {
    if (MProcesses::IsProcessRunning(MainPath, AnySession)) {
      if (Tick > kTerminateAfterTick && Tick < kTerminateBeforeTick) {
        IgnoringErrors(
            [] { MProcesses::KillProcessesByName(MFile::GetFileName(MainPath), AnySession); });
      }
      // Giving up changes nothing on disk: the swap has not begun.
      if (Tick > kGiveUpAfterTick)
        Quit();
    } else {
      Swap();
    }
  }
  if (Step == 1)
    Watch();
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
  try {
    Timer1_Timer();
  } catch (const std::exception&) {
    // An error outside the stretches that ignore errors ends the process
    // where it stands, without a rollback, as an unhandled error would.
    Timer1.Enabled = false;
    platform::Os().StopTimer();
    platform::Os().EndProcess(1);
  }
  g_in_tick = false;
}

void Load() {
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
}

}  // namespace Form1
