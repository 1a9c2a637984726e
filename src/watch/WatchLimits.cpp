#include "watch/WatchLimits.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "platform/timing/Overrides.h"

namespace zivuv::watch {
namespace {

constexpr const char* kMaxUserWatches = "fs/inotify/max_user_watches";

std::string readSysctl(const char* name) {
  std::string value;
  std::ifstream(std::string("/proc/sys/") + name) >> value;
  return value;
}

std::string limitLine(const char* what, const char* sysctl) {
  const std::string value = readSysctl(sysctl);
  std::string name = sysctl;
  std::replace(name.begin(), name.end(), '/', '.');
  return std::string("The limit of ") + what + " is used up (" + name + " = " +
         (value.empty() ? "?" : value) + "): sysctl can raise it";
}

}  // namespace

std::string inotifyLimitLine(const WatchFailure& failure) {
  using Call = WatchFailure::Call;
  if (failure.call == Call::AddWatch && failure.error == ENOSPC) {
    return limitLine("inotify watches", kMaxUserWatches);
  }
  if (failure.call == Call::InotifyInit && failure.error == EMFILE) {
    // EMFILE also stands for the process's own limit of open files; a
    // descriptor that cannot be duplicated either tells that one.
    const int probe = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
    if (probe < 0 && errno == EMFILE) {
      return "The limit of open files of the process is used up: ulimit -n can raise it";
    }
    if (probe >= 0) (void)::close(probe);
    return limitLine("inotify instances", "fs/inotify/max_user_instances");
  }
  return {};
}

std::size_t maxUserWatches() {
  try {
    return static_cast<std::size_t>(std::stoull(readSysctl(kMaxUserWatches)));
  } catch (...) {
    return 0;
  }
}

std::size_t treeWatchCap(std::size_t maxUserWatches) {
  return maxUserWatches == 0 ? kMaxTreeWatches : std::min(maxUserWatches / 2, kMaxTreeWatches);
}

std::size_t treeWatchCap() { return platform::Overrides::watchCap(treeWatchCap(maxUserWatches())); }

}  // namespace zivuv::watch
