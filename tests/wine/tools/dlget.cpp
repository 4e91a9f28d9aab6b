// dlget [--ftp-user=U] [--ftp-password=P] URL SAVEPATH THREADS [SPEEDLIMIT [RECEIVE_TIMEOUT_MS [DEADLINE_S]]]
//
// Runs one task of the real download component (the engine over WinINet, the files through the
// Windows System) and prints what it reports, so a Wine test or a benchmark can watch it:
//   event CODE V2 V3 V4 HANDLE       one line per event as the component raises it, except DataReceived
//   progress events=N bytes=B        DataReceived so far, at most every 100 ms
//   data events=N bytes=B largest=M late=L
//                                    all DataReceived: count, value3 summed, the largest value3, and
//                                    how many came after TransferFinished; printed before either of
//   finished bytes=N ms=T cpu_ms=C   after TransferFinished: its value3, the time since StartTask
//   stopped ms=T resume=K result=R   after "stop" on stdin or the deadline: StopTask's wait and answer
//   refused                          StartTask answered false
// DataReceived comes once per block; a line (and under Wine a write) per block would make this tool,
// not the component, the bottleneck of a benchmark, so those events are counted instead.
// The record holds the updater's values (5000/5001/10000 ms, 20480-byte blocks) unless overridden.
// A same-name target is abandoned (reply 1), as the updater answers it.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/download.h"
#include "runtime/download_engine.h"
#include "runtime/win32/system_win32.h"
#include "runtime/win32/transport_win32.h"

namespace {

std::mutex printing;  // everything printed or counted below
long long dataEvents = 0, dataBytes = 0, lateEvents = 0;
int largestBlock = 0;
LARGE_INTEGER frequency, started, lastProgress;

std::mutex ending;
std::condition_variable ended;
bool finished = false;
std::atomic<bool> stopAsked{false};
int finishedBytes = 0;

long long Millis(const LARGE_INTEGER& from) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return (now.QuadPart - from.QuadPart) * 1000 / frequency.QuadPart;
}

long long CpuMillis() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  auto ticks = [](const FILETIME& t) { return (static_cast<long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return (ticks(kernel) + ticks(user)) / 10000;
}

void PrintDataSummary() {
  std::printf("data events=%lld bytes=%lld largest=%d late=%lld\n", dataEvents, dataBytes, largestBlock, lateEvents);
}

int OnMessage(int, const std::string&, const std::string&, int, int) { return 0; }

int OnEvent(int code, int value2, int value3, int value4, int handle) {
  bool done;
  {
    std::lock_guard<std::mutex> lock(ending);
    done = finished;
  }
  {
    std::lock_guard<std::mutex> lock(printing);
    if (code == rt::kDataReceived) {
      ++dataEvents;
      dataBytes += value3;
      if (value3 > largestBlock) largestBlock = value3;
      if (done) ++lateEvents;
      if (Millis(lastProgress) >= 100) {
        std::printf("progress events=%lld bytes=%lld\n", dataEvents, dataBytes);
        std::fflush(stdout);
        QueryPerformanceCounter(&lastProgress);
      }
    } else {
      std::printf("event %d %d %d %d %d\n", code, value2, value3, value4, handle);
      std::fflush(stdout);
    }
  }
  if (code == rt::kTransferFinished) {
    std::lock_guard<std::mutex> lock(ending);
    finished = true;
    finishedBytes = value3;
    ended.notify_all();
  }
  return code == rt::kSameNameFileExists ? rt::kAbandon : 1;
}

}  // namespace

int main(int argc, char** argv) {
  rt::TaskParam param;
  // The record's FTP log-in, when given, replaces its defaults (anonymous).
  while (argc > 1 && std::strncmp(argv[1], "--", 2) == 0) {
    const std::string option = argv[1];
    if (option.rfind("--ftp-user=", 0) == 0) {
      param.ftpUser = option.substr(11);
    } else if (option.rfind("--ftp-password=", 0) == 0) {
      param.ftpPassword = option.substr(15);
    } else {
      break;
    }
    --argc;
    ++argv;
  }
  if (argc < 4) {
    std::fprintf(stderr,
                 "usage: dlget [--ftp-user=U] [--ftp-password=P] URL SAVEPATH THREADS "
                 "[SPEEDLIMIT [RECEIVE_TIMEOUT_MS [DEADLINE_S]]]\n");
    return 2;
  }
  QueryPerformanceFrequency(&frequency);

  param.taskKind = 4096;
  param.address = argv[1];
  param.savePath = argv[2];
  param.threadCount = std::atoi(argv[3]);
  param.speedLimit = argc > 4 ? std::atoi(argv[4]) : 0;
  param.connectTimeout = 5000;
  param.sendTimeout = 5001;
  param.receiveTimeout = argc > 5 ? std::atoi(argv[5]) : 10000;
  param.receiveBlock = 20480;
  param.onEvent = OnEvent;
  param.onMessage = OnMessage;
  const int deadlineMs = (argc > 6 ? std::atoi(argv[6]) : 600) * 1000;

  // A console program has no window to keep serving while StopTask waits: plain sleeps do.
  auto instance = rt::NewDownloadInstance(rt::win32::MakeWinInetTransport(), rt::win32::TheSystem(),
                                          [](int ms) { Sleep(static_cast<DWORD>(ms)); });
  QueryPerformanceCounter(&started);
  lastProgress = started;
  if (!instance->StartTask(param)) {
    std::printf("refused\n");
    std::fflush(stdout);
    return 1;
  }

  // "stop" on stdin ends the task early; so does the deadline.
  std::thread([] {
    char line[64];
    while (std::fgets(line, sizeof line, stdin)) {
      if (std::strncmp(line, "stop", 4) == 0) break;
    }
    // End of input is not a request: a test that closes stdin early still gets its download.
    if (!std::feof(stdin)) {
      stopAsked = true;
      std::lock_guard<std::mutex> lock(ending);
      ended.notify_all();
    }
  }).detach();

  std::unique_lock<std::mutex> lock(ending);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  ended.wait_until(lock, deadline, [&] { return finished || stopAsked.load(); });
  if (finished) {
    lock.unlock();
    std::lock_guard<std::mutex> print(printing);
    PrintDataSummary();
    std::printf("finished bytes=%d ms=%lld cpu_ms=%lld\n", finishedBytes, Millis(started), CpuMillis());
    std::fflush(stdout);
    return 0;
  }
  lock.unlock();
  LARGE_INTEGER stopping;
  QueryPerformanceCounter(&stopping);
  std::vector<unsigned char> resume;
  const bool stopped = instance->StopTask(resume, 2);
  std::lock_guard<std::mutex> print(printing);
  PrintDataSummary();
  std::printf("stopped ms=%lld resume=%zu result=%d\n", Millis(stopping), resume.size(), stopped ? 1 : 0);
  std::fflush(stdout);
  return 0;
}
