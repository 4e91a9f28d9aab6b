// Any archive extracted into a directory of the in-memory System:
//  - nothing outside the target directory is written, made, removed or changed, whatever the names;
//  - kZipOk only when every entry is in place whole: each file entry's data (read apart from the
//    extraction, straight from the input's bytes, its CRC checked) is the content of its file, and
//    each directory entry is a directory;
//  - an entry that fails leaves no half file: its path holds what it held before, or nothing;
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
  bool CopyFileTo(std::string_view from, std::string_view to) override {
    return Check(to) && FakeSystem::CopyFileTo(from, to);
  }
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
  if (a.size() < 22 || a.substr(0, 4) != "PK\x05\x06" || a.substr(8, 4) != std::string_view("\0\0\0\0", 4))
    return false;
  return a.size() ==
         22u + (static_cast<unsigned char>(a[20]) | static_cast<unsigned>(static_cast<unsigned char>(a[21])) << 8);
}

// The archive as minizip reads it from the input's bytes: each entry's path under the target, and a
// file entry's data when it reads whole with a good CRC.
struct Entry {
  std::string path;
  bool directory = false;
  bool whole = false;
  std::string data;
};
struct Listing {
  bool opened = false;
  uint64_t count = 0;          // as the archive's end record says
  std::vector<Entry> entries;  // up to the first that cannot be stepped to or named
};

Listing List(std::string_view archive, const std::string& target) {
  Listing listing;
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
  if (!zip) return listing;
  listing.opened = true;
  unz_global_info64 global{};
  if (unzGetGlobalInfo64(zip, &global) == UNZ_OK) listing.count = global.number_entry;
  for (int step = listing.count ? unzGoToFirstFile(zip) : UNZ_END_OF_LIST_OF_FILE; step == UNZ_OK;
       step = unzGoToNextFile(zip)) {
    unz_file_info64 info{};
    std::vector<char> name(65536);
    if (unzGetCurrentFileInfo64(zip, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0) !=
        UNZ_OK)
      break;
    Entry entry;
    entry.path = target + "\\" + std::string(name.data(), std::min<size_t>(info.size_filename, name.size()));
    entry.directory = EndsWithSeparator(entry.path);
    if (!entry.directory && unzOpenCurrentFile(zip) == UNZ_OK) {
      char buffer[16384];
      int n;
      while ((n = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
        entry.data.append(buffer, static_cast<size_t>(n));
      entry.whole = unzCloseCurrentFile(zip) == UNZ_OK && n == 0;
    }
    listing.entries.push_back(std::move(entry));
  }
  unzClose(zip);
  return listing;
}

// What a path holds: nothing, a directory, or a file and its bytes.
struct State {
  uint32_t attributes = rt::kNoFile;
  std::string content;
  bool operator==(const State&) const = default;
};
State StateOf(rt::FakeSystem& system, const std::string& path) {
  State state{system.GetAttributes(path), {}};
  if (state.attributes != rt::kNoFile && !(state.attributes & rt::kAttrDirectory)) state.content = system.Content(path);
  return state;
}

// The extraction's progress, seen from its callback after each entry: how many are done, and what
// the path of the next one held before the extraction reached it.
struct Progress {
  rt::FakeSystem* system = nullptr;
  const Listing* listing = nullptr;
  size_t done = 0;
  State next;
  void Snapshot() {
    if (done < listing->entries.size()) next = StateOf(*system, listing->entries[done].path);
  }
};
Progress g_progress;
void EntryDone() {
  ++g_progress.done;
  g_progress.Snapshot();
}

// After kZipOk: every entry of the archive is in place whole.
void CheckWhole(rt::FakeSystem& system, std::string_view archive, const Listing& listing) {
  if (!listing.opened) {
    if (!IsEmptyArchive(archive) || g_progress.done != 0) std::abort();
    return;
  }
  if (listing.count != g_progress.done || listing.entries.size() != listing.count) std::abort();
  // The last entry of a path is what the file holds.
  std::map<std::string, const Entry*> files;
  for (const Entry& entry : listing.entries) {
    if (entry.directory) {
      const uint32_t attributes = system.GetAttributes(entry.path);
      if (attributes == rt::kNoFile || !(attributes & rt::kAttrDirectory)) std::abort();
    } else {
      if (!entry.whole) std::abort();  // extracted, yet unreadable or failing its CRC
      files[Key(entry.path)] = &entry;
    }
  }
  for (const auto& [key, entry] : files) {
    const uint32_t attributes = system.GetAttributes(entry->path);
    if (attributes == rt::kNoFile || (attributes & rt::kAttrDirectory) || system.Content(entry->path) != entry->data)
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

  const Listing listing = List(archive, target);
  g_progress = {&system, &listing};
  g_progress.Snapshot();
  const int result = rt::ExtractZip(system, kArchive, target, EntryDone);
  if (result != rt::kZipOk && result != rt::kZipNoArchive && result != rt::kZipBadEntry &&
      result != rt::kZipWriteFailed)
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

  if (result == rt::kZipOk) {
    CheckWhole(system, archive, listing);
  } else if (g_progress.done < listing.entries.size() && !listing.entries[g_progress.done].directory) {
    // The entry that failed leaves no half file: its path is as before, or the file is gone. (A name
    // that resolves to the target itself, such as "a/..", is refused, and the target was made anyway.)
    const Entry& failed = listing.entries[g_progress.done];
    const State now = StateOf(system, failed.path);
    if (Key(failed.path) != Key(target) && !(now == g_progress.next || now.attributes == rt::kNoFile)) std::abort();
  }
  return 0;
}
