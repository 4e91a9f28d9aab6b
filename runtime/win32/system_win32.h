// The System of the Windows run time. The process facilities live in system_win32.cpp, the files and
// directories in files_win32.cpp. Paths are GBK texts; every call converts them to the W functions.
#pragma once
#include <string>

#include "runtime/system.h"

namespace rt::win32 {

class Win32System final : public System {
 public:
  // system_win32.cpp
  std::string ProgramDirectory() override;
  std::string CommandLine() override;
  bool StartProcess(std::string_view commandLine) override;
  void EndProcess(unsigned code) override;
  std::string ReadUrl(std::string_view url, std::string_view userAgent) override;
  std::unique_ptr<DownloadInstance> NewDownload(Ui& ui) override;

  // files_win32.cpp
  bool MakeDirectory(std::string_view path) override;
  bool CopyFileTo(std::string_view from, std::string_view to) override;
  bool RenameFile(std::string_view from, std::string_view to) override;
  bool RemoveFile(std::string_view path) override;
  uint32_t GetAttributes(std::string_view path) override;
  bool SetAttributes(std::string_view path, uint32_t attributes) override;
  bool RemoveTree(std::string_view path) override;
  std::unique_ptr<DirectoryListing> List(std::string_view pattern, Listing which) override;
  std::unique_ptr<File> Open(std::string_view path, FileMode mode) override;
};

// The process's one System.
Win32System& TheSystem();

// A process from a whole command line, in our current directory; not waited for, except (if asked)
// until it is ready for input, for at most a second.
bool StartCommand(std::wstring line, int show, bool waitInputIdle);

}  // namespace rt::win32
