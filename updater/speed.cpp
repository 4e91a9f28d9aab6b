#include "updater/speed.h"

namespace updater {

double SpeedMeter::Add(double nowMs, int64_t bytes) {
  if (samples_.empty()) {
    // The first block's bytes arrived over an unknown time: it only starts the window.
    samples_.push_back({nowMs, bytes});
    return 0;
  }
  samples_.push_back({nowMs, bytes});
  inWindow_ += bytes;
  // Keep one sample at or before the window's start, so the span stays about kWindowMs long.
  while (samples_.size() > 2 && nowMs - samples_[1].at >= kWindowMs) {
    samples_.pop_front();
    inWindow_ -= samples_.front().bytes;
  }
  const double span = nowMs - samples_.front().at;
  return span > 0 ? double(inWindow_) * 1000.0 / span : 0;
}

}  // namespace updater
