// Whole updates through the real Veltrin.exe: a product installed in a
// sandbox, real stand-in products in two versions, and the program started
// the way the product starts it. Each scenario checks the bytes left on disk,
// which version was started from which path, what the user was shown, and
// that no window but an error box was ever visible.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win_elevation.h"
#include "sandbox_win_test.h"

namespace {

using e2e::CopyInto;
using e2e::Quoted;
using e2e::Started;
using e2e::VeltrinRun;
using wintest::Exists;
using wintest::FixtureExe;
using wintest::ReadBytes;
using wintest::RunningProcess;
using wintest::Utf8;
using wintest::WaitUntil;
using wintest::WriteBytes;

const wchar_t* const kLibraries[] = {L"Oxmere.dll",  L"Pilvane.dll", L"Quintor.dll",
                                     L"Rellisk.dll", L"Saffrel.dll", L"Tovrane.dll"};

// WaitUntil without the pause between checks, to catch a moment closely.
template <typename Condition>
bool WaitUntilQuick(Condition condition, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!condition()) {
    if (GetTickCount64() >= deadline)
      return false;
  }
  return true;
}

ULONGLONG Now() {
  return GetTickCount64();
}

DWORD ExitCode(const RunningProcess& process) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process.Get(), &code);
  return code;
}

// Ends a product the program started (not a child of this test).
void EndProduct(const Started& started) {
  RunningProcess product = wintest::Adopt(started.pid);
  EXPECT_TRUE(product.Running()) << started.version << " is not running";
  product.End();
}

// The name of a file that `path` was moved aside under, and that is still
// there; empty when there is none.
std::wstring AsideOf(const std::wstring& path) {
  WIN32_FIND_DATAW found = {};
  const platform::win::FindHandle aside(FindFirstFileW((path + L".*.deleted").c_str(), &found));
  return aside ? found.cFileName : L"";
}

class WineUpdate : public e2e::Sandbox {};

TEST_F(WineUpdate, ReplacesAndStartsTheNewVersionWithEachCommandLineForm) {
  struct Form {
    const char* name;
    bool needs_plain_paths;
    std::function<std::wstring(const std::wstring&, const std::wstring&)> arguments;
    DWORD download_attributes = FILE_ATTRIBUTE_NORMAL;
    bool held_by_indexer = false;
    DWORD main_attributes = FILE_ATTRIBUTE_NORMAL;
  };
  const Form forms[] = {
      // The copy must not take the download's attributes: a hidden copy
      // would not be found, and every later backup would be hidden too. The next row is
      // the update after it, over the same installation.
      {"quoted, question mark, hidden system download", false,
       [](auto& m, auto& n) { return Quoted(m) + L"?" + Quoted(n); },
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
      {"bare, exclamation mark", false, [](auto& m, auto& n) { return m + L"!" + n; }},
      {"bare, blank", true, [](auto& m, auto& n) { return m + L" " + n; }},
      // An indexer holds the old executable for its attributes only, which
      // no sharing mode keeps out: a delete that only marked it would leave
      // its name taken, and it would vanish when the indexer lets go.
      {"quoted, question mark, old executable held by an indexer", false,
       [](auto& m, auto& n) { return Quoted(m) + L"?" + Quoted(n); }, FILE_ATTRIBUTE_NORMAL, true},
      // An old executable that a lookup skipping hidden and system entries
      // does not see, and that a plain copy would refuse to overwrite.
      {"quoted, question mark, hidden system old executable", false,
       [](auto& m, auto& n) { return Quoted(m) + L"?" + Quoted(n); }, FILE_ATTRIBUTE_NORMAL, false,
       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM},
  };
  // The blank form cannot carry a path with a blank: plain folders for it.
  const std::wstring plain_main = temp_ / L"plain\\app.exe";
  const std::wstring plain_download = temp_ / L"plain-download\\app.exe";
  CopyInto(download_, plain_download);
  for (const Form& form : forms) {
    SCOPED_TRACE(form.name);
    const std::wstring main = form.needs_plain_paths ? plain_main : main_;
    const std::wstring download = form.needs_plain_paths ? plain_download : download_;
    const std::wstring log = e2e::FolderOf(main) + L"\\product.log";
    DeleteFileW((main + L".bak").c_str());
    DeleteFileW(log.c_str());
    CopyInto(FixtureExe(L"product_v1.exe"), main);
    ASSERT_TRUE(SetFileAttributesW(main.c_str(), form.main_attributes));
    ASSERT_TRUE(SetFileAttributesW(download.c_str(), form.download_attributes));

    platform::win::Handle indexer;
    if (form.held_by_indexer) {
      indexer.Reset(CreateFileW(main.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(indexer);
    }

    const ULONGLONG started_at = Now();
    VeltrinRun run = StartVeltrin(form.arguments(main, download));
    EXPECT_EQ(run.Finish(), 0);
    EXPECT_LT(Now() - started_at, 10000u);
    run.ExpectNoVisibleWindow();
    // The old executable goes with the indexer's handle, under another name.
    indexer.Reset();
    EXPECT_EQ(AsideOf(main), L"");
    EXPECT_EQ(Holds(main), "v2");
    EXPECT_EQ(Holds(main + L".bak"), "v1");
    EXPECT_EQ(Holds(download), "v2");
    for (const std::wstring& installed : {main, main + L".bak"}) {
      EXPECT_EQ(GetFileAttributesW(installed.c_str()) &
                    (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY),
                0u)
          << Utf8(installed);
    }
    // The program does not wait for the new version to write its log.
    ASSERT_TRUE(WaitUntil([&] { return !e2e::ReadLog(log).empty(); }, 20000));
    const std::vector<Started> started = e2e::ReadLog(log);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].version, "v2");
    EXPECT_EQ(started[0].path, Utf8(main));
    EndProduct(started[0]);
    // Whoever had the old executable open has let go, and so has the new
    // version: nothing takes the new executable with it.
    EXPECT_EQ(Holds(main), "v2");
  }
}

TEST_F(WineUpdate, RunningOldVersionHandsOverAndTheNewVersionTakesItsPlace) {
  RunningProcess old = StartProduct();
  // What the product does once its download is complete.
  WriteBytes(install_ + L"\\update-request.txt", Utf8(download_));
  ASSERT_TRUE(old.WaitEnded(10000)) << "the old version did not hand over";
  EXPECT_EQ(ExitCode(old), 0u);
  ASSERT_TRUE(WaitForLog(2));
  // The program that the old version started ends once the new one is up.
  EXPECT_TRUE(WaitUntil([&] { return e2e::ProcessesInside(temp_.Path()).size() == 1; }, 10000));
  EXPECT_EQ(Holds(main_), "v2");
  EXPECT_EQ(Holds(backup_), "v1");
  const std::vector<Started> log = ProductLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].version, "v1");
  EXPECT_EQ(log[1].version, "v2");
  EXPECT_EQ(log[1].path, Utf8(main_));
  EXPECT_EQ(e2e::ProcessesInside(temp_.Path()), std::vector<DWORD>{log[1].pid});
}

