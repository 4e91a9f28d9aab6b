#include "runtime/download_engine.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "runtime/response.h"
#include "runtime/segments.h"

namespace rt {

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
constexpr Clock::time_point kNever = Clock::time_point::max();
constexpr char kTempSuffix[] = ".part";
constexpr int kMessageFailure = 1;    // onMessage codes: why the task failed,
constexpr int kMessageRetry = 2;      // why an attempt is retried
constexpr size_t kQueueLimit = 1024;  // events waiting for delivery before the connections wait

int Clamp32(int64_t v) {
  return static_cast<int>(std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
}

int PositiveOr(int value, int fallback) { return value > 0 ? value : fallback; }

// An event or status message waiting for the control thread.
struct Event {
  bool message = false;
  int code = 0, v2 = 0, v3 = 0, v4 = 0;
  std::string text;
};

// One connection thread, as the control thread and the thread itself see it (under Task::m).
struct Conn {
  int index = 0;           // 1-based, value2 of its events
  std::thread thread;      // touched by the control thread only
  bool ended = false;      // the thread has finished its work: joining it is immediate
  bool abandoned = false;  // the control thread gave up on it: it writes and reports nothing more
  bool started = false;    // its kTransferStarted is queued
  bool whole = false;      // its stream is the whole entity rather than a range
  bool streaming = false;  // its response is accepted: until then a whole stream may take its piece over
  int piece = -1;
  Clock::time_point deadline = kNever;  // no progress by then, and it is abandoned
};

struct Task {
  // Fixed before the control thread starts.
  int id = 0;
  TaskParam param;
  std::shared_ptr<Transport> transport;
  System* files = nullptr;
  EngineTuning tuning;
  int threads = 1;
  Ms openLimit{0}, readLimit{0};

  std::mutex m;
  std::condition_variable cv;    // connections waiting out a pause, a pace or a full queue
  std::condition_variable wake;  // the control thread: a change it acts on (events wait for its round)
  // Everything below is guarded by m, except `batch` (the control thread's alone) and what is atomic.
  std::string target;         // the finished file's name; settled at the same-name question
  std::vector<Event> events;  // waiting for the control thread, which takes them a batch at a time
  std::vector<Event> batch;   // the control thread's own: the batch being delivered
  size_t delivering = 0;      // its size, while it is delivered
  int heldBack = 0;           // connections waiting for room in the queue
  std::vector<std::shared_ptr<Conn>> conns;
  int nextConn = 1;
  bool entityKnown = false;  // the first response is judged and the file is ready for writing
  Entity entity;
  std::optional<Segments> segs;
  bool noRanges = false;
  int probeFailures = 0;
  int barren = 0;  // failed attempts since any connection last wrote a byte
  bool stopping = false, failed = false, abandoned = false;
  std::string failure;
  bool tempCreated = false;
  bool closed = false;                // kTransferFinished is on its way: later events are dropped
  bool finishing = false;             // kTransferFinished is being delivered: nothing is left to stop
  bool over = false;                  // kTransferFinished is delivered
  bool controlDone = false;           // the control thread has nothing left to do
  bool disowned = false;              // StopTask returned: the instance no longer runs this task
  std::atomic<bool> released{false};  // the instance is gone: no callbacks, no use of `files`
  std::string supplied;               // SupplyFileName during kSameNameFileExists

  // Writes name their offsets, so they run side by side outside the lock; `writers` counts them so
  // that the file is closed only when none is under way.
  std::unique_ptr<File> file;
  int writers = 0;
  bool closing = false;

  std::atomic<int64_t> unreported{0};  // for TakeReceivedBytes

  bool Quitting() const { return stopping || failed || abandoned; }
  void WakeAll() {
    cv.notify_all();
    wake.notify_all();
  }
  std::string Temp() const { return target + kTempSuffix; }
  // Queued events wait for the control thread's next round (at most 20 ms): waking it for each
  // block would cost a system call per block.
  void Queue(int code, int v2, int v3, int v4) {
    if (!closed) events.push_back({false, code, v2, v3, v4, {}});
  }
  void Message(int code, std::string text, int a = 0, int b = 0) {
    if (!closed && param.onMessage) events.push_back({true, code, a, b, 0, std::move(text)});
  }
  void Fail(std::string why) {
    if (!failed) failure = std::move(why);
    failed = true;
    WakeAll();
  }
};

using Lock = std::unique_lock<std::mutex>;

// ---- connection threads ----

// "dir\name.zip" -> "dir\name(3).zip"; a dot before the last backslash is not an extension.
std::string NumberedName(const std::string& path, int n) {
  size_t slash = path.find_last_of("\\/");
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
  return path.substr(0, dot) + "(" + std::to_string(n) + ")" + path.substr(dot);
}

// A failed attempt: the piece is tried again after a pause, or the task gives up. Under m. The
// pause, or nullopt when the task gives up. A connection that retries keeps its piece through the
// pause, all of it reserved, so that no idle connection hammers the server with it meanwhile; an
// abandoned one gives it back at once (its time-out was pause enough).
std::optional<Ms> NoteFailure(Task& t, Conn& c, const std::string& why) {
  int failures;
  if (c.piece >= 0) {
    Piece& p = t.segs->At(c.piece);
    failures = ++p.failures;
    if (c.abandoned) {
      t.segs->GiveBack(c.piece);
      c.piece = -1;
    } else {
      t.segs->Reserve(c.piece, p.Remaining());
    }
  } else {
    failures = ++t.probeFailures;
  }
  // Every connection failing in turn without a byte written anywhere is a dead server, however
  // many pieces there are to try it with.
  if (failures > t.tuning.retries || ++t.barren > t.tuning.retries + t.threads) {
    t.Fail(why);
    return std::nullopt;
  }
  t.Message(kMessageRetry, why, c.index, failures);
  return Ms(static_cast<int64_t>(t.tuning.backoffMs) << std::min(failures - 1, 10));
}

// The next piece for a connection whose stream has ended: the one it kept through a pause, else a
// free one, else half of the largest; -1 when there is none for it. Under m.
int PickWork(Task& t, Conn& c) {
  if (c.piece >= 0 && t.segs->At(c.piece).Remaining() == 0) {
    t.segs->GiveBack(c.piece);
    c.piece = -1;
  }
  if (t.noRanges) {
    // One stream of the whole entity at a time: more would each read it from the start.
    for (const auto& other : t.conns) {
      if (other.get() != &c && !other->ended && !other->abandoned && other->whole) {
        if (c.piece >= 0) t.segs->GiveBack(c.piece);
        return c.piece = -1;
      }
    }
    c.whole = true;
    if (c.piece >= 0) {
      t.segs->Reserve(c.piece, 0);
      return c.piece;
    }
    return c.piece = t.segs->Take();
  }
  c.whole = false;
  if (c.piece >= 0) {
    t.segs->Reserve(c.piece, 0);
    return c.piece;
  }
  int id = t.segs->Take();
  if (id < 0) id = t.segs->StealHalf();
  return c.piece = id;
}

// A whole stream that reaches a piece whose owner is still waiting for its response takes the piece
// over: reading on costs nothing, while stopping would mean a new request that reads from byte 0.
// The owner finds its piece gone when its response arrives. Under m.
int TakeOver(Task& t, Conn& c, int64_t offset) {
  int id = t.segs->PieceAt(offset);
  if (id < 0) return -1;
  if (!t.segs->At(id).busy) return t.segs->TakeAt(offset);
  for (const auto& owner : t.conns) {
    if (owner.get() != &c && owner->piece == id && !owner->streaming && !owner->abandoned) {
      owner->piece = -1;
      t.segs->Reserve(id, 0);
      return id;
    }
  }
  return -1;
}

void QueueRange(Task& t, Conn& c) {
  const Piece& p = t.segs->At(c.piece);
  t.Queue(kDataRange, c.index, Clamp32(p.Cursor()), Clamp32(p.Remaining()));
}

enum class Outcome : uint8_t { Done, Retry, Fatal, Quit };

// Settles the target name and creates the temporary file, before the first byte is written.
Outcome PrepareFile(Task& t, Conn& c) {
  Lock lock(t.m);
  if (t.Quitting() || c.abandoned || t.released) return Outcome::Quit;
  c.deadline = kNever;  // the owner may take its time to answer
  if (t.files->GetAttributes(t.target) != kNoFile) {
    t.supplied.clear();
    lock.unlock();
    // Straight from this thread: the answer decides what happens before anything is written.
    int reply = t.param.onEvent ? t.param.onEvent(kSameNameFileExists, c.index, 0, 0, t.id) : kRenameAutomatically;
    lock.lock();
    if (t.Quitting() || c.abandoned || t.released) return Outcome::Quit;
    if (reply == kRenameAutomatically) {
      std::string free;
      for (int n = 1; n <= 99 && free.empty(); ++n)
        if (t.files->GetAttributes(NumberedName(t.target, n)) == kNoFile) free = NumberedName(t.target, n);
      if (free.empty()) {
        t.Fail("no free name beside " + t.target);
        return Outcome::Fatal;
      }
      t.target = free;
    } else if (reply == kUseSuppliedName && !t.supplied.empty()) {
      t.target = t.supplied;
    } else {
      t.abandoned = true;
      t.WakeAll();
      return Outcome::Quit;
    }
  }
  std::unique_ptr<File> file = t.files->Open(t.Temp(), FileMode::Create);
  if (!file || (t.entity.total > 0 && !file->Resize(t.entity.total))) {
    t.Fail("cannot create " + t.Temp());
    return Outcome::Fatal;
  }
  t.tempCreated = true;
  t.file = std::move(file);
  return Outcome::Done;
}

// Reads one accepted stream that starts at entity offset `pos` into the connection's piece (and,
// for a whole stream, into the free pieces that follow it), skipping what lies before the cursor.
Outcome Stream(Task& t, Conn& c, Connection& conn, int64_t pos, std::vector<char>& buffer, std::string& why) {
  const int rate = t.param.speedLimit;
  const Clock::time_point paceStart = Clock::now();
  int64_t paced = 0;
  for (;;) {
    const int n = conn.Read(buffer);
    Lock lock(t.m);
    if (c.abandoned || t.Quitting()) return Outcome::Quit;
    if (n < 0) {
      why = "receive failed";
      return Outcome::Retry;
    }
    if (n == 0) {
      if (t.segs->Total() == Segments::kUnknown && pos >= t.segs->At(c.piece).Cursor()) {
        t.segs->EndAt(c.piece);  // no length announced: a clean end is the end
        t.entity.total = t.segs->Total();
        return Outcome::Done;
      }
      why = "the body ended early";
      return Outcome::Retry;
    }
    c.deadline = Clock::now() + t.readLimit;
    // The block [blockStart, blockEnd) may finish one piece and, in a whole stream, begin the next.
    const int64_t blockStart = pos, blockEnd = pos + n;
    while (pos < blockEnd) {
      const Piece& p = t.segs->At(c.piece);
      if (pos > p.Cursor()) {
        why = "a gap in the stream";  // cannot happen with a sane transport; never write past a hole
        return Outcome::Retry;
      }
      const int64_t from = p.Cursor();
      const int64_t length = blockEnd <= from ? 0 : std::min(blockEnd, p.end) - from;  // 0: before the cursor
      if (length > 0) {
        t.segs->Reserve(c.piece, length);
        File* file = t.file.get();
        ++t.writers;
        lock.unlock();
        const bool written = file && file->WriteAt(from, std::span<const char>(buffer.data() + (from - blockStart),
                                                                               static_cast<size_t>(length)));
        lock.lock();
        if (--t.writers == 0 && t.closing) t.cv.notify_all();
        if (c.abandoned || t.Quitting()) return Outcome::Quit;
        if (!written) {
          t.Fail("cannot write " + t.Temp());
          return Outcome::Fatal;
        }
        t.segs->Advance(c.piece, length);
        t.barren = 0;
        t.unreported += length;
        t.Queue(kDataReceived, c.index, static_cast<int>(length), 0);
        if (t.events.size() + t.delivering >= kQueueLimit) {
          // The owner's handler is slower than the wire: wait for it rather than queue without bound.
          c.deadline = kNever;
          ++t.heldBack;
          t.wake.notify_one();
          t.cv.wait(lock,
                    [&] { return t.events.size() + t.delivering < kQueueLimit / 2 || c.abandoned || t.Quitting(); });
          --t.heldBack;
          if (c.abandoned || t.Quitting()) return Outcome::Quit;
          c.deadline = Clock::now() + t.readLimit;
        }
      }
      const Piece& q = t.segs->At(c.piece);  // `p` may be gone: other connections split pieces meanwhile
      if (q.Remaining() > 0 || t.segs->Total() == Segments::kUnknown) {
        pos = blockEnd;  // the block is used up (or lay before the cursor)
        continue;
      }
      if (!c.whole) return Outcome::Done;  // also when another connection took over our tail
      // A whole stream carries on into the next piece when nobody has it yet: no new request.
      pos = q.end;
      int next = TakeOver(t, c, q.end);
      t.segs->GiveBack(c.piece);
      c.piece = next;
      if (next < 0) return Outcome::Done;
      t.Queue(kThreadContinues, c.index, 0, 0);
      QueueRange(t, c);
    }
    if (rate > 0) {
      paced += n;
      c.deadline = kNever;
      t.cv.wait_until(lock, paceStart + std::chrono::microseconds(paced * 1000000 / rate),
                      [&] { return c.abandoned || t.Quitting(); });
      c.deadline = Clock::now() + t.readLimit;
    }
  }
}

// The connection thread's work: one request after another until nothing is left for it. True when
// it ends without a failure of its own.
bool Work(Task& t, Conn& c) {
  std::vector<char> buffer(static_cast<size_t>(std::clamp(t.param.receiveBlock, 1, 1 << 20)));
  for (;;) {
    TransportRequest request;
    request.url = t.param.address;
    request.ftpUser = t.param.ftpUser;
    request.ftpPassword = t.param.ftpPassword;
    request.connectTimeoutMs = PositiveOr(t.param.connectTimeout, 20000);
    request.sendTimeoutMs = PositiveOr(t.param.sendTimeout, 20000);
    request.receiveTimeoutMs = PositiveOr(t.param.receiveTimeout, 20000);
    bool probe;
    int asked = -1;
    {
      Lock lock(t.m);
      if (c.abandoned || t.Quitting()) return true;
      probe = !t.entityKnown;
      if (probe) {
        c.whole = true;
      } else if (PickWork(t, c) < 0) {
        return true;
      }
      if (!c.whole) {
        const Piece& p = t.segs->At(c.piece);
        request.first = p.Cursor();
        request.last = p.end - 1;
      }
      asked = c.piece;
      c.deadline = Clock::now() + t.openLimit;
    }

    std::string why;
    std::unique_ptr<Connection> conn = t.transport->Open(request, why);
    std::optional<ResponseHead> head;
    if (conn) head = ParseHead(conn->Head());
    Outcome outcome = Outcome::Done;
    {
      Lock lock(t.m);
      if (c.abandoned) return false;
      if (t.Quitting()) return true;
      if (!probe && c.piece != asked) continue;  // a whole stream took the piece over meanwhile
      Verdict verdict = Verdict::Retry;
      if (!conn) {
        why = "cannot connect: " + why;
      } else if (!head) {
        why = "unreadable response";
      } else {
        verdict = probe     ? JudgeWhole(*head, nullptr)
                  : c.whole ? JudgeWhole(*head, &t.entity)
                            : JudgeRange(*head, t.entity, request.first, request.last);
        why = "status " + std::to_string(head->status);
      }
      switch (verdict) {
        case Verdict::Accept: c.streaming = true; break;
        case Verdict::WholeBody:
          // The server ignores ranges: this stream would start at 0, and the stream of the whole
          // entity that exists (or the one the control thread starts) carries the rest.
          t.noRanges = true;
          t.segs->GiveBack(c.piece);
          c.piece = -1;
          t.wake.notify_one();
          return true;
        case Verdict::Changed: t.Fail("the file changed on the server"); return false;
        case Verdict::Fatal: t.Fail(why); return false;
        case Verdict::Retry: outcome = Outcome::Retry; break;
      }
      if (outcome == Outcome::Done && probe) {
        t.entity = LearnEntity(*head);
        t.noRanges = t.entity.rangesRefused || t.entity.total < 0;
        t.segs.emplace(t.entity.total, t.noRanges ? 1 : t.threads, t.tuning.minPiece);
        c.piece = t.segs->Take();
      }
    }
    if (outcome == Outcome::Done && probe) {
      outcome = PrepareFile(t, c);
      if (outcome == Outcome::Quit) return true;
      if (outcome == Outcome::Fatal) return false;
      Lock lock(t.m);
      t.entityKnown = true;  // the control thread now starts the other connections
      t.wake.notify_one();
    }
    if (outcome == Outcome::Done) {
      bool whole, empty;
      {
        Lock lock(t.m);
        whole = c.whole;
        if (!c.started) t.Queue(kTransferStarted, c.index, Clamp32(t.entity.total), 0);
        c.started = true;
        // An entity of no bytes has no piece to read: its file is complete as created.
        empty = c.piece < 0;
        if (!empty) QueueRange(t, c);
        c.deadline = Clock::now() + t.readLimit;
      }
      if (!empty) outcome = Stream(t, c, *conn, whole ? 0 : request.first, buffer, why);
    }
    conn.reset();
    Lock lock(t.m);
    c.streaming = false;
    if (outcome == Outcome::Done && c.piece >= 0) {
      t.segs->GiveBack(c.piece);
      c.piece = -1;
    }
    if (outcome == Outcome::Quit) return !c.abandoned;
    if (outcome == Outcome::Fatal) return false;
    if (outcome == Outcome::Retry) {
      std::optional<Ms> pause = NoteFailure(t, c, why);
      if (!pause) return false;
      c.deadline = kNever;
      t.cv.wait_for(lock, *pause, [&] { return c.abandoned || t.Quitting(); });
    }
  }
}

void ConnectionMain(const std::shared_ptr<Task>& t, const std::shared_ptr<Conn>& c) {
  bool normal = false;
  try {
    normal = Work(*t, *c);
  } catch (...) {
    std::lock_guard lock(t->m);
    t->Fail("internal error");
  }
  try {
    std::lock_guard lock(t->m);
    if (!c->abandoned) {
      if (c->piece >= 0) t->segs->GiveBack(c->piece);
      c->piece = -1;
      c->whole = false;
      t->Queue(normal ? kThreadEndedNormally : kThreadEndedAbnormally, c->index, 0, 0);
    }
    c->ended = true;
    t->wake.notify_one();
  } catch (...) {
  }
}

// ---- the control thread ----

void Spawn(const std::shared_ptr<Task>& t) {  // under m
  auto c = std::make_shared<Conn>();
  c->index = t->nextConn++;
  c->thread = std::thread([t, c] { ConnectionMain(t, c); });
  t->conns.push_back(std::move(c));
}

// Gives up on a connection that is stuck in the transport: its piece goes to another, and its
// thread, detached, finds out when the transport lets go of it. Under m.
void Abandon(Task& t, Conn& c, bool failure) {
  c.abandoned = true;
  if (failure) {
    NoteFailure(t, c, "no progress within the time-out");
  } else if (c.piece >= 0) {
    t.segs->GiveBack(c.piece);
  }
  c.piece = -1;
  c.whole = false;
  t.Queue(kThreadEndedAbnormally, c.index, 0, 0);
  c.thread.detach();
}

// Delivers the events queued so far, one at a time, outside the lock. Under m.
void Deliver(Task& t, Lock& lock) {
  if (t.events.empty()) return;
  t.batch.swap(t.events);
  t.delivering = t.batch.size();
  lock.unlock();
  for (const Event& e : t.batch) {
    if (t.released) break;
    if (e.message)
      t.param.onMessage(e.code, e.text, t.param.address, e.v2, e.v3);
    else if (t.param.onEvent)
      t.param.onEvent(e.code, e.v2, e.v3, e.v4, t.id);
  }
  t.batch.clear();
  lock.lock();
  t.delivering = 0;
  if (t.heldBack > 0) t.cv.notify_all();
}

// The file, once no write is under way; null when there is none. Under m.
std::unique_ptr<File> TakeFile(Task& t, Lock& lock) {
  t.closing = true;
  t.cv.wait(lock, [&] { return t.writers == 0; });
  return std::move(t.file);
}

// Runs the connections until the task is complete, failed, abandoned or stopped; then every
// connection has ended or been abandoned. Under m.
TaskEnd Supervise(const std::shared_ptr<Task>& tp, Lock& lock) {
  Task& t = *tp;
  Spawn(tp);
  Clock::time_point quitBy = kNever;
  for (;;) {
    Deliver(t, lock);
    const Clock::time_point now = Clock::now();
    std::vector<std::thread> finished;
    for (auto it = t.conns.begin(); it != t.conns.end();) {
      Conn& c = **it;
      if (c.ended) {
        finished.push_back(std::move(c.thread));
      } else if (now > c.deadline) {
        Abandon(t, c, true);
      } else {
        ++it;
        continue;
      }
      it = t.conns.erase(it);
    }
    if (!finished.empty()) {
      lock.unlock();
      for (std::thread& thread : finished) thread.join();  // each has ended its work already
      lock.lock();
      continue;  // their last events first
    }

    const bool complete = t.entityKnown && t.segs->Complete();
    const int active = static_cast<int>(t.conns.size());
    if (t.Quitting() || complete) {
      if (active == 0) break;
      if (quitBy == kNever) quitBy = now + (t.stopping ? Ms(std::max(0, t.param.stopWait - 60)) : Ms(200));
      if (now >= quitBy) {
        for (const auto& c : t.conns) Abandon(t, *c, false);
        t.conns.clear();
        continue;
      }
    } else if (!t.entityKnown) {
      if (active == 0) Spawn(tp);  // the first connection was abandoned: ask again
    } else {
      const int wanted = t.noRanges ? 1 : t.threads;
      for (int more = std::min(wanted - active, t.segs->FreeCount()); more > 0; --more) Spawn(tp);
    }
    if (t.events.empty()) t.wake.wait_for(lock, Ms(20));
  }
  while (!t.events.empty()) Deliver(t, lock);
  if (t.entityKnown && t.segs->Complete() && !t.failed) return kEndComplete;
  if (t.failed) return kEndFailed;
  if (t.abandoned) return kEndAbandoned;
  return kEndStopped;
}

void ControlMain(const std::shared_ptr<Task>& tp) {
  Task& t = *tp;
  try {
    Lock lock(t.m);
    TaskEnd end = kEndFailed;
    try {
      end = Supervise(tp, lock);
    } catch (...) {
      t.Fail("internal error");
      for (const auto& c : t.conns) Abandon(t, *c, false);
      t.conns.clear();
    }
    t.closed = true;
    std::unique_ptr<File> file = TakeFile(t, lock);
    lock.unlock();
    const bool flushed = file && file->Flush();
    file.reset();  // closed before it is renamed or removed
    lock.lock();
    if (!t.released && t.tempCreated) {
      if (end == kEndComplete && !(flushed && t.files->RenameFile(t.Temp(), t.target))) {
        end = kEndFailed;
        t.failure = "cannot move " + t.Temp() + " into place";
      }
      // A stopped download stays under its temporary name, where the resume data describes it.
      if (end == kEndFailed) t.files->RemoveFile(t.Temp());
    }
    const bool released = t.released;
    const int64_t done = t.segs ? t.segs->Done() : 0;
    t.finishing = true;
    lock.unlock();
    if (!released) {
      if (end == kEndFailed && t.param.onMessage) t.param.onMessage(kMessageFailure, t.failure, t.param.address, 0, 0);
      if (t.param.onEvent) t.param.onEvent(kTransferFinished, end, Clamp32(done), 0, t.id);
    }
    lock.lock();
    t.over = true;
    t.controlDone = true;
    t.cv.notify_all();
  } catch (...) {
  }
}

// ---- the instance ----

std::vector<unsigned char>& PutInt(std::vector<unsigned char>& out, int64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(static_cast<uint64_t>(v) >> (8 * i)));
  return out;
}

int64_t GetInt(const std::vector<unsigned char>& in, size_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(in[at + static_cast<size_t>(i)]) << (8 * i);
  return static_cast<int64_t>(v);
}

constexpr unsigned char kProgressTag[] = {'P', 'G'};
constexpr size_t kProgressSize = 2 + 8 + 8;

class Engine final : public DownloadInstance {
 public:
  Engine(std::shared_ptr<Transport> transport, System& files, std::function<void(int)> wait, EngineTuning tuning)
      : transport_(std::move(transport)), files_(files), wait_(std::move(wait)), tuning_(tuning) {}

