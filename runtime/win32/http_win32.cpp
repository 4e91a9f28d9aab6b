#include "runtime/http.h"

#include <windows.h>
#include <wininet.h>

#include "runtime/win32/handle.h"

// Not <chrono>: in C++20 it spells "\u00b5s", which has no GBK form, so it cannot compile with
// -fexec-charset=GBK. <condition_variable> brings the clocks and durations needed here.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace rt {
namespace {

using win32::UniqueInternet;

void SetTimeouts(HINTERNET handle, DWORD ms) {
  for (DWORD option :
       {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT}) {
    InternetSetOptionA(handle, option, &ms, sizeof ms);
  }
}

// Everything the worker and the waiting caller share. The worker holds its own reference, so when the
// caller has given up and returned, a worker that wakes up later still writes into live memory.
struct Transfer {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::string body;
};

std::string Fetch(const std::string& url, const std::string& userAgent, DWORD timeoutMs) {
  char host[INTERNET_MAX_HOST_NAME_LENGTH + 1] = {};
  std::vector<char> path(url.size() + 2);
  std::vector<char> extra(url.size() + 2);
  URL_COMPONENTSA parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = sizeof host;
  parts.lpszUrlPath = path.data();
  parts.dwUrlPathLength = static_cast<DWORD>(path.size());
  parts.lpszExtraInfo = extra.data();
  parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
  if (!InternetCrackUrlA(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return {};
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) return {};
  if (host[0] == '\0') return {};

  std::string object(parts.lpszUrlPath, parts.dwUrlPathLength);
  if (object.empty()) object = "/";
  object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  object = object.substr(0, object.find('#'));  // a fragment is never sent

  UniqueInternet session(InternetOpenA(userAgent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
  if (!session) return {};
  SetTimeouts(session.get(), timeoutMs);
  UniqueInternet connection(
      InternetConnectA(session.get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return {};
  SetTimeouts(connection.get(), timeoutMs);

  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  const char* acceptTypes[] = {"*/*", nullptr};
  UniqueInternet request(
      HttpOpenRequestA(connection.get(), "GET", object.c_str(), "HTTP/1.0", nullptr, acceptTypes, flags, 0));
  if (!request) return {};
  // Only the request handle's receive and send time-outs bound a server that accepts and then stays
  // silent; on the session handle Wine ignores them.
  SetTimeouts(request.get(), timeoutMs);

  // Headers given here replace those of the same name (accept types "text/xml" plus this header went
  // out as a single "Accept: */*" under Wine), so Accept is sent once although the accept types name it too.
  static const char kAccept[] = "Accept: */*\r\n";
  if (!HttpSendRequestA(request.get(), kAccept, sizeof kAccept - 1, nullptr, 0)) return {};

  std::string body;
  char block[16384];
  for (;;) {
    DWORD got = 0;
    if (!InternetReadFile(request.get(), block, sizeof block, &got)) return {};
    if (got == 0) break;
    const size_t room = kHttpBodyLimit - body.size();
    body.append(block, got < room ? got : room);
    if (body.size() == kHttpBodyLimit) break;
  }
  return body;
}

}  // namespace

std::string HttpGet(std::string_view url, std::string_view userAgent, unsigned deadlineMs) {
  if (deadlineMs == 0) return {};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
  auto transfer = std::make_shared<Transfer>();
  // WinINet cannot be interrupted: under Wine the connect time-out is ignored and closing a handle
  // from another thread does not wake a blocked call. So the transfer runs on a thread of its own
  // that is simply left behind when the deadline passes; it owns copies of everything it uses.
  try {
    std::thread worker([transfer, url = std::string(url), userAgent = std::string(userAgent), deadlineMs] {
      std::string body;
      try {
        body = Fetch(url, userAgent, deadlineMs);
      } catch (...) {
        // out of memory: an empty answer, not std::terminate on a thread nobody waits for
      }
      std::lock_guard<std::mutex> lock(transfer->mutex);
      transfer->body = std::move(body);
      transfer->done = true;
      transfer->finished.notify_all();
    });
    worker.detach();
  } catch (const std::exception&) {
    return {};
  }
  std::unique_lock<std::mutex> lock(transfer->mutex);
  if (!transfer->finished.wait_until(lock, deadline, [&] { return transfer->done; })) return {};
  return std::move(transfer->body);
}

}  // namespace rt
