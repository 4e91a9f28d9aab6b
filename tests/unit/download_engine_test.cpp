#include "runtime/download_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "runtime/fake_transport.h"

namespace {

using Clock = std::chrono::steady_clock;
using rt::FakeTransport;
using rt::TransportRequest;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Files in memory, with every write remembered so a test can tell whether any byte went to the wrong
// place or was written twice. Only what the engine uses does anything.
class MemoryFiles : public rt::System {
 public:
  struct Data {
    std::mutex m;
    std::string bytes;
    std::vector<std::pair<int64_t, std::string>> writes;
  };

  bool failWrites = false;  // set before the task starts

  std::string ProgramDirectory() override { return "C:\\w"; }
  std::string CommandLine() override { return ""; }
  bool StartProcess(std::string_view) override { return false; }
  void EndProcess(unsigned) override {}
  std::string ReadUrl(std::string_view, std::string_view) override { return ""; }
  bool MakeDirectory(std::string_view) override { return false; }
  bool CopyFileTo(std::string_view, std::string_view) override { return false; }
  bool SetAttributes(std::string_view, uint32_t) override { return false; }
  bool RemoveTree(std::string_view) override { return false; }
  std::unique_ptr<rt::DirectoryListing> List(std::string_view, rt::Listing) override { return nullptr; }
  std::unique_ptr<rt::DownloadInstance> NewDownload(rt::Ui&) override { return nullptr; }

  bool RenameFile(std::string_view from, std::string_view to) override {
    std::lock_guard lock(m_);
    auto it = files_.find(std::string(from));
    if (it == files_.end()) return false;
    auto data = it->second;
    files_.erase(it);
    files_[std::string(to)] = data;
    return true;
  }
  bool RemoveFile(std::string_view path) override {
    std::lock_guard lock(m_);
    return files_.erase(std::string(path)) > 0;
  }
  uint32_t GetAttributes(std::string_view path) override {
    std::lock_guard lock(m_);
    return files_.count(std::string(path)) ? rt::kAttrNormal : rt::kNoFile;
  }
  std::unique_ptr<rt::File> Open(std::string_view path, rt::FileMode mode) override;

  void Put(const std::string& path, const std::string& bytes) {
    std::lock_guard lock(m_);
    files_[path] = std::make_shared<Data>();
    files_[path]->bytes = bytes;
  }
  // The last file created at `path`, also when it was renamed or removed since.
  std::shared_ptr<Data> Opened(const std::string& path) {
    std::lock_guard lock(m_);
    auto it = opened_.find(path);
    return it == opened_.end() ? nullptr : it->second;
  }
  std::shared_ptr<Data> Get(const std::string& path) {
    std::lock_guard lock(m_);
    auto it = files_.find(path);
    return it == files_.end() ? nullptr : it->second;
  }
  std::string Content(const std::string& path) {
    auto data = Get(path);
    if (!data) return "<missing>";
    std::lock_guard lock(data->m);
    return data->bytes;
  }
  std::vector<std::string> Names() {
    std::lock_guard lock(m_);
    std::vector<std::string> names;
    for (const auto& entry : files_) names.push_back(entry.first);
    return names;
  }

 private:
  std::mutex m_;
  std::map<std::string, std::shared_ptr<Data>> files_, opened_;
};

class MemoryFile : public rt::File {
 public:
  MemoryFile(std::shared_ptr<MemoryFiles::Data> data, bool failWrites)
      : data_(std::move(data)), failWrites_(failWrites) {}
  int64_t ReadAt(int64_t, std::span<char>) override { return -1; }
  bool WriteAt(int64_t offset, std::span<const char> bytes) override {
    if (failWrites_) return false;
    std::lock_guard lock(data_->m);
    size_t at = static_cast<size_t>(offset);
    if (data_->bytes.size() < at + bytes.size()) data_->bytes.resize(at + bytes.size());
    std::memcpy(data_->bytes.data() + at, bytes.data(), bytes.size());
    data_->writes.emplace_back(offset, std::string(bytes.data(), bytes.size()));
    return true;
  }
  int64_t Size() override {
    std::lock_guard lock(data_->m);
    return static_cast<int64_t>(data_->bytes.size());
  }
  bool Resize(int64_t size) override {
    std::lock_guard lock(data_->m);
    data_->bytes.resize(static_cast<size_t>(size));
    return true;
  }
  bool Flush() override { return true; }

