// The download task and its transfer events through the fake run time: the task record, the row and
// the log per event code, the figures of the row, and the hand-over to the installation. Events come
// from threads of their own, as the download component's do.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "runtime/fake_ui.h"
#include "updater/layout.h"
#include "updater/updater.h"

namespace {

using rt::FakeUi;

// A download instance whose progress the test sets.
struct ScriptedDownload : rt::DownloadInstance {
  std::atomic<int> handle{-1};
  std::atomic<int> total{1234567}, done{0}, received{0};
  std::atomic<int> stops{0};
  std::atomic<bool> refuseSnapshot{false};
  rt::TaskParam param;

  bool StartTask(const rt::TaskParam& p) override {
    param = p;
    handle = 7;
    return true;
  }
  bool StopTask(std::vector<unsigned char>& resumeData, int) override {
    if (handle < 0) return false;
    ++stops;
    handle = -1;
    resumeData = {1, 2, 3};
    return true;
  }
  int QueryTaskHandle() override { return handle; }
  bool CaptureProgress(std::vector<unsigned char>& block) override {
    if (handle < 0 || refuseSnapshot) return false;
    const int values[2] = {total, done};
    block.resize(sizeof values);
    std::memcpy(block.data(), values, sizeof values);
    return true;
  }
  int ReadProgressValue(const std::vector<unsigned char>& block, int kind, int) override {
    int values[2];
    if (block.size() != sizeof values || (kind != 1 && kind != 2)) return -1;
    std::memcpy(values, block.data(), sizeof values);
    return values[kind - 1];
  }
  int TakeReceivedBytes() override { return received.exchange(0); }
  void SupplyFileName(const std::string&) override {}
};

struct TransferEvents : ::testing::Test {
  FakeUi ui{updater::kLayout, updater::Bindings()};
  ScriptedDownload* download = nullptr;

  void SetUp() override {
    updater::CreateState();
    ui.sys.programDirectory = "C:\\P\\data";
    ui.sys.PutFile("C:\\P\\data\\time\\temp1.zip", "left over");
    ui.sys.newDownload = [this](rt::Ui&) {
      auto instance = std::make_unique<ScriptedDownload>();
      download = instance.get();
      return instance;
    };
    ui.sys.commandLine =
        "\"C:\\P\\data\\update.exe\" qzmkhost_launcher http://h/KORVA.zip 页潮 run KORVA.exe KORVA.zip";
    ui.Raise("", rt::Event::Created);
  }
  void TearDown() override { updater::CleanUp(); }

