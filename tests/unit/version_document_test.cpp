// A document written by the maker's tool (scripts/version_document.py, run by the build with the
// values below) taken in by the refresher's own reader: the message it shows, and the updater's
// arguments as the updater splits the hand-off line.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "common/handoff.h"
#include "refresher/layout.h"
#include "refresher/refresher.h"
#include "runtime/fake_ui.h"

namespace {

std::string ReadSample() {
  std::ifstream in(VERSION_DOCUMENT_SAMPLE, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(VersionDocument, ToolOutputAnnouncesTheUpdateAndHandsOverItsArguments) {
  const std::string document = ReadSample();
  ASSERT_FALSE(document.empty()) << VERSION_DOCUMENT_SAMPLE;

  refresher::CreateState();
  rt::FakeUi ui(refresher::kLayout, refresher::Bindings());
  ui.sys.urlBodies[std::string(refresher::kVersionDocumentAddress)] = document;
  ui.sys.programDirectory = "C:\\Program Files\\Pagetide";
  ui.Raise("", rt::Event::Created);

  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text,
            "发现有新的版本(1.2)可以更新，本次更新了如下内容：\r\n修正 <托盘> 菜单\r\n新增 五个页面");
  ASSERT_EQ(ui.sys.startedProcesses.size(), 1u);
  const std::vector<std::string> args = SplitCommandLine(ui.sys.startedProcesses[0]);
  const std::vector<std::string> expected = {"qzmkhost_launcher",
                                             "http://127.0.0.1:18931/KORVA/KORVA-1.2.zip?from=update&lang=zh",
                                             "页潮刷新器",
                                             "run",
                                             "KORVA.exe",
                                             "KORVA-1.2.zip",
                                             "修正",
                                             "<托盘>",
                                             "菜单#HHF新增",
                                             "五个页面"};
  EXPECT_EQ(args, expected);
  EXPECT_TRUE(IsValidInvocation(args));
  EXPECT_TRUE(ui.sys.ended);
  refresher::CleanUp();
}

}  // namespace
