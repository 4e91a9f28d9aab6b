// handover RESULT_FILE
// The run time's hand-over of work onto the window's thread, on the real window layer: worker threads
// append lines and change controls while the window's thread serves them; a label's feedback event
// raised from a worker runs on the window's thread before the raise returns; and a close while a
// worker is blocked in an update ends within a bound. Writes one "PASS name" or "FAIL name: why" line
// per check to RESULT_FILE, then "N passed, M failed", and ends with the number of failures.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "runtime/win32/app.h"

namespace {

constexpr rt::ControlRow kRows[] = {
    {.name = "log", .kind = rt::Kind::Edit, .parent = "", .x = 5, .y = 5, .w = 300, .h = 200, .flags = rt::kMultiline},
    {.name = "caption", .kind = rt::Kind::Label, .parent = "", .x = 5, .y = 210, .w = 300, .h = 20},
    {.name = "bar", .kind = rt::Kind::Bar, .parent = "", .x = 5, .y = 235, .w = 300, .h = 20, .flags = rt::kProgress},
    {.name = "relay", .kind = rt::Kind::Label, .parent = "", .flags = rt::kHidden},
};
const rt::Layout kLayout{
    .window = {.caption = "handover", .w = 330, .h = 300, .bg = rt::kFaceColour}, .menu = {}, .controls = kRows};

std::vector<std::string> g_results;
std::atomic<DWORD> g_relayThread{0};
std::atomic<bool> g_relayDone{false}, g_stopWorker{false}, g_workerEnded{false};
DWORD g_windowThread = 0;
ULONGLONG g_closeAskedAt = 0, g_closeDoneAt = 0;
std::thread g_coordinator;

void Check(const std::string& name, bool ok, const std::string& why = {}) {
  g_results.push_back((ok ? "PASS " : "FAIL ") + name + (ok || why.empty() ? "" : ": " + why));
}

void LinesArriveWhole(rt::Ui& ui) {
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&ui, t] {
      for (int i = 0; i < kLines; ++i) {
        ui.AppendText("log", "worker " + std::to_string(t) + " line " + std::to_string(i) + "\r\n");
        ui.SetText("caption", std::to_string(i));
        ui.SetBarPosition("bar", i % 101);
      }
    });
  for (std::thread& w : workers) w.join();
  const std::string log = ui.GetText("log");
  int lines = 0;
  bool whole = true;
  for (size_t start = 0; start < log.size(); ++lines) {
    const size_t end = log.find("\r\n", start);
    if (end == std::string::npos || log.compare(start, 7, "worker ") != 0) {
      whole = false;
      break;
    }
    start = end + 2;
  }
  Check("lines_arrive_whole", whole && lines == kThreads * kLines,
        "lines=" + std::to_string(lines) + " whole=" + std::to_string(whole));
  DWORD ranOn = 0;
  ui.Invoke([&] { ranOn = GetCurrentThreadId(); });
  Check("work_runs_on_the_window_thread", ranOn == g_windowThread);
}

void FeedbackWaitsForItsHandler(rt::Ui& ui) {
  ui.RaiseFeedback("relay", 40, 2);
  const bool doneFirst = g_relayDone;
  Check("feedback_runs_on_the_window_thread", g_relayThread == g_windowThread);
  Check("feedback_returns_after_its_handler", doneFirst && ui.GetText("caption") == "42");
}

bool OnRelay(rt::Ui& ui, const rt::EventArgs& args) {
  g_relayThread = GetCurrentThreadId();
  Sleep(50);  // the raise must still be waiting
  ui.SetText("caption", std::to_string(args.a + args.b));
  g_relayDone = true;
  return true;
}

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  g_windowThread = GetCurrentThreadId();
  HWND window = GetAncestor(reinterpret_cast<HWND>(ui.WindowHandle("log")), GA_ROOT);
  g_coordinator = std::thread([&ui, window] {
    LinesArriveWhole(ui);
    FeedbackWaitsForItsHandler(ui);
    // A worker that updates a control without end; the close finds it blocked in a hand-over.
    std::thread([&ui] {
      while (!g_stopWorker) ui.SetText("caption", std::to_string(GetTickCount64()));
      g_workerEnded = true;
    }).detach();
    Sleep(100);
    g_closeAskedAt = GetTickCount64();
    PostMessageW(window, WM_CLOSE, 0, 0);
  });
  return true;
}

// What a close does while workers run: tell them to stop, then wait for them, bounded, while serving
// their hand-overs.
bool OnCloseQuery(rt::Ui& ui, const rt::EventArgs&) {
  g_stopWorker = true;
  for (int waited = 0; !g_workerEnded && waited < 2000; waited += 20) ui.Wait(20);
  g_closeDoneAt = GetTickCount64();
  return true;
}

constexpr rt::Binding kBindings[] = {
    {"", rt::Event::Created, OnCreated},
    {"relay", rt::Event::Feedback, OnRelay},
    {"", rt::Event::CloseQuery, OnCloseQuery},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: handover RESULT_FILE\n");
    return 2;
  }
  rt::win32::Initialise();
  rt::win32::RunWindow(kLayout, kBindings);
  if (g_coordinator.joinable()) g_coordinator.join();
  Check("close_frees_a_blocked_worker", g_workerEnded && g_closeDoneAt - g_closeAskedAt < 1500,
        "ended=" + std::to_string(g_workerEnded.load()) + " ms=" + std::to_string(g_closeDoneAt - g_closeAskedAt));
  int failed = 0;
  FILE* out = std::fopen(argv[1], "w");
  if (!out) return 2;
  for (const std::string& line : g_results) {
    failed += line.rfind("FAIL", 0) == 0;
    std::fprintf(out, "%s\n", line.c_str());
  }
  std::fprintf(out, "%d passed, %d failed\n", int(g_results.size()) - failed, failed);
  std::fclose(out);
  return failed;
}
