// The Win32 binding's file operations on real files in a scratch folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/win_path.h"
#include "support_win_test.h"

namespace {

using platform::Native;
using platform::ReplaceOutcome;
using wintest::Exists;
using wintest::ReadBytes;
using wintest::TempFolder;
using wintest::WriteBytes;

class Win32Files : public ::testing::Test {
 protected:
  // A file named `name` in the scratch folder, holding `bytes`, with the
  // attribute bits `attributes` (0: as created).
  std::wstring MakeFile(const std::wstring& name,
                        DWORD attributes = 0,
                        const std::string& bytes = "data") {
    const std::wstring path = temp_ / name;
    WriteBytes(path, bytes);
    if (attributes != 0) {
      EXPECT_TRUE(SetFileAttributesW(path.c_str(), attributes));
    }
    return path;
  }
  // Every entry of the scratch folder, hidden ones included, sorted.
  std::vector<std::wstring> Entries() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    platform::win::FindHandle find(FindFirstFileW((temp_ / L"*").c_str(), &found));
    for (bool more = bool(find); more; more = FindNextFileW(find.Get(), &found)) {
      if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
        names.push_back(found.cFileName);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::wstring MakeFolder(const std::wstring& name) {
    const std::wstring path = temp_ / name;
    EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    return path;
  }

  TempFolder temp_;
};

// --- FirstFileMatch -----------------------------------------------------------

using Win32FirstFileMatch = Win32Files;

TEST_F(Win32FirstFileMatch, SkipsDirectoriesHiddenAndSystemEntries) {
  const std::wstring folder = MakeFolder(L"skipped");
  MakeFile(L"skipped\\hidden.txt", FILE_ATTRIBUTE_HIDDEN);
  MakeFile(L"skipped\\system.txt", FILE_ATTRIBUTE_SYSTEM);
  MakeFile(L"skipped\\both.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFolder(L"skipped\\sub");
  // Only directories ("." and ".." included) and skipped files: no match.
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\"), L"");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\*"), L"");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\hidden.txt"), L"");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\sub"), L"");

  // One ordinary file among them is found, whichever order the folder lists.
  MakeFile(L"skipped\\visible.txt");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\"), L"visible.txt");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\*.txt"), L"visible.txt");
}

TEST_F(Win32FirstFileMatch, FindsReadOnlyAndArchiveFiles) {
  const std::wstring read_only = MakeFolder(L"read-only");
  MakeFile(L"read-only\\locked.exe", FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Native().FirstFileMatch(read_only + L"\\"), L"locked.exe");
  EXPECT_EQ(Native().FirstFileMatch(read_only + L"\\locked.exe"), L"locked.exe");

  const std::wstring archive = MakeFolder(L"archive");
  MakeFile(L"archive\\saved.bak", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(Native().FirstFileMatch(archive + L"\\*"), L"saved.bak");
}

TEST_F(Win32FirstFileMatch, MatchesStarAndQuestionMarkInTheLastComponent) {
  MakeFile(L"report-1.log");
  MakeFile(L"report-22.log");
  MakeFile(L"notes.txt");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"report-?.log"), L"report-1.log");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"report-??.log"), L"report-22.log");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"*.txt"), L"notes.txt");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"n*s.t?t"), L"notes.txt");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"*.dat"), L"");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"report-???.log"), L"");
}

TEST_F(Win32FirstFileMatch, ReturnsTheNameOnlyInTheFolderListsSpelling) {
  MakeFile(L"Lumora.EXE");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"Lumora.EXE"), L"Lumora.EXE");
  // Names compare without regard to case; the result keeps the stored case.
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"lumora.exe"), L"Lumora.EXE");
}

