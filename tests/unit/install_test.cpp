// The installation of a package over the program and the relaunch, against the in-memory files.
#include "updater/install.h"

#include <gtest/gtest.h>

#include <map>

#include "runtime/fake_ui.h"
#include "tests/zip_writer.h"
#include "updater/layout.h"
#include "updater/updater.h"

namespace {

using rt::FakeSystem;
using rt::FakeUi;
using Strings = std::vector<std::string>;
using test_zip::MakeZip;

// Every path under `root` with the content of each file, to compare a tree byte for byte.
std::map<std::string, std::string> Snapshot(FakeSystem& sys, const std::string& root) {
  std::map<std::string, std::string> out;
  for (auto& path : sys.Tree(root)) {
    uint32_t attributes = sys.GetAttributes(root + "\\" + path);
    out[path] = (attributes & rt::kAttrDirectory) ? "<dir>"
                                                  : sys.Content(root + "\\" + path) + "|" + std::to_string(attributes);
  }
  return out;
}

struct CopyCase {
  const char* what;
  std::vector<std::pair<std::string, std::string>> source;  // relative path -> content; "/" ends a directory
  std::vector<std::pair<std::string, std::string>> before;  // already in the target
  Strings expected;                                         // the target's tree afterwards
  int directoriesEntered;
};

TEST(CopyDirectoryTree, CopiesFilesFirstThenSubdirectoriesLevelByLevel) {
  const CopyCase cases[] = {
      {"files only", {{"a.txt", "A"}, {".env", "E"}}, {}, {".env", "a.txt"}, 1},
      {"subdirectories only, one of them empty", {{"s1\\x", "X"}, {"s2/", ""}}, {}, {"s1", "s1\\x", "s2"}, 3},
      {"a dot-named subdirectory is made empty",
       {{".git\\config", "C"}, {".git\\objects\\o", "O"}, {"f", "F"}},
       {},
       {".git", "f"},
       1},
      {"nesting",
       {{"a\\b\\c\\d.txt", "D"}, {"a\\top", "T"}},
       {},
       {"a", "a\\b", "a\\b\\c", "a\\b\\c\\d.txt", "a\\top"},
       4},
      {"a name whose last byte is a backslash's", {{"淺\\更新.txt", "G"}}, {}, {"淺", "淺\\更新.txt"}, 2},
      {"the target's other files stay",
       {{"data\\new.txt", "N"}},
       {{"data\\mine.txt", "M"}, {"KORVA.ini", "I"}},
       {"data", "data\\mine.txt", "data\\new.txt", "KORVA.ini"},
       2},
  };
  for (const CopyCase& c : cases) {
    FakeUi ui(updater::kLayout, updater::Bindings());
    ui.sys.PutDirectory("C:\\src");
    ui.sys.PutDirectory("C:\\t");
    for (auto& [path, content] : c.source) {
      if (path.ends_with('/')) {
        ui.sys.PutDirectory("C:\\src\\" + path);
      } else {
        ui.sys.PutFile("C:\\src\\" + path, content);
      }
    }
    for (auto& [path, content] : c.before) ui.sys.PutFile("C:\\t\\dst\\" + path, content);
    std::string src = "C:\\src", dst = "C:\\t\\dst";
    EXPECT_TRUE(updater::CopyDirectoryTree(ui, src, dst)) << c.what;
    EXPECT_EQ(ui.sys.Tree("C:\\t\\dst"), c.expected) << c.what;
    for (auto& [path, content] : c.source) {
      if (path[0] == '.' || path.ends_with('/')) continue;
      EXPECT_EQ(ui.sys.Content("C:\\t\\dst\\" + path), content) << c.what;
    }
    EXPECT_EQ(ui.messagePumps, c.directoriesEntered) << c.what;
    EXPECT_EQ(src, "C:\\src\\") << c.what;  // the caller's variables gain their backslash
    EXPECT_EQ(dst, "C:\\t\\dst\\") << c.what;
  }
}

TEST(CopyDirectoryTree, ARefusedTargetFileKeepsItsContentAndTheCopyGoesOn) {
  FakeUi ui(updater::kLayout, updater::Bindings());
  for (const char* name : {"a.txt", "hidden.txt", "readonly.txt", "z.txt"})
    ui.sys.PutFile(std::string("C:\\src\\") + name, "new");
  ui.sys.PutFile("C:\\dst\\hidden.txt", "old", rt::kAttrHidden);
  ui.sys.PutFile("C:\\dst\\readonly.txt", "old", rt::kAttrReadOnly);
  ui.sys.PutFile("C:\\dst\\a.txt", "old");
  std::string src = "C:\\src\\", dst = "C:\\dst";
  updater::CopyDirectoryTree(ui, src, dst);
  EXPECT_EQ(ui.sys.Content("C:\\dst\\a.txt"), "new");
  EXPECT_EQ(ui.sys.Content("C:\\dst\\hidden.txt"), "old");
  EXPECT_EQ(ui.sys.Content("C:\\dst\\readonly.txt"), "old");
  EXPECT_EQ(ui.sys.Content("C:\\dst\\z.txt"), "new");
  EXPECT_EQ(src, "C:\\src\\");
}

// The updater in the "data" folder of an installed program, its task done, the package downloaded.
struct Install : ::testing::Test {
  FakeUi ui{updater::kLayout, updater::Bindings()};
  std::string root = "C:\\Program Files\\Page tide";
  std::string dir = root + "\\data";
  std::string package = dir + "\\time\\temp1.zip";

