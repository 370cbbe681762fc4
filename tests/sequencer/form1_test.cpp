// The update as timelines in virtual time: each scenario scripts the old and
// new program, runs the form until it ends the process, and checks the files
// left on disk and the order of calls, traces and boxes.
#include "sequencer/form1.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "fake/fake_platform.h"
#include "sequencer/messages.h"
#include "startup/mmain.h"
#include "startup/trace.h"

namespace {

using fake::FakePlatform;
using fake::P;
using fake::Utf8;

class UpdateTest : public ::testing::Test {
 protected:
  UpdateTest() { Install(os); }

  // The old version at the main path, the new one downloaded, and the
  // product's command line naming both: what each scenario starts from.
  void Install(FakePlatform& platform) const {
    platform.AddFile(main_path, "v1");
    platform.AddFile(new_path, "v2");
    platform.args = VT("\"") + main_path + VT("\"?\"") + new_path + VT("\"");
  }

  // Runs the program to its end; true when it ended through Quit.
  bool Run() {
    exit_code = os.RunMain();
    return exit_code == 0;
  }

  std::string M() const { return Utf8(main_path); }
  std::string B() const { return Utf8(main_path + VT(".bak")); }
  std::string N() const { return Utf8(new_path); }

  // The log lines for files, starts, boxes and the given traces, in order.
  std::vector<std::string> Story() const {
    std::vector<std::string> out;
    for (const std::string& line : os.log) {
      const bool wanted =
          line.rfind("copy", 0) == 0 || line.rfind("replace", 0) == 0 ||
          line.rfind("delete", 0) == 0 || line.rfind("start", 0) == 0 ||
          line.rfind("box", 0) == 0 || line.rfind("exit", 0) == 0 ||
          (line.rfind("trace ", 0) == 0 && line.find("Setup Step") == std::string::npos &&
           line.find("ProcessId") == std::string::npos);
      if (wanted)
        out.push_back(line);
    }
    return out;
  }

  // The ticks in which each log line starting with `prefix` was made: one
  // more than the number of end-of-tick traces before it.
  std::vector<int> TicksOf(const std::string& prefix) const {
    std::vector<int> ticks;
    int tick = 1;
    for (const std::string& line : os.log) {
      if (line.rfind(prefix, 0) == 0)
        ticks.push_back(tick);
      if (line.rfind("trace Setup Step:", 0) == 0)
        ++tick;
    }
    return ticks;
  }
  int TickOf(const std::string& prefix) const {
    const std::vector<int> ticks = TicksOf(prefix);
    return ticks.empty() ? -1 : ticks.front();
  }

  FakePlatform os;
  Text main_path = P("/opt/Lumora Suite/app.exe");
  Text new_path = P("/tmp/download/app.exe");
  std::optional<int> exit_code;
};

TEST_F(UpdateTest, OldVersionGoneAtFirstTick) {
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 2);  // the swap, then the first tick of the watch
  EXPECT_EQ(os.Bytes(main_path), "v2");
  EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
  EXPECT_EQ(os.Bytes(new_path), "v2");
  EXPECT_EQ(Story(), (std::vector<std::string>{
                         "trace Old Version is Exit, Updating Start!",
                         "copy " + M() + " -> " + B() + " ok",
                         "replace " + N() + " -> " + M() + " ok",
                         "trace Backup and Replace Old Version Success!",
                         "start " + M() + " ok",
                         "trace Start New Version",
                         "trace New Version Started",
                         "exit 0",
                     }));
  EXPECT_EQ(Form1::Step, 2);
  EXPECT_EQ(Form1::Tick, 0);
  EXPECT_FALSE(Form1::Timer1.Enabled);
  // Unelevated: no signature is checked, and the product starts as this
  // program does.
  EXPECT_TRUE(os.Lines("trust").empty());
  EXPECT_EQ(os.RunningFrom(main_path).size(), 1u);
  EXPECT_EQ(MMain::BackupPath, main_path + VT(".bak"));
}

TEST_F(UpdateTest, OldVersionExitsByItselfAtTick20) {
  const uint32_t old = os.Spawn(main_path);
  os.before_tick[20] = [&] { os.ExitProcess(old); };
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 21);
  EXPECT_TRUE(os.Lines("terminate").empty());
  EXPECT_EQ(TickOf("trace Old Version is Exit, Updating Start!"), 20);
  const std::vector<std::string> traces = os.Traces();
  EXPECT_NE(std::find(traces.begin(), traces.end(), "Setup Step:0, Tick:7"), traces.end());
  EXPECT_EQ(os.Bytes(main_path), "v2");
}

TEST_F(UpdateTest, LingeringOldVersionIsTerminatedInTheWindowBystandersSurvive) {
  const uint32_t old = os.Spawn(main_path);
  const uint32_t bystander = os.Spawn(P("/opt/Other/myapp.exe"));
  EXPECT_TRUE(Run());
  const std::string kill = "trace Kill Process ProcessID:" + std::to_string(old);
  EXPECT_EQ(TickOf(kill), 31);
  EXPECT_EQ(os.Lines("terminate").size(), 1u);
  EXPECT_EQ(TickOf("trace Old Version is Exit, Updating Start!"), 32);
  EXPECT_EQ(os.processes[0].exit_code, 0u);
  EXPECT_TRUE(os.Find(bystander));
  EXPECT_EQ(os.Bytes(main_path), "v2");
}

