#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <thread>

namespace zivuv::testing {

using Clock = std::chrono::steady_clock;
// Every wait in the harness ends at a point on the monotonic clock.
using Deadline = Clock::time_point;

inline Deadline deadlineIn(std::chrono::milliseconds d) { return Clock::now() + d; }

// Time left until `deadline` (never negative), for ppoll().
inline timespec remainingTimespec(Deadline deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
  return {static_cast<time_t>(secs.count()),
          static_cast<long>(std::chrono::nanoseconds(left - secs).count())};
}

// Polls `predicate` with a step growing from 1 ms to 20 ms until it holds or
// `deadline` passes. Only for conditions that no descriptor or condition
// variable reports (a file's contents, /proc, another program's state).
inline bool waitUntil(const std::function<bool()>& predicate, Deadline deadline) {
  for (auto step = std::chrono::milliseconds(1);; step = std::min(step * 2, std::chrono::milliseconds(20))) {
    if (predicate()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::min<Clock::duration>(step, deadline - Clock::now()));
  }
}

}  // namespace zivuv::testing