  ~Engine() override {
    std::vector<unsigned char> ignored;
    StopTask(ignored, 0);
    std::lock_guard lock(m_);
    if (task_) {
      Lock taskLock(task_->m);
      task_->released = true;
      // Threads left behind may go on reading; they find no file to write to.
      if (!task_->controlDone) TakeFile(*task_, taskLock).reset();
    }
    Retire();
  }

  bool StartTask(const TaskParam& param) override {
    std::lock_guard lock(m_);
    if (Running()) return false;
    Retire();
    if (param.savePath.empty() || !transport_->CanFetch(param.address)) return false;
    auto t = std::make_shared<Task>();
    t->id = NextId();
    t->param = param;
    t->param.taskKind = 4096;  // this component only downloads
    t->transport = transport_;
    t->files = &files_;
    t->tuning = tuning_;
    t->threads = std::clamp(param.threadCount, 1, 16);
    t->openLimit = Ms(static_cast<int64_t>(PositiveOr(param.connectTimeout, 20000)) +
                      PositiveOr(param.sendTimeout, 20000) + PositiveOr(param.receiveTimeout, 20000));
    t->readLimit = Ms(PositiveOr(param.receiveTimeout, 20000));
    t->target = param.savePath;
    try {
      control_ = std::thread([t] { ControlMain(t); });
    } catch (...) {
      return false;
    }
    task_ = std::move(t);
    return true;
  }

