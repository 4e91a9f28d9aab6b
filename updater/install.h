// The installation of a downloaded package and the relaunch of the main program.
#pragma once
#include <string>

#include "runtime/ui.h"

namespace updater {

// Copies every file and subdirectory under `src` into `dst`, recursively, overwriting; appends a
// trailing backslash to the caller's variables. Always true.
bool CopyDirectoryTree(rt::Ui& ui, std::string& src, std::string& dst);

// Unpacks the task's package, copies it over the main program's directory, cleans up, starts the
// main program again and ends the process with exit code 0.
void InstallPackage(rt::Ui& ui, int taskIndex);

}  // namespace updater
