// Time left until a deadline, as the millisecond time-out that poll-style calls take. No
// GoogleTest here, so benchmarks and fuzz targets can use it too.
#pragma once

#include <chrono>

namespace testutil {

// Milliseconds from now until deadline, 0 once it has passed (never negative: a negative
// time-out would mean "wait for ever" to poll).
inline int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace testutil
