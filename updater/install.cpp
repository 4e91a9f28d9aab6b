#include "updater/install.h"

#include <string>

#include "runtime/system.h"
#include "runtime/zip.h"
#include "updater/updater.h"

namespace updater {
namespace {

// Whether the last character of a GBK text is a single-byte "\". A byte test alone would take the
// trail byte of a character such as "淺" (9C 5C) for a backslash, and the directory's contents
// would be listed with a wrong pattern and silently left out.
bool EndsWithBackslash(std::string_view text) {
  bool backslash = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x81 && i + 1 < text.size()) {
      ++i;
      backslash = false;
    } else {
      backslash = text[i] == '\\';
    }
  }
  return backslash;
}

void AppendBackslash(std::string& path) {
  if (!EndsWithBackslash(path)) path += '\\';
}

}  // namespace

bool CopyDirectoryTree(rt::Ui& ui, std::string& src, std::string& dst) {
  rt::System& sys = ui.system();
  // Once per directory, so the window repaints and answers during a long copy.
  ui.ProcessMessages();
  AppendBackslash(src);

  auto files = sys.List(src + "*.*", rt::Listing::Files);
  std::string name = files->Next();
  if (name.empty()) sys.MakeDirectory(dst);
  while (!name.empty()) {
    sys.MakeDirectory(dst);
    AppendBackslash(dst);
    // A target the system refuses (read-only, hidden, in use) keeps its old content; the copy goes on.
    sys.CopyFileTo(src + name, dst + name);
    name = files->Next();
  }

  // Each level lists with its own state, so the recursion below does not disturb this listing.
  auto directories = sys.List(src + "*.*", rt::Listing::Directories);
  for (name = directories->Next(); !name.empty(); name = directories->Next()) {
    AppendBackslash(dst);
    // "." and ".." and every other name that begins with a dot are made, never entered.
    if (name[0] != '.') {
      std::string subSrc = src + name, subDst = dst + name;
      CopyDirectoryTree(ui, subSrc, subDst);
    }
    sys.MakeDirectory(dst + name);
  }
  return true;
}

void RemoveLeftoverUpdater(rt::System& sys) {
  std::string leftover = sys.ProgramDirectory() + "\\..\\data\\" + std::string(kOldUpdaterName);
  if (sys.GetAttributes(leftover) == rt::kNoFile) return;
  sys.SetAttributes(leftover, rt::kAttrNormal);
  sys.RemoveFile(leftover);
}

void InstallPackage(rt::Ui& ui, int taskIndex) {
  rt::System& sys = ui.system();
  const std::string dir = sys.ProgramDirectory();
  const std::string package = dir + "\\time\\temp" + std::to_string(taskIndex) + ".zip";
  const std::string staging = dir + "\\e_dada";
  const std::string target = dir + "\\..\\";
  RemoveLeftoverUpdater(sys);

  sys.MakeDirectory(staging);
  // A package that does not unpack whole (missing, truncated or damaged, as after a failed or
  // abandoned download) is not copied at all: half a new version over the old one can start neither.
  if (rt::ExtractZip(sys, package, staging) == rt::kZipOk) {
    // The running updater cannot be overwritten but can be renamed: a package's new updater then
    // takes its place, and the next run removes the old file. Should the copy not bring one, the
    // old one comes back, so there is always an updater.
    const std::string running = target + "data\\" + std::string(kUpdaterName);
    const std::string aside = target + "data\\" + std::string(kOldUpdaterName);
    bool movedAside = sys.GetAttributes(staging + "\\data\\" + std::string(kUpdaterName)) != rt::kNoFile &&
                      sys.RenameFile(running, aside);
    std::string src = staging, dst = target;
    CopyDirectoryTree(ui, src, dst);
    if (movedAside && sys.GetAttributes(running) == rt::kNoFile) sys.RenameFile(aside, running);
  }
  sys.RemoveFile(package);
  sys.RemoveTree(staging);

  // Quoted, so that a folder with a blank in its path starts this program and no other.
  State* state = ProgramState();
  if (state && state->cmdArgs.size() >= 5) sys.StartProcess("\"" + target + state->cmdArgs[4] + "\"");
  sys.EndProcess(0);
}

}  // namespace updater
