#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "support/Deadline.h"
#include "support/Process.h"
#include "support/TempDir.h"

namespace zivuv::testing {

// A private session bus: a dbus-daemon of its own, listening in a temporary
// folder, admitting every connection of this user and allowing everything.
// It has no service folders, so no installed program is ever activated on
// it, unless `serviceDir` is given: then that one folder is searched for
// activation files (see writeServiceFile()). The daemon is killed and the
// folder removed on destruction.
class PrivateBus {
 public:
  // `env` adjusts the daemon's environment, which the services that it
  // activates inherit.
  explicit PrivateBus(std::optional<std::filesystem::path> serviceDir = std::nullopt,
                      std::map<std::string, std::optional<std::string>> env = {});
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // False when the daemon did not start or print its address in time.
  bool ok() const { return !address_.empty(); }
  const std::string& error() const { return error_; }
  // The address to put in DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }
  pid_t pid() const { return daemon_ ? daemon_->pid() : -1; }
  const std::filesystem::path& dir() const { return dir_.path(); }

  // Ends the daemon now, so the bus vanishes under its clients (they see
  // their connection close). `address()` stays as it was.
  void stop();
  bool running() const { return daemon_ && daemon_->running(); }
  // The daemon's own output, for failure messages.
  std::string daemonLog() const { return daemon_ ? daemon_->transcript() : std::string(); }

 private:
  TempDir dir_;
  std::unique_ptr<Process> daemon_;
  std::string address_;
  std::string error_;
};

// Writes `<dir>/<busName>.service` so that a bus with `dir` as its service
// folder starts `exec` (a command line, split on spaces by the daemon) on
// the first message to `busName`.
bool writeServiceFile(const std::filesystem::path& dir, const std::string& busName,
                      const std::string& exec);

}  // namespace zivuv::testing
