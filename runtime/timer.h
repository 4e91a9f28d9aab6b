// The period rules of the timer control, kept apart from any clock so both the real window layer
// and the fake apply exactly the same ones.
#pragma once

namespace rt {

enum class TimerChange { None, Stop, Start };

// Stores `written` into `period` and says what the timer must do: a negative value counts as 0;
// writing the stored value changes nothing (a running timer keeps its phase); 0 stops it; any other
// positive value (re)starts it, the first tick one full period after the write.
inline TimerChange WritePeriod(int& period, int written) {
  if (written < 0) written = 0;
  if (written == period) return TimerChange::None;
  period = written;
  return written == 0 ? TimerChange::Stop : TimerChange::Start;
}

}  // namespace rt