 private:
  std::shared_ptr<MemoryFiles::Data> data_;
  bool failWrites_;
};

std::unique_ptr<rt::File> MemoryFiles::Open(std::string_view path, rt::FileMode mode) {
  if (mode != rt::FileMode::Create) return nullptr;
  std::lock_guard lock(m_);
  auto data = std::make_shared<Data>();
  files_[std::string(path)] = data;
  opened_[std::string(path)] = data;
  return std::make_unique<MemoryFile>(data, failWrites);
}

// The event callback is a plain function: it reports to the one recorder of the running test.
struct Seen {
  int code, v2, v3, v4, handle;
};

struct Recorder {
  std::mutex m;
  std::condition_variable cv;
  std::vector<Seen> events;
  rt::DownloadInstance* instance = nullptr;
  int sameNameReply = rt::kAbandon;
  std::string suppliedName;
  int handleDuringFinished = 0;
  bool stopDuringFinished = false;  // as the updater's installation does, ending the process
  bool stoppedDuringFinished = false;
  double stopSeconds = -1;
  bool holdData = false;  // the first kDataReceived waits for `released`, like a handler stuck in the window
  bool held = false, released = false;
  std::vector<std::pair<int, int>> progress;  // (done, total) read at each kDataReceived
  int64_t taken = 0;                          // TakeReceivedBytes summed

  void Reset(rt::DownloadInstance* owner) {
    std::lock_guard lock(m);
    events.clear();
    progress.clear();
    instance = owner;
    sameNameReply = rt::kAbandon;
    suppliedName.clear();
    handleDuringFinished = 0;
    stopDuringFinished = stoppedDuringFinished = false;
    stopSeconds = -1;
    holdData = held = released = false;
    taken = 0;
  }
};
Recorder recorder;  // outlives every thread a test may leave behind

int OnEvent(int code, int v2, int v3, int v4, int handle) {
  Recorder& r = recorder;
  if (code == rt::kSameNameFileExists && !r.suppliedName.empty()) r.instance->SupplyFileName(r.suppliedName);
  if (code == rt::kTransferFinished) r.handleDuringFinished = r.instance->QueryTaskHandle();
  if (code == rt::kTransferFinished && r.stopDuringFinished) {
    std::vector<unsigned char> resume;
    auto start = Clock::now();
    r.stoppedDuringFinished = r.instance->StopTask(resume, 2);
    r.stopSeconds = Seconds(start);
  }
  if (code == rt::kDataReceived && r.holdData) {
    std::unique_lock lock(r.m);
    r.held = true;
    r.cv.notify_all();
    r.cv.wait(lock, [&] { return r.released; });
  }
  if (code == rt::kDataReceived) {
    // What the updater does at each block: a snapshot, two values, the bytes taken.
    std::vector<unsigned char> block;
    r.instance->CaptureProgress(block);
    int done = r.instance->ReadProgressValue(block, rt::kProgressDone, 0);
    int total = r.instance->ReadProgressValue(block, rt::kProgressTotal, 0);
    int taken = r.instance->TakeReceivedBytes();
    std::lock_guard lock(r.m);
    r.progress.emplace_back(done, total);
    r.taken += taken;
  }
  std::lock_guard lock(r.m);
  r.events.push_back({code, v2, v3, v4, handle});
  r.cv.notify_all();
  return code == rt::kSameNameFileExists ? r.sameNameReply : 1;
}

std::string Pattern(size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(random());
  return s;
}

constexpr char kTarget[] = "C:\\w\\time\\temp1.zip";
constexpr char kTemp[] = "C:\\w\\time\\temp1.zip.part";

class Download : public ::testing::Test {
 protected:
  void SetUp() override {
    server->content = Pattern(200000);
    param.address = "http://127.0.0.1:8080/pkg.zip";
    param.savePath = kTarget;
    param.threadCount = 5;
    param.receiveBlock = 4096;
    param.connectTimeout = 2000;
    param.sendTimeout = 2000;
    param.receiveTimeout = 2000;
    param.stopWait = 1000;
    param.onEvent = OnEvent;
    MakeEngine();
  }
  void TearDown() override {
    server->Wake();
    engine.reset();
  }
  void MakeEngine(int backoffMs = 5) {
    rt::EngineTuning tuning;
    tuning.retries = 3;
    tuning.backoffMs = backoffMs;
    tuning.minPiece = 4096;
    engine = rt::NewDownloadInstance(
        server, files, [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }, tuning);
    recorder.Reset(engine.get());
  }

