// Work handed over to the window's thread through the fake window layer: whole lines, changes made on
// the window's thread only, feedback raised synchronously, and a close that frees a blocked worker.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "runtime/fake_ui.h"

namespace {

using rt::Event;
using rt::FakeUi;
using rt::Kind;

constexpr rt::ControlRow kRows[] = {
    {.name = "log", .kind = Kind::Edit, .parent = ""},
    {.name = "caption", .kind = Kind::Label, .parent = ""},
    {.name = "bar", .kind = Kind::Bar, .parent = ""},
    {.name = "relay", .kind = Kind::Label, .parent = "", .flags = rt::kHidden},
};
const rt::Layout kLayout{.window = {.caption = "t", .w = 100, .h = 100}, .menu = {}, .controls = kRows};

std::thread::id g_handlerThread;
std::atomic<bool> g_handlerDone{false};
bool OnRelay(rt::Ui& ui, const rt::EventArgs& args) {
  g_handlerThread = std::this_thread::get_id();
  ui.SetText("caption", std::to_string(args.a + args.b));
  g_handlerDone = true;
  return true;
}
constexpr rt::Binding kBindings[] = {{"relay", Event::Feedback, OnRelay}};

TEST(Handover, WorkersUpdateControlsThroughTheWindowThread) {
  FakeUi ui(kLayout, kBindings);
  constexpr int kThreads = 4, kLines = 200;
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) {
        ui.AppendText("log", "worker " + std::to_string(t) + " line " + std::to_string(i) + "\r\n");
        ui.SetText("caption", std::to_string(i));
        ui.SetVisible("bar", i % 2 == 0);
        ui.SetBarPosition("bar", i % 101);
      }
      ++finished;
    });
  }
  ASSERT_TRUE(ui.PumpUntil([&] { return finished == kThreads; }));
  for (std::thread& w : workers) w.join();
  // Every line arrived whole: the log is exactly the lines, in some interleaving of whole lines.
  const std::string log = ui.GetText("log");
  size_t lines = 0;
  for (size_t start = 0; start < log.size(); ++lines) {
    const size_t end = log.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = log.substr(start, end - start);
    EXPECT_EQ(line.rfind("worker ", 0), 0u) << line;
    EXPECT_NE(line.find(" line "), std::string::npos) << line;
    start = end + 2;
  }
  EXPECT_EQ(lines, size_t(kThreads * kLines));
}

TEST(Handover, FeedbackRaisedFromAWorkerRunsOnTheWindowThreadAndWaits) {
  FakeUi ui(kLayout, kBindings);
  g_handlerDone = false;
  std::atomic<bool> returned{false};
  bool handlerHadRunWhenReturned = false;
  std::thread worker([&] {
    ui.RaiseFeedback("relay", 40, 2);
    handlerHadRunWhenReturned = g_handlerDone;
    returned = true;
  });
  ASSERT_TRUE(ui.PumpUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_TRUE(handlerHadRunWhenReturned);
  EXPECT_EQ(g_handlerThread, std::this_thread::get_id());
  EXPECT_EQ(ui.GetText("caption"), "42");
}

TEST(Handover, ClosingFreesAWorkerBlockedInAnUpdate) {
  FakeUi ui(kLayout, kBindings);
  std::atomic<bool> returned{false};
  bool ran = true;
  std::thread worker([&] {
    ran = ui.Invoke([&] { ui.SetText("caption", "late"); });  // nobody serves it before the close
    returned = true;
  });
  while (ui.PendingHandovers() == 0) std::this_thread::yield();
  EXPECT_FALSE(returned);
  ui.CloseWindow();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!returned && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_TRUE(returned);
  worker.join();
  EXPECT_FALSE(ran);
  EXPECT_EQ(ui.GetText("caption"), "");
  // Later hand-overs are refused at once.
  bool ranLater = true;
  std::thread late([&] { ranLater = ui.Invoke([] {}); });
  late.join();
  EXPECT_FALSE(ranLater);
}

}  // namespace
