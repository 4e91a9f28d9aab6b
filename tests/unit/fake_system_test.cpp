#include "runtime/fake_system.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/files_cases.h"

namespace {

using namespace std::string_view_literals;
using rt::FakeSystem;
using Strings = std::vector<std::string>;

// The same table of cases that tests/wine/tools/filescheck runs against the real file system.
class FilesCase : public testing::TestWithParam<files_cases::Case> {};

TEST_P(FilesCase, BehavesAsOnWindows) {
  FakeSystem sys;
  ASSERT_TRUE(sys.MakeDirectory("C:\\cases"));
  files_cases::Check check;
  GetParam().run(sys, "C:\\cases", check);
  for (auto& failure : check.failures) ADD_FAILURE() << GetParam().name << ": " << failure;
}

INSTANTIATE_TEST_SUITE_P(Table, FilesCase, testing::ValuesIn(files_cases::kCases),
                         [](const testing::TestParamInfo<files_cases::Case>& info) {
                           return "case" + std::to_string(info.index);
                         });

TEST(FakeFiles, InjectedFaultsFailTheOperationsTheSystemWould) {
  FakeSystem sys;
  sys.PutFile("C:\\app\\data\\update.exe", "old");
  sys.PutFile("C:\\app\\new.exe", "new");
  sys.PutDirectory("C:\\full");

  // In use, like a running program: read and renamed, not written, replaced or deleted.
  sys.Inject("C:\\app\\data\\update.exe", FakeSystem::Fault::InUse);
  EXPECT_EQ(files_cases::Read(sys, "C:\\app\\data\\update.exe"), "old");
  EXPECT_FALSE(sys.CopyFileTo("C:\\app\\new.exe", "C:\\app\\data\\update.exe"));
  EXPECT_FALSE(sys.RemoveFile("C:\\app\\data\\update.exe"));
  EXPECT_EQ(sys.Open("C:\\app\\data\\update.exe", rt::FileMode::Update), nullptr);
  EXPECT_TRUE(sys.RenameFile("C:\\app\\data\\update.exe", "C:\\app\\data\\update.exe.old"));
  EXPECT_FALSE(sys.RemoveFile("C:\\app\\data\\UPDATE.exe.old"));  // still running under its new name
  EXPECT_TRUE(sys.CopyFileTo("C:\\app\\new.exe", "C:\\app\\data\\update.exe"));
  EXPECT_FALSE(sys.RemoveTree("C:\\app\\data"));
  EXPECT_TRUE(sys.Exists("C:\\app\\data\\update.exe.old"));
  sys.ClearFaults();
  EXPECT_TRUE(sys.RemoveFile("C:\\app\\data\\update.exe.old"));

  // Disk full: nothing grows under the path, an open file included; the directory can still be listed.
  auto file = sys.Open("C:\\full\\f", rt::FileMode::Create);
  ASSERT_NE(file, nullptr);
  EXPECT_TRUE(file->WriteAt(0, "1234"sv));
  sys.Inject("C:\\FULL", FakeSystem::Fault::DiskFull);
  EXPECT_FALSE(file->WriteAt(2, "3456"sv));
  EXPECT_TRUE(file->WriteAt(0, "ab"sv));  // within the file's size
  EXPECT_FALSE(file->Resize(10));
  EXPECT_FALSE(sys.CopyFileTo("C:\\app\\new.exe", "C:\\full\\copy"));
  EXPECT_EQ(sys.Content("C:\\full\\f"), "ab34");
  file.reset();

  // Refused: nothing at all on the path or under it.
  sys.Inject("C:\\app", FakeSystem::Fault::Refuse);
  EXPECT_EQ(sys.Open("C:\\app\\new.exe", rt::FileMode::Read), nullptr);
  EXPECT_FALSE(sys.MakeDirectory("C:\\app\\x"));
  EXPECT_FALSE(sys.CopyFileTo("C:\\app\\new.exe", "C:\\full\\y"));
  EXPECT_FALSE(sys.SetAttributes("C:\\app\\new.exe", rt::kAttrNormal));
  EXPECT_EQ(sys.List("C:\\app\\*.*", rt::Listing::Files)->Next(), "");
  EXPECT_TRUE(sys.MakeDirectory("C:\\apple"));  // a path that only begins the same is not under it
  sys.ClearFaults();
  EXPECT_EQ(sys.List("C:\\app\\*.*", rt::Listing::Files)->Next(), "new.exe");
}

TEST(FakeFiles, TreeHelpersShowTheNamesAsCreated) {
  FakeSystem sys;
  sys.PutFile("C:\\Root\\Data\\Update.EXE", "u", rt::kAttrReadOnly);
  sys.PutFile("C:\\root\\KORVA.exe", "k");
  sys.PutDirectory("c:/root/empty/");
  EXPECT_EQ(sys.Tree("C:\\ROOT"), (Strings{"Data", "Data\\Update.EXE", "empty", "KORVA.exe"}));
  EXPECT_EQ(sys.Content("C:\\root\\data\\update.exe"), "u");
  EXPECT_EQ(sys.GetAttributes("C:\\root\\data\\update.exe"), rt::kAttrReadOnly);
  EXPECT_EQ(sys.Content("C:\\root\\data"), "");
  EXPECT_TRUE(sys.Exists("C:\\root\\empty"));
  EXPECT_FALSE(sys.Exists("C:\\root\\none"));
  // A drive root is always there, lists no dots, and a path without a drive is taken from C:.
  EXPECT_TRUE(sys.Exists("D:\\"));
  EXPECT_EQ(files_cases::Names(sys, "C:\\*.*", rt::Listing::Directories), Strings{"Root"});
  EXPECT_EQ(sys.Content("\\root\\KORVA.exe"), "k");
}

TEST(FakeProcess, RecordsStartsReadsAndTheEnd) {
  FakeSystem sys;
  sys.urlBodies["http://h/a"] = "body";
  EXPECT_EQ(sys.ReadUrl("http://h/a", "UA"), "body");
  EXPECT_EQ(sys.ReadUrl("http://h/b", "UA"), "");
  EXPECT_EQ(sys.urlReads, (Strings{"http://h/a|UA", "http://h/b|UA"}));

  EXPECT_TRUE(sys.StartProcess("\"C:\\a b\\KORVA.exe\""));
  EXPECT_EQ(sys.startedProcesses, Strings{"\"C:\\a b\\KORVA.exe\""});

  // The end comes from another thread, and a hook that throws does not escape it.
  std::thread::id endedOn;
  sys.onEnd = [&] {
    endedOn = std::this_thread::get_id();
    throw 1;
  };
  std::thread worker([&] { sys.EndProcess(3); });
  std::thread::id workerId = worker.get_id();
  worker.join();
  EXPECT_TRUE(sys.ended);
  EXPECT_EQ(sys.exitCode, 3u);
  EXPECT_EQ(endedOn, workerId);
}

}  // namespace