TEST_F(Win32FirstFileMatch, FindsNonAsciiNames) {
  const std::wstring folder = MakeFolder(L"\x4ea7\x54c1");  // "product"
  MakeFile(L"\x4ea7\x54c1\\\x5b89\x88c5\x7a0b\x5e8f.exe");  // "installer.exe"
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\"), L"\x5b89\x88c5\x7a0b\x5e8f.exe");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\\x5b89*"), L"\x5b89\x88c5\x7a0b\x5e8f.exe");
  EXPECT_EQ(Native().FirstFileMatch(folder + L"\\\x7a0b*"), L"");
}

TEST_F(Win32FirstFileMatch, GivesNothingForMissingFoldersAndInvalidNames) {
  MakeFile(L"present.txt");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"missing\\"), L"");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"missing\\*"), L"");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"missing\\present.txt"), L"");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"absent.txt"), L"");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"bad|name.txt"), L"");
  EXPECT_EQ(Native().FirstFileMatch(L""), L"");
  EXPECT_EQ(Native().FirstFileMatch(L"\\\\?\\"), L"");
}

TEST_F(Win32FirstFileMatch, TreatsBlanksAroundThePathAsPartOfIt) {
  MakeFile(L"present.txt");
  // A leading blank makes the path relative (to a folder named " C:..."),
  // which does not exist.
  EXPECT_EQ(Native().FirstFileMatch(L" " + (temp_ / L"present.txt")), L"");
  // Trailing blanks of the last component are dropped by the system's path
  // rules, so the file is still found.
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"present.txt  "), L"present.txt");
}

// --- Attributes -------------------------------------------------------------------

using Win32Attributes = Win32Files;

// The bits a program sets and reads back. The archive bit is left out: Wine
// reports it on every file, whatever was set. Read-only is set only on a
// file without hidden or system: run by an ordinary host user, Wine cannot
// change those once it has made the file read-only.
constexpr uint32_t kKeptBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                               FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;

