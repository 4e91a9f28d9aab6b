#include "common/handoff.h"

namespace {

bool IsSeparator(unsigned char c) { return c >= 1 && c <= 32; }

// A DBCS lead byte: the byte after it is part of the same character, even a quote or a blank.
bool IsWide(unsigned char c) { return c >= 128; }

}  // namespace

std::string BuildHandOffCommandLine(std::string_view programDir, std::string_view downloadUrl,
                                    std::string_view fileTitle, std::string_view fileName, std::string_view notes) {
  // The quotes matter: CreateProcess given an unquoted "C:\Program Files\..." tries "C:\Program.exe"
  // first, so a blank in the directory would start some other program.
  std::string line;
  line.reserve(programDir.size() + downloadUrl.size() + fileTitle.size() + fileName.size() + notes.size() + 64);
  line += '"';
  line += programDir;
  line += kUpdaterRelativePath;
  line += "\" ";
  line += kLaunchToken;
  line += ' ';
  line += downloadUrl;
  line += ' ';
  line += fileTitle;
  line += " run ";
  line += kProgramFileName;
  line += ' ';
  line += fileName;
  line += ' ';
  line += notes;
  return line;
}

std::vector<std::string> SplitCommandLine(std::string_view raw) {
  // The command line is a C string: a zero byte ends it wherever it is.
  raw = raw.substr(0, raw.find('\0'));
  const size_t n = raw.size();
  size_t i = 0;

  if (n > 0 && raw[0] == '"') {
    const size_t close = raw.find('"', 1);
    i = close == std::string_view::npos ? n : close + 1;
    if (i < n && raw[i] == ' ') ++i;
  } else {
    const size_t blank = raw.find(' ');
    i = blank == std::string_view::npos ? n : blank + 1;
  }

  std::vector<std::string> args;
  while (i < n) {
    const auto c = static_cast<unsigned char>(raw[i]);
    if (IsSeparator(c)) {
      ++i;
      continue;
    }
    const bool quoted = c == '"';
    if (quoted) ++i;
    const size_t start = i;
    while (i < n) {
      const auto b = static_cast<unsigned char>(raw[i]);
      if (IsWide(b) && i + 1 < n) {
        i += 2;
        continue;
      }
      if (b == '"' || (!quoted && IsSeparator(b))) break;
      ++i;
    }
    args.emplace_back(raw.substr(start, i - start));
    // A closing quote is consumed; a quote that ends an unquoted word opens the next argument.
    if (quoted && i < n) ++i;
  }
  return args;
}

bool IsValidInvocation(const std::vector<std::string>& args) { return args.size() >= 6 && args[0] == kLaunchToken; }
