// What the download engine needs of the wire: open one request for a byte range and read its body.
// WinINet is the Windows transport (runtime/win32/transport_win32.h); an in-memory transport with
// faults on command serves the native tests (fake_transport.h).
//
// The transport does not judge responses: it hands the engine the raw status line and headers, and
// the engine (the same on every platform) decides whether a response may be written.
//
// Error policy: nothing throws. Every call may be made from any thread; connections are used by one
// thread at a time.
#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace rt {

struct TransportRequest {
  std::string url;  // http://, https:// or ftp:// as given by the task
  // The bytes asked for: [first, last], last inclusive. first == 0 and last == -1 asks for the whole
  // entity without a range (a plain GET, an FTP RETR without REST).
  int64_t first = 0;
  int64_t last = -1;
  std::string ftpUser, ftpPassword;
  int connectTimeoutMs = 20000;
  int sendTimeoutMs = 20000;
  int receiveTimeoutMs = 20000;
};

class Connection {
 public:
  virtual ~Connection() = default;
  // The response head as received: the status line and header lines, CR LF separated. An FTP
  // transport writes an equivalent head ("HTTP/1.1 206 ...", Content-Length, Content-Range) so the
  // engine judges both alike.
  virtual const std::string& Head() const = 0;
  // Up to into.size() bytes of the body: the count, 0 at its end, -1 on a failure or time-out.
  virtual int Read(std::span<char> into) = 0;
};

class Transport {
 public:
  virtual ~Transport() = default;
  // Connects and sends the request. Null on failure, with a short reason in `error`.
  virtual std::unique_ptr<Connection> Open(const TransportRequest& request, std::string& error) = 0;
  // Whether `url` is one this transport can fetch (scheme and host parse).
  virtual bool CanFetch(const std::string& url) = 0;
};

}  // namespace rt
