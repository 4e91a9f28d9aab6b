// Any bytes: the reader either holds a document or holds none, and never answers from a failed load.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "runtime/xml.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  rt::XmlReader reader;
  const bool loaded = reader.Load(bytes);
  if (loaded != reader.HasDocument()) std::abort();
  for (std::string_view path : {"a", "a/b", "最新版本/版本信息", ""}) {
    const std::string value = reader.Attribute(path, "版本号");
    if (!loaded && !value.empty()) std::abort();
    if (value.size() > size) std::abort();  // decoding only ever shortens
  }
  // A failed load must drop an earlier document.
  rt::XmlReader again;
  again.Load("<a x=\"1\"/>");
  if (!again.Load(bytes) && (again.HasDocument() || !again.Attribute("a", "x").empty())) std::abort();
  return 0;
}
