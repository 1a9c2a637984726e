#include "support/StandInXdgOpen.h"

#include <poll.h>
#include <sys/inotify.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace zivuv::testing {
namespace {

std::string shellQuote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

StandInXdgOpen::StandInXdgOpen() : dir_("zivuv-xdg-open") {
  if (!dir_.ok()) return;
  // One printf is one write(2) with O_APPEND: concurrent runs never mix lines.
  const std::string script =
      "#!/bin/sh\n"
      "printf 'args=%s token=%s\\n' \"$*\" \"${XDG_ACTIVATION_TOKEN-}\" >> " +
      shellQuote(recordPath().string()) + "\n";
  using std::filesystem::perms;
  if (!writeFile(dir_ / "xdg-open", script, perms::owner_all | perms::group_read |
                                                 perms::group_exec | perms::others_read |
                                                 perms::others_exec)) {
    return;
  }
  if (!writeFile(recordPath(), "", perms::owner_read | perms::owner_write | perms::group_read |
                                       perms::group_write | perms::others_read |
                                       perms::others_write)) {
    return;
  }
  // The folder itself may be used by a child running as another user.
  std::error_code ec;
  std::filesystem::permissions(dir_.path(),
                               perms::owner_all | perms::group_read | perms::group_exec |
                                   perms::others_read | perms::others_exec,
                               std::filesystem::perm_options::replace, ec);
  inotify_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  if (!inotify_ ||
      ::inotify_add_watch(inotify_.get(), recordPath().c_str(), IN_MODIFY | IN_CLOSE_WRITE) < 0) {
    return;
  }
  ok_ = true;
}

std::string StandInXdgOpen::pathWithStandIn() const {
  const char* path = std::getenv("PATH");
  return dir().string() + ":" + (path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
}

std::vector<XdgOpenCall> StandInXdgOpen::calls() const {
  std::vector<XdgOpenCall> calls;
  std::istringstream in(readFile(recordPath()));
  std::string line;
  while (std::getline(in, line)) {
    XdgOpenCall call;
    call.line = line;
    // The last " token=" separates: an argument may itself hold the text.
    const auto split = line.rfind(" token=");
    if (line.rfind("args=", 0) == 0 && split != std::string::npos) {
      call.args = line.substr(5, split - 5);
      call.token = line.substr(split + 7);
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

bool StandInXdgOpen::waitForCalls(std::size_t n, Deadline deadline) {
  std::lock_guard lock(waitMutex_);
  for (;;) {
    // The watch exists since construction, so a line written between this
    // read and the poll below still wakes the poll.
    if (calls().size() >= n) return true;
    if (!inotify_ || Clock::now() >= deadline) return false;
    pollfd pfd{inotify_.get(), POLLIN, 0};
    const timespec ts = remainingTimespec(deadline);
    const int r = ::ppoll(&pfd, 1, &ts, nullptr);
    if (r < 0 && errno != EINTR) return false;
    if (r > 0) {
      alignas(inotify_event) char events[4096];
      while (::read(inotify_.get(), events, sizeof events) > 0) {
      }
    }
  }
}

}  // namespace zivuv::testing
