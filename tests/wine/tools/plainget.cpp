// plainget URL SAVEPATH
// The reference the download benchmark measures the component against: one WinINet connection,
// 20480-byte reads (the updater's receive block) written straight to the file, nothing else.
// Prints "finished bytes=N ms=T cpu_ms=C", or "failed ERROR".
#include <windows.h>
#include <wininet.h>

#include <cstdio>

#include "runtime/win32/handle.h"

using rt::win32::UniqueFile;
using rt::win32::UniqueInternet;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: plainget URL SAVEPATH\n");
    return 2;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  UniqueInternet session(InternetOpenA("plainget", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  UniqueInternet url(session ? InternetOpenUrlA(session.get(), argv[1], nullptr, 0,
                                                INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0)
                             : nullptr);
  UniqueFile file(CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!url || !file) {
    std::printf("failed %lu\n", GetLastError());
    return 1;
  }
  static char block[20480];
  long long total = 0;
  for (;;) {
    DWORD got = 0, written = 0;
    if (!InternetReadFile(url.get(), block, sizeof block, &got)) {
      std::printf("failed %lu\n", GetLastError());
      return 1;
    }
    if (got == 0) break;
    if (!WriteFile(file.get(), block, got, &written, nullptr) || written != got) {
      std::printf("failed %lu\n", GetLastError());
      return 1;
    }
    total += got;
  }
  file.reset();
  QueryPerformanceCounter(&end);
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) { return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  std::printf("finished bytes=%lld ms=%lld cpu_ms=%lld\n", total,
              (end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart, (ticks(kernel) + ticks(user)) / 10000);
  return 0;
}
