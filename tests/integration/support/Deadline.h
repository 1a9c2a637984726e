#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>

namespace zivuv::testing {

using Clock = std::chrono::steady_clock;
// Every wait in the harness ends at a point on the monotonic clock.
using Deadline = Clock::time_point;

// The point `d` from now.
inline Deadline deadlineIn(std::chrono::milliseconds d) { return Clock::now() + d; }

// Time left until `deadline`, never negative.
inline std::chrono::nanoseconds remaining(Deadline deadline) {
  const auto left = deadline - Clock::now();
  return left.count() > 0 ? std::chrono::duration_cast<std::chrono::nanoseconds>(left)
                          : std::chrono::nanoseconds{0};
}

// Time left until `deadline` as a timespec for ppoll().
timespec remainingTimespec(Deadline deadline);

// Polls `predicate` every few milliseconds until it holds or `deadline`
// passes; returns its last value. Only for conditions that no descriptor or
// condition variable reports (a file's contents, /proc); everything else
// waits on the event itself.
bool waitUntil(const std::function<bool()>& predicate, Deadline deadline);

}  // namespace zivuv::testing