TEST_F(WineUpdate, LingeringOldVersionIsTerminatedInTheWindowWhileABystanderSurvives) {
  RunningProcess old = StartProduct();
  // Its name ends with the old version's, but it is another program.
  const std::wstring bystander_exe = temp_ / L"other\\myapp.exe";
  CopyInto(FixtureExe(L"product_v1.exe"), bystander_exe);
  RunningProcess bystander = wintest::Start(bystander_exe, Quoted(bystander_exe));
  ASSERT_TRUE(
      WaitUntil([&] { return e2e::ReadLog(temp_ / L"other\\product.log").size() == 1; }, 20000));

  const ULONGLONG started_at = Now();
  VeltrinRun run = StartVeltrin(ProductArguments());
  ASSERT_TRUE(old.WaitEnded(40000)) << "the old version was never terminated";
  const ULONGLONG ended_after = Now() - started_at;
  // Ticks 31 to 49: from 15.5 s to 24.5 s after the program's start.
  EXPECT_GE(ended_after, 15000u);
  EXPECT_LT(ended_after, 27000u);
  EXPECT_EQ(ExitCode(old), 0u);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_TRUE(bystander.Running());
  run.ExpectNoVisibleWindow();
  EXPECT_EQ(Holds(main_), "v2");
  EXPECT_EQ(Holds(backup_), "v1");
  ASSERT_TRUE(WaitForLog(2));
  const std::vector<Started> log = ProductLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].version, "v2");
  EXPECT_EQ(log[1].path, Utf8(main_));
}

TEST_F(WineUpdate, WaitsForA64BitOldVersionToExitByItself) {
  if (wintest::kSkipAcrossBitness)
    GTEST_SKIP() << wintest::kSkipAcrossBitness;
  // A 64-bit program's module list is out of this 32-bit program's reach: it
  // can only be seen through the image-path query.
  CopyInto(FixtureExe(L"fixture_product64.exe"), main_);
  Know("64-bit v1", ReadBytes(main_));
  const ULONGLONG started_at = Now();
  RunningProcess old = wintest::Start(main_, Quoted(main_) + L" sleep 3");
  VeltrinRun run = StartVeltrin(ProductArguments());
  // Until the old version has ended, nothing may be touched.
  bool touched_while_running = false;
  while (!old.WaitEnded(10) && Now() - started_at < 15000) {
    const bool backed_up = Exists(backup_);
    if (backed_up && old.Running())
      touched_while_running = true;
  }
  ASSERT_FALSE(old.Running());
  const ULONGLONG ended_after = Now() - started_at;
  EXPECT_FALSE(touched_while_running);
  // Ended by itself, with its own code: after its 3 s, and well before the
  // termination window opens at 15.5 s.
  EXPECT_GE(ended_after, 3000u);
  EXPECT_LT(ended_after, 12000u);
  EXPECT_EQ(ExitCode(old), 0u);
  EXPECT_EQ(run.Finish(), 0);
  EXPECT_EQ(Holds(main_), "v2");
  EXPECT_EQ(Holds(backup_), "64-bit v1");
  ASSERT_TRUE(WaitForLog(1));
  const std::vector<Started> log = ProductLog();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].version, "v2");
}

