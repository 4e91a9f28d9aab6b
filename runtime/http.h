// One-shot HTTP download of a small document (the version check).
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace rt {

// Bodies longer than this are cut here: the documents fetched are a few kilobytes, and a runaway
// response must not eat the memory of a program that sits in the tray for days.
inline constexpr size_t kHttpBodyLimit = 1024 * 1024;

// The whole body of a GET of `url`, whatever the status; "" when no connection or request could be
// made, the transfer broke off, or the deadline passed. HTTP/1.0, "Accept: */*", the given user agent,
// a direct connection, never from or into the cache. http and https.
std::string HttpGet(std::string_view url, std::string_view userAgent, unsigned deadlineMs);

}  // namespace rt