  bool StopTask(std::vector<unsigned char>& resumeData, int /*mode: one way of stopping only*/) override {
    std::shared_ptr<Task> t;
    {
      std::lock_guard lock(m_);
      if (!Running()) return false;
      t = task_;
    }
    int stopWait;
    {
      std::lock_guard lock(t->m);
      t->stopping = true;
      t->WakeAll();
      stopWait = std::max(0, t->param.stopWait);
    }
    const Clock::time_point deadline = Clock::now() + Ms(stopWait);
    for (;;) {
      {
        std::lock_guard lock(t->m);
        // Once kTransferFinished is being delivered nothing is left to wait for; its handler may
        // itself be what stops or releases us.
        if (t->controlDone || t->finishing) break;
      }
      if (Clock::now() >= deadline) break;
      if (wait_)
        wait_(20);
      else
        std::this_thread::sleep_for(Ms(20));
    }
    std::lock_guard lock(m_);
    std::lock_guard taskLock(t->m);
    // What was done of each piece: total, count, then (begin, end, done) of each, little-endian.
    resumeData = {'R', 'D', '1'};
    PutInt(resumeData, t->segs ? t->segs->Total() : -1, 8);
    PutInt(resumeData, t->segs ? t->segs->Count() : 0, 4);
    for (int i = 0; t->segs && i < t->segs->Count(); ++i) {
      const Piece& p = t->segs->At(i);
      PutInt(PutInt(PutInt(resumeData, p.begin, 8), p.end, 8), p.done, 8);
    }
    t->disowned = true;
    return true;
  }

