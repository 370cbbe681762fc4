// Start-up: the command line's two paths, the mode, and when the program ends
// without doing anything.
#include "startup/mmain.h"

#include <gtest/gtest.h>

#include "fake/fake_platform.h"
#include "sequencer/form1.h"
#include "sequencer/messages.h"

namespace {

using fake::FakePlatform;
using fake::P;

// Runs Main with `args` on a fake whose form ends at once, and tells whether
// the form was loaded.
struct StartUp {
  explicit StartUp(const Text& args) {
    os.args = args;
    os.max_ticks = 0;  // the form loads, but no tick runs
    os.RunMain();
    form_loaded = os.IndexOf("form " + fake::Utf8(Form1::kTitle) + " 500") >= 0;
  }
  FakePlatform os;
  bool form_loaded = false;
};

TEST(MainTest, QuotedPathsJoinedByQuestionMark) {
  StartUp s(VT("\"C:\\Program Files\\Lumora\\app.exe\"?\"C:\\Temp\\new app.exe\""));
  EXPECT_TRUE(s.form_loaded);
  EXPECT_EQ(MMain::MainPath, VT("C:\\Program Files\\Lumora\\app.exe"));
  EXPECT_EQ(MMain::NewPath, VT("C:\\Temp\\new app.exe"));
  EXPECT_FALSE(MMain::SelfRestart);
  EXPECT_EQ(MMain::BackupPath, VT(""));
}

TEST(MainTest, SamePathTwiceSelectsSelfRestartCaseSensitively) {
  {
    StartUp s(VT("C:\\L\\app.exe!C:\\L\\app.exe"));
    EXPECT_TRUE(s.form_loaded);
    EXPECT_TRUE(MMain::SelfRestart);
  }
  {
    StartUp s(VT("C:\\L\\app.exe?C:\\L\\APP.exe"));
    EXPECT_TRUE(s.form_loaded);
    EXPECT_FALSE(MMain::SelfRestart);
  }
}

TEST(MainTest, QuestionMarkWinsOverExclamationMarkAndSpace) {
  StartUp s(VT("C:\\a b!c.exe?C:\\d!e.exe"));
  EXPECT_TRUE(s.form_loaded);
  EXPECT_EQ(MMain::MainPath, VT("C:\\a b!c.exe"));
  EXPECT_EQ(MMain::NewPath, VT("C:\\d!e.exe"));
}

TEST(MainTest, SpaceSeparatesOnlyWithoutMarks) {
  {
    StartUp s(VT("C:\\L\\app.exe C:\\T\\new.exe"));
    EXPECT_TRUE(s.form_loaded);
    EXPECT_EQ(MMain::MainPath, VT("C:\\L\\app.exe"));
    EXPECT_EQ(MMain::NewPath, VT("C:\\T\\new.exe"));
  }
  {
    // A space inside a path gives three pieces: nothing happens.
    StartUp s(VT("C:\\Program Files\\app.exe C:\\T\\new.exe"));
    EXPECT_FALSE(s.form_loaded);
    EXPECT_EQ(MMain::MainPath, VT(""));
  }
}

TEST(MainTest, WrongNumberOfPiecesEndsQuietly) {
  for (const Text& args : {Text(VT("")), Text(VT("C:\\L\\app.exe")), Text(VT("a?b?c")),
                           Text(VT("a b c")), Text(VT("a!b!c")), Text(VT("  "))}) {
    StartUp s(args);
    EXPECT_FALSE(s.form_loaded) << fake::Utf8(args);
    EXPECT_TRUE(s.os.boxes.empty());
    EXPECT_TRUE(s.os.Lines("start").empty());
  }
}

TEST(MainTest, EmptyMainPathEndsQuietlyInsteadOfSelfRestarting) {
  for (const Text& args : {Text(VT("?")), Text(VT("!")), Text(VT("\"\"?\"\"")), Text(VT(" ?x"))}) {
    StartUp s(args);
    EXPECT_FALSE(s.form_loaded) << fake::Utf8(args);
    EXPECT_FALSE(MMain::SelfRestart);
  }
}

TEST(MainTest, EmptyNewPathStillProceeds) {
  StartUp s(VT("C:\\L\\app.exe?"));
  EXPECT_TRUE(s.form_loaded);
  EXPECT_EQ(MMain::NewPath, VT(""));
  EXPECT_FALSE(MMain::SelfRestart);
}

TEST(MainTest, SecondInstanceDoesNothingAtAll) {
  FakePlatform os;
  os.other_instance = true;
  os.args = VT("a.exe?b.exe");
  EXPECT_EQ(os.RunMain(), std::nullopt);
  EXPECT_EQ(os.log, std::vector<std::string>{"instance"});
  EXPECT_EQ(MMain::MainPath, VT(""));
}

TEST(MainTest, ElevatedEndsAtOnceWhereAnotherSessionUpdatesTheSameMainPath) {
  for (const bool elevated : {true, false}) {
    FakePlatform os;
    os.elevated = elevated;
    os.other_machine_instance = true;
    os.args = VT("a.exe?b.exe");
    os.max_ticks = 0;
    os.RunMain();
    EXPECT_EQ(os.IndexOf("machine-instance a.exe") >= 0, elevated);
    EXPECT_EQ(os.Lines("form").empty(), elevated);
  }
}

TEST(MainTest, LongPathsAreKeptWhole) {
  const Text long_path = VT("C:\\") + Text(40000, Char('x')) + VT(".exe");
  StartUp s(long_path + VT("?") + long_path + VT(".new"));
  EXPECT_TRUE(s.form_loaded);
  EXPECT_EQ(MMain::MainPath, long_path);
  EXPECT_EQ(MMain::NewPath.size(), long_path.size() + 4);
}

TEST(SplitArgumentsTest, EmptyPiecesCount) {
  EXPECT_EQ(MMain::SplitArguments(VT("")).size(), 0u);
  EXPECT_EQ(MMain::SplitArguments(VT("a?")), (std::vector<Text>{VT("a"), VT("")}));
  EXPECT_EQ(MMain::SplitArguments(VT("??")), (std::vector<Text>{VT(""), VT(""), VT("")}));
  EXPECT_EQ(MMain::SplitArguments(VT("a  b")), (std::vector<Text>{VT("a"), VT(""), VT("b")}));
}

TEST(UnquoteTest, TrimsSpacesAndStripsOnePairOfQuotes) {
  struct Case {
    Text in, out;
  };
  const Case cases[] = {
      {VT("  \"C:\\a b\\c.exe\"  "), VT("C:\\a b\\c.exe")},
      {VT("\"C:\\a.exe"), VT("\"C:\\a.exe")},  // quote at one end only
      {VT("C:\\a.exe\" "), VT("C:\\a.exe\"")},
      {VT("\"\""), VT("")},                                  // two quotes
      {VT("\"\"x\"\""), VT("\"x\"")},                        // only one pair goes
      {VT("C:\\\"odd\"\\a.exe"), VT("C:\\\"odd\"\\a.exe")},  // quotes inside
      {VT("\t\"a\"\t"), VT("\t\"a\"\t")},                    // tabs are not trimmed
      {VT(" \" "), VT("\"")},                                // a lone quote stays
      {VT("   "), VT("")},
  };
  for (const Case& c : cases) {
    Text s = c.in;
    EXPECT_EQ(MMain::Unquote(s), c.out) << fake::Utf8(c.in);
    EXPECT_EQ(s, c.out) << "written back: " << fake::Utf8(c.in);
  }
}

TEST(StartTargetTest, StartsExactlyMainPath) {
  FakePlatform os;
  MMain::MainPath = P("/opt/Lumora Suite/app.exe");
  os.AddFile(P("/opt/Lumora"), "a planted program named like the path's first word");
  os.AddFile(MMain::MainPath, "v1");
  EXPECT_TRUE(MMain::StartTarget());
  EXPECT_EQ(os.Lines("start"),
            std::vector<std::string>{"start " + fake::Utf8(MMain::MainPath) + " ok"});
  ASSERT_EQ(os.RunningFrom(MMain::MainPath).size(), 1u);
  EXPECT_TRUE(os.RunningFrom(P("/opt/Lumora")).empty());
}

TEST(StartTargetTest, FailureAndRaisedErrorsGiveFalse) {
  FakePlatform os;
  MMain::MainPath = P("/opt/Lumora/missing.exe");
  EXPECT_FALSE(MMain::StartTarget());
  os.AddFile(MMain::MainPath, "v1");
  os.raise_if = [](const std::string& op, const Text&) { return op == "start"; };
  EXPECT_FALSE(MMain::StartTarget());
  EXPECT_TRUE(os.RunningFrom(MMain::MainPath).empty());
}

}  // namespace

namespace {

TEST(DecimalTest, PlainDecimalWithMinusOnlyWhenNegative) {
  EXPECT_EQ(Decimal(0), VT("0"));
  EXPECT_EQ(Decimal(3968), VT("3968"));
  EXPECT_EQ(Decimal(-1), VT("-1"));
  EXPECT_EQ(Decimal(2147483647), VT("2147483647"));
  EXPECT_EQ(Decimal(-2147483648LL), VT("-2147483648"));
  EXPECT_EQ(Decimal(-9223372036854775807LL - 1), VT("-9223372036854775808"));
}

}  // namespace
