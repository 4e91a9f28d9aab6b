#include "runtime/zip.h"

#include <gtest/gtest.h>

#include "runtime/fake_system.h"
#include "tests/zip_writer.h"

namespace {

using rt::FakeSystem;
using Strings = std::vector<std::string>;
using test_zip::MakeZip;

int entriesSeen = 0;
void CountEntry() { ++entriesSeen; }

const std::string kArchive = "C:\\app\\data\\time\\temp1.zip";
const std::string kTarget = "C:\\app\\data\\e_dada";

// The updater's directories with a program installed; the package goes where the download puts it.
struct Scene {
  Scene() {
    entriesSeen = 0;
    sys.PutFile("C:\\app\\KORVA.exe", "old program");
    sys.PutDirectory("C:\\app\\data\\time");
  }
  int Extract(const std::string& bytes) {
    sys.PutFile(kArchive, bytes);
    return rt::ExtractZip(sys, kArchive, kTarget, CountEntry);
  }
  FakeSystem sys;
};

class ExtractZipTest : public testing::Test, protected Scene {};

TEST_F(ExtractZipTest, WritesStoredAndDeflatedEntriesWithGbkNames) {
  std::string big(100000, 'k');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  // Data that does not compress, so entries and headers fall across the reader's 64 KB windows.
  std::string noise(150001, '\0');
  uint32_t seed = 12345;
  for (char& c : noise) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 24);
  std::string bytes = MakeZip({
      {"noise.bin", noise, false},
      {"KORVA.exe", big, true},
      {"noise.z", noise.substr(7), true},
      {"data/", ""},
      {"data/update.exe", "updater", false},
      {"empty/", ""},
      {"淺/更新淺.txt", "gbk", true},  // 淺 ends in the byte of "\", which must not split the name
      {"deep\\er/f.txt", "both separators", false},
      {"./dot.txt", "", false},
  });
  EXPECT_EQ(Extract(bytes), rt::kZipOk);
  EXPECT_EQ(entriesSeen, 9);
  EXPECT_EQ(sys.Tree(kTarget), (Strings{"data", "data\\update.exe", "deep", "deep\\er", "deep\\er\\f.txt", "dot.txt",
                                        "empty", "KORVA.exe", "noise.bin", "noise.z", "淺", "淺\\更新淺.txt"}));
  EXPECT_EQ(sys.Content(kTarget + "\\noise.bin"), noise);
  EXPECT_EQ(sys.Content(kTarget + "\\noise.z"), noise.substr(7));
  EXPECT_EQ(sys.Content(kTarget + "\\KORVA.exe"), big);
  EXPECT_EQ(sys.Content(kTarget + "\\data\\update.exe"), "updater");
  EXPECT_EQ(sys.Content(kTarget + "\\淺\\更新淺.txt"), "gbk");
  EXPECT_EQ(sys.Content(kTarget + "\\deep\\er\\f.txt"), "both separators");
  EXPECT_EQ(sys.Content(kArchive), bytes);  // the archive is only read
}

TEST_F(ExtractZipTest, ReplacesAReadOnlyFileAndLeavesOthers) {
  sys.PutFile(kTarget + "\\a.txt", "old", rt::kAttrReadOnly | rt::kAttrHidden);
  sys.PutFile(kTarget + "\\keep.txt", "keep");
  EXPECT_EQ(Extract(MakeZip({{"a.txt", "new", true}})), rt::kZipOk);
  EXPECT_EQ(sys.Content(kTarget + "\\a.txt"), "new");
  EXPECT_EQ(sys.GetAttributes(kTarget + "\\a.txt"), rt::kAttrNormal);
  EXPECT_EQ(sys.Content(kTarget + "\\keep.txt"), "keep");
}

TEST_F(ExtractZipTest, AnEmptyArchiveMakesTheEmptyTarget) {
  EXPECT_EQ(Extract(MakeZip({})), rt::kZipOk);
  EXPECT_TRUE(sys.Exists(kTarget));
  EXPECT_TRUE(sys.Tree(kTarget).empty());
  EXPECT_EQ(entriesSeen, 0);
}

