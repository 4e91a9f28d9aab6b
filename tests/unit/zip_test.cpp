#include "runtime/zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "runtime/fake_system.h"

namespace {

using rt::FakeSystem;
using Strings = std::vector<std::string>;

// A small ZIP writer, so each test says exactly which bytes the archive holds.
struct Entry {
  std::string name;
  std::string data;
  bool deflate = false;
  bool badCrc = false;
};

void Put16(std::string& out, uint32_t v) { out.append({static_cast<char>(v), static_cast<char>(v >> 8)}); }
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

std::string Deflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string MakeZip(const std::vector<Entry>& entries) {
  std::string out, central;
  for (const Entry& e : entries) {
    uint32_t crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    if (e.badCrc) crc ^= 1;
    std::string stored = e.deflate ? Deflate(e.data) : e.data;
    uint32_t offset = static_cast<uint32_t>(out.size());
    auto common = [&](std::string& h) {
      Put16(h, 20);  // version needed
      Put16(h, 0);   // flags
      Put16(h, e.deflate ? 8 : 0);
      Put16(h, 0);          // time
      Put16(h, 0x5A21);     // date
      Put32(h, crc);
      Put32(h, static_cast<uint32_t>(stored.size()));
      Put32(h, static_cast<uint32_t>(e.data.size()));
      Put16(h, static_cast<uint32_t>(e.name.size()));
      Put16(h, 0);  // extra
    };
    Put32(out, 0x04034b50);
    common(out);
    out += e.name + stored;
    Put32(central, 0x02014b50);
    Put16(central, 20);  // made by
    common(central);
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, e.name.ends_with('/') ? 0x10 : 0);
    Put32(central, offset);
    central += e.name;
  }
  uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  return out;
}

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
  std::string bytes = MakeZip({
      {"KORVA.exe", big, true},
      {"data/", ""},
      {"data/update.exe", "updater", false},
      {"empty/", ""},
      {"淺/更新淺.txt", "gbk", true},  // 淺 ends in the byte of "\", which must not split the name
      {"deep\\er/f.txt", "both separators", false},
      {"./dot.txt", "", false},
  });
  EXPECT_EQ(Extract(bytes), rt::kZipOk);
  EXPECT_EQ(entriesSeen, 7);
  EXPECT_EQ(sys.Tree(kTarget), (Strings{"data", "data\\update.exe", "deep", "deep\\er", "deep\\er\\f.txt", "dot.txt",
                                        "empty", "KORVA.exe", "淺", "淺\\更新淺.txt"}));
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
      {"bad crc", MakeZip({{"first.txt", "1"}, {"bad.txt", "data", true, true}, {"third.txt", "3"}}),
       rt::kZipBadEntry, {"first.txt"}},
      {"bad crc stored", MakeZip({{"bad.txt", "data", false, true}}), rt::kZipBadEntry, {}},
      {"damaged data", damaged, rt::kZipBadEntry, {"first.txt"}},
  };
  for (const Case& c : cases) {
    Scene scene;
    int result = c.archive.empty() ? rt::ExtractZip(scene.sys, kArchive, kTarget, CountEntry) : scene.Extract(c.archive);
    EXPECT_EQ(result, c.expected) << c.what;
    EXPECT_EQ(scene.sys.Tree(kTarget), c.tree) << c.what;
    EXPECT_EQ(entriesSeen, static_cast<int>(c.tree.size())) << c.what;
  }
}

TEST_F(ExtractZipTest, RefusesEveryNameThatLeavesTheTarget) {
  const char* names[] = {"../x",  "a/../../x", "/abs",   "C:/x",        "C:x",  "\\x",  "..\\x",
                         "a\\..\\..\\x", "..",   "...\\x", ".. /x",      "x:stream", "C:\\x", "../"};
  for (const char* name : names) {
    Scene scene;
    auto& sys = scene.sys;
    Strings before = sys.Tree("C:\\");
    EXPECT_EQ(scene.Extract(MakeZip({{"ok.txt", "ok"}, {name, "evil"}, {"after.txt", "no"}})), rt::kZipBadEntry) << name;
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
