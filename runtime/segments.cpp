#include "runtime/segments.h"

#include <algorithm>
#include <limits>

namespace rt {

Segments::Segments(int64_t total, int count, int64_t minPiece)
    : total_(total), minPiece_(std::max<int64_t>(1, minPiece)) {
  if (total < 0) {
    pieces_.push_back({0, std::numeric_limits<int64_t>::max()});
    return;
  }
  int64_t n = std::clamp<int64_t>(total / minPiece_, 1, std::max(1, count));
  for (int64_t i = 0; i < n; ++i) pieces_.push_back({total * i / n, total * (i + 1) / n});
}

int Segments::Take() {
  int best = -1;
  for (int i = 0; i < Count(); ++i) {
    const Piece& p = pieces_[static_cast<size_t>(i)];
    if (!p.busy && p.Remaining() > 0 && (best < 0 || p.Cursor() < At(best).Cursor())) best = i;
  }
  if (best >= 0) At(best).busy = true;
  return best;
}

int Segments::TakeAt(int64_t offset) {
  for (int i = 0; i < Count(); ++i) {
    Piece& p = At(i);
    if (!p.busy && p.Remaining() > 0 && p.Cursor() == offset) {
      p.busy = true;
      return i;
    }
  }
  return -1;
}

int Segments::PieceAt(int64_t offset) const {
  for (int i = 0; i < Count(); ++i)
    if (At(i).Remaining() > 0 && At(i).Cursor() == offset) return i;
  return -1;
}

int Segments::StealHalf() {
  auto spare = [](const Piece& p) { return p.Remaining() - p.pending; };
  int victim = -1;
  for (int i = 0; i < Count(); ++i) {
    const Piece& p = At(i);
    if (p.busy && (victim < 0 || spare(p) > spare(At(victim)))) victim = i;
  }
  if (victim < 0 || spare(At(victim)) < 2 * minPiece_ || total_ < 0) return -1;
  Piece& v = At(victim);
  int64_t middle = v.Cursor() + v.pending + spare(v) / 2;
  Piece tail{middle, v.end};
  tail.busy = true;
  v.end = middle;
  pieces_.push_back(tail);
  return Count() - 1;
}

void Segments::Reserve(int id, int64_t bytes) {
  Piece& p = At(id);
  p.pending = std::clamp<int64_t>(bytes, 0, p.Remaining());
}

void Segments::Advance(int id, int64_t bytes) {
  Piece& p = At(id);
  p.pending = 0;
  p.done += std::clamp<int64_t>(bytes, 0, p.Remaining());
  if (bytes > 0) p.failures = 0;
}

void Segments::GiveBack(int id) {
  At(id).busy = false;
  At(id).pending = 0;
}

void Segments::EndAt(int id) {
  Piece& p = At(id);
  p.end = p.Cursor();
  total_ = p.end;
}

bool Segments::HasFree() const { return FreeCount() > 0; }

int Segments::FreeCount() const {
  return static_cast<int>(
      std::count_if(pieces_.begin(), pieces_.end(), [](const Piece& p) { return !p.busy && p.Remaining() > 0; }));
}

bool Segments::Complete() const {
  return total_ >= 0 && std::all_of(pieces_.begin(), pieces_.end(), [](const Piece& p) { return p.Remaining() == 0; });
}

int64_t Segments::Done() const {
  int64_t sum = 0;
  for (const Piece& p : pieces_) sum += p.done;
  return sum;
}

}  // namespace rt
