// File services: what counts as an existing file, how a forced delete treats
// attributes and spaces, and what a copy leaves behind.
#include "fileservices/mfile.h"

#include <gtest/gtest.h>

#include "fake/fake_platform.h"

namespace {

using fake::FakePlatform;
using fake::P;
using platform::kAttrArchive;
using platform::kAttrHidden;
using platform::kAttrReadOnly;
using platform::kAttrSystem;

TEST(FileExistsTest, BlankPathsNeedNoLookup) {
  FakePlatform os;
  EXPECT_FALSE(MFile::FileExists(VT("")));
  EXPECT_FALSE(MFile::FileExists(VT("   ")));
  EXPECT_TRUE(os.Lines("lookup").empty());
}

TEST(FileExistsTest, OnlyVisibleFilesMatch) {
  FakePlatform os;
  os.AddFile(P("/d/plain.exe"), "x");
  os.AddFile(P("/d/readonly.exe"), "x", kAttrReadOnly | kAttrArchive);
  os.AddFile(P("/d/hidden.exe"), "x", kAttrHidden);
  os.AddFile(P("/d/system.exe"), "x", kAttrSystem);
  os.AddDir(P("/d/folder"));
  EXPECT_TRUE(MFile::FileExists(P("/d/plain.exe")));
  EXPECT_TRUE(MFile::FileExists(P("/d/readonly.exe")));
  EXPECT_FALSE(MFile::FileExists(P("/d/hidden.exe")));
  EXPECT_FALSE(MFile::FileExists(P("/d/system.exe")));
  EXPECT_FALSE(MFile::FileExists(P("/d/folder")));
  EXPECT_FALSE(MFile::FileExists(P("/d/missing.exe")));
  EXPECT_FALSE(MFile::FileExists(P("/nowhere/plain.exe")));
}

TEST(FileExistsTest, PatternsAndFolderPaths) {
  FakePlatform os;
  os.AddFile(P("/d/app.exe"), "x");
  os.AddFile(P("/h/only.dll"), "x", kAttrHidden);
  os.AddDir(P("/empty"));
  EXPECT_TRUE(MFile::FileExists(P("/d/*.exe")));
  EXPECT_TRUE(MFile::FileExists(P("/d/a?p.exe")));
  EXPECT_FALSE(MFile::FileExists(P("/d/*.dll")));
  EXPECT_TRUE(MFile::FileExists(P("/d/")));
  EXPECT_FALSE(MFile::FileExists(P("/h/")));  // only a hidden file there
  EXPECT_FALSE(MFile::FileExists(P("/empty/")));
}

TEST(FileExistsTest, LooksUpTheUntrimmedPathAndSurvivesErrors) {
  FakePlatform os;
  os.AddFile(P("/d/app.exe"), "x");
  EXPECT_FALSE(MFile::FileExists(P(" /d/app.exe ")));
  EXPECT_EQ(os.Lines("lookup").back(), "lookup " + fake::Utf8(P(" /d/app.exe ")));
  os.raise_if = [](const std::string& op, const Text&) { return op == "lookup"; };
  EXPECT_FALSE(MFile::FileExists(P("/d/app.exe")));
}

TEST(DeleteFileForcedTest, ClearsReadOnlyKeepingOtherBitsThenDeletes) {
  FakePlatform os;
  os.AddFile(P("/d/app.exe.bak"), "old", kAttrReadOnly | kAttrArchive | kAttrHidden);
  EXPECT_TRUE(MFile::DeleteFileForced(P("/d/app.exe.bak")));
  EXPECT_FALSE(os.Bytes(P("/d/app.exe.bak")));
  EXPECT_EQ(os.Lines("setattr"),
            std::vector<std::string>{"setattr " + fake::Utf8(P("/d/app.exe.bak")) + " 0x22"});
}

TEST(DeleteFileForcedTest, FileInUseKeepsItsContentButLosesReadOnly) {
  FakePlatform os;
  os.AddFile(P("/d/app.exe"), "v1", kAttrReadOnly | kAttrArchive);
  os.files[P("/d/app.exe")].in_use = true;
  EXPECT_FALSE(MFile::DeleteFileForced(P("/d/app.exe")));
  EXPECT_EQ(os.Bytes(P("/d/app.exe")), "v1");
  EXPECT_EQ(os.files[P("/d/app.exe")].attributes, kAttrArchive);
}

TEST(DeleteFileForcedTest, MissingBlankAndFailingPathsGiveFalse) {
  FakePlatform os;
  EXPECT_FALSE(MFile::DeleteFileForced(VT("")));
  EXPECT_FALSE(MFile::DeleteFileForced(VT("   ")));
  EXPECT_EQ(os.Lines("delete").back(), "delete  fail");  // deleted the empty name
  EXPECT_FALSE(MFile::DeleteFileForced(P("/d/missing.exe")));
  EXPECT_TRUE(os.Lines("setattr").empty());  // no attributes to clear
  os.AddFile(P("/d/a.exe"), "x");
  os.raise_if = [](const std::string& op, const Text&) { return op == "delete"; };
  EXPECT_FALSE(MFile::DeleteFileForced(P("/d/a.exe")));
  EXPECT_TRUE(os.Bytes(P("/d/a.exe")));
}

TEST(DeleteFileForcedTest, ClearsTheUntrimmedPathAndDeletesTheTrimmedOne) {
  FakePlatform os;
  os.AddFile(P("/d/app.exe"), "x", kAttrArchive);
  EXPECT_TRUE(MFile::DeleteFileForced(P("  /d/app.exe ")));
  EXPECT_TRUE(os.Lines("setattr").empty());  // the padded path has no attributes
  EXPECT_EQ(os.Lines("delete"),
            std::vector<std::string>{"delete " + fake::Utf8(P("/d/app.exe")) + " ok"});
}

TEST(ClearReadOnlyTest, FailuresAreSwallowed) {
  FakePlatform os;
  os.AddFile(P("/d/a.exe"), "x", kAttrReadOnly);
  os.raise_if = [](const std::string& op, const Text&) { return op == "setattr"; };
  MFile::ClearReadOnly(P("/d/a.exe"));
  EXPECT_EQ(os.files[P("/d/a.exe")].attributes, kAttrReadOnly);
}

TEST(CopyFileToTest, OverwriteSwitch) {
  FakePlatform os;
  os.AddFile(P("/d/new.exe"), "v2");
  os.AddFile(P("/d/app.exe"), "v1");
  EXPECT_FALSE(MFile::CopyFileTo(P("/d/new.exe"), P("/d/app.exe"), false));
  EXPECT_EQ(os.Bytes(P("/d/app.exe")), "v1");
  EXPECT_TRUE(MFile::CopyFileTo(P("/d/new.exe"), P("/d/app.exe"), true));
  EXPECT_EQ(os.Bytes(P("/d/app.exe")), "v2");
}

TEST(CopyFileToTest, ReadOnlyDestinationAndMissingSourceFail) {
  FakePlatform os;
  os.AddFile(P("/d/new.exe"), "v2");
  os.AddFile(P("/d/app.exe"), "v1", kAttrReadOnly);
  EXPECT_FALSE(MFile::CopyFileTo(P("/d/new.exe"), P("/d/app.exe"), true));
  EXPECT_EQ(os.Bytes(P("/d/app.exe")), "v1");
  EXPECT_EQ(os.files[P("/d/app.exe")].attributes, kAttrReadOnly);
  EXPECT_FALSE(MFile::CopyFileTo(P("/d/gone.exe"), P("/d/x.exe"), true));
  EXPECT_FALSE(os.Bytes(P("/d/x.exe")));
  // No trimming: a padded source is another name.
  EXPECT_FALSE(MFile::CopyFileTo(P(" /d/new.exe"), P("/d/y.exe"), true));
}

TEST(GetFileNameTest, LastComponent) {
  EXPECT_EQ(MFile::GetFileName(VT("")), VT(""));
  EXPECT_EQ(MFile::GetFileName(P("/opt/Lumora/app.exe")), VT("app.exe"));
  EXPECT_EQ(MFile::GetFileName(VT("app.exe")), VT("app.exe"));
  EXPECT_EQ(MFile::GetFileName(P("/opt/Lumora/")), VT(""));
  EXPECT_EQ(MFile::GetFileName(VT("C:")), VT("C:"));
  EXPECT_EQ(MFile::GetFileName(P(" /a b/c d.exe ")), VT("c d.exe "));
#if defined(_WIN32)
  // Only the backslash separates; "/" and ":" are ordinary characters.
  EXPECT_EQ(MFile::GetFileName(L"C:/Lumora/app.exe"), L"C:/Lumora/app.exe");
  EXPECT_EQ(MFile::GetFileName(L"C:app.exe"), L"C:app.exe");
#endif
}

TEST(GetFileNameTest, AnyLengthWorks) {
  // A separator far beyond 32,767 characters is still found.
  const Text folder = P("/") + Text(40000, Char('d'));
  EXPECT_EQ(MFile::GetFileName(folder + kPathSeparator + VT("app.exe")), VT("app.exe"));
  EXPECT_EQ(MFile::GetFileName(Text(32766, Char('d')) + kPathSeparator + VT("x")), VT("x"));
}

}  // namespace