TEST_F(WineUpdate, StaleBackupIsReplacedByAFreshCopy) {
  enum class Release { kNotHeld, kDuringTheUpdate, kAfterTheUpdate };
  struct Stale {
    const char* name;
    DWORD attributes;
    Release release;
  };
  // A stale backup held by an indexer, which reads its attributes only: no
  // sharing mode keeps it out, so the stale file can only be marked for
  // deletion, and its name stays taken until the indexer lets go. A backup
  // written into that file would vanish with it.
  const Stale stales[] = {
      {"read-only", FILE_ATTRIBUTE_READONLY, Release::kNotHeld},
      {"held by an indexer that lets go during the update", FILE_ATTRIBUTE_NORMAL,
       Release::kDuringTheUpdate},
      {"held by an indexer that lets go after the update", FILE_ATTRIBUTE_NORMAL,
       Release::kAfterTheUpdate},
  };
  for (const Stale& stale : stales) {
    SCOPED_TRACE(stale.name);
    e2e::EndProcessesInside(install_);
    DeleteFileW((install_ + L"\\product.log").c_str());
    CopyInto(FixtureExe(L"product_v1.exe"), main_);
    WriteBytes(backup_, "a backup from an earlier update");
    ASSERT_TRUE(SetFileAttributesW(backup_.c_str(), stale.attributes));
    platform::win::Handle indexer;
    if (stale.release != Release::kNotHeld) {
      indexer.Reset(CreateFileW(backup_.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(indexer);
    }
    VeltrinRun run = StartVeltrin(ProductArguments());
    if (stale.release == Release::kDuringTheUpdate) {
      // Once the stale file has left its name, while the program runs.
      // Looked for in the folder's list: reading the file would keep it
      // from going.
      EXPECT_TRUE(WaitUntilQuick([&] { return AsideOf(backup_) != L""; }, 20000));
      indexer.Reset();
    }
    EXPECT_EQ(run.Finish(), 0);
    ASSERT_TRUE(WaitForLog(1));
    indexer.Reset();
    EXPECT_EQ(Holds(backup_), "v1");
    EXPECT_EQ(Holds(main_), "v2");
    const std::vector<Started> log = ProductLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].version, "v2");
    EXPECT_EQ(AsideOf(backup_), L"");
  }
}

// --- Failures: a box, then the old version back and restarted -------------

TEST_F(WineUpdate, BackupThatCannotBeMadeIsReportedAndTheOldVersionRestarts) {
  struct Blocker {
    const char* name;
    std::function<platform::win::Handle()> block;
    const char* backup_after;    // what the backup path holds afterwards
    std::wstring download = {};  // the download's path, when not the usual one
  };
  const Blocker blockers[] = {
      // A folder where the backup would go: nothing can be copied there.
      {"folder named like the backup",
       [this] {
         EXPECT_TRUE(CreateDirectoryW(backup_.c_str(), nullptr));
         return platform::win::Handle();
       },
       "<missing>"},
      // A stale backup held open without sharing: neither deleted nor
      // overwritten, so the file found there is not a copy of this version.
      {"stale backup held open",
       [this] {
         WriteBytes(backup_, "stale");
         return platform::win::Handle(CreateFileW(backup_.c_str(), GENERIC_READ, 0, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
       },
       "stale"},
      // The download saved where the backup goes (letter case aside): it
      // must not be deleted as a stale backup, nor copied back as the old one.
      {"download at the backup path",
       [this] {
         CopyInto(download_, backup_);
         return platform::win::Handle();
       },
       "v2", main_ + L".BAK"},
  };
  for (const Blocker& blocker : blockers) {
    SCOPED_TRACE(blocker.name);
    e2e::EndProcessesInside(install_);
    RemoveDirectoryW(backup_.c_str());
    DeleteFileW(backup_.c_str());
    DeleteFileW((install_ + L"\\product.log").c_str());
    platform::win::Handle held = blocker.block();
    const std::wstring download = blocker.download.empty() ? download_ : blocker.download;
    VeltrinRun run = StartVeltrin(Quoted(main_) + L"?" + Quoted(download));
    EXPECT_TRUE(run.AnswerBox(e2e::kBackupFailed));
    EXPECT_EQ(run.Finish(), 0);
    run.ExpectOnlyTheBoxVisible();
    // Never touched: the old version is still in place and restarted.
    EXPECT_EQ(Holds(main_), "v1");
    ASSERT_TRUE(WaitForLog(1));
    const std::vector<Started> log = ProductLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].version, "v1");
    EXPECT_EQ(log[0].path, Utf8(main_));
    held.Reset();
    EXPECT_EQ(Holds(backup_), blocker.backup_after);
  }
}

