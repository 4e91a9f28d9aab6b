#include "updater/updater.h"

#include <string>

#include "common/handoff.h"

namespace updater {
namespace {

std::unique_ptr<State> g_state;

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
void CleanUp() { g_state.reset(); }  // releasing an instance stops its running task first

void PrepareUpdate(rt::Ui& ui) {
  // A short pause before anything touches the files, so the refresher that started us can end.
  for (int i = 0; i < kPauseIterations; ++i) {
    if (!ui.ProcessMessages()) return;  // closed during the pause: nothing has been started
    ui.Sleep(1);
  }
  State& state = *g_state;
  state.cmdArgs = SplitCommandLine(ui.CommandLine());
  if (!IsValidInvocation(state.cmdArgs)) {
    ui.ShowMessage(kRefusal, rt::kIconError);
    ui.EndProcess(0);
    return;
  }
  state.taskRows.clear();
  state.taskRows.push_back(BuildTaskRow(ui));
  PlaceTaskRow(ui, state.taskRows.back());
  SetUpDownloadTask(ui, 1);
}

void SetUpDownloadTask(rt::Ui& ui, int task) {
  ui.AppendText("编辑框1", "执行下载任务" + std::to_string(task));
}

bool StopOnClose(rt::Ui&) {
  State* state = g_state.get();
  if (state && !state->downloadObjects.empty()) {
    std::vector<unsigned char> resumeData;  // not kept
    state->downloadObjects.front()->StopTask(resumeData, 2);
  }
  return true;
}

namespace {

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  PrepareUpdate(ui);
  return true;
}

bool OnCloseQuery(rt::Ui& ui, const rt::EventArgs&) { return StopOnClose(ui); }

constexpr rt::Binding kBindings[] = {
    {"", rt::Event::Created, OnCreated},
    {"", rt::Event::CloseQuery, OnCloseQuery},
};

}  // namespace

std::span<const rt::Binding> Bindings() { return kBindings; }

}  // namespace updater
