// The updater's handlers over the controls of its window, and its program-wide arrays.
#pragma once
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/download.h"
#include "runtime/ui.h"
#include "updater/speed.h"

namespace updater {

// Controls named in more than one place.
inline constexpr std::string_view kLog = "编辑框1";
inline constexpr std::string_view kInstallLabel = "标签10";  // its feedback event starts the installation

// The controls of one row of the task list (copies of the hidden templates); three members are
// never filled.
struct TaskRow {
  std::string nameLabel, sizeLabel, progressBar, statusLabel, speedLabel, unused1, unused2, unused3, separatorLine;
};

// Program-wide arrays, 1-based in use (element n is index n - 1), created empty before the window.
// Touched on the window's thread only: the transfer events reach them through Ui::Invoke.
struct State {
  std::vector<std::string> cmdArgs;
  std::vector<TaskRow> taskRows;
  std::vector<rt::TaskParam> taskParams;
  std::vector<std::unique_ptr<rt::DownloadInstance>> downloadObjects;
  int currentTaskIndex = 0;
  bool stopping = false;    // the window is closing: a late TransferFinished must not install
  bool installing = false;  // the installation runs: the window stays until it ends the process
  SpeedMeter speed;         // the receiving rate shown in the task row
};
State* ProgramState();  // null outside CreateState .. CleanUp
void CreateState();
void CleanUp();

inline constexpr int kPauseIterations = 1000;
inline constexpr std::string_view kRefusal = "程序调用参数错误！";

void PrepareUpdate(rt::Ui& ui);
void SetUpDownloadTask(rt::Ui& ui, int task);
bool StopOnClose(rt::Ui& ui);

// The download component's callbacks; they run on its threads.
int OnTransferEvent(int code, int value2, int value3, int value4, int taskHandle);
int OnTransferMessage(int code, const std::string& first, const std::string& second, int a, int b);
int FindTaskIndex(int taskHandle);

// The figures of the task row.
double RoundHalfAway(double x, int decimals);
std::string SizeText(double bytes);
std::string SpeedText(double bytesPerSecond);
int Percent(double done, double total);

std::span<const rt::Binding> Bindings();

}  // namespace updater
