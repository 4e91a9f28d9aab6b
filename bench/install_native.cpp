// install_native PACKAGE STAGING TARGET
// The installation's two steps natively, on the real disk: ExtractZip of PACKAGE into STAGING, then
// CopyDirectoryTree of STAGING over TARGET, through a small System over POSIX calls (the file half
// only: what these two steps use). Prints "extract=CODE entries=N extract_ms=T copy_ms=T".
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "runtime/fake_ui.h"
#include "runtime/system.h"
#include "runtime/zip.h"
#include "updater/install.h"
#include "updater/layout.h"
#include "updater/updater.h"

namespace {

std::string Posix(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

class PosixFile final : public rt::File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { close(fd_); }
  int64_t ReadAt(int64_t offset, std::span<char> into) override {
    size_t done = 0;
    while (done < into.size()) {
      ssize_t n = pread(fd_, into.data() + done, into.size() - done, offset + static_cast<off_t>(done));
      if (n < 0) return -1;
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(done);
  }
  bool WriteAt(int64_t offset, std::span<const char> data) override {
    size_t done = 0;
    while (done < data.size()) {
      ssize_t n = pwrite(fd_, data.data() + done, data.size() - done, offset + static_cast<off_t>(done));
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  int64_t Size() override {
    struct stat st;
    return fstat(fd_, &st) == 0 ? st.st_size : -1;
  }
  bool Resize(int64_t size) override { return ftruncate(fd_, size) == 0; }
  bool Flush() override { return fsync(fd_) == 0; }

 private:
  int fd_;
};

class PosixListing final : public rt::DirectoryListing {
 public:
  PosixListing(const std::string& dir, rt::Listing which) : dir_(dir), dirp_(opendir(dir.c_str())), which_(which) {}
  ~PosixListing() override {
    if (dirp_) closedir(dirp_);
  }
  std::string Next() override {
    while (dirp_) {
      dirent* e = readdir(dirp_);
      if (!e) break;
      bool directory = e->d_type == DT_DIR;
      if (e->d_type == DT_UNKNOWN) {
        struct stat st;
        directory = stat((dir_ + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      }
      if (directory == (which_ == rt::Listing::Directories)) return e->d_name;
    }
    return {};
  }

 private:
  std::string dir_;
  DIR* dirp_;
  rt::Listing which_;
};

// The file half over POSIX calls, with the one rule of the system's copy that the install relies
// on (a read-only target is not replaced). Only "*.*" listings, which is all the install asks for.
class PosixSystem final : public rt::System {
 public:
  std::string ProgramDirectory() override { return {}; }
  std::string CommandLine() override { return {}; }
  bool StartProcess(std::string_view) override { return false; }
  void EndProcess(unsigned) override {}
  std::string ReadUrl(std::string_view, std::string_view) override { return {}; }
  std::unique_ptr<rt::DownloadInstance> NewDownload(rt::Ui&) override { return nullptr; }

  bool MakeDirectory(std::string_view path) override { return mkdir(Posix(path).c_str(), 0777) == 0; }
  bool CopyFileTo(std::string_view from, std::string_view to) override {
    std::string target = Posix(to);
    if (access(target.c_str(), F_OK) == 0 && (GetAttributes(to) & rt::kAttrReadOnly)) return false;
    int in = open(Posix(from).c_str(), O_RDONLY);
    if (in < 0) return false;
    struct stat st;
    fstat(in, &st);
    int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, st.st_mode & 0777);
    bool ok = out >= 0;
    while (ok) {
      ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
      if (n <= 0) {
        ok = n == 0;
        break;
      }
    }
    if (out >= 0) close(out);
    close(in);
    return ok;
  }
  bool RenameFile(std::string_view from, std::string_view to) override {
    return rename(Posix(from).c_str(), Posix(to).c_str()) == 0;
  }
  bool RemoveFile(std::string_view path) override { return unlink(Posix(path).c_str()) == 0; }
  uint32_t GetAttributes(std::string_view path) override {
    struct stat st;
    if (stat(Posix(path).c_str(), &st) != 0) return rt::kNoFile;
    if (S_ISDIR(st.st_mode)) return rt::kAttrDirectory;
    return (st.st_mode & S_IWUSR) ? rt::kAttrNormal : rt::kAttrReadOnly;
  }
  bool SetAttributes(std::string_view path, uint32_t attributes) override {
    return chmod(Posix(path).c_str(), (attributes & rt::kAttrReadOnly) ? 0444 : 0644) == 0;
  }
  bool RemoveTree(std::string_view path) override {
    auto remove = [](const char* p, const struct stat*, int, FTW*) { return ::remove(p); };
    return !path.empty() && nftw(Posix(path).c_str(), remove, 64, FTW_DEPTH | FTW_PHYS) == 0;
  }
  std::unique_ptr<rt::DirectoryListing> List(std::string_view pattern, rt::Listing which) override {
    std::string p = Posix(pattern);
    return std::make_unique<PosixListing>(p.substr(0, p.rfind('/')), which);
  }
  std::unique_ptr<rt::File> Open(std::string_view path, rt::FileMode mode) override {
    int flags = mode == rt::FileMode::Read     ? O_RDONLY
                : mode == rt::FileMode::Create ? O_RDWR | O_CREAT | O_TRUNC
                                               : O_RDWR;
    int fd = open(Posix(path).c_str(), flags, 0644);
    return fd < 0 ? nullptr : std::make_unique<PosixFile>(fd);
  }
};

// The headless window layer, its files on the real disk.
class DiskUi final : public rt::FakeUi {
 public:
  DiskUi() : FakeUi(updater::kLayout, updater::Bindings()) {}
  rt::System& system() override { return disk; }
  PosixSystem disk;
};

int entries = 0;
void CountEntry() { ++entries; }

double Ms(std::chrono::steady_clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: install_native PACKAGE STAGING TARGET\n");
    return 2;
  }
  DiskUi ui;
  std::string staging = argv[2], target = argv[3];
  auto started = std::chrono::steady_clock::now();
  int code = rt::ExtractZip(ui.system(), argv[1], staging, CountEntry);
  auto extracted = std::chrono::steady_clock::now();
  if (code == rt::kZipOk) updater::CopyDirectoryTree(ui, staging, target);
  auto copied = std::chrono::steady_clock::now();
  std::printf("extract=%d entries=%d extract_ms=%.1f copy_ms=%.1f\n", code, entries, Ms(extracted - started),
              Ms(copied - extracted));
  return code == rt::kZipOk ? 0 : 1;
}
