#include "platform/notify/UrlOpener.h"

#include <signal.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "platform/log/Logger.h"

extern char** environ;

namespace zivuv::platform {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kOpenURIInterface = "org.freedesktop.portal.OpenURI";
constexpr std::uint64_t kCallTimeoutUsec = 10'000'000;

std::string findOnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  const std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= folders.size()) {
    std::size_t end = folders.find(':', start);
    if (end == std::string_view::npos) end = folders.size();
    const std::string_view folder = folders.substr(start, end - start);
    std::string candidate(folder.empty() ? std::string_view(".") : folder);
    candidate += '/';
    candidate += program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// Whether a variable of ours must not reach the programs we start: the
// service manager's hand-over to the service (its notification socket, the
// sockets it passed and the watchdog) belongs to this process alone.
bool privateToTheService(std::string_view entry) {
  for (const std::string_view prefix : {"NOTIFY_SOCKET=", "LISTEN_", "WATCHDOG_", "XDG_ACTIVATION_TOKEN="}) {
    if (entry.starts_with(prefix)) return true;
  }
  return false;
}

}  // namespace

std::string spawnXdgOpen(const std::string& url, const std::string& activationToken) {
  const std::string program = findOnPath("xdg-open");
  if (program.empty()) return "xdg-open is not on PATH";

  // Everything the child needs is made before fork: after fork in a
  // threaded process only async-signal-safe calls are allowed.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!privateToTheService(*entry)) environment.emplace_back(*entry);
  }
  if (!activationToken.empty()) {
    environment.emplace_back("XDG_ACTIVATION_TOKEN=");
    environment.back() += activationToken;
  }
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string arg0 = "xdg-open";
  std::string arg1 = url;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};

  // The opener reports a failed execve through this pipe; a successful one
  // closes it (close-on-exec), so the parent reads either an errno or EOF.
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::strerror(errno);
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);
  const int reportFd = writeEnd.get();

  // Fork twice so that the opener is reparented and never left a zombie:
  // the service installs no SIGCHLD handling.
  const pid_t child = ::fork();
  if (child < 0) return std::strerror(errno);
  if (child == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      // The opener and what it starts begin as any program does: every
      // signal at its default (an ignored SIGPIPE would survive execve and
      // break their pipelines), none blocked, and no descriptor of ours
      // beyond the standard three and the report pipe, which execve closes.
      // Only async-signal-safe calls here.
      struct sigaction standard {};
      standard.sa_handler = SIG_DFL;
      for (int signal = 1; signal < NSIG; ++signal) (void)::sigaction(signal, &standard, nullptr);
      sigset_t none;
      (void)::sigemptyset(&none);
      (void)::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (reportFd > 3) (void)::close_range(3, static_cast<unsigned>(reportFd) - 1, 0);
      (void)::close_range(static_cast<unsigned>(reportFd) + 1, ~0U, 0);
      ::execve(program.c_str(), argv, envp.data());
      const int error = errno;
      (void)!::write(reportFd, &error, sizeof error);
      ::_exit(127);
    }
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  writeEnd.reset();
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "cannot fork";
  int error = 0;
  ssize_t n;
  while ((n = ::read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (n == sizeof error) return std::string("cannot run ") + program + ": " + std::strerror(error);
  return {};
}

namespace {

// Opens the URL through xdg-open; a failure is told in one line.
void openWithXdgOpen(const std::string& url, const std::string& activationToken) {
  if (const std::string failure = spawnXdgOpen(url, activationToken); !failure.empty()) {
    Logger::shared().error("Failed to open " + url + " with xdg-open: " + failure);
  }
}

}  // namespace

struct UrlOpener::Request {
  UrlOpener* opener;
  std::string url;
  std::string token;
};

void UrlOpener::open(const std::string& url, const std::string& activationToken) {
  auto request = std::make_unique<Request>(Request{this, url, activationToken});
  const int r = sd_bus_call_method_async(bus_, nullptr, "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "NameHasOwner", &UrlOpener::onNameHasOwner,
                                         request.get(), "s", kPortalName);
  if (r < 0) {
    openWithXdgOpen(url, activationToken);
    return;
  }
  (void)request.release();  // owned by the pending call from here on
}

int UrlOpener::onNameHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  std::unique_ptr<Request> request(static_cast<Request*>(userdata));
  int owned = 0;
  if (!sd_bus_message_is_method_error(reply, nullptr) &&
      sd_bus_message_read(reply, "b", &owned) >= 0 && owned) {
    request->opener->openWithPortal(request.release());
    return 0;
  }
  // Not running: the bus may still start it on demand.
  sd_bus* bus = request->opener->bus_;
  const int r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "ListActivatableNames", &UrlOpener::onActivatableNames,
                                         request.get(), "");
  if (r < 0) {
    openWithXdgOpen(request->url, request->token);
    return 0;
  }
  (void)request.release();
  return 0;
}

int UrlOpener::onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  std::unique_ptr<Request> request(static_cast<Request*>(userdata));
  bool activatable = false;
  if (!sd_bus_message_is_method_error(reply, nullptr)) {
    char** names = nullptr;
    if (sd_bus_message_read_strv(reply, &names) >= 0 && names != nullptr) {
      for (char** name = names; *name != nullptr; ++name) {
        if (std::strcmp(*name, kPortalName) == 0) activatable = true;
        std::free(*name);
      }
      std::free(names);
    }
  }
  if (activatable) {
    request->opener->openWithPortal(request.release());
  } else {
    openWithXdgOpen(request->url, request->token);
  }
  return 0;
}

void UrlOpener::openWithPortal(Request* raw) {
  std::unique_ptr<Request> request(raw);
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &message, kPortalName, kPortalPath,
                                         kOpenURIInterface, "OpenURI");
  const SdBusMessagePtr owned(message);
  if (r >= 0) r = sd_bus_message_append(message, "ss", "", request->url.c_str());
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "{sv}");
  if (r >= 0 && !request->token.empty()) {
    r = sd_bus_message_append(message, "{sv}", "activation_token", "s", request->token.c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) {
    r = sd_bus_call_async(bus_, nullptr, message, &UrlOpener::onOpenURI, request.get(),
                          kCallTimeoutUsec);
  }
  if (r < 0) {
    openWithXdgOpen(request->url, request->token);
    return;
  }
  (void)request.release();
}

int UrlOpener::onOpenURI(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  std::unique_ptr<Request> request(static_cast<Request*>(userdata));
  const sd_bus_error* failure = sd_bus_message_get_error(reply);
  // The portal refused or vanished: it has opened nothing, so the URL still
  // goes out once, the other way. A time-out may have opened it: leave it.
  if (failure != nullptr && !sd_bus_error_has_name(failure, SD_BUS_ERROR_NO_REPLY) &&
      !sd_bus_error_has_name(failure, SD_BUS_ERROR_TIMEOUT)) {
    openWithXdgOpen(request->url, request->token);
  }
  return 0;
}

}  // namespace zivuv::platform
