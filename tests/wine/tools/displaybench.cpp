// displaybench qzmkhost_launcher URL TITLE run KORVA.exe FILE MODE
// The updater's window and task for the display benchmark (bench/display_cost.py). MODE "full": the
// updater's own start-up, task set-up and transfer events with the whole display, up to the point
// where TransferFinished hands over to the installation (which is left out). MODE "empty": the same
// download on the same window with an event handler that does nothing; "hop": that handler, plus one
// empty hand-over to the window's thread per event (what the display's hop alone costs). Prints
// "finished_ms=<Unix time in ms> received=<DataReceived events>" when TransferFinished has been handled.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "common/handoff.h"
#include "runtime/system.h"
#include "runtime/win32/app.h"
#include "updater/layout.h"
#include "updater/updater.h"

namespace {

std::atomic<int> g_received{0};
rt::Ui* g_ui = nullptr;
std::unique_ptr<rt::DownloadInstance> g_instance;

long long UnixMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const long long ticks = (static_cast<long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return ticks / 10000 - 11644473600000LL;
}

void Finished() {
  std::printf("finished_ms=%lld received=%d\n", UnixMs(), g_received.load());
  std::fflush(stdout);
}

bool g_hopOnly = false;

int EmptyHandler(int code, int, int, int, int) {
  if (code == rt::kDataReceived) ++g_received;
  if (g_hopOnly) g_ui->Invoke([] {});  // the hand-over alone, without the display's work
  if (code == rt::kTransferFinished) {
    Finished();
    g_ui->Invoke([] { g_ui->PostDestroyWindow(); });
  }
  return 1;
}

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  g_ui = &ui;
  const std::vector<std::string> args = SplitCommandLine(ui.system().CommandLine());
  g_hopOnly = args.size() >= 7 && args[6] == "hop";
  if (args.size() < 7 || (args[6] != "empty" && args[6] != "hop")) {
    updater::PrepareUpdate(ui);  // the full display
    return true;
  }
  rt::TaskParam param;  // what the updater's set-up gives, but for the handler
  param.taskKind = 4096;
  param.address = args[1];
  param.title = args[2];
  param.threadCount = 5;
  param.savePath = ui.system().ProgramDirectory() + "\\time\\temp1.zip";
  ui.system().MakeDirectory(ui.system().ProgramDirectory() + "\\time\\");
  ui.system().RemoveFile(param.savePath);
  param.connectTimeout = 5000;
  param.sendTimeout = 5001;
  param.receiveTimeout = 10000;
  param.onEvent = EmptyHandler;
  g_instance = ui.system().NewDownload(ui);
  g_instance->StartTask(param);
  return true;
}

// Instead of the installation: the time, then the window closes.
bool OnInstall(rt::Ui& ui, const rt::EventArgs&) {
  Finished();
  ui.PostDestroyWindow();
  return true;
}

bool OnCloseQuery(rt::Ui& ui, const rt::EventArgs&) { return updater::StopOnClose(ui); }

constexpr rt::Binding kBindings[] = {
    {"", rt::Event::Created, OnCreated},
    {"", rt::Event::CloseQuery, OnCloseQuery},
    {updater::kInstallLabel, rt::Event::Feedback, OnInstall},
};

}  // namespace

int main() {
  rt::win32::Initialise();
  updater::CreateState();
  rt::win32::RunWindow(updater::kLayout, kBindings);
  g_instance.reset();
  updater::CleanUp();
  return 0;
}