TEST_F(WineUpdate, PerMachineInstallThatTheUserCannotChangeIsLeftAsItWas) {
  // Installed for every user, in a folder this user may read but not write
  // (made before the table runs, owned by root): not started elevated,
  // Veltrin cannot back the old version up.
  const std::wstring install = e2e::FolderOf(wintest::OwnExe()) + L"\\per-machine\\Lumora";
  const std::wstring main = install + L"\\app.exe";
  if (!Exists(main))
    GTEST_SKIP() << "no per-machine installation was prepared for this run";
  {
    const std::wstring probe = install + L"\\probe.txt";
    platform::win::Handle written(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (written) {
      written.Reset();
      DeleteFileW(probe.c_str());
      GTEST_SKIP() << "this user may write into the installation (Wine run by root)";
    }
  }
  VeltrinRun run = StartVeltrin(Quoted(main) + L"?" + Quoted(download_));
  EXPECT_TRUE(run.AnswerBox(e2e::kBackupFailed));
  EXPECT_EQ(run.Finish(), 0);
  run.ExpectOnlyTheBoxVisible();
  // Nothing changed, and the old version runs again from its own path.
  EXPECT_EQ(Holds(main), "v1");
  EXPECT_FALSE(Exists(main + L".bak"));
  EXPECT_TRUE(WaitUntil([&] { return !e2e::ProcessesInside(install).empty(); }, 20000));
  e2e::EndProcessesInside(install);
}

TEST_F(WineUpdate, ReplacementThatCannotBeMadeIsReportedAndTheOldVersionRestored) {
  struct Blocker {
    const char* name;
    std::function<platform::win::Handle()> block;
    // The program is ended while its box is open, instead of the box being
    // answered.
    bool ended_at_box = false;
  };
  const Blocker blockers[] = {
      {"missing download",
       [this] {
         EXPECT_TRUE(DeleteFileW(download_.c_str()));
         return platform::win::Handle();
       }},
      // A scanner holding the old executable, sharing read and delete: a
      // delete would only mark it, and it would vanish when the scanner lets
      // go, after the copy onto its name had failed.
      {"old executable held by a scanner",
       [this] {
         return platform::win::Handle(CreateFileW(main_.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
       }},
      // A box can wait for hours behind other windows, while the user logs
      // off or the process is ended: the old version is back before it opens.
      // (The download is still missing since the first row.)
      {"ended while its box is open", [] { return platform::win::Handle(); }, true},
  };
  for (const Blocker& blocker : blockers) {
    SCOPED_TRACE(blocker.name);
    e2e::EndProcessesInside(install_);
    DeleteFileW((install_ + L"\\product.log").c_str());
    if (blocker.ended_at_box) {
      VeltrinRun run = StartVeltrin(ProductArguments());
      ASSERT_TRUE(run.windows->WaitForVisible(L"#32770", 30000)) << "no box came up";
      run.process.End();
      EXPECT_EQ(Holds(main_), "v1");
      EXPECT_EQ(Holds(backup_), "v1");
      continue;
    }
    {
      const platform::win::Handle held = blocker.block();
      VeltrinRun run = StartVeltrin(ProductArguments());
      EXPECT_TRUE(run.AnswerBox(e2e::kReplaceFailed));
      EXPECT_EQ(run.Finish(), 0);
      run.ExpectOnlyTheBoxVisible();
    }
    ExpectOldVersionRestored();
    EXPECT_EQ(ProductLog().size(), 1u);
    // The blocker has let go and the restarted product ends: a file that was
    // only marked for deletion would go now.
    e2e::EndProcessesInside(install_);
    EXPECT_EQ(Holds(main_), "v1");
  }
  EXPECT_FALSE(Exists(download_));
}

TEST_F(WineUpdate, DownloadThatIsNotAProgramIsReportedAndTheOldVersionRestored) {
  const std::string truncated = "a truncated download, not a program\r\n";
  WriteBytes(download_, truncated);
  // A read-only download: the rollback must overwrite the copy made of it
  // all the same. (Only a user who is not root sees the bit enforced.)
  ASSERT_TRUE(SetFileAttributesW(download_.c_str(), FILE_ATTRIBUTE_READONLY));
  // The system refuses to start such a file.
  {
    std::wstring command = Quoted(download_);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    ASSERT_FALSE(CreateProcessW(download_.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                                nullptr, nullptr, &startup, &started));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BAD_EXE_FORMAT));
  }
  VeltrinRun run = StartVeltrin(ProductArguments());
  EXPECT_TRUE(run.AnswerBox(e2e::kStartFailed));
  EXPECT_EQ(run.Finish(), 0);
  run.ExpectOnlyTheBoxVisible();
  ExpectOldVersionRestored();
  EXPECT_EQ(ProductLog().size(), 1u);
  EXPECT_EQ(Holds(download_), truncated);
}

// How many times a file named `name` was created in `folder` while `until`
// did not hold, watched for at most `timeout_ms`.
template <typename Condition>
int CreationsWhile(const std::wstring& folder,
                   const std::wstring& name,
                   Condition until,
                   DWORD timeout_ms) {
  platform::win::Handle watched(CreateFileW(
      folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  EXPECT_TRUE(watched);
  platform::win::Handle changed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  alignas(DWORD) static unsigned char buffer[64 << 10];
  int created = 0;
  const ULONGLONG deadline = Now() + timeout_ms;
  while (!until(created) && Now() < deadline) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = changed.Get();
    ResetEvent(changed.Get());
    if (!ReadDirectoryChangesW(watched.Get(), buffer, sizeof buffer, FALSE,
                               FILE_NOTIFY_CHANGE_FILE_NAME, nullptr, &overlapped, nullptr)) {
      ADD_FAILURE() << "the folder cannot be watched, error " << GetLastError();
      break;
    }
    DWORD bytes = 0;
    if (WaitForSingleObject(changed.Get(), DWORD(deadline - std::min(deadline, Now()))) !=
            WAIT_OBJECT_0 ||
        !GetOverlappedResult(watched.Get(), &overlapped, &bytes, FALSE)) {
      CancelIo(watched.Get());
      GetOverlappedResult(watched.Get(), &overlapped, &bytes, TRUE);
      break;
    }
    for (DWORD at = 0; bytes != 0;) {
      const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
      if (change->Action == FILE_ACTION_ADDED &&
          std::wstring(change->FileName, change->FileNameLength / sizeof(wchar_t)) == name)
        ++created;
      if (change->NextEntryOffset == 0)
        break;
      at += change->NextEntryOffset;
    }
  }
  return created;
}

TEST_F(WineUpdate, NewVersionThatExitsAtOnceIsReportedAfterTheWatchAndRolledBack) {
  // The new version exits as soon as it has started. It counts as running
  // only when seen 500 ms after its start: not in the tick that a long swap
  // (two large executables copied and written through) holds up, which
  // comes at once after the start.
  CopyInto(FixtureExe(L"product_quick.exe"), download_);
  const std::string quick = ReadBytes(download_);
  // A scanner opens the fresh executable, sharing only reading, and holds it
  // across the restore: the restore is refused until it lets go.
  for (const int row : {0, 1, 2}) {
    const bool scanned = row == 1;
    SCOPED_TRACE(scanned ? "a scanner holds the new executable across the restore"
                 : row   ? "large executables"
                         : "no scanner");
    const std::string padding(row == 2 ? 192 << 20 : 0, 'p');
    Know("v1", v1_ + padding);
    Know("v2-quick", quick + padding);
    e2e::EndProcessesInside(install_);
    DeleteFileW((install_ + L"\\product.log").c_str());
    DeleteFileW(backup_.c_str());
    WriteBytes(main_, v1_ + padding);
    WriteBytes(download_, quick + padding);
    const ULONGLONG started_at = Now();
    VeltrinRun run = StartVeltrin(ProductArguments());
    if (scanned) {
      ASSERT_TRUE(WaitForLog(1));
      platform::win::Handle scanner(CreateFileW(main_.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(scanner);
      // The restore copies into its staging file once, and each try (one
      // every 100 ms) only renames it: held for a second, the file is
      // neither made again nor changed.
      const auto until_made = [](int created) { return created >= 1; };
      EXPECT_EQ(CreationsWhile(install_, L"app.exe.staging", until_made, 15000), 1);
      Sleep(200);  // the copy is whole, its times set
      WIN32_FIND_DATAW first = {}, later = {};
      platform::win::FindHandle(FindFirstFileW((main_ + L".staging").c_str(), &first));
      EXPECT_EQ(CreationsWhile(install_, L"app.exe.staging", until_made, 1000), 0);
      platform::win::FindHandle(FindFirstFileW((main_ + L".staging").c_str(), &later));
      EXPECT_NE(first.ftCreationTime.dwLowDateTime, 0u);
      EXPECT_EQ(later.ftCreationTime.dwLowDateTime, first.ftCreationTime.dwLowDateTime);
    }
    EXPECT_TRUE(run.AnswerBox(e2e::kNotRunning));
    // The start tick and 11 more: 5.5 s after the first tick.
    EXPECT_GE(Now() - started_at, 5500u);
    EXPECT_LT(Now() - started_at, 20000u);
    EXPECT_EQ(run.Finish(), 0);
    run.ExpectOnlyTheBoxVisible();
    ExpectOldVersionRestored();
    const std::vector<Started> log = ProductLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].version, "v2-quick");
    EXPECT_EQ(log[0].path, Utf8(main_));
  }
}

// --- Elevated: only a download signed by the installed program's publisher ---

// The reading side of the debugger stream, as a debug-output viewer has it:
// a shared 4 KiB buffer that a writer fills with its pid and one line, a
// "buffer free" and a "line written" event. Read on a helper thread for as
// long as the object lives.
class DebugStream {
 public:
  DebugStream() {
    buffer_.Reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                     L"DBWIN_BUFFER"));
    const bool another_viewer = GetLastError() == ERROR_ALREADY_EXISTS;
    free_.Reset(CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY"));
    written_.Reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
    view_ = buffer_ ? static_cast<const char*>(MapViewOfFile(buffer_.Get(), FILE_MAP_READ, 0, 0, 0))
                    : nullptr;
    if (!another_viewer && view_ && free_ && written_)
      thread_ = std::thread([this] { Read(); });
  }
  ~DebugStream() {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
    if (view_)
      UnmapViewOfFile(view_);
  }
  DebugStream(const DebugStream&) = delete;
  DebugStream& operator=(const DebugStream&) = delete;

  // False when the stream could not be read (another viewer owns it).
  bool Reading() const { return thread_.joinable(); }
  // The lines process `pid` has written so far.
  std::vector<std::string> LinesOf(DWORD pid) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& [writer, line] : lines_) {
      if (writer == pid)
        lines.push_back(line);
    }
    return lines;
  }

 private:
  void Read() {
    // The buffer is given back only once its line has been read: a writer
    // waits for it before it writes the next.
    SetEvent(free_.Get());
    while (!stop_) {
      if (WaitForSingleObject(written_.Get(), 50) != WAIT_OBJECT_0)
        continue;
      DWORD pid = 0;
      std::memcpy(&pid, view_, sizeof pid);
      std::string line(view_ + sizeof pid, strnlen(view_ + sizeof pid, 4096 - sizeof pid));
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(pid, line);
      }
      SetEvent(free_.Get());
    }
  }

  platform::win::Handle buffer_;
  platform::win::Handle free_;
  platform::win::Handle written_;
  const char* view_ = nullptr;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::pair<DWORD, std::string>> lines_;
  std::thread thread_;
};

