// Stands in for a program another program starts (the updater, data\update.exe): writes the raw
// bytes of its command line to cmdline-<pid>.bin beside itself and ends at once with code 0.
// One file per run, so a test also sees how often it was started.
//
// A GUI program, like the one it stands in for: the starter waits with WaitForInputIdle, which
// fails at once for a console child.
#include <windows.h>

#include "runtime/win32/handle.h"

#include <string>

namespace {

std::wstring OwnDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return L".";
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

bool WriteAll(const std::wstring& file, const char* data, DWORD size) {
  rt::win32::UniqueFile h(
      CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) return false;
  DWORD written = 0;
  return WriteFile(h.get(), data, size, &written, nullptr) && written == size;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // GetCommandLineA, not WinMain's argument: that one has the program's own path cut off.
  const char* line = GetCommandLineA();
  const std::wstring dir = OwnDirectory();
  const std::wstring name = L"cmdline-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring partial = dir + L"\\" + name + L".part";
  const std::wstring done = dir + L"\\" + name + L".bin";
  // Written under another name and renamed: a test polling for the file never reads half of it.
  if (!WriteAll(partial, line, static_cast<DWORD>(lstrlenA(line)))) return 2;
  if (!MoveFileExW(partial.c_str(), done.c_str(), MOVEFILE_REPLACE_EXISTING)) return 3;
  return 0;
}
