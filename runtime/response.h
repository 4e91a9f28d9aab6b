// Reading and judging the head of a response before a byte of its body is written. The transport
// hands over the head as received; what may be written where is decided here, the same on every
// platform, so that a server answering a range with the whole body, a range we did not ask for, or a
// file that changed between two requests never puts a wrong byte into the download.
//
// Error policy: nothing throws; a head that cannot be read is nullopt, and every judgement is a Verdict.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rt {

struct ResponseHead {
  int status = 0;
  int64_t contentLength = -1;  // -1 when absent
  bool hasContentRange = false;
  int64_t rangeFirst = -1, rangeLast = -1;
  int64_t rangeTotal = -1;     // -1 for "*"
  bool rangesRefused = false;  // "Accept-Ranges: none"
  std::string etag, lastModified;
};

// The status line and the headers that matter; nullopt for a head that is not HTTP, has bad or
// contradicting numbers, or is unreasonably long.
std::optional<ResponseHead> ParseHead(std::string_view raw);

// What the first whole response told of the entity; later responses must agree with it.
struct Entity {
  int64_t total = -1;  // -1 when no length was given
  bool rangesRefused = false;
  std::string etag, lastModified;
};
Entity LearnEntity(const ResponseHead& head);

enum class Verdict : uint8_t {
  Accept,     // write it
  WholeBody,  // a 200 with the whole, unchanged entity to a range request: the server ignores ranges
  Changed,    // another entity (length or validator differ): never to be mixed into this download
  Retry,      // a failure another attempt may mend: 5xx, 408, 429, a range not asked for, a bad head
  Fatal,      // a failure another attempt will not mend: the other 4xx, redirections left to us
};

// A response to a request for bytes [first, last] of `entity`.
Verdict JudgeRange(const ResponseHead& head, const Entity& entity, int64_t first, int64_t last);
// A response to a plain request for the whole entity; `known` is null for the very first one.
Verdict JudgeWhole(const ResponseHead& head, const Entity* known);

}  // namespace rt
