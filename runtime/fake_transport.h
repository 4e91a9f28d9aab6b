// An in-memory server for the download engine's tests: it serves one entity, answers ranges as a
// well-behaved HTTP server would, and misbehaves on command, request by request (a refused
// connection, a status, a range answered with the whole body, no length, a changed entity, a drop or
// a silence after some bytes, a short body, a per-connection rate).
//
// Thread-safe; connections stay usable after the transport is gone. A silent connection blocks until
// Wake() or for at most five seconds, so a test that ends never leaves a thread blocked for long.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/transport.h"

namespace rt {

class FakeTransport : public Transport {
 public:
  // How one request is answered. Filled from the entity and the request, then handed to `shape`.
  struct Reply {
    bool refuse = false;        // Open fails, as a refused connection does
    int status = 0;             // an error status with a short body in place of the entity
    bool ignoreRange = false;   // a range request gets 200 and the whole body
    bool sendLength = true;     // Content-Length (and, for ranges, Content-Range) in the head
    bool refuseRanges = false;  // "Accept-Ranges: none" in place of "bytes"
    std::string body;           // the entity as served (a test may swap it for a changed one)
    std::string etag;           // "" sends none
    std::string lastModified;   // "" sends none
    int64_t dropAfter = -1;     // Read fails after this many body bytes
    int64_t silentAfter = -1;   // Read blocks after this many body bytes
    int64_t shortBy = 0;        // the body ends cleanly this many bytes early
    int rate = 0;               // body bytes per second from the first byte on, no burst; 0 = no limit
    int headDelayMs = 0;        // Open answers only after this long
  };

  std::string content;  // the entity
  std::string etag = "\"v1\"";
  std::string lastModified;  // sent when not empty
  // Called for every request with its number (0, 1, ... in the order of Open) before it is answered.
  // Set it before the download starts.
  std::function<void(int number, const TransportRequest& request, Reply& reply)> shape;
  // Addresses CanFetch accepts: those starting with this.
  std::string fetchablePrefix = "http://";

  FakeTransport();
  ~FakeTransport() override;

  std::unique_ptr<Connection> Open(const TransportRequest& request, std::string& error) override;
  bool CanFetch(const std::string& url) override;

  void Wake();                               // ends every silence now and from now on
  std::vector<TransportRequest> Requests();  // every request so far, in order
  std::vector<double> RequestSeconds();      // when each was made, in seconds on a steady clock
  int MostOpenAtOnce();

  struct State;  // shared with the connections

 private:
  std::shared_ptr<State> state_;
};

}  // namespace rt
