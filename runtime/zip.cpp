#include "runtime/zip.h"

#include <unzip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "runtime/system.h"

namespace rt {
namespace {

// minizip reads the archive through these functions, so the archive is reached through the System
// like every other file: the same code runs against the real file system and the in-memory fake.
// minizip takes the headers a byte or two at a time; a window of the file read ahead turns those into
// one system call per window, which under Wine is most of an extraction's time.
struct Stream {
  std::unique_ptr<File> file;
  int64_t position = 0;
  bool failed = false;
  std::vector<char> window = std::vector<char>(64 * 1024);
  int64_t windowAt = 0;
  size_t windowLength = 0;
};

voidpf ZCALLBACK OpenStream(voidpf opaque, const void* filename, int mode) {
  if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
  auto file = static_cast<System*>(opaque)->Open(static_cast<const char*>(filename), FileMode::Read);
  if (!file) return nullptr;
  return new Stream{std::move(file)};
}

// minizip takes a short count for an error, so every read is filled to the end of the file.
uLong ZCALLBACK ReadStream(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* s = static_cast<Stream*>(stream);
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    int64_t windowEnd = s->windowAt + static_cast<int64_t>(s->windowLength);
    if (s->position >= s->windowAt && s->position < windowEnd) {
      size_t offset = static_cast<size_t>(s->position - s->windowAt);
      size_t n = std::min<size_t>(size - done, s->windowLength - offset);
      std::memcpy(out + done, s->window.data() + offset, n);
      done += n;
      s->position += static_cast<int64_t>(n);
      continue;
    }
    int64_t n = s->file->ReadAt(s->position, s->window);
    if (n < 0) s->failed = true;
    if (n <= 0) break;
    s->windowAt = s->position;
    s->windowLength = static_cast<size_t>(n);
  }
  return static_cast<uLong>(done);
}

uLong ZCALLBACK WriteStream(voidpf, voidpf, const void*, uLong) { return 0; }  // read only

ZPOS64_T ZCALLBACK TellStream(voidpf, voidpf stream) {
  return static_cast<ZPOS64_T>(static_cast<Stream*>(stream)->position);
}

long ZCALLBACK SeekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* s = static_cast<Stream*>(stream);
  int64_t base = 0;
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
    base = s->position;
  } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
    base = s->file->Size();
    if (base < 0) return -1;
  } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
    return -1;
  }
  s->position = base + static_cast<int64_t>(offset);
  return 0;
}

int ZCALLBACK CloseStream(voidpf, voidpf stream) {
  delete static_cast<Stream*>(stream);
  return 0;
}

int ZCALLBACK StreamError(voidpf, voidpf stream) { return static_cast<Stream*>(stream)->failed ? 1 : 0; }

struct CloseArchive {
  void operator()(unzFile archive) const { unzClose(archive); }
};
using Archive = std::unique_ptr<void, CloseArchive>;

bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// The names of an entry's path ("/" and "\" both separate; a GBK trail byte never does), or nothing
// when the path could lead outside the target directory: absolute ("/x", "\x"), with a drive ("C:x";
// a colon could also name a stream of a file), or climbing with "..". Names the system would trim to
// nothing or to ".." (dots and blanks only) are refused too. Empty names and "." are dropped.
std::optional<std::vector<std::string>> SafeNames(std::string_view path) {
  if (path.empty() || path[0] == '/' || path[0] == '\\') return std::nullopt;
  std::vector<std::string> names;
  std::string name;
  auto flush = [&] {
    if (!name.empty() && name != ".") {
      if (name.find_first_not_of(". ") == std::string::npos) return false;
      names.push_back(name);
    }
    name.clear();
    return true;
  };
  for (size_t i = 0; i < path.size(); ++i) {
    char c = path[i];
    if (IsLeadByte(static_cast<unsigned char>(c)) && i + 1 < path.size()) {
      name += c;
      name += path[++i];
    } else if (c == '/' || c == '\\') {
      if (!flush()) return std::nullopt;
    } else if (c == ':') {
      return std::nullopt;
    } else {
      name += c;
    }
  }
  if (!flush()) return std::nullopt;
  return names;
}

// Whether the last character of a GBK text is a single-byte "/" or "\".
bool EndsWithSeparator(std::string_view text) {
  bool separator = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) {
      ++i;
      separator = false;
    } else {
      separator = text[i] == '/' || text[i] == '\\';
    }
  }
  return separator;
}

// Makes `base` + each of the first `count` names, one level at a time; existing ones are fine.
// `made` holds the directories already known to be there, so a folder of many files costs no
// further system calls after its first.
bool MakeDirectories(System& system, std::string path, const std::vector<std::string>& names, size_t count,
                     std::set<std::string>& made) {
  std::vector<std::string> levels;
  for (size_t i = 0; i < count; ++i) {
    path += '\\';
    path += names[i];
    levels.push_back(path);
  }
  if (made.contains(path)) return true;
  for (auto& level : levels)
    if (!made.contains(level)) system.MakeDirectory(level);
  uint32_t attributes = system.GetAttributes(path);
  if (attributes == kNoFile || !(attributes & kAttrDirectory)) return false;
  made.insert(levels.begin(), levels.end());
  made.insert(path);
  return true;
}

