// A small ZIP writer for tests, so that each test says exactly which bytes an archive holds:
// stored or deflated entries, any name, and a CRC that can be made wrong on purpose.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace test_zip {

struct Entry {
  std::string name;
  std::string data;
  bool deflate = false;
  bool badCrc = false;
  size_t streamEndsAfter = std::string::npos;  // a deflated stream that ends, whole, after so many bytes
};

inline void Put16(std::string& out, uint32_t v) { out.append({static_cast<char>(v), static_cast<char>(v >> 8)}); }
inline void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

inline std::string Deflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string MakeZip(const std::vector<Entry>& entries) {
  std::string out, central;
  for (const Entry& e : entries) {
    uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    if (e.badCrc) crc ^= 1;
    std::string stored = e.deflate ? Deflate(e.data.substr(0, e.streamEndsAfter)) : e.data;
    uint32_t offset = static_cast<uint32_t>(out.size());
    auto common = [&](std::string& h) {
      Put16(h, 20);  // version needed
      Put16(h, 0);   // flags
      Put16(h, e.deflate ? 8 : 0);
      Put16(h, 0);       // time
      Put16(h, 0x5A21);  // date
      Put32(h, crc);
      Put32(h, static_cast<uint32_t>(stored.size()));
      Put32(h, static_cast<uint32_t>(e.data.size()));
      Put16(h, static_cast<uint32_t>(e.name.size()));
      Put16(h, 0);  // extra
    };
    Put32(out, 0x04034b50);
    common(out);
    out += e.name + stored;
    Put32(central, 0x02014b50);
    Put16(central, 20);  // made by
    common(central);
    Put16(central, 0);  // comment
    Put16(central, 0);  // disk
    Put16(central, 0);  // internal attributes
    Put32(central, e.name.ends_with('/') ? 0x10 : 0);
    Put32(central, offset);
    central += e.name;
  }
  uint32_t centralOffset = static_cast<uint32_t>(out.size());
  out += central;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put16(out, static_cast<uint32_t>(entries.size()));
  Put32(out, static_cast<uint32_t>(central.size()));
  Put32(out, centralOffset);
  Put16(out, 0);
  return out;
}

}  // namespace test_zip
