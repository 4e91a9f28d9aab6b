// The ZIP component: extraction of an archive into a directory, over minizip's unzip interface and
// zlib's inflate, with every file reached through the run time's System.
//
// Error policy: nothing throws; the result says whether every entry was extracted.
#pragma once
#include <string_view>

namespace rt {

class System;

inline constexpr int kZipOk = 1;
inline constexpr int kZipNoArchive = -1;    // missing, unreadable or not a ZIP archive
inline constexpr int kZipBadEntry = -2;     // an entry that could not be read, failed its CRC or named a path
                                            // outside the target directory
inline constexpr int kZipWriteFailed = -3;  // a directory or file that could not be written

// Creates `targetDir` when it is missing, then takes the entries in order: a directory entry is created
// when missing; a file entry is written to its path under `targetDir`, an existing file's attributes
// first set to normal so read-only targets are replaced too. Stops at the first entry that fails.
// `onEntry` runs after each entry. Answers kZipOk on success.
int ExtractZip(System& system, std::string_view archive, std::string_view targetDir, void (*onEntry)() = nullptr);

}  // namespace rt
