#include "runtime/win32/app.h"

#include <commctrl.h>
#include <ole2.h>

namespace rt::win32 {
namespace {

constexpr UINT kCodePage = 936;
void (*g_cleanup)() = nullptr;
bool g_cleanedUp = false;

}  // namespace

void RunCleanup() {
  if (g_cleanedUp) return;
  g_cleanedUp = true;
  if (g_cleanup) g_cleanup();
}

std::wstring Wide(std::string_view gbk) {
  if (gbk.empty()) return {};
  int n = MultiByteToWideChar(kCodePage, 0, gbk.data(), int(gbk.size()), nullptr, 0);
  std::wstring out(size_t(n), L'\0');
  MultiByteToWideChar(kCodePage, 0, gbk.data(), int(gbk.size()), out.data(), n);
  return out;
}

std::string Narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(kCodePage, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(kCodePage, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string ProgramDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  while (true) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") == std::wstring::npos ? 0 : path.find_last_of(L"\\/"));
  return Narrow(path);
}

void Initialise() {
  OleInitialize(nullptr);
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_TAB_CLASSES | ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  std::wstring dir = Wide(ProgramDirectory());
  if (dir.size() == 2) dir += L'\\';  // "C:" alone would mean the drive's current directory
  SetCurrentDirectoryW(dir.c_str());
}

void AtCleanup(void (*cleanup)()) { g_cleanup = cleanup; }

[[noreturn]] void EndProcess(unsigned code) {
  RunCleanup();
  ExitProcess(code);
}

}  // namespace rt::win32