// The current entry's data into `path`; the result is one of the component's codes.
int ExtractFile(System& system, unzFile archive, const std::string& path, uint64_t size) {
  // The entry is opened before its file is created: one whose data cannot even be found must leave
  // neither an empty file nor an emptied one behind.
  if (unzOpenCurrentFile(archive) != UNZ_OK) return kZipBadEntry;
  auto file = system.Open(path, FileMode::Create);
  // A read-only or hidden file is replaced too, its attributes set to normal first. (Asked only
  // after a refusal: for the many new files the question would be one more system call each.)
  if (!file && system.GetAttributes(path) != kNoFile && system.SetAttributes(path, kAttrNormal))
    file = system.Open(path, FileMode::Create);
  if (!file) {
    unzCloseCurrentFile(archive);
    return kZipWriteFailed;
  }
  std::vector<char> buffer(64 * 1024);
  int64_t offset = 0;
  int result = kZipOk;
  for (;;) {
    int n = unzReadCurrentFile(archive, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (n == 0) break;
    if (n < 0) {
      result = kZipBadEntry;
      break;
    }
    if (!file->WriteAt(offset, std::span<const char>(buffer.data(), static_cast<size_t>(n)))) {
      result = kZipWriteFailed;
      break;
    }
    offset += n;
  }
  // Closing checks the CRC, but only once the whole entry has been read: a damaged deflate stream
  // that ends early reads as a normal end and would pass unchecked, so the length is checked too.
  int closed = unzCloseCurrentFile(archive);
  if (result == kZipOk && closed != UNZ_OK) result = kZipBadEntry;
  if (result == kZipOk && static_cast<uint64_t>(offset) != size) result = kZipBadEntry;
  // No flush to the disk: the staged files are read back at once and then removed.
  file.reset();
  // A damaged entry leaves no half file behind.
  if (result != kZipOk) system.RemoveFile(path);
  return result;
}

int ExtractEntry(System& system, unzFile archive, std::string_view targetDir, std::set<std::string>& made) {
  unz_file_info64 info;
  if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) return kZipBadEntry;
  std::string name(info.size_filename, '\0');
  if (unzGetCurrentFileInfo64(archive, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0) !=
      UNZ_OK)
    return kZipBadEntry;
  auto names = SafeNames(name);
  if (!names) return kZipBadEntry;
  std::string base(targetDir);
  while (EndsWithSeparator(base)) base.pop_back();

  if (EndsWithSeparator(name))
    return MakeDirectories(system, base, *names, names->size(), made) ? kZipOk : kZipWriteFailed;
  if (names->empty()) return kZipBadEntry;
  if (!MakeDirectories(system, base, *names, names->size() - 1, made)) return kZipWriteFailed;
  std::string path = base;
  for (auto& n : *names) path += '\\' + n;
  return ExtractFile(system, archive, path, info.uncompressed_size);
}

// An archive without entries is its end record alone, at offset 0, where minizip's backward search
// for that record never looks.
bool IsEmptyArchive(System& system, const std::string& path) {
  auto file = system.Open(path, FileMode::Read);
  char head[22];
  if (!file || file->Size() < 22 || file->ReadAt(0, head) != 22) return false;
  auto byte = [&](int i) { return static_cast<unsigned char>(head[i]); };
  bool endRecord = byte(0) == 0x50 && byte(1) == 0x4B && byte(2) == 0x05 && byte(3) == 0x06;
  bool noEntries = byte(8) == 0 && byte(9) == 0 && byte(10) == 0 && byte(11) == 0;
  size_t commentLength = byte(20) | (byte(21) << 8);
  return endRecord && noEntries && file->Size() == static_cast<int64_t>(22 + commentLength);
}

}  // namespace

int ExtractZip(System& system, std::string_view archivePath, std::string_view targetDir, void (*onEntry)()) {
  std::string target(targetDir);
  system.MakeDirectory(target);

  zlib_filefunc64_def functions{};
  functions.zopen64_file = OpenStream;
  functions.zread_file = ReadStream;
  functions.zwrite_file = WriteStream;
  functions.ztell64_file = TellStream;
  functions.zseek64_file = SeekStream;
  functions.zclose_file = CloseStream;
  functions.zerror_file = StreamError;
  functions.opaque = &system;
  std::string path(archivePath);
  Archive archive(unzOpen2_64(path.c_str(), &functions));
  if (!archive) return IsEmptyArchive(system, path) ? kZipOk : kZipNoArchive;

  // An archive without entries has nothing to go to: the first step would read its end record.
  unz_global_info64 global;
  if (unzGetGlobalInfo64(archive.get(), &global) != UNZ_OK) return kZipNoArchive;
  if (global.number_entry == 0) return kZipOk;
  std::set<std::string> made;
  int step = unzGoToFirstFile(archive.get());
  while (step == UNZ_OK) {
    int result = ExtractEntry(system, archive.get(), target, made);
    if (result != kZipOk) return result;
    if (onEntry) onEntry();
    step = unzGoToNextFile(archive.get());
  }
  return step == UNZ_END_OF_LIST_OF_FILE ? kZipOk : kZipBadEntry;
}

}  // namespace rt
