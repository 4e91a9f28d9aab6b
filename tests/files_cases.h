// How a System's files and directories behave, as one table of cases over any rt::System: the unit
// tests run it against the in-memory fake and tests/wine/tools/filescheck runs it against the real
// file system under Wine, so the fake cannot drift from what the programs meet on Windows.
// Each case gets a fresh empty directory `root` (no trailing backslash).
#pragma once
#include <algorithm>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "runtime/system.h"

namespace files_cases {

using namespace std::string_view_literals;  // a literal as bytes, without its terminating zero

struct Check {
  std::vector<std::string> failures;
  void operator()(bool ok, const char* what, int line) {
    if (!ok) failures.push_back("line " + std::to_string(line) + ": " + what);
  }
};
#define FILES_CHECK(check, condition) (check)((condition), #condition, __LINE__)

struct Case {
  const char* name;
  void (*run)(rt::System& sys, const std::string& root, Check& check);
};

inline bool Write(rt::System& sys, const std::string& path, std::string_view bytes) {
  auto file = sys.Open(path, rt::FileMode::Create);
  return file && file->WriteAt(0, bytes);
}

inline const std::string kMissing = "<cannot open>";
inline std::string Read(rt::System& sys, const std::string& path) {
  auto file = sys.Open(path, rt::FileMode::Read);
  if (!file) return kMissing;
  std::string bytes(static_cast<size_t>(std::max<int64_t>(file->Size(), 0)), '\0');
  int64_t n = file->ReadAt(0, bytes);
  return n < 0 ? kMissing : bytes.substr(0, static_cast<size_t>(n));
}

// The names a listing yields, sorted: the order is the file system's own.
inline std::vector<std::string> Names(rt::System& sys, const std::string& pattern, rt::Listing which) {
  std::vector<std::string> names;
  auto listing = sys.List(pattern, which);
  for (std::string name = listing->Next(); !name.empty(); name = listing->Next()) names.push_back(name);
  std::sort(names.begin(), names.end());
  return names;
}
using Strings = std::vector<std::string>;

inline bool IsDir(rt::System& sys, const std::string& path) {
  uint32_t a = sys.GetAttributes(path);
  return a != rt::kNoFile && (a & rt::kAttrDirectory);
}

inline const Case kCases[] = {
    {"directories are made one level at a time",
     [](rt::System& sys, const std::string& root, Check& check) {
       FILES_CHECK(check, sys.MakeDirectory(root + "\\a"));
       FILES_CHECK(check, !sys.MakeDirectory(root + "\\a"));      // exists
       FILES_CHECK(check, !sys.MakeDirectory(root + "\\x\\y"));   // no parent
       FILES_CHECK(check, sys.MakeDirectory(root + "\\a\\b\\"));  // a trailing backslash is fine
       FILES_CHECK(check, IsDir(sys, root + "\\a\\b"));
       FILES_CHECK(check, Write(sys, root + "\\f", "x"));
       FILES_CHECK(check, !sys.MakeDirectory(root + "\\f"));  // a file has the name
     }},
    {"files are written and read at offsets",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string path = root + "\\data.bin";
       {
         auto file = sys.Open(path, rt::FileMode::Create);
         FILES_CHECK(check, file != nullptr);
         if (!file) return;
         FILES_CHECK(check, file->WriteAt(4, "tail"sv));  // past the end: the gap reads as zeros
         FILES_CHECK(check, file->WriteAt(0, "head"sv));
         FILES_CHECK(check, file->Size() == 8);
         char buffer[16];
         FILES_CHECK(check, file->ReadAt(6, buffer) == 2 && std::string(buffer, 2) == "il");
         FILES_CHECK(check, file->ReadAt(8, buffer) == 0);
         FILES_CHECK(check, file->Resize(12) && file->Size() == 12);
         FILES_CHECK(check, file->Resize(6) && file->Size() == 6);
         FILES_CHECK(check, file->Flush());
       }
       FILES_CHECK(check, Read(sys, path) == "headta");
       {
         auto file = sys.Open(path, rt::FileMode::Update);  // keeps the content
         FILES_CHECK(check, file && file->WriteAt(6, "!"sv) && file->Size() == 7);
       }
       FILES_CHECK(check, Read(sys, path) == "headta!");
       {
         auto file = sys.Open(path, rt::FileMode::Read);
         FILES_CHECK(check, file && !file->WriteAt(0, "x"sv) && !file->Resize(0));
       }
       FILES_CHECK(check, Write(sys, path, "new"));  // Create truncates
       FILES_CHECK(check, Read(sys, path) == "new");
     }},
    {"opening what is not there fails",
     [](rt::System& sys, const std::string& root, Check& check) {
       FILES_CHECK(check, sys.Open(root + "\\none", rt::FileMode::Read) == nullptr);
       FILES_CHECK(check, sys.Open(root + "\\none", rt::FileMode::Update) == nullptr);
       FILES_CHECK(check, sys.Open(root + "\\no\\file", rt::FileMode::Create) == nullptr);
       FILES_CHECK(check, sys.Open(root, rt::FileMode::Read) == nullptr);  // a directory
       FILES_CHECK(check, sys.GetAttributes(root + "\\none") == rt::kNoFile);
     }},
    {"names compare without case and paths resolve like the system's",
     [](rt::System& sys, const std::string& root, Check& check) {
       FILES_CHECK(check, sys.MakeDirectory(root + "\\Sub"));
       FILES_CHECK(check, Write(sys, root + "\\Sub\\ReadMe.TXT", "abc"));
       FILES_CHECK(check, Read(sys, root + "\\sub\\README.txt") == "abc");
       FILES_CHECK(check, Read(sys, root + "/SUB/readme.txt") == "abc");
       FILES_CHECK(check, Read(sys, root + "\\Sub\\..\\Sub\\.\\ReadMe.TXT") == "abc");
       FILES_CHECK(check, IsDir(sys, root + "\\Sub\\"));
       FILES_CHECK(check, IsDir(sys, root + "\\Sub\\..\\Sub"));
       FILES_CHECK(check, (Names(sys, root + "\\sub\\*.*", rt::Listing::Files) == Strings{"ReadMe.TXT"}));
     }},
    {"names in GBK, also with a trail byte that looks like a backslash",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string dir = root + "\\淺数据";  // 淺 is 9C 5C
       FILES_CHECK(check, sys.MakeDirectory(dir));
       FILES_CHECK(check, Write(sys, dir + "\\更新淺", "gbk"));
       FILES_CHECK(check, Read(sys, dir + "\\更新淺") == "gbk");
       FILES_CHECK(check, (Names(sys, root + "\\*.*", rt::Listing::Directories) == Strings{".", "..", "淺数据"}));
       FILES_CHECK(check, (Names(sys, dir + "\\*.*", rt::Listing::Files) == Strings{"更新淺"}));
     }},
    {"a copy replaces a plain target and refuses a read-only or hidden one",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string src = root + "\\src", dst = root + "\\dst";
       FILES_CHECK(check, Write(sys, src, "new") && Write(sys, dst, "old"));
       FILES_CHECK(check, sys.CopyFileTo(src, dst) && Read(sys, dst) == "new");
       FILES_CHECK(check, Read(sys, src) == "new");
       FILES_CHECK(check, Write(sys, dst, "old") && sys.SetAttributes(dst, rt::kAttrReadOnly));
       FILES_CHECK(check, !sys.CopyFileTo(src, dst) && Read(sys, dst) == "old");
       FILES_CHECK(check, sys.SetAttributes(dst, rt::kAttrHidden));
       FILES_CHECK(check, !sys.CopyFileTo(src, dst) && Read(sys, dst) == "old");
       FILES_CHECK(check, !sys.CopyFileTo(root + "\\none", root + "\\x"));
       FILES_CHECK(check, !sys.CopyFileTo(src, root + "\\no\\x"));
       // The copy takes the source's attributes: a hidden, read-only file is copied like any other.
       FILES_CHECK(check, sys.SetAttributes(src, rt::kAttrReadOnly | rt::kAttrHidden));
       FILES_CHECK(check, sys.CopyFileTo(src, root + "\\copy") && Read(sys, root + "\\copy") == "new");
       FILES_CHECK(check, (sys.GetAttributes(root + "\\copy") & (rt::kAttrReadOnly | rt::kAttrHidden)) ==
                              (rt::kAttrReadOnly | rt::kAttrHidden));
       sys.SetAttributes(src, rt::kAttrNormal);
       sys.SetAttributes(dst, rt::kAttrNormal);
       sys.SetAttributes(root + "\\copy", rt::kAttrNormal);
     }},
    {"an open file is in use: not replaced, renamed or deleted, and has one writer",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string path = root + "\\open", other = root + "\\other";
       FILES_CHECK(check, Write(sys, other, "other"));
       auto file = sys.Open(path, rt::FileMode::Create);
       FILES_CHECK(check, file && file->WriteAt(0, "kept"sv));
       FILES_CHECK(check, !sys.CopyFileTo(other, path));
       FILES_CHECK(check, !sys.RenameFile(other, path));
       FILES_CHECK(check, !sys.RenameFile(path, root + "\\moved"));
       FILES_CHECK(check, !sys.RemoveFile(path));
       FILES_CHECK(check, sys.Open(path, rt::FileMode::Update) == nullptr);
       FILES_CHECK(check, Read(sys, path) == "kept");  // readers are let in
       FILES_CHECK(check, sys.CopyFileTo(path, root + "\\copy") && Read(sys, root + "\\copy") == "kept");
       file.reset();
       FILES_CHECK(check, sys.RemoveFile(path));
     }},
    {"a rename replaces the target",
     [](rt::System& sys, const std::string& root, Check& check) {
       FILES_CHECK(check, Write(sys, root + "\\a", "A") && Write(sys, root + "\\b", "B"));
       FILES_CHECK(check, sys.RenameFile(root + "\\a", root + "\\b"));
       FILES_CHECK(check, Read(sys, root + "\\b") == "A" && sys.GetAttributes(root + "\\a") == rt::kNoFile);
       FILES_CHECK(check, !sys.RenameFile(root + "\\a", root + "\\c"));
       FILES_CHECK(check, sys.MakeDirectory(root + "\\d"));
       FILES_CHECK(check, sys.RenameFile(root + "\\b", root + "\\d\\b") && Read(sys, root + "\\d\\b") == "A");
     }},
    {"a read-only file is not deleted; attributes read back",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string path = root + "\\f";
       FILES_CHECK(check, Write(sys, path, "x"));
       constexpr uint32_t kBits = rt::kAttrReadOnly | rt::kAttrHidden | rt::kAttrSystem | rt::kAttrDirectory;
       FILES_CHECK(check, (sys.GetAttributes(path) & kBits) == 0);
       FILES_CHECK(check, sys.SetAttributes(path, rt::kAttrReadOnly | rt::kAttrSystem));
       FILES_CHECK(check, (sys.GetAttributes(path) & kBits) == (rt::kAttrReadOnly | rt::kAttrSystem));
       FILES_CHECK(check, !sys.RemoveFile(path) && Read(sys, path) == "x");
       FILES_CHECK(check, sys.Open(path, rt::FileMode::Update) == nullptr);
       FILES_CHECK(check, sys.SetAttributes(path, rt::kAttrNormal) && sys.RemoveFile(path));
       FILES_CHECK(check, !sys.RemoveFile(path));
       FILES_CHECK(check, !sys.RemoveFile(root));  // a directory
       FILES_CHECK(check, !sys.SetAttributes(path, rt::kAttrNormal));
     }},
    {"a tree is removed with read-only files, but never a drive root or nothing",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string top = root + "\\t";
       FILES_CHECK(check,
                   sys.MakeDirectory(top) && sys.MakeDirectory(top + "\\a") && sys.MakeDirectory(top + "\\a\\b"));
       FILES_CHECK(check, sys.MakeDirectory(top + "\\.hidden") && Write(sys, top + "\\.hidden\\x", "x"));
       FILES_CHECK(check, Write(sys, top + "\\a\\b\\deep", "d") && Write(sys, top + "\\f", "f"));
       FILES_CHECK(check, sys.SetAttributes(top + "\\a\\b\\deep", rt::kAttrReadOnly | rt::kAttrHidden));
       FILES_CHECK(check, !sys.RemoveTree(""));
       FILES_CHECK(check, !sys.RemoveTree("C:"));
       FILES_CHECK(check, !sys.RemoveTree("C:\\"));
       FILES_CHECK(check, !sys.RemoveTree("c:/"));
       FILES_CHECK(check, sys.RemoveTree(top + "\\"));
       FILES_CHECK(check, sys.GetAttributes(top) == rt::kNoFile);
       FILES_CHECK(check, !sys.RemoveTree(top));  // gone already
       FILES_CHECK(check, IsDir(sys, root));
     }},
    {"a tree with a file in use is removed as far as it can be",
     [](rt::System& sys, const std::string& root, Check& check) {
       std::string top = root + "\\t";
       FILES_CHECK(check, sys.MakeDirectory(top) && Write(sys, top + "\\free", "1"));
       auto busy = sys.Open(top + "\\busy", rt::FileMode::Create);
       FILES_CHECK(check, busy != nullptr);
       FILES_CHECK(check, !sys.RemoveTree(top));
       FILES_CHECK(check, sys.GetAttributes(top + "\\free") == rt::kNoFile);
       FILES_CHECK(check, sys.GetAttributes(top + "\\busy") != rt::kNoFile);
       busy.reset();
       FILES_CHECK(check, sys.RemoveTree(top) && sys.GetAttributes(top) == rt::kNoFile);
     }},
    {"listings: files of any attributes, directories with the dots",
     [](rt::System& sys, const std::string& root, Check& check) {
       FILES_CHECK(check, sys.MakeDirectory(root + "\\d1") && sys.MakeDirectory(root + "\\.d2"));
       FILES_CHECK(check, Write(sys, root + "\\a.txt", "") && Write(sys, root + "\\noext", "") &&
                              Write(sys, root + "\\.dot", "") && Write(sys, root + "\\h", ""));
       FILES_CHECK(check, sys.SetAttributes(root + "\\h", rt::kAttrHidden | rt::kAttrSystem | rt::kAttrReadOnly));
       Strings files{".dot", "a.txt", "h", "noext"};
       FILES_CHECK(check, Names(sys, root + "\\*.*", rt::Listing::Files) == files);
       FILES_CHECK(check, Names(sys, root + "\\*", rt::Listing::Files) == files);
       FILES_CHECK(check, (Names(sys, root + "\\*.*", rt::Listing::Directories) == Strings{".", "..", ".d2", "d1"}));
       FILES_CHECK(check, (Names(sys, root + "\\*.txt", rt::Listing::Files) == Strings{"a.txt"}));
       FILES_CHECK(check, Names(sys, root + "\\d1\\*.*", rt::Listing::Files).empty());
       FILES_CHECK(check, (Names(sys, root + "\\d1\\*.*", rt::Listing::Directories) == Strings{".", ".."}));
       FILES_CHECK(check, Names(sys, root + "\\none\\*.*", rt::Listing::Files).empty());
       sys.SetAttributes(root + "\\h", rt::kAttrNormal);
     }},
    {"listings nest, each with its own state",
     [](rt::System& sys, const std::string& root, Check& check) {
       for (const char* d : {"\\p", "\\p\\q", "\\r"}) FILES_CHECK(check, sys.MakeDirectory(root + d));
       for (const char* f : {"\\p\\1", "\\p\\2", "\\p\\q\\3", "\\r\\4", "\\r\\5"})
         FILES_CHECK(check, Write(sys, root + f, f));
       auto outer = sys.List(root + "\\*.*", rt::Listing::Directories);
       Strings seen;
       for (std::string dir = outer->Next(); !dir.empty(); dir = outer->Next()) {
         if (dir[0] == '.') continue;
         auto inner = sys.List(root + "\\" + dir + "\\*.*", rt::Listing::Files);
         for (std::string f = inner->Next(); !f.empty(); f = inner->Next()) seen.push_back(dir + "\\" + f);
       }
       std::sort(seen.begin(), seen.end());
       FILES_CHECK(check, (seen == Strings{"p\\1", "p\\2", "r\\4", "r\\5"}));
       FILES_CHECK(check, outer->Next().empty());  // stays at its end
     }},
    {"threads write one file at their own offsets",
     [](rt::System& sys, const std::string& root, Check& check) {
       auto file = sys.Open(root + "\\parts", rt::FileMode::Create);
       FILES_CHECK(check, file != nullptr);
       if (!file) return;
       constexpr int kThreads = 4, kBlocks = 64, kBlock = 512;
       std::vector<std::thread> threads;
       std::vector<int> failures(kThreads);
       for (int t = 0; t < kThreads; ++t)
         threads.emplace_back([&, t] {
           std::string block(kBlock, static_cast<char>('a' + t));
           for (int b = 0; b < kBlocks; ++b)
             if (!file->WriteAt(static_cast<int64_t>((b * kThreads + t) * kBlock), block)) ++failures[t];
         });
       for (auto& t : threads) t.join();
       FILES_CHECK(check, std::count(failures.begin(), failures.end(), 0) == kThreads);
       FILES_CHECK(check, file->Flush() && file->Size() == kThreads * kBlocks * kBlock);
       file.reset();
       std::string bytes = Read(sys, root + "\\parts");
       bool ordered = bytes.size() == size_t{kThreads * kBlocks * kBlock};
       for (size_t i = 0; ordered && i < bytes.size(); i += kBlock)
         ordered = bytes[i] == 'a' + static_cast<int>((i / kBlock) % kThreads) && bytes[i + kBlock - 1] == bytes[i];
       FILES_CHECK(check, ordered);
     }},
};

}  // namespace files_cases