TEST_F(UpdateTest, OldVersionThatCannotBeTerminatedIsAbandonedAtTick51) {
  const uint32_t old = os.Spawn(main_path);
  os.Find(old)->terminate_refused = true;
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 51);
  // One plain and one privileged attempt on each of ticks 31 to 49, none on 50.
  std::vector<int> expected_ticks;
  for (int tick = 31; tick <= 49; ++tick)
    expected_ticks.insert(expected_ticks.end(), {tick, tick});
  EXPECT_EQ(TicksOf("terminate"), expected_ticks);
  EXPECT_EQ(os.Lines("trace Setup Step").back(), "trace Setup Step:0, Tick:50");
  // Nothing changed and nobody was told.
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_FALSE(os.Bytes(main_path + VT(".bak")));
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_TRUE(os.Lines("copy").empty());
  EXPECT_TRUE(os.Lines("start").empty());
}

TEST_F(UpdateTest, StaleBackupIsReplacedByAFreshCopyWhateverItsAttributes) {
  // A hidden or system one is not seen by FileExists, and a copy onto it
  // fails: left in place, it would end every update with M1.
  using namespace platform;
  for (const uint32_t attributes :
       {kAttrReadOnly | kAttrArchive, kAttrHidden, kAttrSystem, kAttrReadOnly | kAttrHidden}) {
    SCOPED_TRACE(attributes);
    FakePlatform os;
    Install(os);
    os.AddFile(main_path + VT(".bak"), "v0", attributes);
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_TRUE(os.boxes.empty());
    EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
    EXPECT_EQ(os.Bytes(main_path), "v2");
    EXPECT_LT(os.IndexOf("delete-unshared " + B() + " ok"),
              os.IndexOf("copy " + M() + " -> " + B() + " ok"));
  }
}

TEST_F(UpdateTest, MissingDownloadLeavesTheOldVersionInPlaceAndRestartsIt) {
  os.files.erase(new_path);
  EXPECT_TRUE(Run());
  EXPECT_EQ(Story(), (std::vector<std::string>{
                         "trace Old Version is Exit, Updating Start!",
                         "copy " + M() + " -> " + B() + " ok",
                         "replace " + N() + " -> " + M() + " fail",
                         "trace 升级失败，无法替换新版本的主程序",
                         "box 升级失败，无法替换新版本的主程序。",
                         "start " + M() + " ok",
                         "exit 0",
                     }));
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
  ASSERT_EQ(os.boxes.size(), 1u);
  EXPECT_EQ(os.boxes[0].first, VT("Lumora安装辅助程序"));
  EXPECT_EQ(os.boxes[0].second,
            VT("升级失败，无法替换新版本的主程序。\r\n\r\n请稍候再尝试重新升级。"));
}

TEST_F(UpdateTest, RefusedStartRestoresTheBackup) {
  os.AddFile(new_path, "not-an-exe: a truncated download");
  EXPECT_TRUE(Run());
  EXPECT_EQ(Story(), (std::vector<std::string>{
                         "trace Old Version is Exit, Updating Start!",
                         "copy " + M() + " -> " + B() + " ok",
                         "replace " + N() + " -> " + M() + " ok",
                         "trace Backup and Replace Old Version Success!",
                         "start " + M() + " fail",
                         "trace Can not start New Version, Recover backup",
                         "replace " + B() + " -> " + M() + " ok",
                         "box 升级失败，无法启动新版本。",
                         "start " + M() + " ok",
                         "exit 0",
                     }));
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_EQ(os.boxes[0].second,
            VT("升级失败，无法启动新版本。\r\n\r\n可能文件未正常下载，请稍后再次尝试升级。"));
}

TEST_F(UpdateTest, NewVersionNeverSeenGivesM4AtTick11OfTheWatch) {
  // The start is accepted, but the program is gone before anyone looks.
  os.on_start = [&](const Text& path) {
    if (os.Bytes(path) == "v2")
      return true;
    os.Spawn(path);
    return true;
  };
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 12);  // the start tick, then ticks 1 to 11 of the watch
  EXPECT_EQ(os.Traces()[os.Traces().size() - 2], "Setup Step:1, Tick:10");
  const std::vector<std::string> story = Story();
  EXPECT_EQ(std::vector<std::string>(story.end() - 5, story.end()),
            (std::vector<std::string>{
                "trace 新版本的主程序未正常启动，请再尝试升级。",
                "replace " + B() + " -> " + M() + " ok",
                "box 新版本的主程序未正常启动，可能下载的文件不全或者升级安装过程中退出。",
                "start " + M() + " ok",
                "exit 0",
            }));
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_EQ(os.boxes[0].second,
            VT("新版本的主程序未正常启动，可能下载的文件不全或者升级安装过程中退出。\r\n\r\n"
               "请稍后再次尝试升级。"));
}

