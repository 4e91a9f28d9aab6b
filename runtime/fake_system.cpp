#include "runtime/fake_system.h"

#include <algorithm>
#include <cstring>

#include "runtime/download.h"

namespace rt {
namespace {

// A GBK lead byte: the next byte belongs to the same character, even when it looks like "\" or a letter.
bool IsLeadByte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Splits a path into its names the way Windows resolves it: "\" and "/" separate, "." stays, ".."
// climbs (never above the drive), a trailing separator is dropped. A path without a drive is taken
// from the root of C:, the fake's current directory.
std::vector<std::string> Split(std::string_view path) {
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
    char c = path[i];
    if (IsLeadByte(static_cast<unsigned char>(c)) && i + 1 < path.size()) {
      name += c;
      name += path[++i];
    } else if (c == '\\' || c == '/') {
      flush();
    } else {
      name += c;
    }
  }
  flush();
  bool hasDrive = !names.empty() && names[0].size() == 2 && names[0][1] == ':';
  if (!hasDrive) names.insert(names.begin(), "C:");
  return names;
}

// Names compare without case for the single-byte letters only: a trail byte is part of its character.
std::string Fold(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    auto c = static_cast<unsigned char>(out[i]);
    if (IsLeadByte(c)) {
      ++i;
    } else if (c >= 'A' && c <= 'Z') {
      out[i] = static_cast<char>(c - 'A' + 'a');
    }
  }
  return out;
}

std::string Join(const std::vector<std::string>& names, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    if (i) out += '\\';
    out += names[i];
  }
  return out;
}

// "*" and "?" over folded names; "*.*" also matches names without a dot, as on Windows.
bool Matches(std::string_view pattern, std::string_view name) {
  if (pattern == "*" || pattern == "*.*") return true;
  if (pattern.empty()) return name.empty();
  if (pattern[0] == '*') {
    for (size_t i = 0; i <= name.size(); ++i)
      if (Matches(pattern.substr(1), name.substr(i))) return true;
    return false;
  }
  if (name.empty()) return false;
  return (pattern[0] == '?' || pattern[0] == name[0]) && Matches(pattern.substr(1), name.substr(1));
}

// The tree and its lock, shared with the open files so that a file never outlives what it points into.
struct Fs {
  using Fault = FakeSystem::Fault;
  struct Data {
    std::string bytes;
    int readers = 0, writers = 0;  // open File objects
  };
  struct Node {
    std::string name;  // as created, for listings
    bool directory = false;
    uint32_t attributes = kAttrNormal;
    std::shared_ptr<Data> data;  // files only
  };

  std::mutex mutex;
  std::map<std::string, Node> nodes;                  // folded full path -> node
  std::vector<std::pair<std::string, Fault>> faults;  // folded path, fault

  static std::string Key(const std::vector<std::string>& names, size_t count) { return Fold(Join(names, count)); }
  static std::string Key(std::string_view path) {
    auto names = Split(path);
    return Key(names, names.size());
  }

  // Drive roots always exist.
  Node* Find(const std::string& key) {
    auto it = nodes.find(key);
    if (it != nodes.end()) return &it->second;
    if (key.size() == 2 && key[1] == ':') {
      Node& root = nodes[key];
      root.name = key;
      root.directory = true;
      root.attributes = kAttrDirectory;
      return &root;
    }
    return nullptr;
  }
  Node* Find(std::string_view path) { return Find(Key(path)); }

  bool ParentIsDirectory(std::string_view path) {
    auto names = Split(path);
    if (names.size() < 2) return false;
    Node* parent = Find(Key(names, names.size() - 1));
    return parent && parent->directory;
  }

  bool Has(const std::string& key, Fault fault) {
    for (auto& [path, f] : faults)
      if (f == fault &&
          (key == path || (key.size() > path.size() && key.starts_with(path) && key[path.size()] == '\\')))
        return true;
    return false;
  }
  // The system refuses writing, replacing or deleting this path.
  bool Blocked(const std::string& key) { return Has(key, Fault::Refuse) || Has(key, Fault::InUse); }

  static bool Open(const Node& node) { return node.data && (node.data->readers || node.data->writers); }

  // Makes or replaces a file with `bytes`; the checks are the caller's.
  Node& Store(std::string_view path, const std::string& bytes, uint32_t attributes) {
    auto names = Split(path);
    Node& node = nodes[Key(names, names.size())];
    node.name = names.back();
    node.directory = false;
    node.attributes = attributes;
    if (!node.data) node.data = std::make_shared<Data>();
    node.data->bytes = bytes;
    return node;
  }