// Where scripts/test's signing step leaves the stand-in product signed with
// the run's throw-away certificates, as a build machine's path:
//   v1.signed.exe    product_v1 signed by the run's signer
//   v2.signed.exe    product_v2 signed by the same signer
//   v2.tampered.exe  v2.signed.exe with one byte changed after signing
//   v2.foreign.exe   product_v2 signed by a second, unrelated certificate
//   v1.tampered.exe  v1.signed.exe with its DOS stub's text changed: it runs
//   v1.foreign.exe   product_v1 signed by the second certificate
constexpr char kSignedFixturesVariable[] = "VELTRIN_SIGNED_FIXTURES";
// Set to 1 when the Veltrin under test is signed by the run's signer.
constexpr char kSignedVariable[] = "VELTRIN_EXE_SIGNED";
// Set to 1 when the Veltrin under test is a trace build: each row then also
// reads from its trace why it ended as it did.
constexpr char kTracesVariable[] = "VELTRIN_EXE_TRACES";

const char kTraceUpdating[] = "Old Version is Exit, Updating Start!";
const char kTraceRefused[] =
    "Download not signed by the installed program's publisher, not installed";
const char kTraceNoReference[] = "Installed program carries no signature, download not checked";
const char kTraceUnverifiable[] = "Installed program's signature cannot be verified, not installed";
const char kTraceStartedAsSelf[] = "No desktop shell, start as self";

