#include "runtime/win32/system_win32.h"

#include "runtime/download_engine.h"
#include "runtime/http.h"
#include "runtime/ui.h"
#include "runtime/win32/app.h"
#include "runtime/win32/handle.h"
#include "runtime/win32/transport_win32.h"

namespace rt::win32 {

Win32System& TheSystem() {
  static Win32System system;
  return system;
}

bool StartCommand(std::wstring line, int show, bool waitInputIdle) {
  STARTUPINFOW si{sizeof si};
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = WORD(show);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  UniqueKernel process(pi.hProcess), thread(pi.hThread);
  if (waitInputIdle) WaitForInputIdle(process.get(), 1000);
  return true;
}

std::string Win32System::ProgramDirectory() { return win32::ProgramDirectory(); }

std::string Win32System::CommandLine() { return GetCommandLineA(); }

bool Win32System::StartProcess(std::string_view commandLine) {
  return StartCommand(Wide(commandLine), SW_SHOWNORMAL, true);
}

void Win32System::EndProcess(unsigned code) { win32::EndProcess(code); }

// An unreachable or silent host must cost seconds of start-up, not minutes.
constexpr unsigned kReadDeadlineMs = 5000;

std::string Win32System::ReadUrl(std::string_view url, std::string_view userAgent) {
  return HttpGet(url, userAgent, kReadDeadlineMs);
}

std::unique_ptr<DownloadInstance> Win32System::NewDownload(Ui& ui) {
  return NewDownloadInstance(MakeWinInetTransport(), *this, [&ui](int ms) { ui.Wait(ms); });
}

}  // namespace rt::win32
