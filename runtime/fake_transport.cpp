#include "runtime/fake_transport.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace rt {

using Clock = std::chrono::steady_clock;

struct FakeTransport::State {
  std::mutex m;
  std::condition_variable cv;
  bool awake = false;
  int open = 0, mostOpen = 0;
  std::vector<TransportRequest> requests;
  std::vector<double> seconds;
};

namespace {

class FakeConnection : public Connection {
 public:
  FakeConnection(std::shared_ptr<FakeTransport::State> state, std::string head, std::string body,
                 const FakeTransport::Reply& reply)
      : state_(std::move(state)), head_(std::move(head)), body_(std::move(body)), reply_(reply) {}
  ~FakeConnection() override {
    std::lock_guard lock(state_->m);
    --state_->open;
  }

  const std::string& Head() const override { return head_; }

  int Read(std::span<char> into) override {
    int64_t left = static_cast<int64_t>(body_.size()) - sent_;
    int64_t n = std::min<int64_t>(left, static_cast<int64_t>(into.size()));
    if (reply_.dropAfter >= 0) {
      if (sent_ >= reply_.dropAfter) return -1;
      n = std::min(n, reply_.dropAfter - sent_);
    }
    if (reply_.silentAfter >= 0) {
      if (sent_ >= reply_.silentAfter) {
        std::unique_lock lock(state_->m);
        state_->cv.wait_for(lock, std::chrono::seconds(5), [&] { return state_->awake; });
        return -1;
      }
      n = std::min(n, reply_.silentAfter - sent_);
    }
    if (n <= 0) return 0;
    if (reply_.rate > 0) {
      // At most 20 ms worth at a time, each chunk sent when the rate allows all of it: no burst.
      n = std::max<int64_t>(1, std::min<int64_t>(n, reply_.rate / 50));
      if (sent_ == 0) start_ = Clock::now();
      std::this_thread::sleep_until(start_ + std::chrono::microseconds((sent_ + n) * 1000000 / reply_.rate));
    }
    std::memcpy(into.data(), body_.data() + sent_, static_cast<size_t>(n));
    sent_ += n;
    return static_cast<int>(n);
  }

 private:
  std::shared_ptr<FakeTransport::State> state_;
  std::string head_, body_;
  FakeTransport::Reply reply_;
  int64_t sent_ = 0;
  Clock::time_point start_;
};

}  // namespace

FakeTransport::FakeTransport() : state_(std::make_shared<State>()) {}
FakeTransport::~FakeTransport() { Wake(); }

bool FakeTransport::CanFetch(const std::string& url) {
  return url.size() > fetchablePrefix.size() && url.compare(0, fetchablePrefix.size(), fetchablePrefix) == 0;
}

std::unique_ptr<Connection> FakeTransport::Open(const TransportRequest& request, std::string& error) {
  int number;
  {
    std::lock_guard lock(state_->m);
    number = static_cast<int>(state_->requests.size());
    state_->requests.push_back(request);
    state_->seconds.push_back(std::chrono::duration<double>(Clock::now().time_since_epoch()).count());
  }
  Reply reply;
  reply.body = content;
  reply.etag = etag;
  reply.lastModified = lastModified;
  if (shape) shape(number, request, reply);
  if (reply.headDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(reply.headDelayMs));
  if (reply.refuse) {
    error = "refused";
    return nullptr;
  }

  const int64_t size = static_cast<int64_t>(reply.body.size());
  bool ranged = !(request.first == 0 && request.last == -1) && !reply.ignoreRange;
  std::string head, body;
  if (reply.status != 0) {
    body = "error " + std::to_string(reply.status);
    head = "HTTP/1.1 " + std::to_string(reply.status) + " Error\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n";
  } else if (ranged) {
    int64_t last = request.last < 0 ? size - 1 : std::min(request.last, size - 1);
    if (request.first >= size || request.first > last) {
      head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) + "\r\n";
    } else {
      body = reply.body.substr(static_cast<size_t>(request.first), static_cast<size_t>(last - request.first + 1));
      head = "HTTP/1.1 206 Partial Content\r\n";
      if (reply.sendLength)
        head += "Content-Range: bytes " + std::to_string(request.first) + "-" + std::to_string(last) + "/" +
                std::to_string(size) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
  } else {
    body = reply.body;
    head = "HTTP/1.1 200 OK\r\n";
    if (reply.sendLength) head += "Content-Length: " + std::to_string(size) + "\r\n";
    head += reply.refuseRanges ? "Accept-Ranges: none\r\n" : "Accept-Ranges: bytes\r\n";
  }
  if (!reply.etag.empty()) head += "ETag: " + reply.etag + "\r\n";
  if (!reply.lastModified.empty()) head += "Last-Modified: " + reply.lastModified + "\r\n";
  head += "\r\n";
  body.resize(body.size() -
              static_cast<size_t>(std::clamp<int64_t>(reply.shortBy, 0, static_cast<int64_t>(body.size()))));
  {
    std::lock_guard lock(state_->m);
    state_->mostOpen = std::max(state_->mostOpen, ++state_->open);
  }
  return std::make_unique<FakeConnection>(state_, std::move(head), std::move(body), reply);
}

void FakeTransport::Wake() {
  std::lock_guard lock(state_->m);
  state_->awake = true;
  state_->cv.notify_all();
}

std::vector<TransportRequest> FakeTransport::Requests() {
  std::lock_guard lock(state_->m);
  return state_->requests;
}

std::vector<double> FakeTransport::RequestSeconds() {
  std::lock_guard lock(state_->m);
  return state_->seconds;
}

int FakeTransport::MostOpenAtOnce() {
  std::lock_guard lock(state_->m);
  return state_->mostOpen;
}

}  // namespace rt