bool Traced(const std::vector<std::string>& trace, const char* line) {
  return std::find(trace.begin(), trace.end(), line) != trace.end();
}

TEST_F(WineUpdate, ElevatedUpdateInstallsOnlyADownloadSignedByTheInstalledProgramsPublisher) {
  const char* const signed_fixtures = std::getenv(kSignedFixturesVariable);
  if (!signed_fixtures || *signed_fixtures == '\0')
    GTEST_SKIP() << kSignedFixturesVariable
                 << " is not set: no signed fixtures (scripts/test's signing step makes them)";
  // Veltrin inherits this program's token; only elevated does it check.
  if (platform::win::TokenIsElevated() != true)
    GTEST_SKIP() << "this test runs unelevated, and so would Veltrin, which checks nothing then";
  const std::wstring folder = wintest::FromBuildPath(signed_fixtures);
  const auto variant = [&](const wchar_t* name) { return folder + L"\\" + name; };
  for (const auto& [name, file] : {std::pair{"signed v1", L"v1.signed.exe"},
                                   {"signed v2", L"v2.signed.exe"},
                                   {"tampered v2", L"v2.tampered.exe"},
                                   {"foreign v2", L"v2.foreign.exe"},
                                   {"tampered v1", L"v1.tampered.exe"},
                                   {"foreign v1", L"v1.foreign.exe"}}) {
    ASSERT_TRUE(Exists(variant(file))) << Utf8(variant(file));
    Know(name, ReadBytes(variant(file)));
  }
  const char* const traces = std::getenv(kTracesVariable);
  const bool traced = traces && std::string(traces) == "1";
  const bool signed_veltrin =
      std::getenv(kSignedVariable) && std::string(std::getenv(kSignedVariable)) == "1";
  // The start as the desktop's user falls back to a plain start where there
  // is no shell window (Wine has none).
  const bool shell = GetShellWindow() != nullptr;
  const DebugStream stream;
  if (traced) {
    ASSERT_TRUE(stream.Reading()) << "the debugger stream cannot be read: another viewer runs";
  }

  enum Ends { kInstalled, kRefused, kNothingDone };
  struct Row {
    const char* name;
    std::wstring installed;
    std::wstring download;
    Ends unsigned_veltrin;
    Ends signed_veltrin;
  };
  const Row rows[] = {
      {"download signed by the installed program's signer", variant(L"v1.signed.exe"),
       variant(L"v2.signed.exe"), kInstalled, kInstalled},
      {"unsigned download", variant(L"v1.signed.exe"), FixtureExe(L"product_v2.exe"), kRefused,
       kRefused},
      {"download changed after signing", variant(L"v1.signed.exe"), variant(L"v2.tampered.exe"),
       kRefused, kRefused},
      {"download signed by another publisher", variant(L"v1.signed.exe"),
       variant(L"v2.foreign.exe"), kRefused, kRefused},
      // Nothing to compare with: the update goes on as it does unelevated.
      {"unsigned installed program", FixtureExe(L"product_v1.exe"), variant(L"v2.foreign.exe"),
       kInstalled, kNothingDone},
      {"installed program signed by another publisher", variant(L"v1.foreign.exe"),
       variant(L"v2.foreign.exe"), kInstalled, kNothingDone},
      {"installed program changed after signing", variant(L"v1.tampered.exe"),
       variant(L"v2.signed.exe"), kRefused, kNothingDone},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Ends ends = signed_veltrin ? row.signed_veltrin : row.unsigned_veltrin;
    const bool refused = ends == kRefused;
    e2e::EndProcessesInside(install_);
    DeleteFileW((install_ + L"\\product.log").c_str());
    DeleteFileW(backup_.c_str());
    CopyInto(row.installed, main_);
    CopyInto(row.download, download_);
    const std::string installed = Holds(main_);
    const std::string download = Holds(download_);

    VeltrinRun run = StartVeltrin(ProductArguments());
    if (ends == kNothingDone) {  // at once: nothing changed, nothing started
      EXPECT_EQ(run.Finish(10000), 0);
      EXPECT_EQ(Holds(main_) + " " + Holds(download_), installed + " " + download);
      EXPECT_FALSE(Exists(backup_) || !ProductLog().empty());
      continue;
    }
    if (refused) {
      EXPECT_TRUE(run.AnswerBox(e2e::kStartFailed));
      EXPECT_EQ(run.Finish(), 0);
      run.ExpectOnlyTheBoxVisible();
      // Nothing on disk changed, and the old version runs again.
      EXPECT_EQ(Holds(main_), installed);
      EXPECT_FALSE(Exists(backup_));
      EXPECT_EQ(AsideOf(main_), L"");
      EXPECT_FALSE(Exists(main_ + L".staging"));
      EXPECT_EQ(Holds(download_), download);
    } else {
      EXPECT_EQ(run.Finish(), 0);
      run.ExpectNoVisibleWindow();
      EXPECT_EQ(Holds(main_), download);
      EXPECT_EQ(Holds(backup_), installed);
    }
    // The old version again after a refusal, else the new one, from MainPath.
    ASSERT_TRUE(WaitForLog(1));
    const std::vector<Started> log = ProductLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].version, refused ? "v1" : "v2");
    EXPECT_EQ(log[0].path, Utf8(main_));
    if (!traced)
      continue;
    // The last line a run writes may still be on its way: waited for (in
    // vain where a shell window lets the product start as the desktop's user).
    const bool started_as_self =
        WaitUntil([&] { return Traced(stream.LinesOf(run.Pid()), kTraceStartedAsSelf); }, 5000);
    const std::vector<std::string> trace = stream.LinesOf(run.Pid());
    std::string told;
    for (const std::string& line : trace)
      told += "\n  " + line;
    SCOPED_TRACE("Veltrin's trace:" + told);
    EXPECT_EQ(started_as_self, !shell);
    EXPECT_EQ(Traced(trace, kTraceRefused) || Traced(trace, kTraceUnverifiable), refused);
    EXPECT_EQ(Traced(trace, kTraceUpdating), !refused);
    EXPECT_EQ(Traced(trace, kTraceNoReference), row.installed == FixtureExe(L"product_v1.exe"));
    std::printf("%s, Veltrin's trace:%s\n", row.name, told.c_str());
  }
}

