// The download engine against a server whose answers come from the input.
//
// Every head the input holds goes through the response reader and the judging first; then one whole
// task runs over an in-memory transport that answers request after request from the input's records,
// writing into the in-memory System. Whatever the server says:
//  - the task ends, with exactly one kTransferFinished, the last event;
//  - no byte is written beyond the length the task announced in kTransferStarted;
//  - the target is there only when the task completes, and then every byte of it was written, its
//    size is the announced length, the count reported and the sum of the blocks reported, and
//    (while the server's bodies are slices of its one entity) it holds that entity's bytes;
//  - a task that does not complete leaves the directory as it found it; one stopped on the way keeps
//    its temporary file, holding every byte its resume data calls done.
//
// Input: four bytes of set-up, then records separated by "\0|". The set-up: connections (1 + bits 0-1),
// the target there beforehand (bit 2) and the answer to that (bits 3-4), 7-byte blocks (bit 5), a stop
// at the first block (bit 6); the entity's length / 8; the smallest piece - 1; a seed of its bytes.
// A record is a kind, a cut and the rest:
//   'H' an honest answer to whatever was asked, the rest added to its head as further header lines;
//   'S' the rest as the head, the body the entity's bytes from where the head says it starts;
//   'R' the rest is head "\r\n\r\n" body, both as they stand;
//   anything else: the connection is refused.
// The cut: 0 the whole body; 1..127 the body ends cleanly after (cut - 1) * 4 bytes; 128.. the
// connection fails after (cut - 128) * 4 bytes. When the records run out, connections are refused.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/download_engine.h"
#include "runtime/fake_system.h"
#include "runtime/response.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::string_view kTarget = "C:\\dl\\file.bin";
constexpr std::string_view kOtherName = "C:\\dl\\other.bin";
constexpr std::string_view kEtag = "\"e1\"";

void Check(bool ok) {
  if (!ok) std::abort();
}

struct Record {
  char kind = 0;
  unsigned cut = 0;
  std::string_view rest;
};

std::vector<Record> Records(std::string_view input) {
  std::vector<Record> out;
  while (!input.empty()) {
    const size_t end = input.find(std::string_view("\0|", 2));
    const std::string_view record = input.substr(0, end);
    if (!record.empty())
      out.push_back({record[0], record.size() > 1 ? static_cast<unsigned char>(record[1]) : 0u,
                     record.size() > 2 ? record.substr(2) : std::string_view()});
    if (end == std::string_view::npos) break;
    input.remove_prefix(end + 2);
  }
  return out;
}

// What the reader and the judges answer for any head, as their contracts say.
void CheckJudging(std::string_view raw, const rt::Entity& entity) {
  const std::optional<rt::ResponseHead> head = rt::ParseHead(raw);
  if (!head) return;
  Check(head->status >= 100 && head->status <= 599 && head->contentLength >= -1);
  if (head->hasContentRange) {
    const bool span = head->rangeFirst >= 0 && head->rangeFirst <= head->rangeLast &&
                      (head->rangeTotal < 0 || head->rangeLast < head->rangeTotal);
    const bool unsatisfiable = head->rangeFirst < 0 && head->rangeTotal >= 0;
    Check(span || unsatisfiable);
  }
  for (auto [first, last] : {std::pair<int64_t, int64_t>{0, entity.total - 1}, {entity.total / 2, entity.total - 1}}) {
    if (rt::JudgeRange(*head, entity, first, last) != rt::Verdict::Accept) continue;
    Check(head->status == 206 && head->rangeFirst == first && head->rangeLast == last &&
          head->rangeTotal == entity.total && (head->contentLength < 0 || head->contentLength == last - first + 1));
  }
  if (rt::JudgeWhole(*head, nullptr) == rt::Verdict::Accept) Check(head->status == 200);
  if (rt::JudgeWhole(*head, &entity) == rt::Verdict::Accept)
    Check(head->status == 200 && head->contentLength == entity.total);
}

// ---- the server ----

class ScriptedConnection final : public rt::Connection {
 public:
  ScriptedConnection(std::string head, std::string body, int64_t failAfter)
      : head_(std::move(head)), body_(std::move(body)), failAfter_(failAfter) {}
  const std::string& Head() const override { return head_; }
  int Read(std::span<char> into) override {
    if (failAfter_ >= 0 && sent_ >= failAfter_) return -1;
    int64_t n = std::min<int64_t>(static_cast<int64_t>(body_.size()) - sent_, static_cast<int64_t>(into.size()));
    if (failAfter_ >= 0) n = std::min(n, failAfter_ - sent_);
    if (n <= 0) return 0;
    std::memcpy(into.data(), body_.data() + sent_, static_cast<size_t>(n));
    sent_ += n;
    return static_cast<int>(n);
  }