  void Put(std::string_view path, bool directory) {
    auto names = Split(path);
    for (size_t i = 2; i <= names.size(); ++i) {
      std::string key = Key(names, i);
      if (Find(key)) continue;
      Node& node = nodes[key];
      node.name = names[i - 1];
      node.directory = directory || i < names.size();
      node.attributes = node.directory ? kAttrDirectory : kAttrNormal;
      if (!node.directory) node.data = std::make_shared<Data>();
    }
  }

  // The keys directly under `dir` (folded), in folded order.
  std::vector<std::string> Children(const std::string& dir) {
    std::vector<std::string> out;
    std::string prefix = dir + "\\";
    for (auto it = nodes.lower_bound(prefix); it != nodes.end() && it->first.starts_with(prefix); ++it)
      if (Split(it->first).size() == Split(dir).size() + 1) out.push_back(it->first);
    return out;
  }
};

class FakeFile final : public File {
 public:
  FakeFile(std::shared_ptr<Fs> fs, std::shared_ptr<Fs::Data> data, std::string key, bool writable)
      : fs_(std::move(fs)), data_(std::move(data)), key_(std::move(key)), writable_(writable) {}
  ~FakeFile() override {
    std::lock_guard lock(fs_->mutex);
    (writable_ ? data_->writers : data_->readers)--;
  }

  int64_t ReadAt(int64_t offset, std::span<char> into) override {
    std::lock_guard lock(fs_->mutex);
    if (offset < 0) return -1;
    auto& bytes = data_->bytes;
    if (static_cast<uint64_t>(offset) >= bytes.size()) return 0;
    size_t n = std::min(into.size(), bytes.size() - static_cast<size_t>(offset));
    std::memcpy(into.data(), bytes.data() + offset, n);
    return static_cast<int64_t>(n);
  }
  bool WriteAt(int64_t offset, std::span<const char> data) override {
    std::lock_guard lock(fs_->mutex);
    if (!writable_ || offset < 0) return false;
    auto& bytes = data_->bytes;
    size_t end = static_cast<size_t>(offset) + data.size();
    if (end > bytes.size()) {
      if (fs_->Has(key_, Fs::Fault::DiskFull)) return false;
      bytes.resize(end);
    }
    std::memcpy(bytes.data() + offset, data.data(), data.size());
    return true;
  }
  int64_t Size() override {
    std::lock_guard lock(fs_->mutex);
    return static_cast<int64_t>(data_->bytes.size());
  }
  bool Resize(int64_t size) override {
    std::lock_guard lock(fs_->mutex);
    if (!writable_ || size < 0) return false;
    if (static_cast<uint64_t>(size) > data_->bytes.size() && fs_->Has(key_, Fs::Fault::DiskFull)) return false;
    data_->bytes.resize(static_cast<size_t>(size));
    return true;
  }
  bool Flush() override { return writable_; }

 private:
  std::shared_ptr<Fs> fs_;
  std::shared_ptr<Fs::Data> data_;
  std::string key_;
  bool writable_;
};

class FakeListing final : public DirectoryListing {
 public:
  explicit FakeListing(std::vector<std::string> names) : names_(std::move(names)) {}
  std::string Next() override { return next_ < names_.size() ? names_[next_++] : std::string(); }

 private:
  std::vector<std::string> names_;
  size_t next_ = 0;
};

}  // namespace

struct FakeSystem::Impl {
  std::shared_ptr<Fs> fs = std::make_shared<Fs>();
};

FakeSystem::FakeSystem() : impl_(std::make_unique<Impl>()) {}
FakeSystem::~FakeSystem() = default;

bool FakeSystem::StartProcess(std::string_view commandLine) {
  std::lock_guard lock(impl_->fs->mutex);
  startedProcesses.emplace_back(commandLine);
  return true;
}

void FakeSystem::EndProcess(unsigned code) {
  exitCode = code;
  ended = true;
  try {
    if (onEnd) onEnd();
  } catch (...) {
    // A test's hook must not unwind into whatever thread ended the process.
  }
}

std::string FakeSystem::ReadUrl(std::string_view url, std::string_view userAgent) {
  std::lock_guard lock(impl_->fs->mutex);
  urlReads.push_back(std::string(url) + "|" + std::string(userAgent));
  auto it = urlBodies.find(std::string(url));
  return it == urlBodies.end() ? std::string() : it->second;
}

std::unique_ptr<DownloadInstance> FakeSystem::NewDownload(Ui& ui) { return newDownload ? newDownload(ui) : nullptr; }

