// Any archive extracted into a directory of the in-memory System:
//  - nothing outside the target directory is written, made, removed or changed, whatever the names;
//  - kZipOk only when every entry is in place whole: each file entry's data (read apart from the
//    extraction, straight from the input's bytes, its CRC checked) is the content of its file, and
//    each directory entry is a directory;
//  - no crash, leak or undefined behaviour (the sanitizers).
// The first byte chooses what is in the target before the extraction; the rest is the archive.
#include <unzip.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/fake_system.h"
#include "runtime/zip.h"

namespace {

constexpr std::string_view kArchive = "C:\\pkg.zip";
constexpr std::string_view kOutside = "C:\\keep\\secret.txt";

bool IsLeadByte(char c) { return static_cast<unsigned char>(c) >= 0x81 && static_cast<unsigned char>(c) <= 0xFE; }

// A path as Windows resolves it, for comparing: names folded to lower case (single-byte letters
// only), "." dropped, ".." climbing, both separators alike, no drive taken as C:.
std::vector<std::string> Resolve(std::string_view path) {
  std::vector<std::string> names;
  std::string name;
  auto flush = [&] {
    if (name == "..") {
      if (names.size() > 1) names.pop_back();
    } else if (!name.empty() && name != ".") {
      names.push_back(name);
    }
    name.clear();
  };
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (IsLeadByte(c) && i + 1 < path.size()) {
      name += c;
      name += path[++i];
    } else if (c == '/' || c == '\\') {
      flush();
    } else {
      name += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
  }
  flush();
  if (names.empty() || names[0].size() != 2 || names[0][1] != ':') names.insert(names.begin(), "c:");
  return names;
}

std::string Key(std::string_view path) {
  std::string out;
  for (const std::string& name : Resolve(path)) out += name + '\\';
  return out;
}

// The fake System, with every change it is asked for checked against the target directory.
class GuardedSystem final : public rt::FakeSystem {
 public:
  explicit GuardedSystem(std::string_view target) : target_(Key(target)) {}

  bool MakeDirectory(std::string_view path) override { return Check(path) && FakeSystem::MakeDirectory(path); }
  bool CopyFileTo(std::string_view from, std::string_view to) override { return Check(to) && FakeSystem::CopyFileTo(from, to); }
  bool RenameFile(std::string_view from, std::string_view to) override {
    return Check(from) && Check(to) && FakeSystem::RenameFile(from, to);
  }
  bool RemoveFile(std::string_view path) override { return Check(path) && FakeSystem::RemoveFile(path); }
  bool SetAttributes(std::string_view path, uint32_t attributes) override {
    return Check(path) && FakeSystem::SetAttributes(path, attributes);
  }
  bool RemoveTree(std::string_view path) override { return Check(path) && FakeSystem::RemoveTree(path); }
  std::unique_ptr<rt::File> Open(std::string_view path, rt::FileMode mode) override {
    if (mode != rt::FileMode::Read && !Check(path)) return nullptr;
    return FakeSystem::Open(path, mode);
  }

 private:
  bool Check(std::string_view path) {
    if (!Key(path).starts_with(target_)) std::abort();  // a change outside the target directory
    return true;
  }
  std::string target_;
};

// minizip over the input's bytes, apart from the System and the extraction's own reading.
struct Memory {
  std::string_view bytes;
  uint64_t position = 0;
};

voidpf ZCALLBACK MemOpen(voidpf opaque, const void*, int) { return opaque; }
uLong ZCALLBACK MemRead(voidpf, voidpf stream, void* buffer, uLong size) {
  auto* m = static_cast<Memory*>(stream);
  if (m->position >= m->bytes.size()) return 0;
  const size_t n = std::min<uint64_t>(size, m->bytes.size() - m->position);
  std::memcpy(buffer, m->bytes.data() + m->position, n);
  m->position += n;
  return static_cast<uLong>(n);
}
uLong ZCALLBACK MemWrite(voidpf, voidpf, const void*, uLong) { return 0; }
ZPOS64_T ZCALLBACK MemTell(voidpf, voidpf stream) { return static_cast<Memory*>(stream)->position; }
long ZCALLBACK MemSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
  auto* m = static_cast<Memory*>(stream);
  if (origin == ZLIB_FILEFUNC_SEEK_CUR) offset += m->position;
  if (origin == ZLIB_FILEFUNC_SEEK_END) offset += m->bytes.size();
  m->position = offset;
  return 0;
}
int ZCALLBACK MemClose(voidpf, voidpf) { return 0; }
int ZCALLBACK MemError(voidpf, voidpf) { return 0; }

bool EndsWithSeparator(std::string_view name) {
  bool separator = false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (IsLeadByte(name[i]) && i + 1 < name.size()) {
      ++i;
      separator = false;
    } else {
      separator = name[i] == '/' || name[i] == '\\';
    }
  }
  return separator;
}