TEST_F(UpdateTest, NewVersionThatExitsInTheStartTickIsNoRunningOne) {
  // The start tick's snapshot still lists the process just created; by the
  // next tick it has exited. M4, and the old version back.
  os.before_tick[2] = [&] {
    for (const uint32_t pid : os.RunningFrom(main_path))
      os.ExitProcess(pid, 1);
  };
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 12);
  EXPECT_EQ(os.Lines("box"),
            std::vector<std::string>{
                "box 新版本的主程序未正常启动，可能下载的文件不全或者升级安装过程中退出。"});
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_EQ(os.RunningFrom(main_path).size(), 1u);
}

TEST_F(UpdateTest, NewVersionSeenOnlyInATickASlowSwapHeldUpIsNoRunningOne) {
  // A swap tick of 700 ms (two copies of 350 ms) is followed at once by the
  // next tick, which still sees a new version that exits 50 ms after its
  // start; it is gone by the tick after, 300 ms after the start. M4.
  os.copy_ms = 350;
  os.before_tick[3] = [&] { os.ExitProcess(os.RunningFrom(main_path).at(0), 1); };
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.Lines("box").size(), 1u);
  EXPECT_EQ(os.boxes.at(0).second.rfind(Form1::kBoxNotRunning.first, 0), 0u);
  EXPECT_EQ(os.Bytes(main_path), "v1");
}

TEST_F(UpdateTest, RestoreOutlastsAScannerOnTheFreshExecutable) {
  // A security product opens the new executable, sharing neither writing
  // nor deleting, just as the watch gives up.
  struct Case {
    const char* name;
    int release_after_ms;  // -1: never
    const char* main_at_end;
  };
  const Case cases[] = {{"lets go after ten refusals", 1000, "v1"},
                        {"lets go after 1.5 s", 1500, "v1"},
                        {"holds on", -1, "v2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform os;
    Install(os);
    os.on_start = [&os](const Text& path) {
      if (os.Bytes(path) != "v2")
        os.Spawn(path);
      return true;
    };
    os.before_tick[12] = [&] { os.files[main_path].shared_delete = true; };
    int waited_ms = 0;
    os.on_pause = [&] {
      waited_ms += int(Form1::kRestoreRetryMs);
      if (waited_ms == c.release_after_ms)
        os.CloseElsewhere(main_path);
    };
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_EQ(os.Bytes(main_path), c.main_at_end);
    // Tried for about 2 s at most, and the box only after the restore.
    EXPECT_LE(waited_ms, 2100);
    if (c.release_after_ms < 0) {
      EXPECT_GE(waited_ms, 1900);
    }
    // One copy for the swap, one for the restore: each try renames it.
    EXPECT_EQ(os.staged_copies, 2);
    ASSERT_EQ(os.Lines("box").size(), 1u);
    EXPECT_GT(os.IndexOf(os.Lines("box")[0]), os.IndexOf(os.Lines("replace " + B()).back()));
    EXPECT_EQ(os.Lines("start").back(), "start " + M() + " ok");
  }
}

TEST_F(UpdateTest, WhatEarlierRunsLeftBesideTheExecutableGoesBeforeTheSwap) {
  const Text aside = main_path + VT(".1f4-0.deleted");
  const Text backup_aside = main_path + VT(".bak.20c-1.deleted");
  const Text staging = main_path + VT(".staging");
  const Text unrelated = main_path + VT(".config");
  os.AddFile(aside, "v0", platform::kAttrHidden);
  os.AddFile(backup_aside, "v0");
  os.AddFile(staging, "v2, half written", platform::kAttrReadOnly);
  os.AddFile(unrelated, "settings");
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.Bytes(main_path), "v2");
  EXPECT_FALSE(os.Bytes(aside));
  EXPECT_FALSE(os.Bytes(backup_aside));
  EXPECT_FALSE(os.Bytes(staging));
  EXPECT_EQ(os.Bytes(unrelated), "settings");
}

TEST_F(UpdateTest, MainPathMissingAtTheSwapDeletesNothingAndShowsM1) {
  // A power cut between the two renames of a replace: the stale backup and
  // the file moved aside may be the only copies of the program.
  const Text aside = main_path + VT(".1f4-0.deleted");
  os.files.erase(main_path);
  os.AddFile(main_path + VT(".bak"), "v0");
  os.AddFile(aside, "v1");
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.Lines("box"), std::vector<std::string>{"box 升级失败，无法备份主程序。"});
  EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v0");
  EXPECT_EQ(os.Bytes(aside), "v1");
}

TEST_F(UpdateTest, NewVersionFirstSeenAtTick11OfTheWatchSucceeds) {
  os.on_start = [](const Text&) { return true; };  // accepted, not yet visible
  os.before_tick[12] = [&] { os.Spawn(main_path); };
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 12);
  EXPECT_TRUE(os.boxes.empty());
  EXPECT_EQ(os.Traces().back(), "New Version Started");
  EXPECT_EQ(os.Bytes(main_path), "v2");
}