  // Runs the task to its kTransferFinished (at most 5 s) and returns that event.
  Seen Run() {
    EXPECT_TRUE(engine->StartTask(param));
    return AwaitFinished();
  }
  Seen AwaitFinished() {
    std::unique_lock lock(recorder.m);
    bool seen = recorder.cv.wait_for(lock, std::chrono::seconds(5), [] {
      return std::any_of(recorder.events.begin(), recorder.events.end(),
                         [](const Seen& e) { return e.code == rt::kTransferFinished; });
    });
    EXPECT_TRUE(seen) << "no kTransferFinished";
    return seen ? recorder.events.back() : Seen{-1, -1, -1, -1, -1};
  }
  // After kTransferFinished has returned, the instance runs no task.
  void ExpectIdleSoon() {
    for (int i = 0; i < 100 && engine->QueryTaskHandle() != -1; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(engine->QueryTaskHandle(), -1);
  }
  std::vector<Seen> Events() {
    std::lock_guard lock(recorder.m);
    return recorder.events;
  }
  int Count(int code) {
    auto events = Events();
    return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Seen& e) { return e.code == code; }));
  }

  // The file at `path` is the served content, and no byte of it was written twice or wrongly.
  void ExpectDelivered(const std::string& path) {
    EXPECT_TRUE(files.Content(path) == server->content) << path << " differs from the served file";
    ExpectWritesOnlyOf(files.Get(path), server->content, true);
    EXPECT_EQ(files.Get(kTemp), nullptr);
  }
  // Every write put the bytes of `content` at their own offset, none twice (and every byte, if `whole`).
  void ExpectWritesOnlyOf(const std::shared_ptr<MemoryFiles::Data>& data, const std::string& content, bool whole) {
    ASSERT_TRUE(data);
    std::lock_guard lock(data->m);
    std::vector<int> times(content.size(), 0);
    for (const auto& [offset, bytes] : data->writes) {
      ASSERT_LE(offset + static_cast<int64_t>(bytes.size()), static_cast<int64_t>(content.size()));
      ASSERT_EQ(bytes, content.substr(static_cast<size_t>(offset), bytes.size())) << "wrong bytes at " << offset;
      for (size_t i = 0; i < bytes.size(); ++i) ++times[static_cast<size_t>(offset) + i];
    }
    for (size_t i = 0; i < times.size(); ++i) ASSERT_LE(times[i], 1) << "byte " << i << " written twice";
    for (size_t i = 0; whole && i < times.size(); ++i) ASSERT_EQ(times[i], 1) << "byte " << i;
  }
  void ExpectNothingAtTarget() {
    EXPECT_EQ(files.Get(kTarget), nullptr);
    EXPECT_EQ(files.Get(kTemp), nullptr);
  }
  std::vector<TransportRequest> RangeRequests() {
    std::vector<TransportRequest> ranges;
    for (const auto& r : server->Requests())
      if (!(r.first == 0 && r.last == -1)) ranges.push_back(r);
    return ranges;
  }

  std::shared_ptr<FakeTransport> server = std::make_shared<FakeTransport>();
  MemoryFiles files;
  rt::TaskParam param;
  std::unique_ptr<rt::DownloadInstance> engine;
};

TEST_F(Download, RangesCoverTheFileExactlyOnceOverAllConnections) {
  // A per-connection rate keeps the first connection from finishing alone.
  server->shape = [](int, const TransportRequest&, FakeTransport::Reply& reply) { reply.rate = 1000000; };
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  EXPECT_EQ(finished.v3, 200000);
  ExpectDelivered(kTarget);
  auto requests = server->Requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests[0].first, 0);
  EXPECT_EQ(requests[0].last, -1);  // the first asks for the whole entity and learns its length
  EXPECT_EQ(requests[0].connectTimeoutMs, 2000);
  EXPECT_EQ(requests[0].receiveTimeoutMs, 2000);
  EXPECT_EQ(server->MostOpenAtOnce(), 5);
  EXPECT_GE(RangeRequests().size(), 4u);
  // Every block was reported once, and the progress seen at each was consistent.
  auto events = Events();
  int64_t reported = 0;
  for (const Seen& e : events)
    if (e.code == rt::kDataReceived) reported += e.v3;
  EXPECT_EQ(reported, 200000);
  std::lock_guard lock(recorder.m);
  EXPECT_EQ(recorder.taken, 200000);
  ASSERT_FALSE(recorder.progress.empty());
  for (auto [done, total] : recorder.progress) {
    EXPECT_EQ(total, 200000);
    EXPECT_GT(done, 0);
    EXPECT_LE(done, 200000);
  }
}

