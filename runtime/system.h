// The facilities of the run time that are not about the window: the process, the HTTP reader, files
// and directories, and the download component. The real one lives in runtime/win32, an in-memory
// fake with the Windows rules that matter in fake_system.h.
//
// Error policy: nothing here throws. Paths are GBK texts with backslashes, compared without case as
// Windows does; every operation says in its result whether it worked, and the programs' handlers
// ignore most of those results on purpose.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace rt {

class Ui;
class DownloadInstance;

// Attribute bits, the values of the system's FILE_ATTRIBUTE_ flags.
inline constexpr uint32_t kAttrReadOnly = 0x1;
inline constexpr uint32_t kAttrHidden = 0x2;
inline constexpr uint32_t kAttrSystem = 0x4;
inline constexpr uint32_t kAttrDirectory = 0x10;
inline constexpr uint32_t kAttrNormal = 0x80;
inline constexpr uint32_t kNoFile = 0xFFFFFFFF;  // what GetAttributes answers for a missing path

// An open file, read and written at explicit offsets so several threads can share it.
class File {
 public:
  virtual ~File() = default;
  // Bytes read at `offset` into `into` (fewer at the end of the file); -1 on failure.
  virtual int64_t ReadAt(int64_t offset, std::span<char> into) = 0;
  // All of `data` at `offset`, growing the file as needed.
  virtual bool WriteAt(int64_t offset, std::span<const char> data) = 0;
  virtual int64_t Size() = 0;  // -1 on failure
  virtual bool Resize(int64_t size) = 0;
  // Everything written so far has reached the disk.
  virtual bool Flush() = 0;
};

enum class FileMode : uint8_t {
  Read,    // an existing file, read only, shared with readers
  Create,  // a new empty file, read and write; an existing one is truncated
  Update,  // an existing file, read and write
};

enum class Listing : uint8_t {
  Files,        // every entry that is not a directory, of any attributes
  Directories,  // entries with the directory attribute, "." and ".." included
};

// One enumeration with its own state, so that enumerations can nest.
class DirectoryListing {
 public:
  virtual ~DirectoryListing() = default;
  // The next name (no path), "" when there is none.
  virtual std::string Next() = 0;
};

class System {
 public:
  virtual ~System() = default;

  // The directory of the program file, without a trailing backslash.
  virtual std::string ProgramDirectory() = 0;
  // The process's raw command line, in the ANSI code page.
  virtual std::string CommandLine() = 0;
  // Starts a program from a whole command line (shown normally, in the current directory) without
  // waiting for it to end, but up to 1000 ms until it is ready for input.
  virtual bool StartProcess(std::string_view commandLine) = 0;
  // Ends the process with `code` after the clean-up; never returns in the real program. Any thread.
  virtual void EndProcess(unsigned code) = 0;
  // The whole body of an HTTP GET whatever its status, "" when nothing could be read; bounded in time.
  virtual std::string ReadUrl(std::string_view url, std::string_view userAgent) = 0;

  // One level; false when it exists already or cannot be made.
  virtual bool MakeDirectory(std::string_view path) = 0;
  // Copies a file, replacing an existing target unless the system refuses (read-only, hidden, in use).
  virtual bool CopyFileTo(std::string_view from, std::string_view to) = 0;
  // Renames a file, replacing an existing target.
  virtual bool RenameFile(std::string_view from, std::string_view to) = 0;
  virtual bool RemoveFile(std::string_view path) = 0;
  virtual uint32_t GetAttributes(std::string_view path) = 0;  // kNoFile when missing
  virtual bool SetAttributes(std::string_view path, uint32_t attributes) = 0;
  // Every file and subdirectory, then the directory itself; refuses "" and a drive root ("C:", "C:\").
  virtual bool RemoveTree(std::string_view path) = 0;
  // The entries matching `pattern` (a directory + "\" + a wildcard name such as "*.*").
  virtual std::unique_ptr<DirectoryListing> List(std::string_view pattern, Listing which) = 0;
  // Null when the file cannot be opened in that mode.
  virtual std::unique_ptr<File> Open(std::string_view path, FileMode mode) = 0;

  // A fresh download-component instance that runs no task. `ui` is the window whose thread the
  // instance's waits keep serving while they wait (see DownloadInstance::StopTask).
  virtual std::unique_ptr<DownloadInstance> NewDownload(Ui& ui) = 0;
};

}  // namespace rt
