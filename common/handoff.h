// The command line with which the refresher starts its updater, and how the updater takes it apart.
// Both programs link this file, so the two sides cannot drift apart.
#pragma once
#include <string>
#include <string_view>
#include <vector>

// First argument of every hand-off; the updater refuses to work without it.
inline constexpr std::string_view kLaunchToken = "qzmkhost_launcher";
// The updater, relative to the program directory.
inline constexpr std::string_view kUpdaterRelativePath = "\\data\\update.exe";
// The program file the updater replaces and starts again.
inline constexpr std::string_view kProgramFileName = "KORVA.exe";

// `programDir` has no trailing backslash (a drive root is just "C:"). The arguments are written as
// given, unquoted; only the updater's path is quoted.
std::string BuildHandOffCommandLine(std::string_view programDir, std::string_view downloadUrl,
                                    std::string_view fileTitle, std::string_view fileName, std::string_view notes);

// The arguments of a raw command line (ANSI code page bytes, the program's own path first and left out).
std::vector<std::string> SplitCommandLine(std::string_view raw);

// At least six arguments, the first exactly kLaunchToken.
bool IsValidInvocation(const std::vector<std::string>& args);