TEST_F(Download, AConnectionThatRunsDryTakesOverHalfOfTheSlowestRange) {
  // The range starting at 80000 (the third of five) crawls; the rest is quick. (The first stream is
  // held back throughout, or it would read on through every piece before the others are answered.)
  server->shape = [](int number, const TransportRequest& request, FakeTransport::Reply& reply) {
    if (number == 0) reply.rate = 250000;
    if (request.first == 80000) reply.rate = 20000;
  };
  auto start = Clock::now();
  Seen finished = Run();
  EXPECT_LT(Seconds(start), 1.5);  // alone, the slow range would take 2 s
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  bool stolen = false;
  for (const auto& r : RangeRequests()) stolen |= r.first > 80000 && r.first < 120000;
  EXPECT_TRUE(stolen) << "nobody helped the slow range";
}

TEST_F(Download, TheWholeStreamReadsOnThroughPiecesWhoseRangesAreStillUnanswered) {
  // The first stream takes 200 ms, time enough for the others to take their pieces; their answers
  // come later still.
  server->shape = [](int number, const TransportRequest&, FakeTransport::Reply& reply) {
    if (number == 0) reply.rate = 1000000;
    if (number > 0) reply.headDelayMs = 300;
  };
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  for (const Seen& e : Events()) {
    if (e.code == rt::kDataReceived) {
      EXPECT_EQ(e.v2, 1);  // every byte came over the first connection
    }
  }
  EXPECT_GE(Count(rt::kThreadContinues), 4);
}

TEST_F(Download, FailedRangesAreRetriedFromWhereTheyStoppedAfterAPause) {
  MakeEngine(60);
  server->shape = [](int number, const TransportRequest&, FakeTransport::Reply& reply) {
    if (number == 0) reply.rate = 250000;
    if (number == 1 || number == 2) reply.dropAfter = 5000;  // two ranges break mid-body
    if (number == 3) reply.status = 503;
    if (number == 4) reply.refuse = true;
  };
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  auto requests = server->Requests();
  auto seconds = server->RequestSeconds();
  ASSERT_GE(requests.size(), 3u);
  for (size_t broken : {1u, 2u}) {
    // The range resumes at the byte after the last one received, and not before the pause is over
    // (an idle connection may not snap it up meanwhile).
    int64_t resumeAt = requests[broken].first + 5000;
    auto again = std::find_if(requests.begin() + static_cast<long>(broken) + 1, requests.end(),
                              [&](const TransportRequest& r) { return r.first == resumeAt; });
    ASSERT_NE(again, requests.end()) << "request " << broken << " not resumed at " << resumeAt;
    EXPECT_GE(seconds[static_cast<size_t>(again - requests.begin())] - seconds[broken], 0.055) << "request " << broken;
  }
}

TEST_F(Download, ASilentConnectionIsAbandonedAndItsRangeDoneByAnother) {
  param.receiveTimeout = 150;
  server->shape = [](int number, const TransportRequest&, FakeTransport::Reply& reply) {
    if (number == 0) reply.rate = 250000;
    if (number == 2) reply.silentAfter = 1000;
  };
  auto start = Clock::now();
  Seen finished = Run();
  EXPECT_LT(Seconds(start), 1.5);
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  EXPECT_GE(Count(rt::kThreadEndedAbnormally), 1);
}

