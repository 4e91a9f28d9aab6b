// logbench LINES RESULT_FILE
// Appends LINES transfer-log lines to a multi-line edit box through the run time, as the updater's
// log does, with the window's messages handled after each (the painting included), and writes
// "lines seconds" for every 1000 appends to RESULT_FILE: the time those 1000 took.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/win32/app.h"

namespace {

constexpr rt::ControlRow kRows[] = {
    {.name = "log",
     .kind = rt::Kind::Edit,
     .parent = "",
     .x = 7,
     .y = 7,
     .w = 532,
     .h = 93,
     .flags = rt::kMultiline | rt::kStaticEdge},
};
const rt::Layout kLayout{
    .window = {.caption = "logbench", .w = 550, .h = 221, .bg = rt::kFaceColour}, .menu = {}, .controls = kRows};

int g_lines = 0;
FILE* g_out = nullptr;

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  LARGE_INTEGER frequency, start, now;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  // The updater's received-data line, in GBK.
  const std::string line = " #\xB4\xAB\xCB\xCD\xB3\xA3\xC1\xBF.\xCA\xD5\xB5\xBD\xCA\xFD\xBE\xDD\r\n";
  for (int i = 1; i <= g_lines; ++i) {
    ui.AppendText("log", line);
    ui.ProcessMessages();  // as the real window does between events: painting is part of the cost
    if (i % 1000 == 0) {
      QueryPerformanceCounter(&now);
      std::fprintf(g_out, "%d %.6f\n", i, double(now.QuadPart - start.QuadPart) / double(frequency.QuadPart));
      std::fflush(g_out);  // a slow run can be watched as it goes
      start = now;
    }
  }
  ui.PostDestroyWindow();
  return true;
}

constexpr rt::Binding kBindings[] = {{"", rt::Event::Created, OnCreated}};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: logbench LINES RESULT_FILE\n");
    return 2;
  }
  g_lines = std::atoi(argv[1]);
  g_out = std::fopen(argv[2], "w");
  if (!g_out) return 2;
  rt::win32::Initialise();
  rt::win32::RunWindow(kLayout, kBindings);
  return std::fclose(g_out) == 0 ? 0 : 2;
}
