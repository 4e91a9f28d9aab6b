// installcheck PACKAGE STAGING TARGET RESULT_FILE
// The installation's two steps on the real window layer and files: ExtractZip of PACKAGE into
// STAGING and, when that worked, CopyDirectoryTree of STAGING over TARGET, in the window's created
// event as in the updater. Writes "extract=CODE entries=N extract_ms=T copy_ms=T" to RESULT_FILE.
#include <windows.h>

#include <cstdio>
#include <string>

#include "runtime/system.h"
#include "runtime/win32/app.h"
#include "runtime/zip.h"
#include "updater/install.h"

namespace {

constexpr rt::ControlRow kRows[] = {
    {.name = "status", .kind = rt::Kind::Label, .parent = "", .x = 5, .y = 5, .w = 300, .h = 20},
};
const rt::Layout kLayout{
    .window = {.caption = "installcheck", .w = 330, .h = 80, .bg = rt::kFaceColour}, .menu = {}, .controls = kRows};

char** g_args = nullptr;
int g_entries = 0;
void CountEntry() { ++g_entries; }

double Now() {
  LARGE_INTEGER count, frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool OnCreated(rt::Ui& ui, const rt::EventArgs&) {
  std::string staging = g_args[2], target = g_args[3];
  double started = Now();
  int code = rt::ExtractZip(ui.system(), g_args[1], staging, CountEntry);
  double extracted = Now();
  if (code == rt::kZipOk) updater::CopyDirectoryTree(ui, staging, target);
  double copied = Now();
  if (FILE* out = std::fopen(g_args[4], "w")) {
    std::fprintf(out, "extract=%d entries=%d extract_ms=%.1f copy_ms=%.1f\n", code, g_entries, extracted - started,
                 copied - extracted);
    std::fclose(out);
  }
  ui.PostDestroyWindow();
  return true;
}

constexpr rt::Binding kBindings[] = {{"", rt::Event::Created, OnCreated}};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: installcheck PACKAGE STAGING TARGET RESULT_FILE\n");
    return 2;
  }
  g_args = argv;
  rt::win32::Initialise();
  return rt::win32::RunWindow(kLayout, kBindings);
}
