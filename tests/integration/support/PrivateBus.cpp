#include "support/PrivateBus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace zivuv::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kAddressFd = 3;
constexpr auto kStartTimeout = 10s;

std::string escapeXml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string configuration(const std::filesystem::path& socketDir,
                          const std::optional<std::filesystem::path>& serviceDir) {
  std::string config =
      "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
      " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
      "<busconfig>\n"
      "  <type>session</type>\n"
      "  <keep_umask/>\n"
      "  <listen>unix:dir=" + escapeXml(socketDir.string()) + "</listen>\n"
      "  <auth>EXTERNAL</auth>\n";
  if (serviceDir) config += "  <servicedir>" + escapeXml(serviceDir->string()) + "</servicedir>\n";
  config +=
      "  <policy context=\"default\">\n"
      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
      "    <allow eavesdrop=\"true\"/>\n"
      "    <allow own=\"*\"/>\n"
      "  </policy>\n"
      "</busconfig>\n";
  return config;
}

// Reads the first line that dbus-daemon prints on `fd`, up to `deadline`.
std::optional<std::string> readAddress(int fd, Deadline deadline) {
  std::string text;
  for (;;) {
    if (const auto nl = text.find('\n'); nl != std::string::npos) return text.substr(0, nl);
    pollfd pfd{fd, POLLIN, 0};
    const timespec ts = remainingTimespec(deadline);
    const int r = ::ppoll(&pfd, 1, &ts, nullptr);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    char chunk[512];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

}  // namespace

PrivateBus::PrivateBus(std::optional<std::filesystem::path> serviceDir,
                       std::map<std::string, std::optional<std::string>> env)
    : dir_("zivuv-bus") {
  if (!dir_.ok()) {
    error_ = "cannot create a temporary folder";
    return;
  }
  const auto configPath = dir_ / "session.conf";
  if (!writeFile(configPath, configuration(dir_.path(), serviceDir))) {
    error_ = "cannot write " + configPath.string();
    return;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    return;
  }
  UniqueFd addressRead(fds[0]);
  UniqueFd addressWrite(fds[1]);

  ProcessOptions options;
  options.argv = {"dbus-daemon", "--config-file=" + configPath.string(), "--nofork",
                  "--print-address=" + std::to_string(kAddressFd)};
  options.env = std::move(env);
  // The daemon must not inherit a bus address of the test's surroundings.
  options.env.try_emplace("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
  options.passFds = {{addressWrite.get(), kAddressFd}};
  daemon_ = std::make_unique<Process>(std::move(options));
  addressWrite.reset();
  if (!daemon_->ok()) {
    error_ = "cannot start dbus-daemon: " + daemon_->error();
    return;
  }
  const auto address = readAddress(addressRead.get(), Clock::now() + kStartTimeout);
  if (!address || address->empty()) {
    error_ = "dbus-daemon printed no address:\n" + daemon_->transcript();
    return;
  }
  address_ = *address;
}

PrivateBus::~PrivateBus() {
  stop();
  daemon_.reset();  // reaps before the folder goes
}

void PrivateBus::stop() {
  if (!daemon_ || !daemon_->running()) return;
  (void)daemon_->signal(SIGTERM);
  if (!daemon_->waitExit(Clock::now() + 5s)) {
    (void)daemon_->signal(SIGKILL);
    (void)daemon_->waitExit(Clock::now() + 5s);
  }
}

bool writeServiceFile(const std::filesystem::path& dir, const std::string& busName,
                      const std::string& exec) {
  return writeFile(dir / (busName + ".service"),
                   "[D-BUS Service]\nName=" + busName + "\nExec=" + exec + "\n");
}

}  // namespace zivuv::testing