// Every broken package fails and stops at the entry that broke it: what came before is there, that
// entry and what follows are not, and nothing outside the target directory is touched.
TEST_F(ExtractZipTest, StopsAtTheFirstEntryThatFails) {
  std::string good = MakeZip({{"first.txt", "1"}, {"second.txt", std::string(5000, 's'), true}});
  std::string damaged = good;
  damaged[damaged.find("second.txt") + 10 + 3] ^= 0x55;  // inside the deflated data
  struct Case {
    std::string what;
    std::string archive;  // "" = none
    int expected;
    Strings tree;
  } cases[] = {
      {"missing", "", rt::kZipNoArchive, {}},
      {"truncated", good.substr(0, good.size() / 2), rt::kZipNoArchive, {}},
      {"not a zip", std::string(300, 'x'), rt::kZipNoArchive, {}},
      {"bad crc",
       MakeZip({{"first.txt", "1"}, {"bad.txt", "data", true, true}, {"third.txt", "3"}}),
       rt::kZipBadEntry,
       {"first.txt"}},
      {"bad crc stored", MakeZip({{"bad.txt", "data", false, true}}), rt::kZipBadEntry, {}},
      {"damaged data", damaged, rt::kZipBadEntry, {"first.txt"}},
      // A damaged stream may end early with no error: minizip then skips its CRC check.
      {"stream ends early",
       MakeZip({{"first.txt", "1"}, {"short.bin", std::string(5000, 's'), true, false, 3000}}),
       rt::kZipBadEntry,
       {"first.txt"}},
  };
  for (const Case& c : cases) {
    Scene scene;
    int result =
        c.archive.empty() ? rt::ExtractZip(scene.sys, kArchive, kTarget, CountEntry) : scene.Extract(c.archive);
    EXPECT_EQ(result, c.expected) << c.what;
    EXPECT_EQ(scene.sys.Tree(kTarget), c.tree) << c.what;
    EXPECT_EQ(entriesSeen, static_cast<int>(c.tree.size())) << c.what;
  }
}

TEST_F(ExtractZipTest, RefusesEveryNameThatLeavesTheTarget) {
  const char* names[] = {"../x",         "a/../../x", "/abs",   "C:/x",  "C:x",      "\\x",   "..\\x",
                         "a\\..\\..\\x", "..",        "...\\x", ".. /x", "x:stream", "C:\\x", "../"};
  for (const char* name : names) {
    Scene scene;
    auto& sys = scene.sys;
    Strings before = sys.Tree("C:\\");
    EXPECT_EQ(scene.Extract(MakeZip({{"ok.txt", "ok"}, {name, "evil"}, {"after.txt", "no"}})), rt::kZipBadEntry)
        << name;
    Strings after = sys.Tree("C:\\");
    std::erase_if(after, [](const std::string& p) { return p.starts_with("app\\data\\e_dada"); });
    before.erase(std::remove(before.begin(), before.end(), "app\\data\\time\\temp1.zip"), before.end());
    after.erase(std::remove(after.begin(), after.end(), "app\\data\\time\\temp1.zip"), after.end());
    EXPECT_EQ(after, before) << name;
    EXPECT_EQ(sys.Tree(kTarget), Strings{"ok.txt"}) << name;
    EXPECT_EQ(sys.Content("C:\\app\\KORVA.exe"), "old program") << name;
  }
}

TEST_F(ExtractZipTest, AFileThatCannotBeWrittenStopsTheExtraction) {
  sys.PutDirectory(kTarget);
  sys.Inject(kTarget + "\\b.txt", FakeSystem::Fault::Refuse);
  EXPECT_EQ(Extract(MakeZip({{"a.txt", "a"}, {"b.txt", "b"}, {"c.txt", "c"}})), rt::kZipWriteFailed);
  EXPECT_EQ(sys.Tree(kTarget), Strings{"a.txt"});
  sys.ClearFaults();
  sys.Inject(kTarget, FakeSystem::Fault::DiskFull);
  EXPECT_EQ(Extract(MakeZip({{"d.txt", "d"}})), rt::kZipWriteFailed);
  EXPECT_FALSE(sys.Exists(kTarget + "\\d.txt"));
}

}  // namespace
