#include "runtime/segments.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using rt::Segments;

// Every byte of [0, total) belongs to exactly one piece, and the pieces' done parts are contiguous.
void ExpectExactCover(const Segments& s, int64_t total) {
  std::vector<int> owners(static_cast<size_t>(total), 0);
  for (int i = 0; i < s.Count(); ++i) {
    const rt::Piece& p = s.At(i);
    ASSERT_LE(p.begin, p.end);
    ASSERT_GE(p.done, 0);
    ASSERT_LE(p.Cursor(), p.end);
    for (int64_t b = p.begin; b < p.end; ++b) ++owners[static_cast<size_t>(b)];
  }
  for (int64_t b = 0; b < total; ++b) ASSERT_EQ(owners[static_cast<size_t>(b)], 1) << "byte " << b;
}

TEST(Segments, FirstSplitIsEvenAndNeverBelowTheSmallestPiece) {
  struct Case {
    int64_t total;
    int count;
    int64_t minPiece;
    int pieces;
  } cases[] = {
      {1000, 5, 100, 5}, {1003, 5, 100, 5}, {1000, 5, 400, 2}, {1000, 5, 5000, 1},
      {0, 5, 100, 1},    {7, 1, 1, 1},      {1000, 0, 100, 1}, {1 << 20, 16, 1024, 16},
  };
  for (const Case& c : cases) {
    Segments s(c.total, c.count, c.minPiece);
    EXPECT_EQ(s.Count(), c.pieces) << c.total << "/" << c.count << "/" << c.minPiece;
    ExpectExactCover(s, c.total);
    for (int i = 0; i < s.Count(); ++i) {
      if (c.total >= c.minPiece) {
        EXPECT_GE(s.At(i).end - s.At(i).begin, c.minPiece);
      }
      EXPECT_LE(s.At(i).end - s.At(i).begin, c.total / c.pieces + 1);
    }
    EXPECT_EQ(s.Complete(), c.total == 0);
  }
}

TEST(Segments, TakeHandsOutFreePiecesLowestFirstAndGiveBackResumesAtTheCursor) {
  Segments s(300, 3, 10);
  EXPECT_EQ(s.Take(), 0);
  EXPECT_EQ(s.Take(), 1);
  s.Advance(0, 40);
  s.GiveBack(0);
  EXPECT_EQ(s.FreeCount(), 2);
  EXPECT_EQ(s.Take(), 0);  // cursor 40 is lower than piece 2's 200
  EXPECT_EQ(s.At(0).Cursor(), 40);
  EXPECT_EQ(s.Take(), 2);
  EXPECT_EQ(s.Take(), -1);
  EXPECT_FALSE(s.HasFree());
  s.Advance(1, 1000);  // clamped to the piece
  EXPECT_EQ(s.At(1).Remaining(), 0);
  EXPECT_EQ(s.Done(), 140);
}

TEST(Segments, StealHalfSplitsTheBusyPieceWithMostLeft) {
  Segments s(400, 2, 10);        // [0,200) [200,400)
  EXPECT_EQ(s.StealHalf(), -1);  // nothing busy: free pieces are taken, not stolen
  s.Take();
  s.Take();
  s.Advance(0, 100);  // 100 left
  s.Advance(1, 20);   // 180 left
  int thief = s.StealHalf();
  ASSERT_EQ(thief, 2);
  EXPECT_EQ(s.At(1).end, 310);
  EXPECT_EQ(s.At(2).begin, 310);
  EXPECT_EQ(s.At(2).end, 400);
  EXPECT_TRUE(s.At(2).busy);
  ExpectExactCover(s, 400);

  // A block being written past the cursor stays with its writer.
  Segments reserved(400, 1, 10);
  reserved.Take();
  reserved.Reserve(0, 300);
  ASSERT_EQ(reserved.StealHalf(), 1);
  EXPECT_EQ(reserved.At(1).begin, 350);
  reserved.Advance(0, 300);
  reserved.Advance(1, 50);
  EXPECT_EQ(reserved.At(0).Remaining(), 50);
  reserved.Reserve(0, 35);
  EXPECT_EQ(reserved.StealHalf(), -1);  // 15 spare bytes cannot be halved into pieces of 10

  Segments small(40, 1, 10);
  small.Take();
  small.Advance(0, 21);  // 19 left: halves would be below the smallest piece
  EXPECT_EQ(small.StealHalf(), -1);
}

TEST(Segments, TakeAtContinuesOnlyAtTheExactCursor) {
  Segments s(300, 3, 10);
  s.Take();
  EXPECT_EQ(s.TakeAt(150), -1);
  EXPECT_EQ(s.TakeAt(100), 1);
  EXPECT_EQ(s.TakeAt(100), -1);  // now busy
  EXPECT_EQ(s.PieceAt(100), 1);  // busy or not
  EXPECT_EQ(s.PieceAt(200), 2);
  EXPECT_EQ(s.PieceAt(150), -1);
}

TEST(Segments, FailuresCountUntilProgress) {
  Segments s(100, 1, 10);
  s.Take();
  s.At(0).failures = 3;
  s.Advance(0, 0);
  EXPECT_EQ(s.At(0).failures, 3);
  s.Advance(0, 1);
  EXPECT_EQ(s.At(0).failures, 0);
}

TEST(Segments, UnknownLengthEndsWhereTheStreamEnds) {
  Segments s(Segments::kUnknown, 5, 10);
  EXPECT_EQ(s.Count(), 1);
  EXPECT_EQ(s.Take(), 0);
  s.Advance(0, 1234);
  EXPECT_FALSE(s.Complete());
  EXPECT_EQ(s.StealHalf(), -1);
  s.EndAt(0);
  EXPECT_EQ(s.Total(), 1234);
  EXPECT_TRUE(s.Complete());
}

// Connections that take, write, fail and steal in any order still cover every byte exactly once
// and finish.
TEST(Segments, AnyMixOfTakesStealsAndFailuresCoversTheWholeExactlyOnce) {
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    const int64_t total = 1 + static_cast<int64_t>(random() % 5000);
    Segments s(total, 1 + static_cast<int>(random() % 8), 1 + static_cast<int64_t>(random() % 64));
    std::vector<int> held;  // pieces of the simulated connections
    for (int step = 0; step < 100000 && !s.Complete(); ++step) {
      switch (random() % 4) {
        case 0:
          if (int id = s.Take(); id >= 0) held.push_back(id);
          break;
        case 1:
          if (int id = s.StealHalf(); id >= 0) held.push_back(id);
          break;
        case 2:
          if (!held.empty()) {
            // Reserve a block, let others steal meanwhile, then write no more than survived of it.
            int id = held[random() % held.size()];
            int64_t block = static_cast<int64_t>(random() % 300);
            s.Reserve(id, block);
            int64_t reserved = s.At(id).pending;
            if (int thief = s.StealHalf(); thief >= 0) {
              held.push_back(thief);
              ASSERT_GE(s.At(id).end, s.At(id).Cursor() + reserved);
            }
            s.Advance(id, reserved);
          }
          break;
        case 3:  // a connection fails, or its piece is done
          if (!held.empty()) {
            size_t k = random() % held.size();
            s.GiveBack(held[k]);
            held.erase(held.begin() + static_cast<long>(k));
          }
          break;
      }
    }
    ASSERT_TRUE(s.Complete()) << "round " << round;
    EXPECT_EQ(s.Done(), total);
    ExpectExactCover(s, total);
  }
}

}  // namespace
