// An in-memory System for tests: the process facilities recorded, and a file system with the
// Windows rules that matter (backslash paths, names compared without case, "." and ".." among the
// subdirectories, read-only and hidden targets refused by a copy) that can also refuse on command.
// Thread-safe: the download component's threads write files while a test's thread reads them.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/system.h"

namespace rt {

class FakeSystem : public System {
 public:
  FakeSystem();
  ~FakeSystem() override;

  // Process facilities.
  std::string programDirectory = "C:\\Pagetide";
  std::string commandLine;
  std::vector<std::string> startedProcesses;
  std::map<std::string, std::string> urlBodies;  // what ReadUrl answers; other addresses give ""
  std::vector<std::string> urlReads;             // "address|user agent" of every ReadUrl
  std::atomic<bool> ended{false};
  std::atomic<unsigned> exitCode{0};
  // Runs when the process ends (any thread), e.g. to note which thread ended it.
  std::function<void()> onEnd;
  // What NewDownload answers; null gives a null instance.
  std::function<std::unique_ptr<DownloadInstance>(Ui&)> newDownload;

  std::string ProgramDirectory() override { return programDirectory; }
  std::string CommandLine() override { return commandLine; }
  bool StartProcess(std::string_view commandLine) override;
  void EndProcess(unsigned code) override;
  std::string ReadUrl(std::string_view url, std::string_view userAgent) override;
  std::unique_ptr<DownloadInstance> NewDownload(Ui& ui) override;

  // The file system.
  bool MakeDirectory(std::string_view path) override;
  bool CopyFileTo(std::string_view from, std::string_view to) override;
  bool RenameFile(std::string_view from, std::string_view to) override;
  bool RemoveFile(std::string_view path) override;
  uint32_t GetAttributes(std::string_view path) override;
  bool SetAttributes(std::string_view path, uint32_t attributes) override;
  bool RemoveTree(std::string_view path) override;
  std::unique_ptr<DirectoryListing> List(std::string_view pattern, Listing which) override;
  std::unique_ptr<File> Open(std::string_view path, FileMode mode) override;

  // For tests: set up and inspect the tree directly. Parents are created as needed.
  void PutFile(std::string_view path, std::string_view content, uint32_t attributes = kAttrNormal);
  void PutDirectory(std::string_view path);
  bool Exists(std::string_view path);
  std::string Content(std::string_view path);  // "" when missing
  // Every path under `root` (files and directories, relative, sorted without case), for comparing trees.
  std::vector<std::string> Tree(std::string_view root);

  // Faults on command: operations on a path (or under it) fail as the system would.
  enum class Fault : uint8_t { InUse, DiskFull, Refuse };
  void Inject(std::string_view path, Fault fault);
  void ClearFaults();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rt