// An archive of no entries is its end record alone.
bool IsEmptyArchive(std::string_view a) {
  if (a.size() < 22 || a.substr(0, 4) != "PK\x05\x06" || a.substr(8, 4) != std::string_view("\0\0\0\0", 4)) return false;
  return a.size() == 22u + (static_cast<unsigned char>(a[20]) | static_cast<unsigned>(static_cast<unsigned char>(a[21])) << 8);
}

int g_entries = 0;
void CountEntry() { ++g_entries; }

// After kZipOk: every entry of the archive is in place whole.
void CheckWhole(GuardedSystem& system, std::string_view archive, const std::string& target) {
  Memory memory{archive};
  zlib_filefunc64_def functions{};
  functions.zopen64_file = MemOpen;
  functions.zread_file = MemRead;
  functions.zwrite_file = MemWrite;
  functions.ztell64_file = MemTell;
  functions.zseek64_file = MemSeek;
  functions.zclose_file = MemClose;
  functions.zerror_file = MemError;
  functions.opaque = &memory;
  unzFile zip = unzOpen2_64("archive", &functions);
  if (!zip) {
    if (!IsEmptyArchive(archive) || g_entries != 0) std::abort();
    return;
  }
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip, &global) != UNZ_OK || global.number_entry != static_cast<uint64_t>(g_entries)) std::abort();
  // The last entry of a path is what the file holds.
  std::map<std::string, std::pair<std::string, std::string>> files;  // key -> (path, data)
  std::vector<std::string> directories;
  for (int step = global.number_entry ? unzGoToFirstFile(zip) : UNZ_END_OF_LIST_OF_FILE; step == UNZ_OK;
       step = unzGoToNextFile(zip)) {
    unz_file_info64 info{};
    char name[65536];
    if (unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0) != UNZ_OK) std::abort();
    const std::string path = target + "\\" + std::string(name, std::min<size_t>(info.size_filename, sizeof name));
    if (EndsWithSeparator(path)) {
      directories.push_back(path);
      continue;
    }
    std::string data;
    if (unzOpenCurrentFile(zip) != UNZ_OK) std::abort();
    char buffer[16384];
    for (int n; (n = unzReadCurrentFile(zip, buffer, sizeof buffer)) != 0;) {
      if (n < 0) std::abort();  // extracted whole, yet unreadable
      data.append(buffer, static_cast<size_t>(n));
    }
    if (unzCloseCurrentFile(zip) != UNZ_OK) std::abort();  // a bad CRC taken for good
    files[Key(path)] = {path, std::move(data)};
  }
  unzClose(zip);
  for (const std::string& path : directories)
    if (system.GetAttributes(path) == rt::kNoFile || !(system.GetAttributes(path) & rt::kAttrDirectory)) std::abort();
  for (const auto& [key, file] : files) {
    const uint32_t attributes = system.GetAttributes(file.first);
    if (attributes == rt::kNoFile || (attributes & rt::kAttrDirectory) || system.Content(file.first) != file.second)
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned setup = data[0];
  const std::string_view archive(reinterpret_cast<const char*>(data + 1), size - 1);
  // A target given with a trailing separator or not, existing or not, holding a read-only and a
  // hidden file that entries of those names replace.
  const std::string target = (setup & 1) ? "C:\\Out\\" : "C:\\out";
  GuardedSystem system(target);
  system.PutFile(kArchive, archive);
  system.PutFile(kOutside, "outside");
  if (setup & 2) {
    system.PutFile("C:\\out\\readonly.txt", "old", rt::kAttrReadOnly);
    system.PutFile("C:\\out\\sub\\hidden.txt", "old", rt::kAttrHidden);
  }
  const std::vector<std::string> before = system.Tree("C:");

  g_entries = 0;
  const int result = rt::ExtractZip(system, kArchive, target, CountEntry);
  if (result != rt::kZipOk && result != rt::kZipNoArchive && result != rt::kZipBadEntry && result != rt::kZipWriteFailed)
    std::abort();

  // Outside the target, the tree is as it was.
  std::vector<std::string> after = system.Tree("C:");
  auto outsideTarget = [&](const std::vector<std::string>& tree) {
    std::vector<std::string> out;
    for (const std::string& path : tree)
      if (!Key("C:\\" + path).starts_with(Key(target))) out.push_back(path);
    return out;
  };
  if (outsideTarget(before) != outsideTarget(after)) std::abort();
  if (system.Content(kArchive) != archive || system.Content(kOutside) != "outside") std::abort();

  if (result == rt::kZipOk) CheckWhole(system, archive, std::string(target));
  return 0;
}
