// Any command line splits without reading past its end; and fields the refresher can write
// (no blanks, quotes or control bytes) come back from the updater's split exactly as sent.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/handoff.h"

namespace {

std::string Field(std::string_view bytes, size_t& i) {
  std::string field;
  while (i < bytes.size() && bytes[i] != '\n') {
    const auto c = static_cast<unsigned char>(bytes[i++]);
    if (c > 32 && c != '"' && c < 128) field += char(c);
  }
  ++i;
  return field.empty() ? std::string("x") : field;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  size_t total = 0;
  for (const std::string& arg : SplitCommandLine(bytes)) total += arg.size();
  if (total > size) std::abort();

  size_t i = 0;
  const std::string dir = "C:\\Program Files\\" + Field(bytes, i);
  const std::string url = Field(bytes, i), title = Field(bytes, i), file = Field(bytes, i), notes = Field(bytes, i);
  const std::vector<std::string> args = SplitCommandLine(BuildHandOffCommandLine(dir, url, title, file, notes));
  const std::vector<std::string> expected = {"qzmkhost_launcher", url, title, "run", "KORVA.exe", file, notes};
  if (args != expected || !IsValidInvocation(args)) std::abort();
  return 0;
}
