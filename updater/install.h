// The installation of a downloaded package and the relaunch of the main program.
#pragma once
#include <string>
#include <string_view>

#include "runtime/ui.h"

namespace updater {

// Copies every file and subdirectory under `src` into `dst`, recursively, overwriting; appends a
// trailing backslash to the caller's variables. Always true.
bool CopyDirectoryTree(rt::Ui& ui, std::string& src, std::string& dst);

// The updater's file in the main program's "data" folder, and the name it is moved aside to while a
// package puts a new one in its place.
inline constexpr std::string_view kUpdaterName = "update.exe";
inline constexpr std::string_view kOldUpdaterName = "update.exe.old";

// Removes the updater that an earlier installation moved aside. InstallPackage does it first; it is
// safe at any time after that updater has ended.
void RemoveLeftoverUpdater(rt::System& sys);

// Unpacks the task's package and, when it unpacked whole, copies it over the main program's
// directory; then cleans up, starts the main program again and ends the process with exit code 0.
void InstallPackage(rt::Ui& ui, int taskIndex);

}  // namespace updater