  void SetUp() override {
    updater::CreateState();
    updater::ProgramState()->cmdArgs = {"qzmkhost_launcher", "http://h/p.zip", "标题", "run", "KORVA.exe", "p.zip"};
    Installed(ui.sys);
  }
  void Installed(FakeSystem& sys) {
    sys.programDirectory = dir;
    sys.PutFile(root + "\\KORVA.exe", "KORVA 1.1");
    sys.PutFile(root + "\\notes.txt", "the user's");
    sys.PutFile(dir + "\\update.exe", "updater 1.1");
    sys.PutFile(dir + "\\readonly.dat", "kept", rt::kAttrReadOnly);
    sys.PutDirectory(dir + "\\time");
    // The updater runs: its file can be renamed, not replaced or deleted.
    sys.Inject(dir + "\\update.exe", FakeSystem::Fault::InUse);
  }
  void TearDown() override { updater::CleanUp(); }

  void ExpectCleanedUpAndRelaunched() {
    EXPECT_FALSE(ui.sys.Exists(package));
    EXPECT_FALSE(ui.sys.Exists(dir + "\\e_dada"));
    EXPECT_TRUE(ui.sys.Exists(dir + "\\time"));
    // Quoted: unquoted, "C:\Program Files\Page tide\..." would start C:\Program.exe if there were one.
    EXPECT_EQ(ui.sys.startedProcesses, Strings{"\"" + dir + "\\..\\KORVA.exe\""});
    EXPECT_TRUE(ui.sys.ended);
    EXPECT_EQ(ui.sys.exitCode, 0u);
  }
};

TEST_F(Install, APackageReplacesTheProgramAndTheRunningUpdater) {
  ui.sys.PutFile(package, MakeZip({{"KORVA.exe", std::string(20000, 'k'), true},
                                   {"data/", ""},
                                   {"data/update.exe", "updater 1.2", true},
                                   {"data/readonly.dat", "new"},
                                   {"data/skin/blue.bmp", "BMP"}}));
  updater::InstallPackage(ui, 1);

  EXPECT_EQ(ui.sys.Content(root + "\\KORVA.exe"), std::string(20000, 'k'));
  EXPECT_EQ(ui.sys.Content(dir + "\\update.exe"), "updater 1.2");
  EXPECT_EQ(ui.sys.Content(dir + "\\skin\\blue.bmp"), "BMP");
  EXPECT_EQ(ui.sys.Content(dir + "\\readonly.dat"), "kept");  // the system refuses that copy
  EXPECT_EQ(ui.sys.Content(root + "\\notes.txt"), "the user's");
  EXPECT_EQ(ui.sys.Content(dir + "\\update.exe.old"), "updater 1.1");  // still running, so still there
  ExpectCleanedUpAndRelaunched();

  // The next run, with the old updater long gone, removes what it left.
  ui.sys.ClearFaults();
  updater::RemoveLeftoverUpdater(ui.sys);
  EXPECT_FALSE(ui.sys.Exists(dir + "\\update.exe.old"));
  EXPECT_EQ(ui.sys.Content(dir + "\\update.exe"), "updater 1.2");
}

TEST_F(Install, ALaterInstallationRemovesTheLeftoverFirst) {
  ui.sys.PutFile(dir + "\\update.exe.old", "updater 1.0", rt::kAttrReadOnly);
  ui.sys.PutFile(package, MakeZip({{"KORVA.exe", "KORVA 1.2"}}));
  updater::InstallPackage(ui, 1);
  EXPECT_FALSE(ui.sys.Exists(dir + "\\update.exe.old"));
  EXPECT_EQ(ui.sys.Content(dir + "\\update.exe"), "updater 1.1");  // no new one: the running one stays
  EXPECT_EQ(ui.sys.Content(root + "\\KORVA.exe"), "KORVA 1.2");
  ExpectCleanedUpAndRelaunched();
}

TEST_F(Install, AnUpdaterThatCannotBeCopiedInLeavesTheOldOneInPlace) {
  ui.sys.Inject(dir + "\\update.exe", FakeSystem::Fault::DiskFull);
  ui.sys.PutFile(package, MakeZip({{"data/update.exe", "updater 1.2"}}));
  updater::InstallPackage(ui, 1);
  EXPECT_EQ(ui.sys.Content(dir + "\\update.exe"), "updater 1.1");
  EXPECT_FALSE(ui.sys.Exists(dir + "\\update.exe.old"));
  ExpectCleanedUpAndRelaunched();
}

TEST_F(Install, APackageThatDoesNotUnpackWholeChangesNothing) {
  std::string good = MakeZip({{"KORVA.exe", "KORVA 1.2"}, {"data/update.exe", "updater 1.2"}, {"new.txt", "n"}});
  struct Case {
    const char* what;
    std::string package;  // "" = none
  } cases[] = {
      {"missing", ""},
      {"truncated", good.substr(0, good.size() - 30)},
      {"damaged", MakeZip({{"KORVA.exe", "KORVA 1.2"}, {"new.txt", "n", false, true}})},
      {"climbs out", MakeZip({{"KORVA.exe", "KORVA 1.2"}, {"../../evil.exe", "x"}})},
  };
  for (const Case& c : cases) {
    FakeUi fresh(updater::kLayout, updater::Bindings());
    Installed(fresh.sys);
    auto before = Snapshot(fresh.sys, "C:\\");
    if (*c.what != 'm') fresh.sys.PutFile(package, c.package);
    updater::InstallPackage(fresh, 1);
    EXPECT_EQ(Snapshot(fresh.sys, "C:\\"), before) << c.what;
    EXPECT_EQ(fresh.sys.startedProcesses, Strings{"\"" + dir + "\\..\\KORVA.exe\""}) << c.what;
    EXPECT_TRUE(fresh.sys.ended) << c.what;
    EXPECT_EQ(fresh.sys.exitCode, 0u) << c.what;
  }
}

}  // namespace