  int QueryTaskHandle() override {
    std::lock_guard lock(m_);
    return Running() ? task_->id : -1;
  }

  bool CaptureProgress(std::vector<unsigned char>& block) override {
    std::lock_guard lock(m_);
    if (!Running()) return false;
    std::lock_guard taskLock(task_->m);
    block.assign(std::begin(kProgressTag), std::end(kProgressTag));
    PutInt(block, task_->segs ? task_->segs->Total() : 0, 8);
    PutInt(block, task_->segs ? task_->segs->Done() : 0, 8);
    return true;
  }

  int ReadProgressValue(const std::vector<unsigned char>& block, int kind, int /*reserved*/) override {
    if (block.size() != kProgressSize || block[0] != kProgressTag[0] || block[1] != kProgressTag[1]) return -1;
    // An unknown length reads as 0 rather than -1, which means an unreadable block.
    if (kind == kProgressTotal) return Clamp32(std::max<int64_t>(0, GetInt(block, 2, 8)));
    if (kind == kProgressDone) return Clamp32(GetInt(block, 10, 8));
    return -1;
  }

  int TakeReceivedBytes() override {
    std::lock_guard lock(m_);
    return Running() ? Clamp32(task_->unreported.exchange(0)) : 0;
  }

  void SupplyFileName(const std::string& path) override {
    std::lock_guard lock(m_);
    if (!task_) return;
    std::lock_guard taskLock(task_->m);
    task_->supplied = path;
  }