TEST_F(UpdateTest, BackupImpossibleShowsM1AndRestartsTheUntouchedOldVersion) {
  os.fail_if = [&](const std::string& op, const Text& from) {
    return op == "copy" && from == main_path;
  };
  EXPECT_TRUE(Run());
  EXPECT_EQ(Story(), (std::vector<std::string>{
                         "trace Old Version is Exit, Updating Start!",
                         "copy " + M() + " -> " + B() + " fail",
                         "box 升级失败，无法备份主程序。",
                         "trace Backup Old Version Failed!",
                         "start " + M() + " ok",
                         "exit 0",
                     }));
  EXPECT_EQ(os.Bytes(main_path), "v1");
}

TEST_F(UpdateTest, StaleBackupHeldElsewhereIsNeverTheBackup) {
  // A stale backup that cannot be freed is no backup: it holds an older
  // program. One held only for its attributes is moved aside and the fresh
  // backup is a file of its own, which outlives the stale one's holder.
  struct Case {
    const char* name;
    bool fake::File::*holder;
    bool backed_up;
  };
  const Case cases[] = {
      {"locked", &fake::File::in_use, false},
      {"scanner", &fake::File::shared_delete, false},
      {"attributes only", &fake::File::attributes_holder, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform os;
    Install(os);
    os.AddFile(main_path + VT(".bak"), "v0");
    os.files[main_path + VT(".bak")].*c.holder = true;
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_EQ(os.Lines("box"), c.backed_up
                                   ? std::vector<std::string>{}
                                   : std::vector<std::string>{"box 升级失败，无法备份主程序。"});
    EXPECT_EQ(os.Bytes(main_path), c.backed_up ? "v2" : "v1");
    os.CloseElsewhere(main_path + VT(".bak"));
    EXPECT_EQ(os.Bytes(main_path + VT(".bak")), c.backed_up ? "v1" : "v0");
  }
}

TEST_F(UpdateTest, OldExecutableThatCannotBeReplacedIsNoSuccess) {
  // The old executable is locked: neither deleted nor overwritten. The file
  // found at MainPath afterwards is the old one, so this is M2, not success.
  os.files[main_path].in_use = true;
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.Lines("box"), std::vector<std::string>{"box 升级失败，无法替换新版本的主程序。"});
  const std::vector<std::string> traces = os.Traces();
  EXPECT_EQ(std::find(traces.begin(), traces.end(), "Backup and Replace Old Version Success!"),
            traces.end());
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_EQ(os.Lines("start").size(), 1u);
}