  // Raises an event on a thread of its own while this thread serves the window.
  int Fire(int code, int handle = 7) {
    std::atomic<bool> returned{false};
    int result = -99;
    std::thread component([&] {
      result = updater::OnTransferEvent(code, 0, 0, 0, handle);
      returned = true;
    });
    EXPECT_TRUE(ui.PumpUntil([&] { return returned.load(); }));
    component.join();
    return result;
  }
  const updater::TaskRow& Row() { return updater::ProgramState()->taskRows.at(0); }
  std::string LogAfterSetUp() { return ui.GetText(updater::kLog).substr(std::strlen("执行下载任务1")); }
};

TEST_F(TransferEvents, SetUpFillsTheRecordAndStartsTheTask) {
  ASSERT_NE(download, nullptr);
  const rt::TaskParam& p = download->param;
  EXPECT_EQ(p.taskKind, 4096);
  EXPECT_EQ(p.address, "http://h/KORVA.zip");
  EXPECT_EQ(p.title, "页潮");
  EXPECT_EQ(p.savePath, "C:\\P\\data\\time\\temp1.zip");
  EXPECT_EQ(p.threadCount, 5);
  EXPECT_EQ(p.speedLimit, 0);
  EXPECT_EQ(p.stopWait, 1000);
  EXPECT_EQ(p.connectTimeout, 5000);
  EXPECT_EQ(p.sendTimeout, 5001);
  EXPECT_EQ(p.receiveTimeout, 10000);
  EXPECT_EQ(p.receiveBlock, 20480);
  EXPECT_EQ(p.ftpUser, "anonymous");  // defaults stay
  EXPECT_EQ(p.onEvent, &updater::OnTransferEvent);
  EXPECT_EQ(p.onMessage, &updater::OnTransferMessage);
  EXPECT_TRUE(ui.sys.Exists("C:\\P\\data\\time"));
  EXPECT_FALSE(ui.sys.Exists("C:\\P\\data\\time\\temp1.zip"));  // the leftover went first
  EXPECT_EQ(ui.GetText(updater::kLog), "执行下载任务1");
  EXPECT_EQ(updater::ProgramState()->currentTaskIndex, 1);
}

TEST_F(TransferEvents, EachCodeWritesItsLineAndRow) {
  struct Case {
    int code;
    const char* line;
  } cases[] = {
      {rt::kDataRange, " #传送常量.下载数据范围\r\n"},
      {rt::kThreadContinues, " #传送常量.下载线程继续下载\r\n"},
      {rt::kThreadEndedNormally, " #传送常量.线程正常结束\r\n"},
      {rt::kThreadEndedAbnormally, " #传送常量.线程异常结束\r\n"},
      {rt::kSameNameFileExists, " #传送常量.存在同名文件\r\n"},
      {17, "未知消息 17\r\n"},
      {5, "未知消息 5\r\n"},
      {0, "未知消息 0\r\n"},
      {-3, "未知消息 -3\r\n"},
  };
  for (const Case& c : cases) {
    const std::string before = ui.GetText(updater::kLog);
    EXPECT_EQ(Fire(c.code, -1), 1) << c.code;  // logged whatever task it names
    EXPECT_EQ(ui.GetText(updater::kLog), before + c.line) << c.code;
  }
  EXPECT_EQ(ui.GetText(Row().statusLabel), "");  // no row change
}

TEST_F(TransferEvents, StartedReceivedAndAStartedAgain) {
  EXPECT_EQ(Fire(rt::kTransferStarted), 1);
  EXPECT_EQ(ui.GetText(Row().nameLabel), "页潮");
  EXPECT_EQ(ui.GetText(Row().sizeLabel), "1234.57K");
  EXPECT_TRUE(ui.IsVisible(Row().statusLabel));
  EXPECT_FALSE(ui.IsVisible(Row().progressBar));
  EXPECT_EQ(ui.GetText(Row().statusLabel), "下载开始");
  EXPECT_EQ(LogAfterSetUp(), " #传送常量.下载上传开始\r\n");

  download->done = 1234567 / 2;
  download->received = 20480;
  EXPECT_EQ(Fire(rt::kDataReceived), 1);
  EXPECT_FALSE(ui.IsVisible(Row().statusLabel));
  EXPECT_TRUE(ui.IsVisible(Row().progressBar));
  EXPECT_EQ(ui.BarPosition(Row().progressBar), 49);
  EXPECT_EQ(ui.GetText(Row().speedLabel), "0.00KB/s");  // the first block only starts the measurement
  download->done = 1234567;
  EXPECT_EQ(Fire(rt::kDataReceived), 1);
  EXPECT_EQ(ui.BarPosition(Row().progressBar), 100);
  EXPECT_NE(ui.GetText(Row().speedLabel).find("KB/s"), std::string::npos);
  EXPECT_EQ(LogAfterSetUp(), " #传送常量.下载上传开始\r\n #传送常量.收到数据\r\n #传送常量.收到数据\r\n");

  // A further connection starting hides the bar again and rewrites the labels.
  download->total = 0;
  Fire(rt::kTransferStarted);
  EXPECT_EQ(ui.GetText(Row().statusLabel), "下载开始");
  EXPECT_TRUE(ui.IsVisible(Row().statusLabel));
  EXPECT_FALSE(ui.IsVisible(Row().progressBar));
  EXPECT_EQ(ui.GetText(Row().sizeLabel), "0K");
}

TEST_F(TransferEvents, UnknownHandlesChangeNothingButTheStartedLine) {
  const std::string log = ui.GetText(updater::kLog);
  Fire(rt::kDataReceived, 99);
  Fire(rt::kTransferFinished, -1);
  EXPECT_EQ(ui.GetText(updater::kLog), log);
  Fire(rt::kTransferStarted, 99);
  EXPECT_EQ(ui.GetText(updater::kLog), log + " #传送常量.下载上传开始\r\n");
  EXPECT_EQ(ui.GetText(Row().nameLabel), "");
  EXPECT_EQ(ui.GetText(Row().statusLabel), "");
  EXPECT_FALSE(ui.IsVisible(Row().progressBar));
  EXPECT_FALSE(ui.sys.ended);
}

TEST_F(TransferEvents, NoSnapshotOrNoTotalShowsNoNonsense) {
  download->refuseSnapshot = true;
  Fire(rt::kTransferStarted);
  EXPECT_EQ(ui.GetText(Row().sizeLabel), "");
  download->done = 500;
  Fire(rt::kDataReceived);
  EXPECT_EQ(ui.BarPosition(Row().progressBar), 0);
  download->refuseSnapshot = false;
  download->total = 0;
  Fire(rt::kDataReceived);
  EXPECT_EQ(ui.BarPosition(Row().progressBar), 0);  // a total of 0 leaves the bar at 0
}

TEST_F(TransferEvents, FinishedShowsTheEndAndHandsOverToTheInstallation) {
  Fire(rt::kDataReceived);
  Fire(rt::kTransferFinished);
  EXPECT_EQ(ui.GetText(Row().statusLabel), "下载结束");
  EXPECT_TRUE(ui.IsVisible(Row().statusLabel));
  EXPECT_FALSE(ui.IsVisible(Row().progressBar));
  EXPECT_EQ(ui.GetText(Row().speedLabel), "");
  EXPECT_TRUE(ui.sys.ended);  // the installation ends the process
  EXPECT_EQ(ui.sys.exitCode, 0u);
}

TEST_F(TransferEvents, AFinishWhileClosingDoesNotInstall) {
  EXPECT_TRUE(ui.Raise("", rt::Event::CloseQuery));
  EXPECT_EQ(download->stops, 1);
  download->handle = 7;  // the component still reports the task while it winds down
  Fire(rt::kTransferFinished);
  EXPECT_FALSE(ui.sys.ended);
  EXPECT_TRUE(ui.sys.startedProcesses.empty());
}

TEST(TransferFigures, NumberFormats) {
  struct Case {
    double value;
    const char* size;
    const char* speed;
  } cases[] = {
      {0, "0K", "0.00KB/s"},
      {20480, "20.48K", "20.48KB/s"},
      {20500, "20.5K", "20.50KB/s"},
      {1234567, "1234.57K", "1234.57KB/s"},
      {1500000, "1500K", "1500.00KB/s"},
      {5, "0.01K", "0.01KB/s"},  // a half rounds away from zero
      {4, "0K", "0.00KB/s"},
      {30, "0.03K", "0.03KB/s"},  // 0.03 * 100 is 2.9999999999999996 in binary
      {2147483647, "2147483.65K", "2147483.65KB/s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(updater::SizeText(c.value), c.size) << c.value;
    EXPECT_EQ(updater::SpeedText(c.value), c.speed) << c.value;
  }
  EXPECT_EQ(updater::SizeText(-1), "");  // no snapshot: nothing rather than "-0K"
  EXPECT_EQ(updater::SpeedText(-5), "0.00KB/s");
  EXPECT_DOUBLE_EQ(updater::RoundHalfAway(-1.005, 2), -1.01);
  EXPECT_DOUBLE_EQ(updater::RoundHalfAway(2.345, 2), 2.35);
  EXPECT_DOUBLE_EQ(updater::RoundHalfAway(0, 2), 0);

  struct PercentCase {
    double done, total;
    int percent;
  } percents[] = {{9999, 10000, 99}, {10000, 10000, 100}, {2147483646, 2147483647, 99}, {5, 0, 0}, {-1, -1, 0},
                  {0, 100, 0},       {200, 100, 100}};
  for (const PercentCase& c : percents) EXPECT_EQ(updater::Percent(c.done, c.total), c.percent) << c.done;
}

TEST(TransferFigures, SpeedFollowsTheLastSecond) {
  updater::SpeedMeter meter;
  EXPECT_EQ(meter.Add(0, 20000), 0);
  EXPECT_DOUBLE_EQ(meter.Add(100, 20000), 200000);  // 20,000 bytes in 0.1 s
  for (int t = 200; t <= 3000; t += 100) meter.Add(t, 20000);
  EXPECT_NEAR(meter.Add(3100, 20000), 200000, 1);  // steady: the same rate
  for (int t = 3200; t <= 4100; t += 100) meter.Add(t, 2000);
  EXPECT_NEAR(meter.Add(4200, 2000), 20000, 1);  // slowed down: the old rate has left the window
}

}  // namespace
