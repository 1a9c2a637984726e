#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "support/Process.h"
#include "support/TempDir.h"

namespace zivuv::testing {

// A private session bus: a dbus-daemon of its own listening in a temporary
// folder, allowing everything. It activates no installed program: its only
// service folder is `serviceDir`, when given (see writeServiceFile()). `env`
// adjusts the daemon's environment, which the services it starts inherit.
class PrivateBus {
 public:
  explicit PrivateBus(std::optional<std::filesystem::path> serviceDir = std::nullopt,
                      const Environment& env = {});
  ~PrivateBus() { stop(); }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // False when the daemon did not start or print its address in time.
  bool ok() const { return !address_.empty(); }
  const std::string& error() const { return error_; }
  // For DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }
  // Ends the daemon now, so that the bus vanishes under its clients.
  void stop();
  // The daemon's own output, for failure messages.
  std::string daemonLog() const { return daemon_ ? daemon_->transcript() : std::string(); }

 private:
  TempDir dir_{"zivuv-bus"};
  std::unique_ptr<Process> daemon_;
  std::string address_;
  std::string error_;
};

// Writes `<dir>/<busName>.service`, so that a bus with `dir` as its service
// folder runs `exec` on the first message to `busName`.
bool writeServiceFile(const std::filesystem::path& dir, const std::string& busName,
                      const std::string& exec);

}  // namespace zivuv::testing
