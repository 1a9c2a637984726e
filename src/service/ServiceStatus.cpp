#include "service/ServiceStatus.h"

#include <fstream>

#include "platform/sandbox/Landlock.h"
#include "platform/text/Text.h"

namespace zivuv {

std::string_view stateName(ServiceState state) {
  switch (state) {
    case ServiceState::NotMonitoring: return "not-monitoring";
    case ServiceState::Idle: return "idle";
    case ServiceState::Settling: return "settling";
    case ServiceState::Scanning: return "scanning";
    case ServiceState::WaitingForFolder: return "waiting-for-folder";
    case ServiceState::CannotWatch: return "cannot-watch";
  }
  return "not-monitoring";
}

std::string statusLine(const ServiceStatus& status) {
  std::string line;
  switch (status.state) {
    case ServiceState::NotMonitoring: line = "No folder to watch"; break;
    case ServiceState::CannotWatch: line = "Cannot watch " + status.folder; break;
    case ServiceState::WaitingForFolder: line = "Waiting for " + status.folder + " to appear"; break;
    case ServiceState::Idle:
    case ServiceState::Settling:
    case ServiceState::Scanning: line = "Watching " + status.folder + status.lastAdded; break;
  }
  return platform::toValidUtf8(platform::escapeControlBytes(line));
}

std::vector<std::string> readConfinement() {
  std::vector<std::string> found;
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::string key = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(" \t"));
    if (key == "NoNewPrivs" && value == "1") found.emplace_back("no-new-privileges");
    if (key == "Seccomp" && value == "1") found.emplace_back("seccomp-strict");
    if (key == "Seccomp" && value == "2") found.emplace_back("seccomp");
    if (key == "CapEff" && value.find_first_not_of('0') == std::string::npos) {
      found.emplace_back("no-capabilities");
    }
  }
  // The kernel does not show a Landlock domain there.
  if (const int abi = platform::landlockAbi(); abi > 0) {
    found.push_back("landlock:" + std::to_string(abi));
  }
  return found;
}

}  // namespace zivuv
