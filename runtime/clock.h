// Milliseconds of a steady clock, for measuring spans; its zero means nothing.
#pragma once

namespace rt {

double SteadyMs();

}  // namespace rt
