// The receiving rate of a download: the bytes of the last second or so over the time they took, so the
// figure follows the transfer without jumping at every block.
#pragma once
#include <cstdint>
#include <deque>

namespace updater {

class SpeedMeter {
 public:
  static constexpr double kWindowMs = 1000;

  // `bytes` arrived by `nowMs` (a steady clock). Answers the rate in bytes per second.
  double Add(double nowMs, int64_t bytes);
  void Reset() { samples_.clear(); }

 private:
  struct Sample {
    double at;
    int64_t bytes;
  };
  std::deque<Sample> samples_;  // the newest last; the oldest marks when the window began
  int64_t inWindow_ = 0;        // bytes of every sample but the oldest
};

}  // namespace updater