TEST_F(Download, PersistentFailuresEndInGivingUpWithoutAFile) {
  struct Case {
    const char* what;
    std::function<void(int, const TransportRequest&, FakeTransport::Reply&)> shape;
    size_t mostRequests;
  } cases[] = {
      {"404", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.status = 404; }, 1},
      {"500", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.status = 500; }, 4},
      {"refused", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.refuse = true; }, 4},
      // Each of the five pieces is tried four times.
      {"silent", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.silentAfter = 0; }, 21},
      // The first connection is slow so that the failing ranges, not it, decide.
      {"ranges always drop",
       [](int n, const TransportRequest&, FakeTransport::Reply& r) {
         if (n == 0) r.rate = 100000;
         if (n > 0) r.dropAfter = 0;
       },
       40},
      {"short bodies",
       [](int n, const TransportRequest&, FakeTransport::Reply& r) {
         if (n == 0) r.rate = 100000;
         if (n > 0) r.shortBy = 100;  // each attempt gets a little further, then ends cleanly but early
         if (n > 60) r.status = 500;
       },
       200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server = std::make_shared<FakeTransport>();
    server->content = Pattern(50000);
    server->shape = c.shape;
    files.failWrites = false;
    param.receiveTimeout = 100;
    MakeEngine();
    Seen finished = Run();
    EXPECT_EQ(finished.v2, rt::kEndFailed);
    EXPECT_EQ(Count(rt::kTransferFinished), 1);
    ExpectNothingAtTarget();
    EXPECT_LE(server->Requests().size(), c.mostRequests);
    ExpectIdleSoon();
    server->Wake();
  }
}

TEST_F(Download, ServersWithoutRangesOrLengthStillDeliverTheWholeFile) {
  struct Case {
    const char* what;
    std::function<void(int, const TransportRequest&, FakeTransport::Reply&)> shape;
    bool oneRequest;
  } cases[] = {
      {"ranges answered with the whole body",
       [](int, const TransportRequest&, FakeTransport::Reply& r) {
         r.ignoreRange = true;
         r.rate = 2000000;
       },
       false},
      {"ranges refused", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.refuseRanges = true; }, true},
      {"no length", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.sendLength = false; }, true},
      {"no length, no validator",
       [](int, const TransportRequest&, FakeTransport::Reply& r) {
         r.sendLength = false;
         r.etag.clear();
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server = std::make_shared<FakeTransport>();
    server->content = Pattern(100000, 3);
    server->shape = c.shape;
    MakeEngine();
    Seen finished = Run();
    EXPECT_EQ(finished.v2, rt::kEndComplete);
    EXPECT_EQ(finished.v3, 100000);
    ExpectDelivered(kTarget);
    if (c.oneRequest) {
      EXPECT_EQ(server->Requests().size(), 1u);
    }
    // However the ranges went, the whole entity was asked for once: one stream carried it all.
    auto requests = server->Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const TransportRequest& r) { return r.first == 0 && r.last == -1; }),
              1);
    files.RemoveFile(kTarget);
  }
}

TEST_F(Download, NoLengthStreamThatBreaksIsReadAgainAndSkipped) {
  server->shape = [](int number, const TransportRequest&, FakeTransport::Reply& r) {
    r.sendLength = false;
    if (number == 0) r.dropAfter = 30000;
  };
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  EXPECT_EQ(server->Requests().size(), 2u);
}

