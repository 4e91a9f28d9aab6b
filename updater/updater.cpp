#include "updater/updater.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>

#include "common/handoff.h"
#include "runtime/clock.h"
#include "runtime/system.h"
#include "updater/install.h"

namespace updater {
namespace {

std::unique_ptr<State> g_state;
// The window the download component's threads hand their events to; null once the process winds down.
std::atomic<rt::Ui*> g_ui{nullptr};

std::string PackagePath(const std::string& dir, int task) {
  return dir + "\\time\\temp" + std::to_string(task) + ".zip";
}

// Copies the templates into row 1 of the task list and places it under the headers.
TaskRow BuildTaskRow(rt::Ui& ui) {
  TaskRow row;
  row.nameLabel = ui.CopyControl("标签6");
  row.sizeLabel = ui.CopyControl("标签7");
  row.progressBar = ui.CopyControl("多功能条1");
  row.speedLabel = ui.CopyControl("标签8");
  row.separatorLine = ui.CopyControl("外形框1");
  row.statusLabel = ui.CopyControl("标签9");
  return row;
}

void PlaceTaskRow(rt::Ui& ui, const TaskRow& row) {
  auto place = [&](const std::string& copy, std::string_view source, bool visible, int top) {
    ui.SetVisible(copy, visible);
    ui.MoveTo(copy, ui.GetPlace(source).left, top);
  };
  const int top = ui.GetPlace("标签6").top;
  place(row.nameLabel, "标签6", true, top);
  const rt::Ui::Place name = ui.GetPlace(row.nameLabel);
  place(row.sizeLabel, "标签7", true, name.top);
  place(row.progressBar, "多功能条1", false, name.top);
  place(row.separatorLine, "外形框1", true, name.top + name.height + 2);
  place(row.speedLabel, "标签8", true, name.top);
  place(row.statusLabel, "标签9", true, name.top);
}

}  // namespace

State* ProgramState() { return g_state.get(); }
void CreateState() { g_state = std::make_unique<State>(); }

void CleanUp() {
  // Transfer events stop reaching the window first, so the task's threads never wait on it while
  // the instances stop them.
  g_ui = nullptr;
  if (g_state) g_state->downloadObjects.clear();  // releasing an instance stops its running task first
  g_state.reset();
}

void PrepareUpdate(rt::Ui& ui) {
  // A short pause before anything touches the files, so the refresher that started us can end.
  for (int i = 0; i < kPauseIterations; ++i) {
    if (!ui.ProcessMessages()) return;  // closed during the pause: nothing has been started
    ui.Sleep(1);
  }
  State& state = *g_state;
  state.cmdArgs = SplitCommandLine(ui.system().CommandLine());
  if (!IsValidInvocation(state.cmdArgs)) {
    ui.ShowMessage(kRefusal, rt::kIconError);
    ui.system().EndProcess(0);
    return;
  }
  state.taskRows.clear();
  state.taskRows.push_back(BuildTaskRow(ui));
  PlaceTaskRow(ui, state.taskRows.back());
  SetUpDownloadTask(ui, 1);
}

void SetUpDownloadTask(rt::Ui& ui, int task) {
  State& state = *g_state;
  rt::System& system = ui.system();
  state.taskParams.resize(size_t(task));
  rt::TaskParam& param = state.taskParams[size_t(task) - 1];
  param.taskKind = 4096;
  state.currentTaskIndex = task;
  ui.AppendText(kLog, "执行下载任务" + std::to_string(task));
  param.address = state.cmdArgs.at(1);
  param.title = state.cmdArgs.at(2);
  param.speedLimit = 0;
  param.stopWait = 1000;
  param.threadCount = 5;
  const std::string dir = system.ProgramDirectory();
  system.MakeDirectory(dir + "\\time\\");
  const std::string package = PackagePath(dir, task);
  system.RemoveFile(package);
  param.savePath = package;
  param.connectTimeout = 5000;
  param.sendTimeout = 5001;
  param.receiveTimeout = 10000;
  param.receiveBlock = 20480;
  param.onEvent = OnTransferEvent;
  param.onMessage = OnTransferMessage;
  g_ui = &ui;
  state.downloadObjects.push_back(system.NewDownload(ui));
  if (rt::DownloadInstance* instance = state.downloadObjects.back().get())
    instance->StartTask(state.taskParams[size_t(state.currentTaskIndex) - 1]);
}

bool StopOnClose(rt::Ui&) {
  State* state = g_state.get();
  if (!state) return true;
  if (state->installing) return false;  // the installation ends the process itself, soon
  // Marked before the stop: a TransferFinished that arrives while the component winds the task down
  // must not install a download that was abandoned.
  state->stopping = true;
  if (!state->downloadObjects.empty() && state->downloadObjects.front()) {
    std::vector<unsigned char> resumeData;  // not kept
    state->downloadObjects.front()->StopTask(resumeData, 2);
  }
  return true;
}

int FindTaskIndex(int taskHandle) {
  const State& state = *g_state;
  for (size_t i = 0; i < state.downloadObjects.size(); ++i)
    if (state.downloadObjects[i] && state.downloadObjects[i]->QueryTaskHandle() == taskHandle) return int(i) + 1;
  return 0;
}

double RoundHalfAway(double x, int decimals) {
  if (x == 0) return x;
  const double scale = std::pow(10.0, decimals);
  const double y = std::fabs(x) * scale;
  double whole = std::trunc(y);
  double fraction = (y + 1e-12) - std::trunc(y + 1e-12);
  if (std::trunc(y + 1e-12) > whole) fraction = 1;  // the nudge carried y over a whole number
  if (fraction >= 0.5) whole += 1;
  return std::copysign(whole / scale, x);
}

namespace {

std::string ShortNumber(double x) {
  char text[32];
  std::snprintf(text, sizeof text, "%.13g", x);
  return text;
}

}  // namespace

// An unknown size (no snapshot, no length) shows nothing rather than "-0K".
std::string SizeText(double bytes) {
  if (bytes < 0) return {};
  return ShortNumber(RoundHalfAway(bytes / 1000.0, 2)) + "K";
}

std::string SpeedText(double bytesPerSecond) {
  if (!(bytesPerSecond > 0)) bytesPerSecond = 0;
  std::string text = ShortNumber(RoundHalfAway(bytesPerSecond / 1000.0, 2));
  const size_t point = text.find('.');
  if (point == std::string::npos) {
    text += ".00";
  } else {
    text.append(point + 3 - std::min(text.size(), point + 3), '0');
  }
  return text + "KB/s";
}

// Without a total (0, or no snapshot) the bar stays at 0.
int Percent(double done, double total) {
  if (!(total > 0) || !(done > 0)) return 0;
  const double percent = std::trunc(done * 100.0 / total);
  return percent > 100 ? 100 : int(percent);
}

namespace {

constexpr std::string_view kStartedLine = " #传送常量.下载上传开始\r\n";
constexpr std::string_view kFinishedLine = " #传送常量.下载上传结束\r\n";
constexpr std::string_view kReceivedLine = " #传送常量.收到数据\r\n";

std::string_view LogLine(int code) {
  switch (code) {
    case rt::kThreadContinues: return " #传送常量.下载线程继续下载\r\n";
    case rt::kThreadEndedNormally: return " #传送常量.线程正常结束\r\n";
    case rt::kThreadEndedAbnormally: return " #传送常量.线程异常结束\r\n";
    case rt::kSameNameFileExists: return " #传送常量.存在同名文件\r\n";
    case rt::kDataRange: return " #传送常量.下载数据范围\r\n";
  }
  return {};
}

void ShowStatus(rt::Ui& ui, const TaskRow& row, std::string_view status) {
  ui.SetVisible(row.progressBar, false);
  ui.SetVisible(row.statusLabel, true);
  ui.SetText(row.statusLabel, status);
}

// On the window's thread: one event's changes to the row and the log.
void HandleTransferEvent(rt::Ui& ui, int code, int taskHandle) {
  State& state = *g_state;
  std::vector<unsigned char> snapshot;
  switch (code) {
    case rt::kTransferStarted: {
      ui.AppendText(kLog, kStartedLine);
      const int i = FindTaskIndex(taskHandle);
      if (i < 1) return;
      rt::DownloadInstance& instance = *state.downloadObjects[size_t(i) - 1];
      const TaskRow& row = state.taskRows.at(size_t(i) - 1);
      instance.CaptureProgress(snapshot);
      ui.SetText(row.nameLabel, state.taskParams.at(size_t(i) - 1).title);
      ui.SetText(row.sizeLabel, SizeText(instance.ReadProgressValue(snapshot, rt::kProgressTotal, 0)));
      ShowStatus(ui, row, "下载开始");
      return;
    }
    case rt::kTransferFinished: {
      const int i = FindTaskIndex(taskHandle);
      if (i < 1) return;
      const TaskRow& row = state.taskRows.at(size_t(i) - 1);
      ShowStatus(ui, row, "下载结束");
      ui.SetText(row.speedLabel, "");
      ui.AppendText(kLog, kFinishedLine);
      if (state.stopping) return;
      ui.RaiseFeedback(kInstallLabel, i, 0);  // the installation ends the process
      return;
    }
    case rt::kDataReceived: {
      const int i = FindTaskIndex(taskHandle);
      if (i < 1) return;
      rt::DownloadInstance& instance = *state.downloadObjects[size_t(i) - 1];
      const TaskRow& row = state.taskRows.at(size_t(i) - 1);
      ui.SetVisible(row.statusLabel, false);
      ui.SetVisible(row.progressBar, true);
      ui.SetText(row.speedLabel, SpeedText(state.speed.Add(rt::SteadyMs(), instance.TakeReceivedBytes())));
      instance.CaptureProgress(snapshot);
      const int done = instance.ReadProgressValue(snapshot, rt::kProgressDone, 0);
      const int total = instance.ReadProgressValue(snapshot, rt::kProgressTotal, 0);
      ui.SetBarPosition(row.progressBar, Percent(done, total));
      ui.AppendText(kLog, kReceivedLine);
      return;
    }
  }
  if (std::string_view line = LogLine(code); !line.empty()) {
    ui.AppendText(kLog, line);
  } else {
    ui.AppendText(kLog, "未知消息 " + std::to_string(code) + "\r\n");
  }
}

}  // namespace

int OnTransferEvent(int code, int, int, int, int taskHandle) {
  rt::Ui* ui = g_ui;
  if (!ui) return 1;
  // One hop onto the window's thread per event; there every change of the row is a plain call.
  ui->Invoke([&] {
    if (g_state) HandleTransferEvent(*ui, code, taskHandle);
  });
  return 1;  // also the reply to a same-name target: abandon
}

int OnTransferMessage(int, const std::string&, const std::string&, int, int) { return 0; }

namespace {

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  PrepareUpdate(ui);
  return true;
}

bool OnCloseQuery(rt::Ui& ui, const rt::EventArgs&) { return StopOnClose(ui); }

bool OnInstall(rt::Ui& ui, const rt::EventArgs& args) {
  if (g_state) g_state->installing = true;
  InstallPackage(ui, args.a);
  return true;
}

constexpr rt::Binding kBindings[] = {
    {"", rt::Event::Created, OnCreated},
    {"", rt::Event::CloseQuery, OnCloseQuery},
    {kInstallLabel, rt::Event::Feedback, OnInstall},
};

}  // namespace

std::span<const rt::Binding> Bindings() { return kBindings; }

}  // namespace updater
