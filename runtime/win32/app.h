// Process-level services of the Windows run time: start-up, the clean-up hook, the message loop,
// the end of the process, and the code-page conversions every shown text goes through.
#pragma once
#include <windows.h>

#include <span>
#include <string>
#include <string_view>

#include "runtime/layout.h"
#include "runtime/ui.h"

namespace rt::win32 {

// OLE (the browser control needs a single-threaded apartment), the common controls, and the
// program's own directory as the current directory, which child processes inherit.
void Initialise();

// `cleanup` runs once when the process ends by an orderly path: the end of the message loop or EndProcess.
void AtCleanup(void (*cleanup)());

// Loads the window from its layout, raises its created event and runs the message loop until no window
// of the program is left. Returns the exit code, 0.
int RunWindow(const Layout& layout, std::span<const Binding> bindings);

// Runs the clean-up registered with AtCleanup, if it has not run yet.
void RunCleanup();

// Runs the clean-up, then ends the process with `code`.
[[noreturn]] void EndProcess(unsigned code);

// The directory that holds the program file, without a trailing backslash ("C:" for a drive root).
std::string ProgramDirectory();

// Texts are GBK inside; these convert from and to what the W functions take.
std::wstring Wide(std::string_view gbk);
std::string Narrow(std::wstring_view wide);

}  // namespace rt::win32
