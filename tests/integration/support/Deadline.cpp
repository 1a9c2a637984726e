#include "support/Deadline.h"

#include <thread>

namespace zivuv::testing {

timespec remainingTimespec(Deadline deadline) {
  const auto left = remaining(deadline);
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(secs.count());
  ts.tv_nsec = static_cast<long>((left - secs).count());
  return ts;
}

bool waitUntil(const std::function<bool()>& predicate, Deadline deadline) {
  // The step grows from 1 ms to 20 ms: quick conditions are seen at once,
  // slow ones do not burn a core, and the total stays bounded by `deadline`.
  auto step = std::chrono::milliseconds(1);
  for (;;) {
    if (predicate()) return true;
    const auto now = Clock::now();
    if (now >= deadline) return predicate();
    std::this_thread::sleep_for(std::min<Clock::duration>(step, deadline - now));
    step = std::min(step * 2, std::chrono::milliseconds(20));
  }
}

}  // namespace zivuv::testing