TEST_F(UpdateTest, ExecutableHeldOpenElsewhereIsNeverLeftToVanish) {
  // A plain delete of a file held open elsewhere would only mark it: the
  // copy onto the name would fail, and the file disappear once the holder
  // lets go.
  struct Case {
    const char* name;
    bool fake::File::*holder;
    const char* box;  // nullptr: the update succeeds
    const char* main_at_end;
  };
  const Case cases[] = {
      // A scanner sharing read and delete: not deleted at all, M2.
      {"scanner", &fake::File::shared_delete, "box 升级失败，无法替换新版本的主程序。", "v1"},
      // An indexer reading attributes only: no sharing keeps it out, but
      // the name is freed at once all the same, and the new version stays.
      {"attributes only", &fake::File::attributes_holder, nullptr, "v2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform os;
    Install(os);
    os.files[main_path].*c.holder = true;
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_EQ(os.Lines("box"),
              c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{});
    EXPECT_EQ(os.Lines("start"), std::vector<std::string>{"start " + M() + " ok"});
    os.CloseElsewhere(main_path);
    EXPECT_EQ(os.Bytes(main_path), c.main_at_end);
    EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
  }
}

TEST_F(UpdateTest, DownloadWhereTheSwapCleansUpIsNeverDestroyed) {
  // Letter case as the user typed it.
  for (const Text suffix : {VT(".BAK"), VT(".Staging")}) {
    SCOPED_TRACE(Utf8(suffix));
    FakePlatform os;
    const Text download = main_path + suffix;
    os.AddFile(main_path, "v1");
    os.AddFile(download, "v2");
    os.args = VT("\"") + main_path + VT("\"?\"") + download + VT("\"");
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_EQ(os.Lines("box"), std::vector<std::string>{"box 升级失败，无法备份主程序。"});
    EXPECT_TRUE(os.Lines("copy").empty());
    EXPECT_TRUE(os.Lines("delete").empty());
    EXPECT_EQ(os.Bytes(main_path), "v1");
    EXPECT_EQ(os.Bytes(download), "v2");
  }
}

TEST_F(UpdateTest, AttributesOfTheFilesNeverStopAnUpdateOrARollback) {
  using namespace platform;
  struct Case {
    const char* name;
    uint32_t main_attributes;
    uint32_t download_attributes;
    const char* download;
    const char* box;  // nullptr: the update succeeds
  };
  const Case cases[] = {
      // A hidden copy would not be found, and would hide every later backup.
      {"hidden download", kAttrArchive, kAttrHidden | kAttrArchive, "v2", nullptr},
      {"system download", kAttrArchive, kAttrSystem, "v2", nullptr},
      // The rollback must overwrite a read-only (or hidden) new copy.
      {"read-only download that cannot start", kAttrArchive, kAttrReadOnly | kAttrHidden,
       "not-an-exe", "box 升级失败，无法启动新版本。"},
      // A read-only old executable never gives a read-only backup.
      {"read-only old executable", kAttrReadOnly, kAttrArchive, "v2", nullptr},
      // Not seen by FileExists, and refusing a copy made over it.
      {"hidden system old executable", kAttrHidden | kAttrSystem, kAttrArchive, "v2", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform os;
    os.AddFile(main_path, "v1", c.main_attributes);
    os.AddFile(new_path, c.download, c.download_attributes);
    os.args = VT("\"") + main_path + VT("\"?\"") + new_path + VT("\"");
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_EQ(os.Lines("box"),
              c.box ? std::vector<std::string>{c.box} : std::vector<std::string>{});
    EXPECT_EQ(os.Bytes(main_path), c.box ? "v1" : c.download);
    EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
    for (const Text& path : {main_path, main_path + VT(".bak")})
      EXPECT_EQ(*os.GetAttributes(path) & (kAttrHidden | kAttrSystem | kAttrReadOnly), 0u);
    EXPECT_EQ(os.RunningFrom(main_path).size(), 1u);
  }
}

TEST_F(UpdateTest, TickArrivingWhileABoxIsOpenIsIgnored) {
  os.files.erase(new_path);
  int ticks_during_box = 0;
  os.on_box = [&] {
    // The box's own message loop delivers timer ticks while it waits.
    if (os.boxes.size() > 1)
      return;
    for (int i = 0; i < 3; ++i) {
      Form1::OnTimer1();
      ++ticks_during_box;
    }
  };
  EXPECT_TRUE(Run());
  EXPECT_EQ(ticks_during_box, 3);
  EXPECT_EQ(os.Lines("trace Old Version is Exit").size(), 1u);
  EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
  EXPECT_EQ(os.Bytes(main_path), "v1");
}

TEST_F(UpdateTest, RollbackStepsRunEvenWhenOneRaises) {
  int starts = 0;
  os.fail_if = [&](const std::string& op, const Text&) { return op == "start" && ++starts == 1; };
  os.raise_if = [&](const std::string& op, const Text& from) {
    return op == "replace" && from == main_path + VT(".bak");
  };
  EXPECT_TRUE(Run());
  // The restore raised, the restart still ran, and the process ended.
  EXPECT_GE(os.IndexOf("raise replace " + B()), 0);
  EXPECT_GT(os.IndexOf("start " + M() + " ok"), os.IndexOf("raise replace " + B()));
  EXPECT_EQ(os.log.back(), "exit 0");
}

TEST_F(UpdateTest, TerminationErrorsAreIgnoredInTheWindow) {
  const uint32_t old = os.Spawn(main_path);
  int calls = 0;
  os.raise_if = [&](const std::string& op, const Text&) {
    return op == "terminate" && ++calls < 3;
  };
  EXPECT_TRUE(Run());
  // Ticks 31 and 32 raise inside the termination; tick 33 terminates it.
  EXPECT_FALSE(os.Find(old));
  EXPECT_EQ(TickOf("trace Old Version is Exit, Updating Start!"), 34);
  EXPECT_EQ(os.Bytes(main_path), "v2");
}

TEST_F(UpdateTest, ErrorOutsideTheStretchesEndsTheProcessWithoutTouchingFiles) {
  os.raise_if = [](const std::string& op, const Text&) { return op == "snapshot"; };
  Run();
  EXPECT_EQ(exit_code, 1);
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_TRUE(os.Lines("copy").empty());
}

TEST_F(UpdateTest, ElevatedInstallsOnlyWhatTheInstalledProgramsPublisherSigned) {
  // Elevated, this program writes where the user cannot, from a download
  // any of the user's programs can change.
  enum Ends { kInstalled, kRefused, kNothingDone };
  struct Case {
    const char* name;
    const char* installed_by;  // "": unsigned
    const char* download_by;
    bool tampered;
    Ends ends;
    std::optional<std::string> own_by = std::string();  // this program's; nullopt: broken
    bool installed_tampered = false;
    bool elevation_unknown = false;
  };
  const Case cases[] = {
      {"same publisher", "Lumora", "Lumora", false, kInstalled},
      {"unsigned installation: nothing to compare with", "", "", false, kInstalled},
      {"unsigned download", "Lumora", "", false, kRefused},
      {"changed after signing", "Lumora", "Lumora", true, kRefused},
      {"another publisher", "Lumora", "Mallory", false, kRefused},
      {"installation changed after signing", "Lumora", "Lumora", false, kRefused, "", true},
      {"signed Veltrin, unsigned download", "Lumora", "", false, kRefused, "Lumora"},
      {"signed Veltrin, own signature broken", "Lumora", "Lumora", false, kRefused, std::nullopt},
      {"signed Veltrin, foreign installation", "Mallory", "Mallory", false, kNothingDone, "Lumora"},
      {"elevation unknown: signed Veltrin, unsigned installation", "", "", false, kNothingDone,
       "Lumora", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakePlatform os;
    Install(os);
    os.elevated = !c.elevation_unknown;
    os.elevation_unknown = c.elevation_unknown;
    os.own_publisher = c.own_by;
    os.files[main_path].publisher = c.installed_by;
    os.files[main_path].tampered = c.installed_tampered;
    os.files[new_path].publisher = c.download_by;
    os.files[new_path].tampered = c.tampered;
    os.Spawn(main_path);
    os.RunMain();
    EXPECT_EQ(os.Bytes(main_path), c.ends == kInstalled ? "v2" : "v1");
    if (c.ends == kInstalled) {
      EXPECT_TRUE(os.boxes.empty());
      continue;
    }
    if (c.ends == kNothingDone) {  // at once: nothing else called, nothing changed
      EXPECT_EQ(os.log, (std::vector<std::string>{"instance", "machine-instance " + M(),
                                                  "publisher " + M() + " not-alike",
                                                  "trace Installed program not signed by "
                                                  "Veltrin's publisher, nothing done"}));
      continue;
    }
    // Nothing on disk changed.
    EXPECT_FALSE(os.touched);
    EXPECT_FALSE(os.Bytes(main_path + VT(".bak")));
    // M3, and the old program started again.
    EXPECT_EQ(os.Lines("box"), std::vector<std::string>{"box 升级失败，无法启动新版本。"});
    EXPECT_EQ(os.Lines("start").back(), "start-as-user " + M() + " ok");
    EXPECT_EQ(os.RunningFrom(main_path).size(), 1u);
  }
}

TEST_F(UpdateTest, ElevatedStartsTheProductAsTheDesktopsUser) {
  // The shell's token, then the desktop's shell, then this program's own
  // token: each start says which way it took and why the ways before failed.
  using O = platform::UserStartOutcome;
  struct Case {
    O desktop_user, desktop_shell;
    std::vector<std::string> starts, traces;
  };
  const std::string user = "start-as-user " + M(), shell = "start-through-shell " + M(),
                    self = "start " + M() + " ok", by_shell = "Started through the desktop shell",
                    refused =
                        "Start with the desktop user's token refused, start through the "
                        "desktop shell";
  const Case cases[] = {
      {O::kStarted, O::kNoShell, {user + " ok"}, {"Started with the desktop user's token"}},
      {O::kNoShell, O::kStarted, {user + " no-shell", self}, {"No desktop shell, start as self"}},
      // The secondary logon service switched off.
      {O::kFailed, O::kStarted, {user + " fail", shell + " ok"}, {refused, by_shell}},
      {O::kFailed,
       O::kNoShell,
       {user + " fail", shell + " no-shell", self},
       {refused, "No desktop shell, start as self"}},
      {O::kNoShellToken,
       O::kFailed,
       {user + " no-token", shell + " fail", self},
       {"Desktop user's token unavailable, start through the desktop shell",
        "Desktop shell refused the start, start as self"}},
  };
  for (const Case& c : cases) {
    FakePlatform os;
    Install(os);
    os.elevated = true;
    os.desktop_user = c.desktop_user;
    os.desktop_shell = c.desktop_shell;
    EXPECT_EQ(os.RunMain(), 0);
    EXPECT_EQ(os.Bytes(main_path), "v2");
    EXPECT_TRUE(os.boxes.empty());
    EXPECT_EQ(os.Lines("start"), c.starts);
    const std::vector<std::string> traces = os.Traces();
    for (const std::string& trace : c.traces)
      EXPECT_NE(std::find(traces.begin(), traces.end(), trace), traces.end()) << trace;
  }
}

TEST_F(UpdateTest, ElevatedEndsOnlyTheProductRunningInItsOwnSession) {
  // With the debug privilege every process of the machine could be ended.
  os.elevated = true;
  const uint32_t own = os.Spawn(main_path, os.self_session);
  const uint32_t namesake = os.Spawn(P("/home/other/app.exe"), os.self_session);
  const uint32_t other_user = os.Spawn(main_path, os.self_session + 1);
  // Its path may be reported in other letter case: the same file all the same.
  const uint32_t own_cased = os.Spawn(P("/OPT/lumora SUITE/App.EXE"), os.self_session);
  EXPECT_TRUE(Run());
  EXPECT_FALSE(os.Find(own));
  EXPECT_FALSE(os.Find(own_cased));
  EXPECT_TRUE(os.Find(namesake));
  EXPECT_TRUE(os.Find(other_user));
  // The other user's copy still runs: the update gives up, changing nothing.
  EXPECT_EQ(os.ticks_run, 51);
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_TRUE(os.boxes.empty());
}

class SelfRestartTest : public UpdateTest {
 protected:
  SelfRestartTest() { os.args = main_path + VT("!") + main_path; }
  Text Library(const char* name) const { return os.exe_dir + P("/bin/") + P(name); }
};

TEST_F(SelfRestartTest, NoLibrariesPresentRestartsAnyway) {
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.ticks_run, 1);
  std::vector<std::string> expected = {
      "trace Old Version is Exit, Updating Start!",
      "copy " + M() + " -> " + B() + " ok",
      "trace Is Self Restart, Delete Old Dll Files!",
  };
  for (const char* name :
       {"Oxmere.dll", "Pilvane.dll", "Quintor.dll", "Rellisk.dll", "Saffrel.dll", "Tovrane.dll"})
    expected.push_back("delete " + Utf8(Library(name)) + " fail");
  expected.push_back("start " + M() + " ok");
  expected.push_back("exit 0");
  EXPECT_EQ(Story(), expected);
  EXPECT_EQ(os.Bytes(main_path), "v1");
  EXPECT_EQ(os.Bytes(main_path + VT(".bak")), "v1");
  EXPECT_TRUE(os.boxes.empty());
}

TEST_F(SelfRestartTest, UnknownOwnFolderPurgesNothingAndRestartsAnyway) {
  // A library path made from an empty folder would name the root's "bin".
  os.exe_dir.clear();
  os.AddFile(P("/bin/Oxmere.dll"), "not the product's");
  EXPECT_TRUE(Run());
  EXPECT_TRUE(os.Lines("delete").empty());
  EXPECT_TRUE(os.Bytes(P("/bin/Oxmere.dll")));
  EXPECT_EQ(os.RunningFrom(main_path).size(), 1u);
}

TEST_F(SelfRestartTest, DeletesTheSixLibrariesAndKeepsEverythingElse) {
  for (const char* name :
       {"Oxmere.dll", "Pilvane.dll", "Quintor.dll", "Rellisk.dll", "Saffrel.dll", "Tovrane.dll"})
    os.AddFile(Library(name), "lib", platform::kAttrReadOnly);
  os.AddFile(Library("Keep.dll"), "keep");
  os.AddFile(os.exe_dir + P("/Oxmere.dll"), "not in bin");
  EXPECT_TRUE(Run());
  EXPECT_EQ(os.Lines("delete").size(), 6u);
  for (const std::string& line : os.Lines("delete"))
    EXPECT_EQ(line.substr(line.size() - 3), " ok");
  EXPECT_TRUE(os.Bytes(Library("Keep.dll")));
  EXPECT_TRUE(os.Bytes(os.exe_dir + P("/Oxmere.dll")));
  EXPECT_EQ(os.RunningFrom(main_path).size(), 1u);
}

}  // namespace

// The sweep: each timeline above runs again with one fault planted - the
// Nth platform call fails, or raises, or the Nth allocation of the program
// fails - for every N its clean run reaches. Whatever fails, the old
// program's bytes stay on disk, success is reported only with the new
// version in place, a failure once the swap began puts the old program back
// and restarts it, and nothing is allocated from a change on disk until a
// program is started.
struct Timeline {
  const char* name;
  void (*script)(FakePlatform& os, const Text& main_path, const Text& download);
};
const Timeline kTimelines[] = {
    {"success in one tick", [](FakePlatform&, const Text&, const Text&) {}},
    {"lingering old version terminated",
     [](FakePlatform& os, const Text& main_path, const Text&) { os.Spawn(main_path); }},
    {"M1",
     [](FakePlatform& os, const Text& main_path, const Text&) {
       os.AddFile(main_path + VT(".bak"), "v0");
       os.files[main_path + VT(".bak")].in_use = true;
     }},
    {"M2", [](FakePlatform& os, const Text&, const Text& download) { os.files.erase(download); }},
    {"M3",
     [](FakePlatform& os, const Text&, const Text& download) {
       os.AddFile(download, "not-an-exe");
     }},
    {"M4",
     [](FakePlatform& os, const Text&, const Text&) {
       os.on_start = [&os](const Text& path) {
         if (os.Bytes(path) != "v2")
           os.Spawn(path);
         return true;
       };
     }},
    {"self-restart",
     [](FakePlatform& os, const Text& main_path, const Text&) {
       os.args = main_path + VT("!") + main_path;
     }},
    {"M4, the new version exits in the start tick",
     [](FakePlatform& os, const Text& main_path, const Text&) {
       os.before_tick[2] = [&os, main_path] {
         for (const uint32_t pid : os.RunningFrom(main_path))
           os.ExitProcess(pid, 1);
       };
     }},
    {"M4, a scanner holds the new version during the restore",
     [](FakePlatform& os, const Text& main_path, const Text&) {
       os.on_start = [&os](const Text& path) {
         if (os.Bytes(path) != "v2")
           os.Spawn(path);
         return true;
       };
       os.before_tick[12] = [&os, main_path] { os.files[main_path].shared_delete = true; };
       os.on_pause = [&os, main_path] {
         if (os.now_ms >= 6500)
           os.CloseElsewhere(main_path);
       };
     }},
    {"elevated, signed by the installed program's publisher",
     [](FakePlatform& os, const Text& main_path, const Text& download) {
       os.elevated = true;
       os.files[main_path].publisher = os.files[download].publisher = "Lumora";
     }},
    {"elevated, another publisher's download",
     [](FakePlatform& os, const Text& main_path, const Text& download) {
       os.elevated = true;
       os.files[main_path].publisher = "Lumora";
       os.files[download].publisher = "Mallory";
     }},
    {"stale backup held for its attributes, hidden system old executable",
     [](FakePlatform& os, const Text& main_path, const Text&) {
       os.files[main_path].attributes = platform::kAttrHidden | platform::kAttrSystem;
       os.AddFile(main_path + VT(".bak"), "v0");
       os.files[main_path + VT(".bak")].attributes_holder = true;
     }},
};

// MainPath checks made by the sweep: after every platform call from the
// swap's first change on.
long g_main_path_checks = 0;

enum class Fault { kNone, kCallFails, kCallRaises, kAllocationFails };

// Runs `timeline` with `fault` planted at `n`, checks the promise, and
// returns the calls and allocations the run made.
std::pair<int, long> RunWithFault(const Timeline& timeline, Fault fault, long n) {
  const Text main_path = P("/opt/Lumora Suite/app.exe");
  const Text download = P("/tmp/download/app.exe");
  FakePlatform os;
  os.AddFile(main_path, "v1");
  os.AddFile(download, "v2");
  os.args = VT("\"") + main_path + VT("\"?\"") + download + VT("\"");
  timeline.script(os, main_path, download);
  // From the first change on disk, MainPath holds a whole program, old or
  // new, after every call the program makes.
  const std::optional<std::string> new_bytes = os.Bytes(download);
  os.on_call = [&] {
    if (!os.touched)
      return;
    ++g_main_path_checks;
    const std::optional<std::string> held = os.Bytes(main_path);
    EXPECT_TRUE(held == "v1" || (new_bytes && held == new_bytes))
        << timeline.name << ": MainPath holds " << held.value_or("nothing") << " before call "
        << os.calls + 1;
  };
  MMain::SetTraceSink(nullptr);  // as shipped: trace texts are not built
  os.fail_if = [&](const std::string&, const Text&) {
    return fault == Fault::kCallFails && os.calls == n;
  };
  os.raise_if = [&](const std::string&, const Text&) {
    return fault == Fault::kCallRaises && os.calls == n;
  };
  fake::meter = {};
  fake::meter.fail_at = fault == Fault::kAllocationFails ? n : 0;
  fake::meter.armed = true;
  try {
    os.RunMain();
  } catch (const std::bad_alloc&) {
    // Out of memory before the form loaded: the program ends untouched.
  }
  fake::meter.armed = false;
  os.on_call();
  os.on_call = nullptr;

  const std::string where = std::string(timeline.name) + ", fault " +
                            std::to_string(static_cast<int>(fault)) + " at " + std::to_string(n);
  const std::string M = Utf8(main_path), B = Utf8(main_path + VT(".bak"));
  EXPECT_TRUE(os.Bytes(main_path) == "v1" || os.Bytes(main_path + VT(".bak")) == "v1") << where;
  EXPECT_EQ(fake::meter.unsettled_count, 0) << where;
  if (Form1::Step == 2) {
    EXPECT_EQ(os.Bytes(main_path), "v2") << where;
  } else if (os.touched || !os.boxes.empty()) {
    // Rolled back: the restore and the restart were made, and only a fault
    // planted in one of them can keep its result away. Elevated, the
    // restart goes as the desktop's user.
    const auto planted = [&](const std::string& what) {
      return os.IndexOf("fail " + what) >= 0 || os.IndexOf("raise " + what) >= 0;
    };
    const std::vector<std::string> starts = os.Lines("start");
    const std::string restart = os.elevated ? "start-as-user " + M + " " : "start " + M + " ";
    EXPECT_TRUE(planted("start " + M) || (!starts.empty() && starts.back().rfind(restart, 0) == 0))
        << where;
    if (!planted("replace " + B) && !planted("start " + M)) {
      EXPECT_EQ(os.Bytes(main_path), "v1") << where;
      EXPECT_FALSE(os.RunningFrom(main_path).empty()) << where;
    }
    EXPECT_EQ(os.log.back(), "exit 0") << where;
  }
  return {os.calls, fake::meter.count};
}

TEST(FaultSweep, NoSingleFaultLosesTheOldProgram) {
  int runs = 0;
  for (const Timeline& timeline : kTimelines) {
    const auto [calls, allocations] = RunWithFault(timeline, Fault::kNone, 0);
    for (int n = 1; n <= calls; ++n) {
      RunWithFault(timeline, Fault::kCallFails, n);
      RunWithFault(timeline, Fault::kCallRaises, n);
    }
    for (long n = 1; n <= allocations; ++n)
      RunWithFault(timeline, Fault::kAllocationFails, n);
    runs += 1 + 2 * calls + int(allocations);
    std::printf("sweep %s: %d calls, %ld allocations\n", timeline.name, calls, allocations);
  }
  std::printf("sweep: %d runs, MainPath checked %ld times\n", runs, g_main_path_checks);
}