bool FakeSystem::MakeDirectory(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  std::string key = Fs::Key(path);
  if (impl_->fs->Find(key) || !impl_->fs->ParentIsDirectory(path) || impl_->fs->Has(key, Fault::Refuse)) return false;
  impl_->fs->Put(path, true);
  return true;
}

bool FakeSystem::CopyFileTo(std::string_view from, std::string_view to) {
  std::lock_guard lock(impl_->fs->mutex);
  std::string fromKey = Fs::Key(from), toKey = Fs::Key(to);
  Fs::Node* source = impl_->fs->Find(fromKey);
  if (!source || source->directory || impl_->fs->Has(fromKey, Fault::Refuse)) return false;
  if (fromKey == toKey) return false;  // the system will not copy a file onto itself
  if (!impl_->fs->ParentIsDirectory(to) || impl_->fs->Blocked(toKey) || impl_->fs->Has(toKey, Fault::DiskFull))
    return false;
  if (Fs::Node* target = impl_->fs->Find(toKey)) {
    if (target->directory || Fs::Open(*target)) return false;
    if (target->attributes & (kAttrReadOnly | kAttrHidden)) return false;
  }
  std::string bytes = source->data->bytes;
  uint32_t attributes = source->attributes;
  impl_->fs->Store(to, bytes, attributes);
  return true;
}

bool FakeSystem::RenameFile(std::string_view from, std::string_view to) {
  std::lock_guard lock(impl_->fs->mutex);
  std::string fromKey = Fs::Key(from), toKey = Fs::Key(to);
  Fs::Node* source = impl_->fs->Find(fromKey);
  if (!source || source->directory || Fs::Open(*source) || impl_->fs->Has(fromKey, Fault::Refuse)) return false;
  if (!impl_->fs->ParentIsDirectory(to) || impl_->fs->Blocked(toKey)) return false;
  if (fromKey != toKey) {
    if (Fs::Node* target = impl_->fs->Find(toKey))
      if (target->directory || Fs::Open(*target) || (target->attributes & kAttrReadOnly)) return false;
  }
  Fs::Node moved = *source;
  moved.name = Split(to).back();
  impl_->fs->nodes.erase(fromKey);
  impl_->fs->nodes[toKey] = std::move(moved);
  // A running program can be renamed, and it stays in use under its new name.
  for (auto& [path, fault] : impl_->fs->faults)
    if (path == fromKey && fault == Fault::InUse) path = toKey;
  return true;
}

bool FakeSystem::RemoveFile(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  std::string key = Fs::Key(path);
  Fs::Node* node = impl_->fs->Find(key);
  if (!node || node->directory || Fs::Open(*node) || impl_->fs->Blocked(key)) return false;
  if (node->attributes & kAttrReadOnly) return false;
  impl_->fs->nodes.erase(key);
  return true;
}

uint32_t FakeSystem::GetAttributes(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  Fs::Node* node = impl_->fs->Find(path);
  return node ? node->attributes : kNoFile;
}

bool FakeSystem::SetAttributes(std::string_view path, uint32_t attributes) {
  std::lock_guard lock(impl_->fs->mutex);
  std::string key = Fs::Key(path);
  Fs::Node* node = impl_->fs->Find(key);
  if (!node || impl_->fs->Has(key, Fault::Refuse)) return false;
  uint32_t kept = attributes & (kAttrReadOnly | kAttrHidden | kAttrSystem);
  node->attributes = node->directory ? (kAttrDirectory | kept) : (kept ? kept : kAttrNormal);
  return true;
}

bool FakeSystem::RemoveTree(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  auto names = Split(path);
  // "" and a drive root split to the drive alone.
  if (path.empty() || names.size() < 2) return false;
  std::string key = Fs::Key(names, names.size());
  Fs::Node* top = impl_->fs->Find(key);
  if (!top || !top->directory) return false;
  // Deepest first, so that a directory is removed only once it is empty; what is in use stays.
  std::vector<std::string> under;
  for (auto it = impl_->fs->nodes.lower_bound(key + "\\");
       it != impl_->fs->nodes.end() && it->first.starts_with(key + "\\"); ++it)
    under.push_back(it->first);
  under.push_back(key);
  std::sort(under.begin(), under.end(),
            [](const std::string& a, const std::string& b) { return Split(a).size() > Split(b).size(); });
  bool all = true;
  for (auto& k : under) {
    Fs::Node& node = impl_->fs->nodes[k];
    bool removable = !impl_->fs->Blocked(k) && !Fs::Open(node) && (!node.directory || impl_->fs->Children(k).empty());
    if (removable) {
      impl_->fs->nodes.erase(k);
    } else {
      all = false;
    }
  }
  return all;
}