// --- Self-restart -----------------------------------------------------------

TEST_F(WineUpdate, SelfRestartDeletesTheSixLibrariesAndRestartsTheProduct) {
  const std::wstring bin = install_ + L"\\bin";
  wintest::MakeFolders(bin);
  for (const wchar_t* library : kLibraries)
    WriteBytes(bin + L"\\" + library, "library");
  WriteBytes(bin + L"\\Keep.dll", "keep");
  WriteBytes(install_ + L"\\Oxmere.dll", "outside bin");
  VeltrinRun run = StartVeltrin(Quoted(main_) + L"?" + Quoted(main_));
  EXPECT_EQ(run.Finish(), 0);
  run.ExpectNoVisibleWindow();
  for (const wchar_t* library : kLibraries)
    EXPECT_FALSE(Exists(bin + L"\\" + library)) << Utf8(library);
  EXPECT_EQ(ReadBytes(bin + L"\\Keep.dll"), "keep");
  EXPECT_EQ(ReadBytes(install_ + L"\\Oxmere.dll"), "outside bin");
  ExpectOldVersionRestored();
  EXPECT_EQ(ProductLog().size(), 1u);
}

// --- Refusals ----------------------------------------------------------------

struct WindowSearch {
  DWORD pid;
  bool found;
};

BOOL CALLBACK NoteWindowOf(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<WindowSearch*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  search->found = search->found || owner == search->pid;
  return TRUE;
}

