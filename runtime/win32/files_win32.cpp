// The file half of the Windows System. Paths arrive as GBK texts and go to the W functions, so a
// name means the same whatever code page the machine runs with.
#include <algorithm>
#include <climits>

#include "runtime/win32/app.h"
#include "runtime/win32/handle.h"
#include "runtime/win32/system_win32.h"

namespace rt::win32 {
namespace {

class Win32File final : public File {
 public:
  explicit Win32File(UniqueFile handle) : handle_(std::move(handle)) {}

  // Each call names its own offset, so threads sharing the file never race on a file position.
  int64_t ReadAt(int64_t offset, std::span<char> into) override {
    size_t done = 0;
    while (done < into.size()) {
      OVERLAPPED at = Offset(offset + static_cast<int64_t>(done));
      DWORD n = 0;
      DWORD ask = static_cast<DWORD>(std::min<size_t>(into.size() - done, INT_MAX));
      if (!ReadFile(handle_.get(), into.data() + done, ask, &n, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        return -1;
      }
      if (n == 0) break;
      done += n;
    }
    return static_cast<int64_t>(done);
  }

  bool WriteAt(int64_t offset, std::span<const char> data) override {
    size_t done = 0;
    while (done < data.size()) {
      OVERLAPPED at = Offset(offset + static_cast<int64_t>(done));
      DWORD n = 0;
      DWORD give = static_cast<DWORD>(std::min<size_t>(data.size() - done, INT_MAX));
      if (!WriteFile(handle_.get(), data.data() + done, give, &n, &at) || n == 0) return false;
      done += n;
    }
    return true;
  }

  int64_t Size() override {
    LARGE_INTEGER size;
    return GetFileSizeEx(handle_.get(), &size) ? size.QuadPart : -1;
  }

  bool Resize(int64_t size) override {
    FILE_END_OF_FILE_INFO info{};
    info.EndOfFile.QuadPart = size;
    return size >= 0 && SetFileInformationByHandle(handle_.get(), FileEndOfFileInfo, &info, sizeof info);
  }

  bool Flush() override { return FlushFileBuffers(handle_.get()); }

 private:
  static OVERLAPPED Offset(int64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    return at;
  }
  UniqueFile handle_;
};

class Win32Listing final : public DirectoryListing {
 public:
  Win32Listing(std::wstring_view pattern, Listing which) : which_(which) {
    find_.reset(FindFirstFileW(std::wstring(pattern).c_str(), &entry_));
    pending_ = static_cast<bool>(find_);
  }

  std::string Next() override {
    while (pending_ || (find_ && FindNextFileW(find_.get(), &entry_))) {
      pending_ = false;
      bool directory = entry_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      if (directory == (which_ == Listing::Directories)) return Narrow(entry_.cFileName);
    }
    find_.reset();  // at the end it stays at the end
    return {};
  }

 private:
  Listing which_;
  UniqueFind find_;
  WIN32_FIND_DATAW entry_{};
  bool pending_ = false;
};

bool IsDots(const wchar_t* name) { return wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0; }

// Everything in `dir` and then `dir` itself, read-only entries included; what cannot go (a file in
// use) stays, and the rest goes on. A junction or link is removed itself, never followed.
bool RemoveTreeWide(const std::wstring& dir) {
  bool all = true;
  WIN32_FIND_DATAW entry;
  UniqueFind find(FindFirstFileW((dir + L"\\*").c_str(), &entry));
  if (find) {
    do {
      if (IsDots(entry.cFileName)) continue;
      std::wstring path = dir + L"\\" + entry.cFileName;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), entry.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
      bool directory = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
      bool link = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
      bool removed =
          directory ? (link ? RemoveDirectoryW(path.c_str()) : RemoveTreeWide(path)) : DeleteFileW(path.c_str());
      all = all && removed;
    } while (FindNextFileW(find.get(), &entry));
  }
  find.reset();
  SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  return RemoveDirectoryW(dir.c_str()) && all;
}

// The full path without trailing separators, "" when it cannot be resolved.
std::wstring FullPath(std::string_view path) {
  std::wstring wide = Wide(path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  while (!full.empty() && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

// "C:" or a share ("\\server\share"): the top of a volume.
bool IsVolumeRoot(const std::wstring& full) {
  if (full.size() <= 2) return true;
  if (full.starts_with(L"\\\\")) return std::count(full.begin() + 2, full.end(), L'\\') < 2;
  return false;
}

// Windows refuses to replace a read-only or hidden file, and to open a read-only one for writing. Under
// Wine run by the superuser the files' Unix permissions do not stop it, so the rule is checked here
// too: the programs meet the same refusals wherever they run.
constexpr DWORD kNotReplaced = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

bool Refused(const std::wstring& path, DWORD refusing) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & refusing)) return false;
  SetLastError(ERROR_ACCESS_DENIED);
  return true;
}

}  // namespace

bool Win32System::MakeDirectory(std::string_view path) { return CreateDirectoryW(Wide(path).c_str(), nullptr); }

bool Win32System::CopyFileTo(std::string_view from, std::string_view to) {
  std::wstring target = Wide(to);
  if (Refused(target, kNotReplaced)) return false;
  return CopyFileW(Wide(from).c_str(), target.c_str(), FALSE);
}

bool Win32System::RenameFile(std::string_view from, std::string_view to) {
  return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool Win32System::RemoveFile(std::string_view path) { return DeleteFileW(Wide(path).c_str()); }

uint32_t Win32System::GetAttributes(std::string_view path) { return GetFileAttributesW(Wide(path).c_str()); }

bool Win32System::SetAttributes(std::string_view path, uint32_t attributes) {
  return SetFileAttributesW(Wide(path).c_str(), attributes);
}

bool Win32System::RemoveTree(std::string_view path) {
  if (path.empty()) return false;
  std::wstring full = FullPath(path);
  // A drive root is never removed, however the path reaches it ("C:", "C:\", "C:\x\..").
  if (full.empty() || IsVolumeRoot(full)) return false;
  DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  return RemoveTreeWide(full);
}

std::unique_ptr<DirectoryListing> Win32System::List(std::string_view pattern, Listing which) {
  return std::make_unique<Win32Listing>(Wide(pattern), which);
}

std::unique_ptr<File> Win32System::Open(std::string_view path, FileMode mode) {
  // Readers let writers go on (a download being watched); a writer lets only readers in.
  DWORD access = GENERIC_READ, share = FILE_SHARE_READ | FILE_SHARE_WRITE, disposition = OPEN_EXISTING;
  if (mode != FileMode::Read) {
    access |= GENERIC_WRITE;
    share = FILE_SHARE_READ;
    if (mode == FileMode::Create) disposition = CREATE_ALWAYS;
  }
  std::wstring wide = Wide(path);
  if (mode != FileMode::Read && Refused(wide, mode == FileMode::Create ? kNotReplaced : FILE_ATTRIBUTE_READONLY))
    return nullptr;
  UniqueFile handle(CreateFileW(wide.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle) return nullptr;
  return std::make_unique<Win32File>(std::move(handle));
}

}  // namespace rt::win32
