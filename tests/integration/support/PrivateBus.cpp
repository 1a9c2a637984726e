#include "support/PrivateBus.h"

#include <signal.h>

#include <chrono>

namespace zivuv::testing {

using namespace std::chrono_literals;

PrivateBus::PrivateBus(std::optional<std::filesystem::path> serviceDir, const Environment& env) {
  const auto config = dir_ / "session.conf";
  if (!writeFile(config,
                 "<busconfig><type>session</type><keep_umask/><listen>unix:dir=" +
                     dir_.path().string() + "</listen><auth>EXTERNAL</auth>" +
                     (serviceDir ? "<servicedir>" + serviceDir->string() + "</servicedir>" : "") +
                     "<policy context=\"default\"><allow send_destination=\"*\" "
                     "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/>"
                     "</policy></busconfig>\n")) {
    error_ = "cannot write " + config.string();
    return;
  }
  Environment daemonEnv = env;
  // The daemon must not inherit a bus address of the test's surroundings.
  daemonEnv.try_emplace("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  daemon_ = std::make_unique<Process>(
      std::vector<std::string>{"dbus-daemon", "--config-file=" + config.string(), "--nofork",
                               "--print-address"},
      daemonEnv);
  if (!daemon_->waitForLines(Stream::Out, [](const std::string&) { return true; }, 1,
                             deadlineIn(10s))) {
    error_ = "dbus-daemon printed no address: " + daemon_->error() + "\n" + daemon_->transcript();
    return;
  }
  address_ = daemon_->lines(Stream::Out).front();
}

void PrivateBus::stop() {
  if (!daemon_ || !daemon_->signal(SIGTERM)) return;
  if (!daemon_->waitExit(deadlineIn(5s))) {
    (void)daemon_->signal(SIGKILL);
    (void)daemon_->waitExit(deadlineIn(5s));
  }
}

bool writeServiceFile(const std::filesystem::path& dir, const std::string& busName,
                      const std::string& exec) {
  return writeFile(dir / (busName + ".service"),
                   "[D-BUS Service]\nName=" + busName + "\nExec=" + exec + "\n");
}

}  // namespace zivuv::testing
