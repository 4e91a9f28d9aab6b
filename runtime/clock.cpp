#include "runtime/clock.h"

#include <chrono>

namespace rt {

double SteadyMs() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace rt