 private:
  std::string head_, body_;
  int64_t failAfter_;
  int64_t sent_ = 0;
};

class ScriptedTransport final : public rt::Transport {
 public:
  ScriptedTransport(std::vector<Record> records, std::string entity)
      : records_(std::move(records)), entity_(std::move(entity)) {}

  bool CanFetch(const std::string& url) override { return url.starts_with("http://"); }

  std::unique_ptr<rt::Connection> Open(const rt::TransportRequest& request, std::string& error) override {
    Record record;
    {
      std::lock_guard lock(m_);
      if (next_ >= records_.size()) {
        error = "no more answers";
        return nullptr;
      }
      record = records_[next_++];
      if (record.kind == 'R') raw_ = true;
    }
    std::string head, body;
    const int64_t size = static_cast<int64_t>(entity_.size());
    if (record.kind == 'H') {
      const bool ranged = !(request.first == 0 && request.last == -1);
      const int64_t last = request.last < 0 ? size - 1 : std::min(request.last, size - 1);
      if (!ranged) {
        head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n";
        body = entity_;
      } else if (request.first >= size || request.first > last) {
        head = "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(size) + "\r\n";
      } else {
        head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(request.first) + "-" +
               std::to_string(last) + "/" + std::to_string(size) +
               "\r\nContent-Length: " + std::to_string(last - request.first + 1) + "\r\n";
        body = entity_.substr(static_cast<size_t>(request.first), static_cast<size_t>(last - request.first + 1));
      }
      head += "ETag: " + std::string(kEtag) + "\r\n";
      head.append(record.rest);
      if (!record.rest.empty()) head += "\r\n";
      head += "\r\n";
    } else if (record.kind == 'S') {
      head = std::string(record.rest);
      int64_t from = 0, length = size;
      if (const std::optional<rt::ResponseHead> h = rt::ParseHead(head)) {
        // A 200 is the entity from its start, whatever else the head says.
        if (h->status == 206 && h->hasContentRange && h->rangeFirst >= 0) from = h->rangeFirst;
        if (h->contentLength >= 0) length = h->contentLength;
      }
      if (from < size)
        body = entity_.substr(static_cast<size_t>(from), static_cast<size_t>(std::min(length, size - from)));
    } else if (record.kind == 'R') {
      const size_t split = record.rest.find("\r\n\r\n");
      head = std::string(record.rest.substr(0, split == std::string_view::npos ? record.rest.size() : split + 4));
      if (split != std::string_view::npos) body = std::string(record.rest.substr(split + 4));
    } else {
      error = "refused";
      return nullptr;
    }
    int64_t failAfter = -1;
    if (record.cut >= 128) {
      failAfter = (record.cut - 128) * 4;
    } else if (record.cut > 0) {
      body.resize(std::min<size_t>(body.size(), (record.cut - 1) * 4));
    }
    return std::make_unique<ScriptedConnection>(std::move(head), std::move(body), failAfter);
  }

  bool ServedRaw() {
    std::lock_guard lock(m_);
    return raw_;
  }

 private:
  std::mutex m_;
  std::vector<Record> records_;
  size_t next_ = 0;
  bool raw_ = false;
  std::string entity_;
};

// ---- the files ----

// Which bytes of each file opened for writing were written, and how far any write reached.
struct Writes {
  std::mutex m;
  std::string path;  // of the file being written
  std::vector<bool> written;
  int64_t furthest = 0;
};

class WatchedFile final : public rt::File {
 public:
  WatchedFile(std::unique_ptr<rt::File> file, Writes& writes) : file_(std::move(file)), writes_(writes) {}
  int64_t ReadAt(int64_t offset, std::span<char> into) override { return file_->ReadAt(offset, into); }
  bool WriteAt(int64_t offset, std::span<const char> data) override {
    {
      std::lock_guard lock(writes_.m);
      Check(offset >= 0);
      const int64_t end = offset + static_cast<int64_t>(data.size());
      writes_.furthest = std::max(writes_.furthest, end);
      if (writes_.written.size() < static_cast<size_t>(end)) writes_.written.resize(static_cast<size_t>(end));
      std::fill(writes_.written.begin() + offset, writes_.written.begin() + end, true);
    }
    return file_->WriteAt(offset, data);
  }
  int64_t Size() override { return file_->Size(); }
  bool Resize(int64_t size) override { return file_->Resize(size); }
  bool Flush() override { return file_->Flush(); }

