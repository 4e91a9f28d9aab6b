// Runs the table of file-system cases (tests/files_cases.h) against the real file system, each case
// in a fresh directory under the one given, and prints one line per case and "N passed, M failed".
#include <cstdio>

#include "runtime/win32/system_win32.h"
#include "tests/files_cases.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: filescheck DIRECTORY\n");
    return 2;
  }
  rt::System& sys = rt::win32::TheSystem();
  std::string base = argv[1];
  int passed = 0, failed = 0, index = 0;
  for (const files_cases::Case& c : files_cases::kCases) {
    std::string root = base + "\\case" + std::to_string(index++);
    sys.RemoveTree(root);
    files_cases::Check check;
    if (!sys.MakeDirectory(root)) check.failures.push_back("cannot make " + root);
    if (check.failures.empty()) c.run(sys, root, check);
    sys.RemoveTree(root);
    if (check.failures.empty()) {
      ++passed;
      std::printf("ok   %s\n", c.name);
    } else {
      ++failed;
      std::printf("FAIL %s\n", c.name);
      for (auto& failure : check.failures) std::printf("     %s\n", failure.c_str());
    }
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
