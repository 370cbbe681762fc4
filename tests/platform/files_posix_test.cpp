// The POSIX binding's file operations against real files in a fresh temporary
// folder per test.
#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support_posix_test.h"

namespace {

namespace fs = std::filesystem;
using platform::kAttrArchive;
using platform::kAttrDirectory;
using platform::kAttrHidden;
using platform::kAttrNormal;
using platform::kAttrReadOnly;
using platform::ReplaceOutcome;
using posixtest::Child;
using posixtest::ReadFile;
using posixtest::ReadLink;
using posixtest::TempDir;
using posixtest::WriteFile;

// Restores the process's umask when the test ends.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : previous_(umask(mask)) {}
  ~UmaskGuard() { umask(previous_); }

 private:
  mode_t previous_;
};

// Restores the working folder when the test ends.
class WorkingFolderGuard {
 public:
  explicit WorkingFolderGuard(const std::string& folder) : previous_(fs::current_path()) {
    fs::current_path(folder);
  }
  ~WorkingFolderGuard() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
  }

 private:
  fs::path previous_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The names in `folder`.
std::set<std::string> Entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename());
  return names;
}

std::string RandomBytes(size_t size) {
  std::mt19937 generator(20240611);
  std::string bytes(size, '\0');
  for (char& c : bytes)
    c = char(generator() & 0xFF);
  return bytes;
}

class PosixFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.path().empty()) << "mkdtemp failed"; }

  platform::Platform& os_ = platform::Native();
  TempDir dir_;
};

// --- FirstFileMatch -----------------------------------------------------------

using PosixFirstFileMatch = PosixFiles;

TEST_F(PosixFirstFileMatch, SkipsHiddenEntriesAndFoldersButFindsReadOnlyFiles) {
  WriteFile(dir_ / ".shadow.exe", "hidden");
  ASSERT_EQ(mkdir((dir_ / "folder.exe").c_str(), 0755), 0);
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.exe"), "");

  WriteFile(dir_ / "product.exe", "locked", 0444);
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.exe"), "product.exe");
}

TEST_F(PosixFirstFileMatch, StarAndQuestionMarkFollowWindowsWildcards) {
  WriteFile(dir_ / "app12.exe", "x");
  WriteFile(dir_ / "app.txt", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "app?.exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "app??.exe"), "app12.exe");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "app???.exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "a*2.exe"), "app12.exe");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.txt"), "app.txt");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.dll"), "");
}

TEST_F(PosixFirstFileMatch, WithoutWildcardsFindsExactlyThatName) {
  WriteFile(dir_ / "Lumora.exe", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "Lumora.exe"), "Lumora.exe");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "Lumora.ex"), "");
  // POSIX file systems tell letter cases apart, and so does the lookup.
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "lumora.exe"), "");
}

TEST_F(PosixFirstFileMatch, BracketsAndBackslashesAreOrdinaryCharacters) {
  WriteFile(dir_ / "1.exe", "x");
  WriteFile(dir_ / "ab.exe", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "[1].exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "a\\b.exe"), "");

  WriteFile(dir_ / "[1].exe", "x");
  WriteFile(dir_ / "a\\b.exe", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "[1].exe"), "[1].exe");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "a\\b.exe"), "a\\b.exe");
}

TEST_F(PosixFirstFileMatch, TrailingSeparatorStandsForEveryVisibleFile) {
  WriteFile(dir_ / ".hidden", "x");
  ASSERT_EQ(mkdir((dir_ / "sub").c_str(), 0755), 0);
  EXPECT_EQ(os_.FirstFileMatch(dir_.path() + "/"), "");

  WriteFile(dir_ / "only.dat", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_.path() + "/"), "only.dat");
}

TEST_F(PosixFirstFileMatch, MissingFolderOrBadPatternFindsNothing) {
  WriteFile(dir_ / "file.txt", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "missing/*"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "missing/"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "file.txt/*"), "");
  EXPECT_EQ(os_.FirstFileMatch(""), "");
}

