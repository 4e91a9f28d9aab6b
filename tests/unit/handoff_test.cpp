#include "common/handoff.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using Args = std::vector<std::string>;

// Literals are GBK bytes (-fexec-charset=GBK); \xB0 is a lead byte on its own.
TEST(HandOff, SplitsAndChecksRawCommandLines) {
  const struct {
    const char* what;
    std::string raw;
    Args args;
    bool valid;
  } cases[] = {
      {"five arguments",
       "p qzmkhost_launcher u t run KORVA.exe",
       {"qzmkhost_launcher", "u", "t", "run", "KORVA.exe"},
       false},
      {"six arguments",
       "p qzmkhost_launcher u t run KORVA.exe f",
       {"qzmkhost_launcher", "u", "t", "run", "KORVA.exe", "f"},
       true},
      {"more than six",
       "p qzmkhost_launcher u t run KORVA.exe f n1 n2",
       {"qzmkhost_launcher", "u", "t", "run", "KORVA.exe", "f", "n1", "n2"},
       true},
      {"wrong token",
       "p qzmkhost_launch u t run KORVA.exe f",
       {"qzmkhost_launch", "u", "t", "run", "KORVA.exe", "f"},
       false},
      {"token in capitals",
       "p QZMKHOST_LAUNCHER u t run KORVA.exe f",
       {"QZMKHOST_LAUNCHER", "u", "t", "run", "KORVA.exe", "f"},
       false},
      {"token with one capital",
       "p qzmkhost_Launcher u t run KORVA.exe f",
       {"qzmkhost_Launcher", "u", "t", "run", "KORVA.exe", "f"},
       false},
      {"token with a trailing character",
       "p qzmkhost_launcherx u t run KORVA.exe f",
       {"qzmkhost_launcherx", "u", "t", "run", "KORVA.exe", "f"},
       false},
      {"token with a trailing blank",
       "p \"qzmkhost_launcher \" u t run KORVA.exe f",
       {"qzmkhost_launcher ", "u", "t", "run", "KORVA.exe", "f"},
       false},
      {"quoted token",
       "p \"qzmkhost_launcher\" u t run KORVA.exe f",
       {"qzmkhost_launcher", "u", "t", "run", "KORVA.exe", "f"},
       true},
      {"token not first",
       "p u qzmkhost_launcher t run KORVA.exe f",
       {"u", "qzmkhost_launcher", "t", "run", "KORVA.exe", "f"},
       false},

      {"quoted argument among words", "p one \"two three\" four", {"one", "two three", "four"}, false},
      {"quote inside a word", "p one\"two three\"", {"one", "two three"}, false},
      {"quote right after a quoted argument", "p \"a b\"\"c\"d", {"a b", "c", "d"}, false},
      {"unclosed quote", "p one \"two three", {"one", "two three"}, false},
      {"empty quotes count", "p a \"\" b", {"a", "", "b"}, false},
      {"only empty quotes", "p \"\"\"\"", {"", ""}, false},
      {"tabs and runs of separators",
       "p a\tb \t\r\n c\x01"
       "d ",
       {"a", "b", "c", "d"},
       false},
      {"nothing after the path", "p", {}, false},
      {"empty command line", "", {}, false},

      {"lead byte takes a quote", "p \xB0\" b", {"\xB0\"", "b"}, false},
      {"lead byte takes a blank", "p \xB0 b c", {"\xB0 b", "c"}, false},
      {"lead byte takes the closing quote", "p \"\xB0\" b\" c", {"\xB0\" b", "c"}, false},
      {"lead byte takes a tab", "p a\xB0\tb c", {"a\xB0\tb", "c"}, false},
      {"lead byte at the end", "p a\xB0", {"a\xB0"}, false},
      {"lead byte at the end of a quote", "p \"a\xB0", {"a\xB0"}, false},
      {"lead byte before the terminating zero", "p a\xB0\0b c"s, {"a\xB0"}, false},
      {"GBK words", "p 下载 \"说明 文件\"说明", {"下载", "说明 文件", "说明"}, false},

      {"quoted path and a blank", "\"C:\\Program Files\\P\\data\\update.exe\" a \"b\"", {"a", "b"}, false},
      {"quoted path and no blank", "\"C:\\P\\update.exe\"a b", {"a", "b"}, false},
      {"quoted path and a quote", "\"C:\\P\\update.exe\"\"a b\" c", {"a b", "c"}, false},
      {"quoted path never closed", "\"C:\\Program Files\\update.exe a b", {}, false},
      {"lead byte ends no quoted path", "\"C:\\\xB0\" a", {"a"}, false},
      {"unquoted path with a blank",
       "C:\\Program Files\\P\\data\\update.exe a",
       {"Files\\P\\data\\update.exe", "a"},
       false},
      {"unquoted path with a tab", "C:\\P\tQ\\update.exe a", {"a"}, false},
      {"unquoted path with a quote", "C:\\P\"Q R\"S a", {"R", "S a"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Args args = SplitCommandLine(c.raw);
    EXPECT_EQ(args, c.args);
    EXPECT_EQ(IsValidInvocation(args), c.valid);
  }
}

TEST(HandOff, BuiltCommandLineQuotesOnlyTheUpdatersPath) {
  EXPECT_EQ(
      BuildHandOffCommandLine("C:\\Program Files\\Pagetide", "http://h/u.zip", "Pagetide2.0", "u.zip", "fixes"),
      "\"C:\\Program Files\\Pagetide\\data\\update.exe\" qzmkhost_launcher http://h/u.zip Pagetide2.0 run KORVA.exe "
      "u.zip fixes");
  EXPECT_EQ(
      BuildHandOffCommandLine("D:\\Tools\\页潮", "http://h/u.zip", "页潮", "u.zip", "修正 两处"),
      "\"D:\\Tools\\页潮\\data\\update.exe\" qzmkhost_launcher http://h/u.zip 页潮 run KORVA.exe u.zip 修正 两处");
  EXPECT_EQ(BuildHandOffCommandLine("C:", "u", "t", "f", "n"),
            "\"C:\\data\\update.exe\" qzmkhost_launcher u t run KORVA.exe f n");
}

TEST(HandOff, UpdaterGetsBackWhatTheRefresherSent) {
  const struct {
    const char* dir;
    const char* notes;
    Args noteWords;
  } cases[] = {
      {"C:\\Program Files\\Pagetide", "修正 了 两处", {"修正", "了", "两处"}},
      {"D:\\页潮", "fixes", {"fixes"}},
      {"C:", "", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir);
    const std::string line = BuildHandOffCommandLine(c.dir, "http://www.pagetide.example/down/KORVA_2.1.zip", "页潮2.1",
                                                     "KORVA_2.1.zip", c.notes);
    Args expected = {std::string(kLaunchToken),
                     "http://www.pagetide.example/down/KORVA_2.1.zip",
                     "页潮2.1",
                     "run",
                     std::string(kProgramFileName),
                     "KORVA_2.1.zip"};
    expected.insert(expected.end(), c.noteWords.begin(), c.noteWords.end());
    const Args args = SplitCommandLine(line);
    EXPECT_EQ(args, expected);
    EXPECT_TRUE(IsValidInvocation(args));
  }
}

}  // namespace
