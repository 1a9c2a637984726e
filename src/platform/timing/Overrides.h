#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

namespace zivuv::platform {

// Values that a test shortens so that it can wait them out: a line of the
// ZIVUV_FAULTS file (see Faults.h) gives the value, anything else leaves the
// normal one. "rescan-period <seconds>": the periodic rescan; "pending-quiet
// <seconds>": how long a pending folder is watched without a change;
// "watch-cap <count>": the most folders of a tree that are watched.
class Overrides {
 public:
  static std::chrono::nanoseconds rescanPeriod(std::chrono::nanoseconds normal);
  static std::chrono::nanoseconds pendingQuiet(std::chrono::nanoseconds normal);
  static std::size_t watchCap(std::size_t normal);
};

}  // namespace zivuv::platform
