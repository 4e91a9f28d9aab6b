// Which bytes of a download belong to which connection: pieces of [0, total) handed out, split when a
// connection runs dry so it can help the slowest, and given back when a connection fails so another
// attempt resumes where the failed one stopped.
//
// Pure bookkeeping: no threads, no I/O, not thread-safe (the engine holds its lock around every call).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace rt {

struct Piece {
  int64_t begin = 0;
  int64_t end = 0;      // one past the last byte; shrinks when another connection takes over the tail
  int64_t done = 0;     // bytes written from `begin` on, always contiguous
  int64_t pending = 0;  // bytes past the cursor being written right now: not to be taken over
  bool busy = false;
  int failures = 0;  // failed attempts since the piece last made progress
  int64_t Cursor() const { return begin + done; }
  int64_t Remaining() const { return end - Cursor(); }
};

class Segments {
 public:
  // A length not known yet: one piece with no end, closed by EndAt when the stream ends cleanly.
  static constexpr int64_t kUnknown = -1;

  // `total` bytes in up to `count` pieces of about equal size, none smaller than `minPiece` unless
  // the whole is; always at least one piece.
  Segments(int64_t total, int count, int64_t minPiece);

  // The free piece with bytes left that starts lowest, now busy; -1 when there is none.
  int Take();
  // The free piece with bytes left whose cursor is exactly `offset` (a stream that goes on past its
  // piece can carry on without a new request); -1 when there is none.
  int TakeAt(int64_t offset);
  // The piece with bytes left whose cursor is exactly `offset`, free or busy; -1 when there is none.
  int PieceAt(int64_t offset) const;
  // Splits the busy piece with the most bytes left (beyond its pending write) and hands the caller
  // its upper half as a new busy piece; -1 when no piece has at least twice `minPiece` left.
  int StealHalf();
  // The next `bytes` of piece `id` (clamped to its end) are being written: the caller writes them
  // outside the lock, and a split meanwhile must leave them to it.
  void Reserve(int id, int64_t bytes);
  // `bytes` more of piece `id` are written; clamped to its end. Ends any reservation.
  void Advance(int id, int64_t bytes);
  // The owner of piece `id` lets go of it; what is left of it can be taken again.
  void GiveBack(int id);
  // The entity of unknown length ends at the cursor of piece `id`: that becomes the total.
  void EndAt(int id);

  Piece& At(int id) { return pieces_[static_cast<size_t>(id)]; }
  const Piece& At(int id) const { return pieces_[static_cast<size_t>(id)]; }
  int Count() const { return static_cast<int>(pieces_.size()); }
  bool HasFree() const;   // a free piece with bytes left
  int FreeCount() const;  // how many
  bool Complete() const;  // every byte of a known total is done
  int64_t Done() const;
  int64_t Total() const { return total_; }

 private:
  int64_t total_;
  int64_t minPiece_;
  std::vector<Piece> pieces_;  // never erased, so ids stay valid; ordered by nothing in particular
};

}  // namespace rt