 private:
  std::unique_ptr<rt::File> file_;
  Writes& writes_;
};

class WatchedSystem final : public rt::FakeSystem {
 public:
  Writes writes;
  std::unique_ptr<rt::File> Open(std::string_view path, rt::FileMode mode) override {
    std::unique_ptr<rt::File> file = FakeSystem::Open(path, mode);
    if (!file || mode == rt::FileMode::Read) return file;
    std::lock_guard lock(writes.m);
    Check(writes.path.empty());  // one file written per task
    writes.path = path;
    return std::make_unique<WatchedFile>(std::move(file), writes);
  }
};

// ---- the owner's side ----

struct Owner {
  std::mutex m;
  std::condition_variable cv;
  int finished = 0;
  int received = 0;           // kDataReceived events
  int64_t receivedBytes = 0;  // and their counts
  int afterFinished = 0;      // events after kTransferFinished
  int end = -1;
  int64_t done = -1;
  int64_t announced = -2;  // from the first kTransferStarted; -2 when none came
  int sameNameReply = rt::kRenameAutomatically;
  rt::DownloadInstance* instance = nullptr;
};
Owner* g_owner = nullptr;

int OnEvent(int code, int v2, int v3, int, int) {
  Owner& o = *g_owner;
  if (code == rt::kSameNameFileExists) {
    if (o.sameNameReply == rt::kUseSuppliedName) o.instance->SupplyFileName(std::string(kOtherName));
    return o.sameNameReply;
  }
  std::lock_guard lock(o.m);
  if (o.finished) ++o.afterFinished;
  if (code == rt::kTransferStarted && o.announced == -2) o.announced = v3;
  if (code == rt::kDataReceived) {
    ++o.received;
    o.receivedBytes += v3;
  }
  if (code == rt::kTransferFinished) {
    ++o.finished;
    o.end = v2;
    o.done = v3;
    o.cv.notify_all();
  }
  return 0;
}

// A byte of the entity: different for every position, so that a byte put in the wrong place shows.
char EntityByte(size_t i, unsigned seed) { return static_cast<char>((i * 2654435761u >> 11) ^ (i >> 8) ^ seed); }