TEST_F(Download, AChangedEntityIsNeverMixedIn) {
  const std::string other = Pattern(200000, 99);
  struct Case {
    const char* what;
    bool dated;  // Last-Modified is the only validator
    std::function<void(FakeTransport::Reply&)> change;
  } cases[] = {
      {"new etag", false,
       [&](FakeTransport::Reply& r) {
         r.etag = "\"v2\"";
         r.body = other;
       }},
      {"new length", false, [&](FakeTransport::Reply& r) { r.body = other.substr(0, 150000); }},
      {"new etag, whole body", false,
       [&](FakeTransport::Reply& r) {
         r.etag = "\"v2\"";
         r.body = other;
         r.ignoreRange = true;
       }},
      {"new date", true,
       [&](FakeTransport::Reply& r) {
         r.lastModified = "Tue, 08 Dec 2026 08:00:00 GMT";
         r.body = other;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server = std::make_shared<FakeTransport>();
    server->content = Pattern(200000);
    if (c.dated) {
      server->etag.clear();
      server->lastModified = "Mon, 07 Dec 2026 08:00:00 GMT";
    }
    auto change = c.change;
    // The first connection gets the old file slowly; every later request meets the new one.
    server->shape = [change](int number, const TransportRequest&, FakeTransport::Reply& r) {
      if (number == 0)
        r.rate = 400000;
      else
        change(r);
    };
    MakeEngine();
    Seen finished = Run();
    EXPECT_EQ(finished.v2, rt::kEndFailed);
    ExpectNothingAtTarget();
    // Whatever was written before the change was noticed is the old file, each byte at its place.
    ExpectWritesOnlyOf(files.Opened(kTemp), server->content, false);
  }
}

TEST_F(Download, AnUnchangedDateKeepsTheRangesGoing) {
  server->etag.clear();
  server->lastModified = "Mon, 07 Dec 2026 08:00:00 GMT";
  server->shape = [](int number, const TransportRequest&, FakeTransport::Reply& r) {
    if (number == 0) r.rate = 400000;
  };
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  EXPECT_GE(RangeRequests().size(), 4u);
}

TEST_F(Download, StopWhileBusyReturnsWithinStopWaitAndLeavesNoPackage) {
  struct Case {
    const char* what;
    std::function<void(int, const TransportRequest&, FakeTransport::Reply&)> shape;
  } cases[] = {
      {"slow", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.rate = 50000; }},
      {"stuck in reads", [](int, const TransportRequest&, FakeTransport::Reply& r) { r.silentAfter = 5000; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server = std::make_shared<FakeTransport>();
    server->content = Pattern(200000);
    server->shape = c.shape;
    param.stopWait = 300;
    param.receiveTimeout = 5000;
    MakeEngine();
    ASSERT_TRUE(engine->StartTask(param));
    int handle = engine->QueryTaskHandle();
    EXPECT_GT(handle, 0);
    for (int i = 0; i < 200 && Count(rt::kDataReceived) < 3; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::vector<unsigned char> resume;
    auto start = Clock::now();
    EXPECT_TRUE(engine->StopTask(resume, 2));
    EXPECT_LT(Seconds(start), 0.3 + 0.15);
    EXPECT_EQ(engine->QueryTaskHandle(), -1);
    std::vector<unsigned char> again = {42};
    EXPECT_FALSE(engine->StopTask(again, 2));
    EXPECT_EQ(again, std::vector<unsigned char>{42});
    // Resume data: "RD1", the total, the pieces with what was done of each.
    ASSERT_GE(resume.size(), 15u);
    EXPECT_EQ(std::string(resume.begin(), resume.begin() + 3), "RD1");
    int64_t total = 0;
    for (int i = 0; i < 8; ++i) total |= static_cast<int64_t>(resume[3 + static_cast<size_t>(i)]) << (8 * i);
    EXPECT_EQ(total, 200000);
    int count = resume[11] | resume[12] << 8;
    EXPECT_EQ(resume.size(), 15u + 24u * static_cast<size_t>(count));
    Seen finished = AwaitFinished();
    EXPECT_EQ(finished.v2, rt::kEndStopped);
    EXPECT_EQ(finished.handle, handle);
    EXPECT_EQ(Count(rt::kTransferFinished), 1);
    EXPECT_EQ(files.Get(kTarget), nullptr);
    // What was written stays under the temporary name only, and is the file's own bytes.
    EXPECT_EQ(files.Get(kTemp), files.Opened(kTemp));
    ExpectWritesOnlyOf(files.Get(kTemp), server->content, false);
    server->Wake();
  }
}

TEST_F(Download, StoppingFromTheTransferFinishedHandlerDoesNotWait) {
  recorder.stopDuringFinished = true;
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
  EXPECT_TRUE(recorder.stoppedDuringFinished);
  EXPECT_LT(recorder.stopSeconds, 0.1);
  EXPECT_EQ(engine->QueryTaskHandle(), -1);
}

TEST_F(Download, ReleasingARunningInstanceStopsItWithinStopWait) {
  server->shape = [](int, const TransportRequest&, FakeTransport::Reply& r) { r.silentAfter = 1000; };
  param.stopWait = 200;
  ASSERT_TRUE(engine->StartTask(param));
  for (int i = 0; i < 200 && Count(rt::kDataReceived) < 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  auto start = Clock::now();
  engine.reset();
  EXPECT_LT(Seconds(start), 0.2 + 0.15);
  EXPECT_EQ(files.Get(kTarget), nullptr);
}

TEST_F(Download, TransferFinishedComesLastAndOnceWhateverGoesWrong) {
  struct Case {
    const char* what;
    std::function<void(int, const TransportRequest&, FakeTransport::Reply&)> shape;
    int end;
  } cases[] = {
      {"clean", nullptr, rt::kEndComplete},
      {"drops",
       [](int n, const TransportRequest&, FakeTransport::Reply& r) {
         if (n % 2) r.dropAfter = 3000;
       },
       rt::kEndComplete},
      {"one silent",
       [](int n, const TransportRequest&, FakeTransport::Reply& r) {
         if (n == 3) r.silentAfter = 100;
       },
       rt::kEndComplete},
      {"short",
       [](int n, const TransportRequest&, FakeTransport::Reply& r) {
         if (n == 1) r.shortBy = 10;
       },
       rt::kEndComplete},
      {"server breaks",
       [](int n, const TransportRequest&, FakeTransport::Reply& r) {
         if (n == 0) r.rate = 200000;  // slow enough that the failing ranges give up first
         if (n > 0) r.status = 500;
       },
       rt::kEndFailed},
      {"disk full", nullptr, rt::kEndFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    server = std::make_shared<FakeTransport>();
    server->content = Pattern(120000);
    server->shape = c.shape;
    files.failWrites = std::string(c.what) == "disk full";
    param.receiveTimeout = 150;
    MakeEngine();
    Seen finished = Run();
    EXPECT_EQ(finished.v2, c.end);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // nothing may follow it
    auto events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().code, rt::kTransferFinished);
    EXPECT_EQ(Count(rt::kTransferFinished), 1);
    EXPECT_EQ(recorder.handleDuringFinished, finished.handle);  // still the running task while it is told
    ExpectIdleSoon();
    // Per connection: started and given a range before its data; its end after its data, once.
    std::map<int, std::vector<int>> byConnection;
    int64_t received = 0;
    for (const Seen& e : events) {
      EXPECT_EQ(e.handle, finished.handle);
      if (e.code != rt::kTransferFinished) byConnection[e.v2].push_back(e.code);
      if (e.code == rt::kDataReceived) received += e.v3;
    }
    EXPECT_EQ(received, finished.v3);
    if (c.end == rt::kEndComplete) {
      EXPECT_EQ(received, 120000);
    }
    if (events.front().code != rt::kTransferFinished) {
      EXPECT_EQ(events.front().code, rt::kTransferStarted);
    }
    for (const auto& [connection, codes] : byConnection) {
      SCOPED_TRACE(connection);
      auto firstData = std::find(codes.begin(), codes.end(), rt::kDataReceived);
      if (firstData != codes.end()) {
        EXPECT_NE(std::find(codes.begin(), firstData, rt::kTransferStarted), firstData);
        EXPECT_NE(std::find(codes.begin(), firstData, rt::kDataRange), firstData);
      }
      int ends = static_cast<int>(std::count(codes.begin(), codes.end(), rt::kThreadEndedNormally) +
                                  std::count(codes.begin(), codes.end(), rt::kThreadEndedAbnormally));
      EXPECT_EQ(ends, 1);
      EXPECT_TRUE(codes.back() == rt::kThreadEndedNormally || codes.back() == rt::kThreadEndedAbnormally);
    }
    files.failWrites = false;
    files.RemoveFile(kTarget);
    server->Wake();
  }
}

TEST_F(Download, SameNameFileIsRenamedAbandonedOrReplacedAsTheOwnerAnswers) {
  const std::string old = "an older package";
  struct Case {
    int reply;
    std::string supplied;
    std::vector<std::string> alsoPresent;
    std::string writtenTo;  // "" when abandoned
  } cases[] = {
      {rt::kRenameAutomatically, "", {}, "C:\\w\\time\\temp1(1).zip"},
      {rt::kRenameAutomatically, "", {"C:\\w\\time\\temp1(1).zip"}, "C:\\w\\time\\temp1(2).zip"},
      {rt::kAbandon, "", {}, ""},
      {rt::kUseSuppliedName, "C:\\w\\time\\other.zip", {}, "C:\\w\\time\\other.zip"},
      {rt::kUseSuppliedName, "", {}, ""},  // nothing supplied: nothing to write to
      {77, "", {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    for (const auto& name : files.Names()) files.RemoveFile(name);
    files.Put(kTarget, old);
    for (const auto& name : c.alsoPresent) files.Put(name, old);
    server = std::make_shared<FakeTransport>();
    server->content = Pattern(60000);
    MakeEngine();
    recorder.sameNameReply = c.reply;
    recorder.suppliedName = c.supplied;
    Seen finished = Run();
    EXPECT_EQ(Count(rt::kSameNameFileExists), 1);
    EXPECT_EQ(files.Content(kTarget), old);  // never touched
    for (const auto& name : c.alsoPresent) EXPECT_EQ(files.Content(name), old);
    if (c.writtenTo.empty()) {
      EXPECT_EQ(finished.v2, rt::kEndAbandoned);
      EXPECT_EQ(finished.v3, 0);
      EXPECT_EQ(files.Names().size(), 1u + c.alsoPresent.size());
      EXPECT_EQ(server->Requests().size(), 1u);
    } else {
      EXPECT_EQ(finished.v2, rt::kEndComplete);
      ExpectDelivered(c.writtenTo);
      EXPECT_EQ(files.Get(c.writtenTo + ".part"), nullptr);
    }
    for (const auto& name : files.Names()) files.RemoveFile(name);
  }
}

TEST_F(Download, StartAndTheQueriesFollowTheTask) {
  EXPECT_EQ(engine->QueryTaskHandle(), -1);
  std::vector<unsigned char> block = {1, 2, 3};
  EXPECT_FALSE(engine->CaptureProgress(block));
  EXPECT_EQ(block, (std::vector<unsigned char>{1, 2, 3}));
  EXPECT_EQ(engine->TakeReceivedBytes(), 0);
  EXPECT_EQ(engine->ReadProgressValue({}, rt::kProgressTotal, 0), -1);
  EXPECT_EQ(engine->ReadProgressValue(block, rt::kProgressDone, 0), -1);

  rt::TaskParam bad = param;
  bad.address = "nonsense";
  EXPECT_FALSE(engine->StartTask(bad));
  bad = param;
  bad.savePath.clear();
  EXPECT_FALSE(engine->StartTask(bad));
  EXPECT_EQ(engine->QueryTaskHandle(), -1);

  server->shape = [](int, const TransportRequest&, FakeTransport::Reply& r) { r.rate = 400000; };
  param.taskKind = 1;  // forced to a download
  ASSERT_TRUE(engine->StartTask(param));
  int first = engine->QueryTaskHandle();
  EXPECT_GT(first, 0);
  EXPECT_FALSE(engine->StartTask(param));  // busy
  Seen finished = AwaitFinished();
  EXPECT_EQ(finished.handle, first);
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectIdleSoon();
  EXPECT_FALSE(engine->CaptureProgress(block));

  // Done only grows, and the last snapshot during the transfer is near the end.
  {
    std::lock_guard lock(recorder.m);
    int last = 0;
    for (auto [done, total] : recorder.progress) {
      EXPECT_GE(done, last);
      last = done;
    }
    EXPECT_EQ(last, 200000);
  }

  // The instance runs the next task under a new identifier.
  files.RemoveFile(kTarget);
  recorder.Reset(engine.get());
  Seen second = Run();
  EXPECT_GT(second.handle, first);
  auto other = rt::NewDownloadInstance(server, files, nullptr);
  recorder.Reset(other.get());
  files.RemoveFile(kTarget);
  ASSERT_TRUE(other->StartTask(param));
  EXPECT_GT(other->QueryTaskHandle(), second.handle);  // unique across instances
  AwaitFinished();
}

TEST_F(Download, ASlowHandlerHoldsTheConnectionsBackInsteadOfQueueingWithoutBound) {
  server->content = Pattern(1000000);
  param.receiveBlock = 256;  // about 4000 blocks, each an event
  recorder.holdData = true;
  ASSERT_TRUE(engine->StartTask(param));
  {
    std::unique_lock lock(recorder.m);
    ASSERT_TRUE(recorder.cv.wait_for(lock, std::chrono::seconds(5), [] { return recorder.held; }));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  size_t written = 0;
  {
    auto data = files.Get(kTemp);
    ASSERT_TRUE(data);
    std::lock_guard lock(data->m);
    for (const auto& write : data->writes) written += write.second.size();
  }
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 500000u);  // the wire waits for the handler: a bounded backlog, not the file
  {
    std::lock_guard lock(recorder.m);
    recorder.released = true;
    recorder.cv.notify_all();
  }
  Seen finished = AwaitFinished();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  ExpectDelivered(kTarget);
}

TEST_F(Download, SpeedLimitPacesEachConnection) {
  server->content = Pattern(20000);
  param.threadCount = 1;
  param.speedLimit = 50000;
  auto start = Clock::now();
  Seen finished = Run();
  EXPECT_EQ(finished.v2, rt::kEndComplete);
  EXPECT_GE(Seconds(start), (20000.0 - 4096) / 50000);  // all but the first block paced
  ExpectDelivered(kTarget);
}

}  // namespace