 private:
  static int NextId() {
    static std::atomic<int> last{0};
    int id = ++last;
    while (id <= 0) {  // after two thousand million tasks: start again at 1
      int expected = id;
      last.compare_exchange_strong(expected, 0);
      id = ++last;
    }
    return id;
  }

  bool Running() {  // under m_
    if (!task_) return false;
    std::lock_guard lock(task_->m);
    return !task_->over && !task_->disowned;
  }

  // Lets go of the previous task's control thread: joined when it is done, else detached (it owns
  // its state and will not touch ours). Under m_.
  void Retire() {
    if (!control_.joinable()) return;
    bool done;
    {
      std::lock_guard lock(task_->m);
      done = task_->controlDone;
    }
    if (done)
      control_.join();
    else
      control_.detach();
  }

  std::shared_ptr<Transport> transport_;
  System& files_;
  std::function<void(int)> wait_;
  EngineTuning tuning_;
  std::mutex m_;                // before any task's lock
  std::shared_ptr<Task> task_;  // the last task started
  std::thread control_;
};

}  // namespace

std::unique_ptr<DownloadInstance> NewDownloadInstance(std::shared_ptr<Transport> transport, System& files,
                                                      std::function<void(int ms)> wait, EngineTuning tuning) {
  return std::make_unique<Engine>(std::move(transport), files, std::move(wait), tuning);
}

}  // namespace rt
