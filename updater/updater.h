// The updater's handlers over the controls of its window, and its program-wide arrays.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/download.h"
#include "runtime/ui.h"

namespace updater {

// The controls of one row of the task list (copies of the hidden templates); three members are
// never filled.
struct TaskRow {
  std::string nameLabel, sizeLabel, progressBar, statusLabel, speedLabel, unused1, unused2, unused3, separatorLine;
};

// Program-wide arrays, 1-based in use (element n is index n - 1), created empty before the window.
struct State {
  std::vector<std::string> cmdArgs;
  std::vector<TaskRow> taskRows;
  std::vector<rt::TaskParam> taskParams;
  std::vector<std::unique_ptr<rt::DownloadInstance>> downloadObjects;
  int currentTaskIndex = 0;
};
State* ProgramState();  // null outside CreateState .. CleanUp
void CreateState();
void CleanUp();

inline constexpr int kPauseIterations = 1000;
inline constexpr std::string_view kRefusal = "程序调用参数错误！";

void PrepareUpdate(rt::Ui& ui);
void SetUpDownloadTask(rt::Ui& ui, int task);
bool StopOnClose(rt::Ui& ui);

std::span<const rt::Binding> Bindings();

}  // namespace updater
