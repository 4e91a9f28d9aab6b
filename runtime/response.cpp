#include "runtime/response.h"

#include <cctype>
#include <limits>

namespace rt {

namespace {

constexpr size_t kMaxHead = 64 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

// Decimal digits only, no sign, no overflow.
std::optional<int64_t> Number(std::string_view s) {
  if (s.empty() || s.size() > 18) return std::nullopt;
  int64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// "bytes first-last/total", "bytes first-last/*" or "bytes */total".
bool ParseContentRange(std::string_view v, ResponseHead& head) {
  if (v.size() < 6 || !SameWord(v.substr(0, 6), "bytes ")) return false;
  v = Trim(v.substr(6));
  size_t slash = v.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view span = v.substr(0, slash), total = v.substr(slash + 1);
  if (total == "*") {
    head.rangeTotal = -1;
  } else {
    auto t = Number(total);
    if (!t) return false;
    head.rangeTotal = *t;
  }
  if (span == "*") return head.rangeTotal >= 0;  // the answer to an unsatisfiable range
  size_t dash = span.find('-');
  if (dash == std::string_view::npos) return false;
  auto first = Number(span.substr(0, dash)), last = Number(span.substr(dash + 1));
  if (!first || !last || *first > *last) return false;
  if (head.rangeTotal >= 0 && *last >= head.rangeTotal) return false;
  head.rangeFirst = *first;
  head.rangeLast = *last;
  return true;
}

// Header values that must not contradict themselves when repeated.
bool SetOnce(std::string& slot, bool& seen, std::string_view value) {
  if (seen && slot != value) return false;
  slot = std::string(value);
  seen = true;
  return true;
}

bool SameValidator(const ResponseHead& head, const Entity& entity) {
  if (!entity.etag.empty()) return head.etag == entity.etag;
  if (!entity.lastModified.empty()) return head.lastModified == entity.lastModified;
  return true;
}

Verdict FailureOf(int status) {
  if (status == 408 || status == 429 || status >= 500) return Verdict::Retry;
  if (status == 416) return Verdict::Changed;  // the range we asked for is no longer in the entity
  if (status >= 300 && status < 500) return Verdict::Fatal;
  return Verdict::Retry;
}

}  // namespace

std::optional<ResponseHead> ParseHead(std::string_view raw) {
  if (raw.size() > kMaxHead) return std::nullopt;
  ResponseHead head;
  bool first = true, seenLength = false, seenRange = false, seenEtag = false, seenModified = false;
  std::string length, range;
  while (!raw.empty()) {
    size_t eol = raw.find('\n');
    std::string_view line = raw.substr(0, eol);
    raw = eol == std::string_view::npos ? std::string_view() : raw.substr(eol + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (first) {
      // "HTTP/1.1 206 Partial Content"; the reason phrase may be empty or missing.
      if (line.substr(0, 5) != "HTTP/" || line.find(' ') == std::string_view::npos) return std::nullopt;
      std::string_view rest = line.substr(line.find(' ') + 1);
      if (rest.size() < 3) return std::nullopt;
      auto code = Number(rest.substr(0, 3));
      if (!code || *code < 100 || *code > 599 || (rest.size() > 3 && rest[3] != ' ')) return std::nullopt;
      head.status = static_cast<int>(*code);
      first = false;
      continue;
    }
    if (line.empty()) break;                                    // end of the head
    if (line.front() == ' ' || line.front() == '\t') continue;  // an old folded continuation: none we need
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    std::string_view name = Trim(line.substr(0, colon)), value = Trim(line.substr(colon + 1));
    if (SameWord(name, "Content-Length")) {
      if (!SetOnce(length, seenLength, value)) return std::nullopt;
    } else if (SameWord(name, "Content-Range")) {
      if (!SetOnce(range, seenRange, value)) return std::nullopt;
    } else if (SameWord(name, "ETag")) {
      if (!SetOnce(head.etag, seenEtag, value)) return std::nullopt;
    } else if (SameWord(name, "Last-Modified")) {
      if (!SetOnce(head.lastModified, seenModified, value)) return std::nullopt;
    } else if (SameWord(name, "Accept-Ranges")) {
      head.rangesRefused = SameWord(value, "none");
    }
  }
  if (first) return std::nullopt;
  if (seenLength) {
    auto n = Number(length);
    if (!n) return std::nullopt;
    head.contentLength = *n;
  }
  if (seenRange) {
    if (!ParseContentRange(range, head)) return std::nullopt;
    head.hasContentRange = true;
  }
  return head;
}

Entity LearnEntity(const ResponseHead& head) {
  return {head.contentLength, head.rangesRefused, head.etag, head.lastModified};
}

Verdict JudgeRange(const ResponseHead& head, const Entity& entity, int64_t first, int64_t last) {
  if (head.status == 200) {
    if (!SameValidator(head, entity) || (head.contentLength >= 0 && head.contentLength != entity.total))
      return Verdict::Changed;
    return Verdict::WholeBody;
  }
  if (head.status != 206) return FailureOf(head.status);
  if (!head.hasContentRange || head.rangeFirst < 0) return Verdict::Retry;  // multipart or garbled
  if (head.rangeTotal != entity.total || !SameValidator(head, entity)) return Verdict::Changed;
  if (head.rangeFirst != first || head.rangeLast != last) return Verdict::Retry;
  if (head.contentLength >= 0 && head.contentLength != last - first + 1) return Verdict::Retry;
  return Verdict::Accept;
}

Verdict JudgeWhole(const ResponseHead& head, const Entity* known) {
  if (head.status != 200) return head.status == 206 ? Verdict::Retry : FailureOf(head.status);
  if (known && (!SameValidator(head, *known) || head.contentLength != known->total)) return Verdict::Changed;
  return Verdict::Accept;
}

}  // namespace rt
