#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "support/Deadline.h"
#include "support/TempDir.h"
#include "support/UniqueFd.h"

namespace zivuv::testing {

// One run of the stand-in.
struct XdgOpenCall {
  std::string args;   // its arguments, joined by single spaces
  std::string token;  // XDG_ACTIVATION_TOKEN, empty when unset
  std::string line;   // the raw record line
};

// A stand-in for xdg-open: a temporary folder holding an executable
// `xdg-open` script that appends one line per run to a record file,
// "args=<arguments> token=<XDG_ACTIVATION_TOKEN>", and exits 0. Put dir()
// first on the PATH of the program under test.
class StandInXdgOpen {
 public:
  StandInXdgOpen();
  StandInXdgOpen(const StandInXdgOpen&) = delete;
  StandInXdgOpen& operator=(const StandInXdgOpen&) = delete;

  bool ok() const { return ok_; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  std::filesystem::path recordPath() const { return dir_ / "calls.log"; }
  // `dir()` followed by the current PATH, for the child's environment.
  std::string pathWithStandIn() const;

  std::vector<XdgOpenCall> calls() const;
  // Waits (inotify on the folder) until at least `n` runs were recorded.
  bool waitForCalls(std::size_t n, Deadline deadline);

 private:
  TempDir dir_;
  bool ok_ = false;
  std::mutex waitMutex_;
  UniqueFd inotify_;
};

}  // namespace zivuv::testing