TEST_F(Win32Attributes, ReadsWhatWasSetOnAFile) {
  const std::wstring path = MakeFile(L"file.txt");
  ASSERT_TRUE(Native().GetAttributes(path).has_value());
  EXPECT_EQ(*Native().GetAttributes(path) & kKeptBits, 0u);

  for (const uint32_t bits :
       {uint32_t(FILE_ATTRIBUTE_READONLY), uint32_t(FILE_ATTRIBUTE_NORMAL),
        uint32_t(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE),
        uint32_t(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
        uint32_t(FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE), uint32_t(FILE_ATTRIBUTE_NORMAL),
        uint32_t(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE)}) {
    SCOPED_TRACE(bits);
    EXPECT_TRUE(Native().SetAttributes(path, bits));
    const auto read = Native().GetAttributes(path);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(*read & kKeptBits, bits & kKeptBits);
  }
}

TEST_F(Win32Attributes, ReportsDirectories) {
  const std::wstring folder = MakeFolder(L"folder");
  const auto attributes = Native().GetAttributes(folder);
  ASSERT_TRUE(attributes.has_value());
  EXPECT_NE(*attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(Win32Attributes, FailForMissingFiles) {
  EXPECT_EQ(Native().GetAttributes(temp_ / L"missing.txt"), std::nullopt);
  EXPECT_EQ(Native().GetAttributes(temp_ / L"missing\\file.txt"), std::nullopt);
  EXPECT_EQ(Native().GetAttributes(temp_ / L"bad|name.txt"), std::nullopt);
  EXPECT_FALSE(Native().SetAttributes(temp_ / L"missing.txt", FILE_ATTRIBUTE_NORMAL));
  EXPECT_FALSE(Exists(temp_ / L"missing.txt"));
}

TEST_F(Win32Attributes, HandleNonAsciiNames) {
  const std::wstring path = MakeFile(L"\x65e7\x7248.exe");  // "old version.exe"
  EXPECT_TRUE(Native().SetAttributes(path, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_EQ(Native().GetAttributes(path).value_or(0) & kKeptBits,
            uint32_t(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  EXPECT_TRUE(Native().SetAttributes(path, FILE_ATTRIBUTE_NORMAL));
  EXPECT_EQ(Native().GetAttributes(path).value_or(0) & kKeptBits, 0u);
  EXPECT_TRUE(Native().SetAttributes(path, FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(Native().GetAttributes(path).value_or(0) & kKeptBits,
            uint32_t(FILE_ATTRIBUTE_READONLY));
}

// --- Long paths -------------------------------------------------------------------

// Wine has no length limit on paths; Windows has one unless a path carries
// the extended-length prefix. So the form a path is handed over in is
// checked here, where it is made.
TEST(Win32LongPaths, PathsPastTheClassicLimitTakeTheExtendedFormOnceNormalised) {
  const auto ExtendedLengthPath = [](const std::wstring& path) {
    static platform::win::PathRoom room;
    return std::wstring(platform::win::ExtendedLengthPath(path.c_str(), room));
  };
  const std::wstring folder(240, L'a');
  // Short paths go as they are, up to 259 characters (260 with the NUL).
  EXPECT_EQ(ExtendedLengthPath(L"C:\\Lumora\\app.exe"), L"C:\\Lumora\\app.exe");
  const std::wstring at_limit = L"C:\\" + std::wstring(256, L'a');
  EXPECT_EQ(ExtendedLengthPath(at_limit), at_limit);
  EXPECT_EQ(ExtendedLengthPath(at_limit + L"b"), L"\\\\?\\" + at_limit + L"b");

  const std::wstring backup = L"C:\\Program Files\\" + folder + L"\\app.exe.bak";
  EXPECT_EQ(ExtendedLengthPath(backup), L"\\\\?\\" + backup);
  // The prefix turns normalisation off, so it comes first.
  EXPECT_EQ(ExtendedLengthPath(L"C:\\Program Files\\Old\\..\\" + folder + L"/app.exe.bak"),
            L"\\\\?\\" + backup);
  EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\" + folder + L"\\app.exe.bak"),
            L"\\\\?\\UNC\\server\\share\\" + folder + L"\\app.exe.bak");
  // Already in the extended form, or a device: unchanged.
  EXPECT_EQ(ExtendedLengthPath(L"\\\\?\\" + backup), L"\\\\?\\" + backup);
  const std::wstring device = L"\\\\.\\" + folder + L"\\" + folder;
  EXPECT_EQ(ExtendedLengthPath(device), device);
}

using Win32LongPathFiles = Win32Files;

TEST_F(Win32LongPathFiles, ASwapAndItsRollbackReachPathsPastTheClassicLimit) {
  // Both ends of each copy, the delete and its aside name, past the limit.
  std::wstring folder = temp_.Path() + L"\\";
  const std::wstring name = L"\\app.exe";
  folder.resize(270 - name.size(), L'f');
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring main = folder + name;
  const std::wstring backup = main + L".bak";
  const std::wstring download = folder + L"\\download.exe";
  WriteBytes(main, "v1");
  WriteBytes(download, "v2");

  const std::wstring staging = main + L".staging";
  const std::wstring aside = main + L".1f-0.deleted";
  WriteBytes(aside, "v0");
  Native().RemoveAsideFiles(main);
  EXPECT_FALSE(Exists(aside));

  EXPECT_TRUE(Native().CopyOneFile(main, backup, false));
  EXPECT_EQ(Native().FirstFileMatch(backup), L"app.exe.bak");
  EXPECT_TRUE(Native().GetAttributes(backup).has_value());
  EXPECT_TRUE(Native().DeleteUnsharedFile(backup));
  EXPECT_FALSE(Exists(backup));
  EXPECT_TRUE(Native().CopyOneFile(main, backup, true));
  EXPECT_EQ(Native().ReplaceWithCopy(download, staging, main), ReplaceOutcome::kReplaced);
  EXPECT_EQ(ReadBytes(main), "v2");
  {
    // Held for its attributes: the restore renames the file aside first.
    platform::win::Handle indexer(
        CreateFileW(wintest::Extended(main).c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    0, nullptr));
    ASSERT_TRUE(indexer);
    EXPECT_EQ(Native().ReplaceWithCopy(backup, staging, main), ReplaceOutcome::kReplaced);
  }
  EXPECT_EQ(ReadBytes(main), "v1");
  EXPECT_FALSE(Exists(staging));
  EXPECT_TRUE(Native().DeleteOneFile(backup));
  EXPECT_FALSE(Exists(backup));
}

// --- DeleteOneFile ----------------------------------------------------------------

using Win32Delete = Win32Files;

TEST_F(Win32Delete, DeletesAnOrdinaryFile) {
  const std::wstring path = MakeFile(L"\x5907\x4efd.bak");  // "backup.bak"
  EXPECT_TRUE(Native().DeleteOneFile(path));
  EXPECT_FALSE(Exists(path));
}

TEST_F(Win32Delete, RefusesAReadOnlyFileUntilItIsWritable) {
  const std::wstring path = MakeFile(L"locked.exe", FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(Native().DeleteOneFile(path));
  EXPECT_TRUE(Exists(path));
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL));
  EXPECT_TRUE(Native().DeleteOneFile(path));
  EXPECT_FALSE(Exists(path));
}

TEST_F(Win32Delete, RefusesAFileThatIsOpenWithoutDeleteSharing) {
  const std::wstring path = MakeFile(L"busy.exe");
  {
    platform::win::Handle open(CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(open);
    EXPECT_FALSE(Native().DeleteOneFile(path));
    EXPECT_TRUE(Exists(path));
  }
  EXPECT_TRUE(Native().DeleteOneFile(path));
}

TEST_F(Win32Delete, UnsharedDeleteLeavesAFileHeldOpenEvenWithDeleteSharing) {
  const std::wstring path = MakeFile(L"app.exe");
  {
    // A scanner that lets others delete: a plain delete would only mark it.
    platform::win::Handle scanner(CreateFileW(path.c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(scanner);
    EXPECT_FALSE(Native().DeleteUnsharedFile(path));
  }
  EXPECT_EQ(ReadBytes(path), "data");
  EXPECT_TRUE(Native().DeleteUnsharedFile(path));
  EXPECT_FALSE(Exists(path));
}

TEST_F(Win32Delete, UnsharedDeleteFreesTheNameOfAFileHeldOnlyForItsAttributes) {
  const std::wstring path = MakeFile(L"app.exe");
  {
    // An indexer's handle: it reads attributes only, which no sharing mode
    // keeps out, so a file merely marked for deletion would keep its name.
    platform::win::Handle indexer(
        CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    0, nullptr));
    ASSERT_TRUE(indexer);
    EXPECT_TRUE(Native().DeleteUnsharedFile(path));
    // The name is free at once: a new file takes it.
    platform::win::Handle successor(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_TRUE(successor) << "the name is still taken, error " << GetLastError();
  }
  // The indexer has let go: the new file stays, and nothing else is left.
  EXPECT_EQ(ReadBytes(path), "");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"*"), L"app.exe");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"*.deleted"), L"");
}

TEST_F(Win32Delete, UnsharedDeleteNeverMovesAFileThatCannotBeDeleted) {
  // A running program's image could be renamed, but never deleted: it stays
  // where it is, under its own name.
  const std::wstring running = temp_ / L"running.exe";
  ASSERT_TRUE(
      CopyFileW(wintest::FixtureExe(L"fixture_product.exe").c_str(), running.c_str(), TRUE));
  wintest::RunningProcess product = wintest::Start(running, L"product sleep 30");
  ASSERT_TRUE(product.Running());
  EXPECT_FALSE(Native().DeleteUnsharedFile(running));
  EXPECT_TRUE(Exists(running));

  const std::wstring read_only = MakeFile(L"locked.exe", FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(Native().DeleteUnsharedFile(read_only));
  EXPECT_EQ(ReadBytes(read_only), "data");
  EXPECT_EQ(Native().FirstFileMatch(temp_ / L"*.deleted"), L"");
}

TEST_F(Win32Delete, FailsForMissingFilesAndFolders) {
  EXPECT_FALSE(Native().DeleteOneFile(temp_ / L"missing.exe"));
  const std::wstring folder = MakeFolder(L"folder");
  EXPECT_FALSE(Native().DeleteOneFile(folder));
  EXPECT_TRUE(Exists(folder));
}

// --- CopyOneFile ------------------------------------------------------------------

using Win32Copy = Win32Files;

TEST_F(Win32Copy, CopiesToANewFile) {
  const std::wstring from = MakeFile(L"new.exe", 0, "new contents");
  const std::wstring to = temp_ / L"\x4ea7\x54c1.exe";  // "product.exe"
  EXPECT_TRUE(Native().CopyOneFile(from, to, true));
  EXPECT_EQ(ReadBytes(to), "new contents");
  EXPECT_EQ(ReadBytes(from), "new contents");
}

TEST_F(Win32Copy, CopiesTheBytesAndTheLastWriteTimeAndNoAttribute) {
  const std::wstring from = MakeFile(L"download.exe", 0, std::string(3 << 20, 'x') + "end");
  FILETIME written = {};
  written.dwHighDateTime = 0x01c00000;  // some day in 2000
  {
    platform::win::Handle source(
        CreateFileW(from.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(source);
    ASSERT_TRUE(SetFileTime(source.Get(), nullptr, nullptr, &written));
  }
  ASSERT_TRUE(SetFileAttributesW(
      from.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
  for (const bool fail_if_exists : {true, false}) {
    SCOPED_TRACE(fail_if_exists ? "new file" : "replaced file");
    const std::wstring to = temp_ / L"app.exe";
    ASSERT_TRUE(Native().CopyOneFile(from, to, fail_if_exists));
    EXPECT_EQ(ReadBytes(to), std::string(3 << 20, 'x') + "end");
    const DWORD attributes = GetFileAttributesW(to.c_str());
    EXPECT_EQ(
        attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM), 0u);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    ASSERT_TRUE(GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, written.dwHighDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, written.dwLowDateTime);
  }
  ASSERT_TRUE(SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL));
}

TEST_F(Win32Copy, ReplacesAnExistingFileOnlyWhenAllowed) {
  const std::wstring from = MakeFile(L"new.exe", 0, "new contents");
  const std::wstring to = MakeFile(L"old.exe", 0, "old");
  EXPECT_FALSE(Native().CopyOneFile(from, to, true));
  EXPECT_EQ(ReadBytes(to), "old");
  EXPECT_TRUE(Native().CopyOneFile(from, to, false));
  EXPECT_EQ(ReadBytes(to), "new contents");
}

TEST_F(Win32Copy, LeavesAReadOnlyDestinationUnchanged) {
  const std::wstring from = MakeFile(L"new.exe", 0, "new contents");
  const std::wstring to = MakeFile(L"old.exe", FILE_ATTRIBUTE_READONLY, "old");
  EXPECT_FALSE(Native().CopyOneFile(from, to, true));
  EXPECT_EQ(ReadBytes(to), "old");
  // Refused even where the system itself would write through the bit (Wine
  // run by the host superuser).
  EXPECT_FALSE(Native().CopyOneFile(from, to, false));
  EXPECT_EQ(ReadBytes(to), "old");
}

TEST_F(Win32Copy, LeavesADestinationInUseUnchanged) {
  const std::wstring from = MakeFile(L"new.exe", 0, "new contents");
  const std::wstring to = MakeFile(L"old.exe", 0, "old");
  {
    // Open the way a running program's file is: others may only read it.
    platform::win::Handle open(CreateFileW(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(open);
    EXPECT_FALSE(Native().CopyOneFile(from, to, false));
  }
  EXPECT_EQ(ReadBytes(to), "old");
  EXPECT_TRUE(Native().CopyOneFile(from, to, false));
  EXPECT_EQ(ReadBytes(to), "new contents");
}

TEST_F(Win32Copy, LeavesAHiddenDestinationUnchanged) {
  const std::wstring from = MakeFile(L"new.exe", 0, "new contents");
  const std::wstring to = MakeFile(L"old.exe", FILE_ATTRIBUTE_HIDDEN, "old");
  EXPECT_FALSE(Native().CopyOneFile(from, to, false));
  EXPECT_EQ(ReadBytes(to), "old");
}

TEST_F(Win32Copy, FailedCopyLeavesNoFileItCreated) {
  // The source is a pipe whose writer hangs up after some bytes: it opens,
  // and the read after those bytes fails half-way through the copy.
  const std::wstring from =
      L"\\\\.\\pipe\\veltrin-copy-source-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring to = temp_ / L"app.exe";
  // The two kinds of copy, then a replace of an existing file through a
  // staging file.
  for (const int kind : {0, 1, 2}) {
    const bool fail_if_exists = kind == 0;
    platform::win::Handle pipe(CreateNamedPipeW(from.c_str(), PIPE_ACCESS_OUTBOUND,
                                                PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0,
                                                nullptr));
    ASSERT_TRUE(pipe);
    std::thread writer([&pipe] {
      if (ConnectNamedPipe(pipe.Get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        DWORD written = 0;
        WriteFile(pipe.Get(), "partial", 7, &written, nullptr);
        FlushFileBuffers(pipe.Get());
      }
      pipe.Reset();
    });
    if (kind < 2) {
      EXPECT_FALSE(Native().CopyOneFile(from, to, fail_if_exists));
    } else {
      WriteBytes(to, "old");
      EXPECT_EQ(Native().ReplaceWithCopy(from, temp_ / L"app.exe.staging", to),
                ReplaceOutcome::kFailed);
    }
    writer.join();
    if (kind < 2) {
      EXPECT_FALSE(Exists(to)) << "fail_if_exists " << fail_if_exists;
    } else {
      EXPECT_EQ(ReadBytes(to), "old");
      EXPECT_EQ(Entries(), std::vector<std::wstring>{L"app.exe"});
    }
  }
}

TEST_F(Win32Copy, FailsWithoutASourceOrADestinationFolder) {
  const std::wstring to = MakeFile(L"old.exe", 0, "old");
  EXPECT_FALSE(Native().CopyOneFile(temp_ / L"missing.exe", to, false));
  EXPECT_EQ(ReadBytes(to), "old");
  EXPECT_FALSE(Native().CopyOneFile(temp_ / L"missing.exe", temp_ / L"created.exe", false));
  EXPECT_FALSE(Exists(temp_ / L"created.exe"));
  EXPECT_FALSE(Native().CopyOneFile(to, temp_ / L"missing\\old.exe", false));
}

// --- ReplaceWithCopy and RemoveAsideFiles --------------------------------------

using Win32Replace = Win32Files;

TEST_F(Win32Replace, ReplacesAnExistingFileOrCreatesAMissingOneAndLeavesNoStaging) {
  const std::wstring from = MakeFile(L"download.exe", 0, "v2");
  const std::wstring to = MakeFile(L"app.exe", 0, "v1");
  const std::wstring staging = temp_ / L"app.exe.staging";
  EXPECT_EQ(Native().ReplaceWithCopy(from, staging, to), ReplaceOutcome::kReplaced);
  EXPECT_EQ(ReadBytes(to), "v2");
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"app.exe", L"download.exe"}));

  ASSERT_TRUE(DeleteFileW(to.c_str()));
  EXPECT_EQ(Native().ReplaceWithCopy(from, staging, to), ReplaceOutcome::kReplaced);
  EXPECT_EQ(ReadBytes(to), "v2");
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"app.exe", L"download.exe"}));
}

TEST_F(Win32Replace, ReplacesAFileHeldOnlyForItsAttributes) {
  const std::wstring from = MakeFile(L"download.exe", 0, "v2");
  const std::wstring to = MakeFile(L"app.exe", 0, "v1");
  {
    // An indexer's handle, which no sharing mode keeps out: the system
    // refuses to replace the file it holds, so it is renamed aside first.
    platform::win::Handle indexer(
        CreateFileW(to.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    0, nullptr));
    ASSERT_TRUE(indexer);
    EXPECT_EQ(Native().ReplaceWithCopy(from, temp_ / L"app.exe.staging", to),
              ReplaceOutcome::kReplaced);
    EXPECT_EQ(ReadBytes(to), "v2");
  }
  // The old file went with the indexer's handle.
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"app.exe", L"download.exe"}));
}

TEST_F(Win32Replace, RefusesAFileHeldForReadingAndLeavesItWhole) {
  const std::wstring from = MakeFile(L"download.exe", 0, "v2");
  const std::wstring to = MakeFile(L"app.exe", 0, "v1");
  const std::wstring staging = temp_ / L"app.exe.staging";
  {
    // A scanner that lets others read, but neither write nor delete.
    platform::win::Handle scanner(CreateFileW(to.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(scanner);
    EXPECT_EQ(Native().ReplaceWithCopy(from, staging, to), ReplaceOutcome::kInUse);
    EXPECT_EQ(ReadBytes(to), "v1");
    // The copy is kept for the next try, which only renames it.
    EXPECT_EQ(Entries(),
              (std::vector<std::wstring>{L"app.exe", L"app.exe.staging", L"download.exe"}));
  }
  WriteBytes(from, "v3");
  EXPECT_EQ(Native().ReplaceWithCopy(from, staging, to), ReplaceOutcome::kReplaced);
  EXPECT_EQ(ReadBytes(to), "v2");
  EXPECT_EQ(Entries(), (std::vector<std::wstring>{L"app.exe", L"download.exe"}));
}

TEST_F(Win32Replace, FailsWithoutASourceAndLeavesNothing) {
  const std::wstring to = MakeFile(L"app.exe", 0, "v1");
  EXPECT_EQ(Native().ReplaceWithCopy(temp_ / L"missing.exe", temp_ / L"app.exe.staging", to),
            ReplaceOutcome::kFailed);
  EXPECT_EQ(ReadBytes(to), "v1");
  EXPECT_EQ(Entries(), std::vector<std::wstring>{L"app.exe"});
}

TEST_F(Win32Replace, RemovesTheAsideFilesOfOneFileOnly) {
  MakeFile(L"app.exe");
  MakeFile(L"app.exe.1a2b-0.deleted", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFile(L"APP.EXE.ff-f.DELETED", FILE_ATTRIBUTE_READONLY);
  // Another file's (the backup's too), and other names that end alike.
  MakeFile(L"app.exe.bak.1a2b-0.deleted");
  MakeFile(L"other.exe.1a2b-0.deleted");
  MakeFile(L"app.exe.notes.deleted");
  MakeFile(L"app.exe.bak.deleted");
  MakeFile(L"app.exe.x.1a2b-0.deleted");
  Native().RemoveAsideFiles(temp_ / L"app.exe");
  EXPECT_EQ(Entries(),
            (std::vector<std::wstring>{L"app.exe", L"app.exe.bak.1a2b-0.deleted",
                                       L"app.exe.bak.deleted", L"app.exe.notes.deleted",
                                       L"app.exe.x.1a2b-0.deleted", L"other.exe.1a2b-0.deleted"}));
}

}  // namespace
