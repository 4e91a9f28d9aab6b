// httpget URL DEADLINE_MS [USER_AGENT [BODY_FILE]]
// Runs one rt::HttpGet under Wine and prints "bytes=N ms=T": the body's length and how long the call took.
// With BODY_FILE the body is written there, so a test can compare it with what the server holds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/http.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: httpget URL DEADLINE_MS [USER_AGENT [BODY_FILE]]\n");
    return 2;
  }
  const unsigned deadline = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const char* userAgent = argc > 3 ? argv[3] : "httpget";
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  const std::string body = rt::HttpGet(argv[1], userAgent, deadline);
  QueryPerformanceCounter(&end);
  const long long ms = (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart;
  if (argc > 4) {
    FILE* out = std::fopen(argv[4], "wb");
    if (!out) return 3;
    const bool written = std::fwrite(body.data(), 1, body.size(), out) == body.size();
    if (std::fclose(out) != 0 || !written) return 3;
  }
  std::printf("bytes=%zu ms=%lld\n", body.size(), ms);
  return 0;
}
