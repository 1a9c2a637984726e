#pragma once

#include <cstddef>
#include <string>

#include "watch/SerialQueue.h"

namespace zivuv::watch {

// The line that names the inotify limit a failed watch ran into and the
// sysctl that raises it; empty when the failure hit no such limit.
std::string inotifyLimitLine(const WatchFailure& failure);

// fs.inotify.max_user_watches, or 0 when it cannot be read.
std::size_t maxUserWatches();

// The most folders of a tree that one watch takes: half of the user's
// watches (maxUserWatches; 0 when unknown), so that other programs keep
// theirs, and at most kMaxTreeWatches.
inline constexpr std::size_t kMaxTreeWatches = 65536;
std::size_t treeWatchCap(std::size_t maxUserWatches);
// The same for this machine's limit, unless a test overrides the cap.
std::size_t treeWatchCap();

}  // namespace zivuv::watch