void RunTask(std::string_view setup, std::vector<Record> records) {
  const unsigned config = static_cast<unsigned char>(setup[0]);
  const size_t length = static_cast<size_t>(static_cast<unsigned char>(setup[1])) * 8;
  std::string entity(length, '\0');
  for (size_t i = 0; i < length; ++i) entity[i] = EntityByte(i, static_cast<unsigned char>(setup[3]));

  WatchedSystem files;
  files.PutDirectory("C:\\dl");
  const bool targetExists = config & 4;
  if (targetExists) files.PutFile(kTarget, "old");
  const std::vector<std::string> before = files.Tree("C:\\dl");

  Owner owner;
  constexpr int kReplies[] = {rt::kRenameAutomatically, rt::kAbandon, rt::kUseSuppliedName, 7};
  owner.sameNameReply = kReplies[(config >> 3) & 3];
  g_owner = &owner;

  auto transport = std::make_shared<ScriptedTransport>(std::move(records), entity);
  rt::EngineTuning tuning;
  tuning.backoffMs = 0;
  tuning.minPiece = 1 + static_cast<unsigned char>(setup[2]);
  std::unique_ptr<rt::DownloadInstance> instance = rt::NewDownloadInstance(transport, files, nullptr, tuning);
  owner.instance = instance.get();

  rt::TaskParam param;
  param.address = "http://127.0.0.1/file.bin";
  param.savePath = std::string(kTarget);
  param.threadCount = 1 + (config & 3);
  param.receiveBlock = (config & 32) ? 7 : 4096;
  param.onEvent = OnEvent;
  Check(instance->StartTask(param));
  std::vector<unsigned char> resume;
  bool stopped = false;
  if (config & 64) {
    // Stopped as soon as the first block has arrived (or the task has ended by itself).
    {
      std::unique_lock lock(owner.m);
      Check(
          owner.cv.wait_for(lock, std::chrono::seconds(10), [&] { return owner.finished > 0 || owner.received > 0; }));
    }
    stopped = instance->StopTask(resume, 0);
  }
  {
    std::unique_lock lock(owner.m);
    Check(owner.cv.wait_for(lock, std::chrono::seconds(10), [&] { return owner.finished > 0; }));  // no hang
  }
  // The control thread is done once the task no longer runs; then the instance joins it.
  const Clock::time_point by = Clock::now() + std::chrono::seconds(5);
  while (instance->QueryTaskHandle() != -1) {
    Check(Clock::now() < by);
    std::this_thread::yield();
  }
  instance.reset();
  g_owner = nullptr;

  Check(owner.finished == 1 && owner.afterFinished == 0);
  Check(owner.end >= rt::kEndComplete && owner.end <= rt::kEndAbandoned && (stopped || owner.end != rt::kEndStopped));
  Writes& w = files.writes;
  if (owner.announced >= 0) Check(w.furthest <= owner.announced);  // nothing past the announced length

  if (owner.end == rt::kEndStopped) {
    // Stopped: the file stays under its temporary name, and what the resume data calls done was written.
    Check(!files.Exists(kTarget) || (targetExists && files.Content(kTarget) == "old"));
    Check(resume.size() >= 15 && resume[0] == 'R' && resume[1] == 'D' && resume[2] == '1');
    auto number = [&](size_t at, int bytes) {
      uint64_t v = 0;
      for (int i = 0; i < bytes; ++i) v |= uint64_t{resume[at + static_cast<size_t>(i)]} << (8 * i);
      return static_cast<int64_t>(v);
    };
    const int64_t count = number(11, 4);
    Check(count >= 0 && resume.size() == 15 + static_cast<size_t>(count) * 24);
    const std::string part = w.path.empty() ? std::string() : files.Content(w.path);
    for (int64_t i = 0; i < count; ++i) {
      const size_t at = 15 + static_cast<size_t>(i) * 24;
      const int64_t begin = number(at, 8), end = number(at + 8, 8), done = number(at + 16, 8);
      Check(begin >= 0 && begin <= end && done >= 0 && done <= end - begin);
      if (done == 0) continue;
      Check(!w.path.empty() && files.Exists(w.path) && static_cast<int64_t>(w.written.size()) >= begin + done &&
            std::all_of(w.written.begin() + begin, w.written.begin() + begin + done, [](bool b) { return b; }));
      if (!transport->ServedRaw())
        Check(std::string_view(part).substr(static_cast<size_t>(begin), static_cast<size_t>(done)) ==
              std::string_view(entity).substr(static_cast<size_t>(begin), static_cast<size_t>(done)));
    }
    return;
  }
  if (owner.end != rt::kEndComplete) {
    Check(files.Tree("C:\\dl") == before);
    Check(!targetExists || files.Content(kTarget) == "old");
    return;
  }
  // Complete: the file under its settled name, every byte of it written and reported.
  std::string target(kTarget);
  if (targetExists) {
    Check(files.Content(kTarget) == "old");
    Check(owner.sameNameReply == rt::kRenameAutomatically || owner.sameNameReply == rt::kUseSuppliedName);
    target = owner.sameNameReply == rt::kUseSuppliedName ? std::string(kOtherName) : "C:\\dl\\file(1).bin";
  }
  Check(files.Exists(target) && !files.Exists(target + ".part") && w.path == target + ".part");
  Check(files.Tree("C:\\dl").size() == before.size() + 1);
  const std::string content = files.Content(target);
  Check(owner.done == static_cast<int64_t>(content.size()) && owner.receivedBytes == owner.done);
  if (owner.announced >= 0) Check(static_cast<int64_t>(content.size()) == owner.announced);
  Check(w.written.size() == content.size() &&
        std::all_of(w.written.begin(), w.written.end(), [](bool b) { return b; }));
  if (!transport->ServedRaw()) Check(content == std::string_view(entity).substr(0, content.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string_view setup = input.substr(0, 4);
  std::vector<Record> records = Records(input.substr(4));
  if (records.size() > 16) records.resize(16);

  rt::Entity entity;
  entity.total = static_cast<int64_t>(static_cast<unsigned char>(setup[1])) * 8;
  entity.etag = std::string(kEtag);
  for (const Record& record : records) CheckJudging(record.rest, entity);

  RunTask(setup, std::move(records));
  return 0;
}