std::unique_ptr<DirectoryListing> FakeSystem::List(std::string_view pattern, Listing which) {
  std::lock_guard lock(impl_->fs->mutex);
  auto names = Split(pattern);
  std::vector<std::string> out;
  if (names.size() >= 2) {
    std::string dir = Fs::Key(names, names.size() - 1);
    std::string wildcard = Fold(names.back());
    Fs::Node* node = impl_->fs->Find(dir);
    if (node && node->directory && !impl_->fs->Has(dir, Fault::Refuse)) {
      bool root = names.size() == 2;
      if (which == Listing::Directories && !root)
        for (const char* dots : {".", ".."})
          if (Matches(wildcard, dots)) out.emplace_back(dots);
      for (auto& key : impl_->fs->Children(dir)) {
        Fs::Node& child = impl_->fs->nodes[key];
        if (child.directory == (which == Listing::Directories) && Matches(wildcard, Fold(child.name)))
          out.push_back(child.name);
      }
    }
  }
  return std::make_unique<FakeListing>(std::move(out));
}

std::unique_ptr<File> FakeSystem::Open(std::string_view path, FileMode mode) {
  std::lock_guard lock(impl_->fs->mutex);
  std::string key = Fs::Key(path);
  if (impl_->fs->Has(key, Fault::Refuse)) return nullptr;
  Fs::Node* node = impl_->fs->Find(key);
  if (node && node->directory) return nullptr;
  if (mode == FileMode::Read) {
    if (!node) return nullptr;
    ++node->data->readers;
    return std::make_unique<FakeFile>(impl_->fs, node->data, key, false);
  }
  if (impl_->fs->Has(key, Fault::InUse)) return nullptr;
  if (mode == FileMode::Update && !node) return nullptr;
  if (node) {
    // Writers share with readers only; a read-only file is not opened for writing, and a hidden one
    // is not replaced by a new file.
    if (node->data->writers || (node->attributes & kAttrReadOnly)) return nullptr;
    if (mode == FileMode::Create && (node->attributes & kAttrHidden)) return nullptr;
    if (mode == FileMode::Create) node->data->bytes.clear();
  } else {
    if (!impl_->fs->ParentIsDirectory(path)) return nullptr;
    node = &impl_->fs->Store(path, "", kAttrNormal);
  }
  ++node->data->writers;
  return std::make_unique<FakeFile>(impl_->fs, node->data, key, true);
}

void FakeSystem::PutFile(std::string_view path, std::string_view content, uint32_t attributes) {
  std::lock_guard lock(impl_->fs->mutex);
  auto names = Split(path);
  if (names.size() > 2) impl_->fs->Put(Join(names, names.size() - 1), true);
  impl_->fs->Store(path, std::string(content), attributes ? attributes : kAttrNormal);
}

void FakeSystem::PutDirectory(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  impl_->fs->Put(path, true);
}

bool FakeSystem::Exists(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  return impl_->fs->Find(path) != nullptr;
}

std::string FakeSystem::Content(std::string_view path) {
  std::lock_guard lock(impl_->fs->mutex);
  Fs::Node* node = impl_->fs->Find(path);
  return node && !node->directory ? node->data->bytes : std::string();
}

std::vector<std::string> FakeSystem::Tree(std::string_view root) {
  std::lock_guard lock(impl_->fs->mutex);
  auto names = Split(root);
  std::string key = Fs::Key(names, names.size());
  std::vector<std::string> out;
  std::string prefix = key + "\\";
  for (auto it = impl_->fs->nodes.lower_bound(prefix); it != impl_->fs->nodes.end() && it->first.starts_with(prefix);
       ++it) {
    // The relative path in the names' own case: walk the ancestors below the root.
    auto parts = Split(it->first);
    std::string relative;
    for (size_t i = names.size() + 1; i <= parts.size(); ++i) {
      if (!relative.empty()) relative += '\\';
      relative += impl_->fs->nodes[Fs::Key(parts, i)].name;
    }
    out.push_back(relative);
  }
  return out;  // the map's folded order
}

void FakeSystem::Inject(std::string_view path, Fault fault) {
  std::lock_guard lock(impl_->fs->mutex);
  impl_->fs->faults.emplace_back(Fs::Key(path), fault);
}

void FakeSystem::ClearFaults() {
  std::lock_guard lock(impl_->fs->mutex);
  impl_->fs->faults.clear();
}

}  // namespace rt