TEST_F(PosixFirstFileMatch, PatternWithoutFolderLooksInTheWorkingFolder) {
  WriteFile(dir_ / "settings.cfg", "x");
  WorkingFolderGuard cwd(dir_.path());
  EXPECT_EQ(os_.FirstFileMatch("*.cfg"), "settings.cfg");
  EXPECT_EQ(os_.FirstFileMatch("settings.cfg"), "settings.cfg");
  EXPECT_EQ(os_.FirstFileMatch("*.ini"), "");
}

TEST_F(PosixFirstFileMatch, NonAsciiNamesMatchCharacterByCharacter) {
  const std::string folder = dir_ / "数据 文件夹";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  WriteFile(folder + "/产品更新.exe", "x");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/产品*.exe"), "产品更新.exe");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/产品更新.exe"), "产品更新.exe");
  // Each "?" stands for one character, however many bytes it takes.
  EXPECT_EQ(os_.FirstFileMatch(folder + "/??更新.exe"), "产品更新.exe");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/?更新.exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/*"), "产品更新.exe");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/"), "产品更新.exe");
}

TEST_F(PosixFirstFileMatch, SpacesAroundNamesArePartOfThem) {
  const std::string folder = dir_ / " spaced ";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  WriteFile(folder + "/ lead.exe", "x");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/ lead.exe"), " lead.exe");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/lead.exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(folder + "/*.exe"), " lead.exe");

  WriteFile(dir_ / "trail.exe ", "x");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "trail.exe "), "trail.exe ");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "trail.exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.exe"), "");  // "trail.exe " does not end in ".exe"

  // The pattern is taken as given: blanks around it name another path.
  EXPECT_EQ(os_.FirstFileMatch(" " + folder + "/*.exe"), "");
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "trail.exe  "), "");
}

TEST_F(PosixFirstFileMatch, FollowsLinksAndSkipsWhatCannotBeRead) {
  TempDir elsewhere;
  WriteFile(elsewhere / "target.bin", "x");
  ASSERT_EQ(symlink((elsewhere / "gone.bin").c_str(), (dir_ / "broken.exe").c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.path().c_str(), (dir_ / "folderlink.exe").c_str()), 0);
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.exe"), "");

  ASSERT_EQ(symlink((elsewhere / "target.bin").c_str(), (dir_ / "link.exe").c_str()), 0);
  EXPECT_EQ(os_.FirstFileMatch(dir_ / "*.exe"), "link.exe");
}

// --- Attributes ------------------------------------------------------------------

using PosixFileAttributes = PosixFiles;

TEST_F(PosixFileAttributes, MapsKindsNamesAndWriteBitsToWindowsBits) {
  WriteFile(dir_ / "plain", "x", 0644);
  WriteFile(dir_ / "locked", "x", 0444);
  WriteFile(dir_ / "group-writable", "x", 0464);
  WriteFile(dir_ / ".dotfile", "x", 0600);
  WriteFile(dir_ / ".hidden-locked", "x", 0400);
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / ".folder").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / "locked-folder").c_str(), 0555), 0);

  EXPECT_EQ(os_.GetAttributes(dir_ / "plain"), kAttrArchive);
  EXPECT_EQ(os_.GetAttributes(dir_ / "locked"), kAttrArchive | kAttrReadOnly);
  EXPECT_EQ(os_.GetAttributes(dir_ / "group-writable"), kAttrArchive);
  EXPECT_EQ(os_.GetAttributes(dir_ / ".dotfile"), kAttrArchive | kAttrHidden);
  EXPECT_EQ(os_.GetAttributes(dir_ / ".hidden-locked"), kAttrArchive | kAttrHidden | kAttrReadOnly);
  EXPECT_EQ(os_.GetAttributes(dir_ / "folder"), kAttrDirectory);
  EXPECT_EQ(os_.GetAttributes(dir_ / "folder/"), kAttrDirectory);
  EXPECT_EQ(os_.GetAttributes(dir_ / ".folder"), kAttrDirectory | kAttrHidden);
  EXPECT_EQ(os_.GetAttributes(dir_ / "locked-folder"), kAttrDirectory | kAttrReadOnly);
}

TEST_F(PosixFileAttributes, MissingEntryHasNone) {
  EXPECT_EQ(os_.GetAttributes(dir_ / "missing"), std::nullopt);
  EXPECT_EQ(os_.GetAttributes(dir_ / "missing/deeper"), std::nullopt);
  EXPECT_FALSE(os_.SetAttributes(dir_ / "missing", kAttrNormal));
  EXPECT_FALSE(os_.SetAttributes(dir_ / "missing", kAttrReadOnly));
}

TEST_F(PosixFileAttributes, ReadOnlyRoundTripTouchesOnlyWriteBits) {
  const std::string file = dir_ / "product.bin";
  WriteFile(file, "x", 0764);

  ASSERT_TRUE(os_.SetAttributes(file, kAttrReadOnly | kAttrArchive));
  EXPECT_EQ(ModeOf(file), mode_t(0544));
  EXPECT_EQ(os_.GetAttributes(file), kAttrArchive | kAttrReadOnly);

  // Clearing gives back the owner's write bit only: the others' bits are not
  // remembered anywhere.
  ASSERT_TRUE(os_.SetAttributes(file, kAttrNormal));
  EXPECT_EQ(ModeOf(file), mode_t(0744));
  EXPECT_EQ(os_.GetAttributes(file), kAttrArchive);
}

TEST_F(PosixFileAttributes, ClearingLeavesAWritableFileAlone) {
  const std::string file = dir_ / "shared.bin";
  WriteFile(file, "x", 0664);
  ASSERT_TRUE(os_.SetAttributes(file, kAttrNormal));
  EXPECT_EQ(ModeOf(file), mode_t(0664));
  ASSERT_TRUE(os_.SetAttributes(file, kAttrArchive | kAttrHidden));
  EXPECT_EQ(ModeOf(file), mode_t(0664));
  EXPECT_TRUE(Exists(file));  // hiding cannot rename it
}

// --- DeleteOneFile ----------------------------------------------------------------

using PosixDeleteOneFile = PosixFiles;

TEST_F(PosixDeleteOneFile, ReadOnlyFileStaysUntilItsAttributeIsCleared) {
  const std::string file = dir_ / "old.bin";
  WriteFile(file, "keep me", 0444);
  EXPECT_FALSE(os_.DeleteOneFile(file));
  EXPECT_EQ(ReadFile(file), "keep me");

  ASSERT_TRUE(os_.SetAttributes(file, kAttrNormal));
  EXPECT_TRUE(os_.DeleteOneFile(file));
  EXPECT_FALSE(Exists(file));
}

TEST_F(PosixDeleteOneFile, FailsForMissingFilesAndFolders) {
  EXPECT_FALSE(os_.DeleteOneFile(dir_ / "missing"));
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);
  EXPECT_FALSE(os_.DeleteOneFile(dir_ / "folder"));
  EXPECT_TRUE(Exists(dir_ / "folder"));
}

TEST_F(PosixDeleteOneFile, RemovesALinkButNotItsTarget) {
  WriteFile(dir_ / "target", "x", 0444);
  ASSERT_EQ(symlink((dir_ / "target").c_str(), (dir_ / "link").c_str()), 0);
  EXPECT_TRUE(os_.DeleteOneFile(dir_ / "link"));
  EXPECT_FALSE(Exists(dir_ / "link"));
  EXPECT_TRUE(Exists(dir_ / "target"));
}

// --- CopyOneFile ------------------------------------------------------------------

using PosixCopyOneFile = PosixFiles;

TEST_F(PosixCopyOneFile, CopiesBytesExecuteBitsAndTimeToAWritableFile) {
  // A strict umask would narrow the bits of a file created with them.
  UmaskGuard mask(077);
  const std::string source = dir_ / "new.bin";
  const std::string bytes = RandomBytes(300 * 1024 + 17);
  WriteFile(source, bytes, 0755);
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};  // 2001-09-09
  ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);

  ASSERT_TRUE(os_.CopyOneFile(source, dir_ / "copy.bin", true));
  EXPECT_EQ(ReadFile(dir_ / "copy.bin"), bytes);
  EXPECT_EQ(ModeOf(dir_ / "copy.bin"), mode_t(0755));
  struct stat copied;
  ASSERT_EQ(stat((dir_ / "copy.bin").c_str(), &copied), 0);
  EXPECT_EQ(copied.st_mtim.tv_sec, 1000000000);

  // A read-only source (the read-only attribute) gives a writable copy.
  WriteFile(dir_ / "empty", "", 0440);
  ASSERT_TRUE(os_.CopyOneFile(dir_ / "empty", dir_ / "empty-copy", false));
  EXPECT_EQ(ReadFile(dir_ / "empty-copy"), "");
  EXPECT_EQ(ModeOf(dir_ / "empty-copy"), mode_t(0640));
}

TEST_F(PosixCopyOneFile, FailIfExistsDecidesAboutAnExistingDestination) {
  const std::string source = dir_ / "new.bin";
  const std::string dest = dir_ / "old.bin";
  WriteFile(source, "new", 0755);
  WriteFile(dest, "old and longer", 0600);

  EXPECT_FALSE(os_.CopyOneFile(source, dest, true));
  EXPECT_EQ(ReadFile(dest), "old and longer");
  EXPECT_EQ(ModeOf(dest), mode_t(0600));

  EXPECT_TRUE(os_.CopyOneFile(source, dest, false));
  EXPECT_EQ(ReadFile(dest), "new");
  EXPECT_EQ(ModeOf(dest), mode_t(0755));
}

TEST_F(PosixCopyOneFile, ReplacesTheDestinationInPlace) {
  const std::string source = dir_ / "new.bin";
  const std::string dest = dir_ / "old.bin";
  WriteFile(source, "new bytes", 0700);
  WriteFile(dest, "old", 0644);
  struct stat before, after;
  ASSERT_EQ(stat(dest.c_str(), &before), 0);

  ASSERT_TRUE(os_.CopyOneFile(source, dest, false));
  ASSERT_EQ(stat(dest.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(ReadFile(dest), "new bytes");
}

TEST_F(PosixCopyOneFile, ReadOnlyDestinationIsLeftUntouched) {
  WriteFile(dir_ / "new.bin", "new", 0755);
  WriteFile(dir_ / "old.bin", "old", 0444);
  EXPECT_FALSE(os_.CopyOneFile(dir_ / "new.bin", dir_ / "old.bin", false));
  EXPECT_EQ(ReadFile(dir_ / "old.bin"), "old");
  EXPECT_EQ(ModeOf(dir_ / "old.bin"), mode_t(0444));
}

TEST_F(PosixCopyOneFile, SourceMustBeAnExistingFileAndDestinationNoFolder) {
  WriteFile(dir_ / "new.bin", "new");
  ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0755), 0);

  EXPECT_FALSE(os_.CopyOneFile(dir_ / "missing", dir_ / "dest", false));
  EXPECT_FALSE(Exists(dir_ / "dest"));
  EXPECT_FALSE(os_.CopyOneFile(dir_ / "folder", dir_ / "dest", false));
  EXPECT_FALSE(Exists(dir_ / "dest"));
  EXPECT_FALSE(os_.CopyOneFile(dir_ / "new.bin", dir_ / "folder", false));
  EXPECT_TRUE(fs::is_empty(dir_ / "folder"));
  EXPECT_FALSE(os_.CopyOneFile(dir_ / "new.bin", dir_ / "missing/dest", false));
}

TEST_F(PosixCopyOneFile, CopyOntoItselfFailsAndKeepsTheBytes) {
  const std::string file = dir_ / "product.bin";
  WriteFile(file, "precious", 0755);
  ASSERT_EQ(symlink(file.c_str(), (dir_ / "alias.bin").c_str()), 0);

  EXPECT_FALSE(os_.CopyOneFile(file, file, false));
  EXPECT_FALSE(os_.CopyOneFile(dir_ / "alias.bin", file, false));
  EXPECT_FALSE(os_.CopyOneFile(file, dir_ / "alias.bin", false));
  EXPECT_EQ(ReadFile(file), "precious");
}

TEST_F(PosixCopyOneFile, RunningExecutableIsInUse) {
  const std::string running = dir_ / "running";
  fs::copy_file(VELTRIN_FIXTURE_DIR "/fixture_product", running);
  ASSERT_EQ(chmod(running.c_str(), 0755), 0);
  const std::string original = ReadFile(running);
  WriteFile(dir_ / "new.bin", "new", 0755);

  Child child(running, {"sleep", "30"});
  ASSERT_GT(child.pid(), 0);
  const std::string exe_link = "/proc/" + std::to_string(child.pid()) + "/exe";
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ReadLink(exe_link) != running && std::chrono::steady_clock::now() < give_up)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(ReadLink(exe_link), running);

  EXPECT_FALSE(os_.CopyOneFile(dir_ / "new.bin", running, false));
  EXPECT_EQ(ReadFile(running), original);
}

TEST_F(PosixCopyOneFile, WriteErrorPartWayIsAFailedCopy) {
  const std::string source = dir_ / "big.bin";
  WriteFile(source, RandomBytes(256 * 1024));

  // A copy in a child whose file size limit stops the write after 4 KiB.
  const auto copy_cut_short = [&](const std::string& dest) {
    const pid_t child = fork();
    if (child == 0) {
      signal(SIGXFSZ, SIG_IGN);
      const rlimit limit = {4096, 4096};
      setrlimit(RLIMIT_FSIZE, &limit);
      _exit(platform::Native().CopyOneFile(source, dest, false) ? 1 : 0);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  };

  const std::string fresh = dir_ / "partial.bin";
  EXPECT_TRUE(copy_cut_short(fresh)) << "a copy cut short was reported as done";
  EXPECT_FALSE(fs::exists(fresh)) << "the failed copy left the file it created";

  // A file that was there before keeps its name: it is not this call's to
  // remove, whatever the copy left in it.
  const std::string existing = dir_ / "existing.bin";
  WriteFile(existing, "old", 0644);
  EXPECT_TRUE(copy_cut_short(existing)) << "a copy cut short was reported as done";
  EXPECT_TRUE(Exists(existing)) << "the failed copy removed a file it did not create";
}

// --- ReplaceWithCopy --------------------------------------------------------------

using PosixReplaceWithCopy = PosixFiles;

TEST_F(PosixReplaceWithCopy, RenamesAWholeCopyOverTheFileAndLeavesNoStaging) {
  UmaskGuard mask(077);
  const std::string source = dir_ / "download.bin";
  const std::string main = dir_ / "app.exe";
  const std::string bytes = RandomBytes(300 * 1024 + 17);
  WriteFile(source, bytes, 0755);
  const timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
  WriteFile(main, "old", 0644);
  // A holder of the old file keeps it: the name moved on, the file was not
  // written over.
  const int holder = open(main.c_str(), O_RDONLY);
  ASSERT_GE(holder, 0);
  // The name is never taken away, not even for a moment: the folder sees no
  // delete or rename-away of it, only the rename onto it.
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, dir_.path().c_str(), IN_DELETE | IN_MOVED_FROM), 0);

  EXPECT_EQ(os_.ReplaceWithCopy(source, dir_ / "app.exe.new", main), ReplaceOutcome::kReplaced);
  alignas(inotify_event) char events[4096];
  const ssize_t got = read(watch, events, sizeof events);
  EXPECT_GT(got, 0) << "the watch did not even see the staging name go";
  for (ssize_t at = 0; at < got;
       at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(events + at)->len)
    EXPECT_STRNE(reinterpret_cast<inotify_event*>(events + at)->name, "app.exe");
  close(watch);
  EXPECT_EQ(ReadFile(main), bytes);
  EXPECT_EQ(ModeOf(main), mode_t(0755));
  struct stat copied;
  ASSERT_EQ(stat(main.c_str(), &copied), 0);
  EXPECT_EQ(copied.st_mtim.tv_sec, 1000000000);
  char held[8] = {};
  EXPECT_EQ(pread(holder, held, sizeof held, 0), 3);
  EXPECT_STREQ(held, "old");
  close(holder);
  EXPECT_EQ(Entries(dir_.path()), (std::set<std::string>{"download.bin", "app.exe"}));

  // A missing file is simply created.
  EXPECT_EQ(os_.ReplaceWithCopy(source, dir_ / "other.new", dir_ / "other.exe"),
            ReplaceOutcome::kReplaced);
  EXPECT_EQ(ReadFile(dir_ / "other.exe"), bytes);
  EXPECT_FALSE(Exists(dir_ / "other.new"));
}

TEST_F(PosixReplaceWithCopy, RefusedReplaceLeavesTheFileAsItWasAndNoStaging) {
  const std::string source = dir_ / "download.bin";
  WriteFile(source, RandomBytes(64 * 1024), 0755);
  WriteFile(dir_ / "locked.exe", "old", 0444);
  ASSERT_EQ(mkdir((dir_ / "folder.exe").c_str(), 0755), 0);
  WriteFile(dir_ / "app.exe", "old", 0644);
  WriteFile(dir_ / "taken.new", "someone's", 0644);
  const std::set<std::string> before = Entries(dir_.path());

  // A read-only file keeps its place, as a file in use does: worth another try.
  EXPECT_EQ(os_.ReplaceWithCopy(source, dir_ / "locked.new", dir_ / "locked.exe"),
            ReplaceOutcome::kInUse);
  EXPECT_EQ(ReadFile(dir_ / "locked.exe"), "old");
  EXPECT_EQ(ModeOf(dir_ / "locked.exe"), mode_t(0444));
  EXPECT_EQ(os_.ReplaceWithCopy(source, dir_ / "folder.new", dir_ / "folder.exe"),
            ReplaceOutcome::kFailed);
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.exe"));
  EXPECT_TRUE(fs::is_empty(dir_ / "folder.exe"));
  EXPECT_EQ(os_.ReplaceWithCopy(dir_ / "missing.bin", dir_ / "app.new", dir_ / "app.exe"),
            ReplaceOutcome::kFailed);
  EXPECT_EQ(os_.ReplaceWithCopy(dir_ / "folder.exe", dir_ / "app.new", dir_ / "app.exe"),
            ReplaceOutcome::kFailed);
  // A staging name that is taken is not this call's to use or remove.
  EXPECT_EQ(os_.ReplaceWithCopy(source, dir_ / "taken.new", dir_ / "app.exe"),
            ReplaceOutcome::kFailed);
  EXPECT_EQ(ReadFile(dir_ / "taken.new"), "someone's");
  EXPECT_EQ(ReadFile(dir_ / "app.exe"), "old");
  // A rename that fails once the copy has its staging name takes that away.
  EXPECT_EQ(os_.ReplaceWithCopy(source, dir_ / "app.new", dir_ / "gone/app.exe"),
            ReplaceOutcome::kFailed);
  EXPECT_EQ(Entries(dir_.path()), before);
}

TEST_F(PosixReplaceWithCopy, ACopyCutShortLeavesTheFileAndNoStaging) {
  const std::string source = dir_ / "download.bin";
  const std::string main = dir_ / "app.exe";
  WriteFile(source, RandomBytes(256 * 1024), 0755);
  WriteFile(main, "old", 0644);

  // Write errors after 4 KiB, or, with the signal's default action, the
  // process killed there: either way nothing of the copy stays behind.
  for (const bool killed : {false, true}) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
      const rlimit limit = {4096, 4096};
      setrlimit(RLIMIT_FSIZE, &limit);
      const ReplaceOutcome outcome =
          platform::Native().ReplaceWithCopy(source, dir_ / "app.exe.new", main);
      _exit(outcome == ReplaceOutcome::kFailed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (killed)
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    else
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "reported as done";
    EXPECT_EQ(ReadFile(main), "old");
    EXPECT_EQ(Entries(dir_.path()), (std::set<std::string>{"download.bin", "app.exe"}))
        << (killed ? "killed" : "write error");
  }
}

}  // namespace