// Whether process `pid` has a top-level window, visible or not.
bool HasWindow(DWORD pid) {
  WindowSearch search{pid, false};
  EnumWindows(&NoteWindowOf, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

TEST_F(WineUpdate, SecondInstanceEndsAtOnceWhileTheFirstWaits) {
  RunningProcess old = StartProduct();
  VeltrinRun first = StartVeltrin(ProductArguments());
  // Its hidden form exists once it has claimed its single-instance name.
  ASSERT_TRUE(WaitUntil([&] { return HasWindow(first.Pid()); }, 10000));

  const ULONGLONG started_at = Now();
  VeltrinRun second = StartVeltrin(ProductArguments());
  EXPECT_EQ(second.Finish(10000), 0);
  EXPECT_LT(Now() - started_at, 5000u);
  EXPECT_TRUE(first.process.Running());
  EXPECT_TRUE(old.Running());
  second.ExpectNoVisibleWindow();
  // Ended long before the first one's termination window.
  first.process.End();

  EXPECT_EQ(Holds(main_), "v1");
  EXPECT_FALSE(Exists(backup_));
  EXPECT_EQ(Holds(download_), "v2");
  EXPECT_EQ(ProductLog().size(), 1u);
}

TEST_F(WineUpdate, BadCommandLinesEndQuietlyChangingNothing) {
  // Were the self-restart taken by mistake, these would go.
  const std::wstring bin = install_ + L"\\bin";
  wintest::MakeFolders(bin);
  for (const wchar_t* library : kLibraries)
    WriteBytes(bin + L"\\" + library, "library");
  // One path alone, without the blank that would split it in two.
  const std::wstring plain = temp_ / L"plain\\app.exe";
  CopyInto(main_, plain);
  const std::wstring attempts[] = {
      L"",
      Quoted(plain),
      Quoted(main_) + L"?" + Quoted(download_) + L"?" + Quoted(download_),
      L"?",
      L"\"\"?" + Quoted(download_),
  };
  for (const std::wstring& arguments : attempts) {
    SCOPED_TRACE(Utf8(arguments));
    const ULONGLONG started_at = Now();
    VeltrinRun run = StartVeltrin(arguments);
    EXPECT_EQ(run.Finish(10000), 0);
    EXPECT_LT(Now() - started_at, 5000u);
    run.ExpectNoVisibleWindow();
  }
  EXPECT_EQ(Holds(main_), "v1");
  EXPECT_FALSE(Exists(backup_));
  EXPECT_EQ(Holds(plain), "v1");
  EXPECT_FALSE(Exists(plain + L".bak"));
  EXPECT_EQ(Holds(download_), "v2");
  EXPECT_TRUE(ProductLog().empty());
  EXPECT_FALSE(Exists(temp_ / L"plain\\product.log"));
  for (const wchar_t* library : kLibraries)
    EXPECT_TRUE(Exists(bin + L"\\" + library)) << Utf8(library);
}

// --- Crash safety -------------------------------------------------------------

TEST_F(WineUpdate, KilledAtAnyPointOfTheSwapMainPathHoldsAWholeProgram) {
  // Large executables make each copy take long enough to be interrupted
  // mid-way. The stand-in still runs: trailing bytes do not matter to it.
  const std::string padding(48 << 20, 'p');
  const std::string old_bytes = v1_ + padding;
  Know("padded v1", old_bytes);
  Know("padded v2", v2_ + padding);
  WriteBytes(download_, v2_ + padding);
  const std::wstring staging = main_ + L".staging";
  const auto reset = [&] {
    e2e::EndProcessesInside(install_);
    DeleteFileW(backup_.c_str());
    DeleteFileW(staging.c_str());
    DeleteFileW((install_ + L"\\product.log").c_str());
    WriteBytes(main_, old_bytes);
  };

  // One undisturbed update, to spread the kill points over it.
  reset();
  const ULONGLONG started_at = Now();
  ULONGLONG backup_seen = 0;
  {
    VeltrinRun run = StartVeltrin(ProductArguments());
    while (!run.process.WaitEnded(5) && Now() - started_at < 30000) {
      if (backup_seen == 0 && Exists(backup_))
        backup_seen = Now() - started_at;
    }
    ASSERT_EQ(run.Finish(), 0);
  }
  const ULONGLONG whole = Now() - started_at;
  ASSERT_EQ(Holds(main_), "padded v2");
  ASSERT_EQ(Holds(backup_), "padded v1");

  // Four kills at fixed times before the backup begins (the first tick),
  // then twenty at random instants of the swap: timed from the moment the
  // backup file appears, since the program's own start-up time varies from
  // run to run. The seed is in every failure's message.
  ASSERT_GT(backup_seen, 450u);
  // What a kill's delay is counted from.
  enum class From { kStart, kBackupAppears, kStagingAppears };
  struct KillPoint {
    From from;
    ULONGLONG delay;
  };
  std::vector<KillPoint> kill_points;
  for (ULONGLONG i = 0; i < 4; ++i)
    kill_points.push_back({From::kStart, 450 + (backup_seen - 450) * i / 4});
  const unsigned seed = unsigned(GetTickCount64());
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<ULONGLONG> instant(0, whole - backup_seen);
  for (int i = 0; i < 20; ++i)
    kill_points.push_back({From::kBackupAppears, instant(random)});
  static const char* const kFromNames[] = {"the start", "the backup appeared",
                                           "the staging file appeared"};

  bool caught_backing_up = false;
  bool caught_replacing = false;
  std::string outcomes;
  // Kills one run at `point`; checks that the main path holds a whole
  // program, and the backup the old one whenever the new one is in place.
  const auto kill_at = [&](const KillPoint& point) {
    reset();
    SCOPED_TRACE(std::string("killed ") + std::to_string(point.delay) + " ms after " +
                 kFromNames[int(point.from)]);
    VeltrinRun run = StartVeltrin(ProductArguments());
    if (point.from == From::kBackupAppears) {
      EXPECT_TRUE(WaitUntilQuick([&] { return Exists(backup_); }, 10000));
    }
    if (point.from == From::kStagingAppears) {
      EXPECT_TRUE(WaitUntilQuick([&] { return Exists(staging); }, 10000));
    }
    Sleep(DWORD(point.delay));
    const bool staged = Exists(staging);
    TerminateProcess(run.process.Get(), 1);
    EXPECT_TRUE(run.process.WaitEnded(10000));
    const std::string at_main = Holds(main_);
    const std::string at_backup = Holds(backup_);
    const std::string at_staging = Holds(staging);
    EXPECT_TRUE(at_main == "padded v1" || at_main == "padded v2")
        << "main: " << at_main << ", backup: " << at_backup;
    if (at_main == "padded v2") {
      EXPECT_EQ(at_backup, "padded v1");
    }
    // A copy being made went with the process. Left may be only a whole
    // one, killed between its flush and its rename, or an empty one, killed
    // between the file's creation and its mark for deletion; the next run
    // removes either before its swap.
    EXPECT_TRUE(at_staging == "<missing>" || at_staging == "padded v2" || at_staging.empty())
        << at_staging;
    caught_backing_up |= at_backup != "<missing>" && at_backup != "padded v1";
    caught_replacing |= staged && at_main == "padded v1";
    outcomes += "\n  " + std::to_string(point.delay) + " ms after " + kFromNames[int(point.from)] +
                ": main " + at_main + ", backup " + at_backup + ", staging " + at_staging +
                (staged ? " (staging before the kill)" : "");
  };
  for (const KillPoint& point : kill_points)
    kill_at(point);
  // The copies are quick and their timing varies from run to run: kill again
  // as soon as the backup appears, and as soon as the staging file appears
  // (the replacement copy runs from then on), until a kill lands inside
  // each copy.
  for (int i = 0; i < 5 && !caught_backing_up; ++i)
    kill_at({From::kBackupAppears, 0});
  for (ULONGLONG i = 0; i < 5 && !caught_replacing; ++i)
    kill_at({From::kStagingAppears, i});
  // Otherwise the kills missed the copies, and the test proved little.
  EXPECT_TRUE(caught_backing_up) << "no kill interrupted the backup:" << outcomes;
  EXPECT_TRUE(caught_replacing) << "no kill interrupted the replacement:" << outcomes;
  std::printf("kill points (seed %u):%s\n", seed, outcomes.c_str());
}

}  // namespace
