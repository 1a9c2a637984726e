#include "platform/notify/OpenerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

extern char** environ;

namespace zivuv::platform {
namespace {

// A request is the URL, a NUL and the token: the URL is fixed, and an
// activation token is a short name, so anything longer is refused whole.
constexpr std::size_t kMaxRequest = 4096;
constexpr std::size_t kMaxAnswer = 8192;

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
// sockets it passed and the watchdog) belongs to the service alone.
bool privateToTheService(std::string_view entry) {
  for (const std::string_view prefix :
       {"NOTIFY_SOCKET=", "LISTEN_", "WATCHDOG_", "XDG_ACTIVATION_TOKEN="}) {
    if (entry.starts_with(prefix)) return true;
  }
  return false;
}

// Starts xdg-open without waiting for it; empty when it started, else why
// not. Runs in the opener, which has one thread and ignores SIGCHLD, so the
// kernel reaps each xdg-open when it ends.
std::string spawnXdgOpen(const std::string& url, const std::string& activationToken) {
  const std::string program = findOnPath("xdg-open");
  if (program.empty()) return "xdg-open is not on PATH";

  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!privateToTheService(*entry)) environment.emplace_back(*entry);
  }
  if (!activationToken.empty()) environment.push_back("XDG_ACTIVATION_TOKEN=" + activationToken);
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string arg0 = "xdg-open";
  std::string arg1 = url;
  char* argv[] = {arg0.data(), arg1.data(), nullptr};

  // A failed execve is reported through this pipe; a successful one closes
  // it (close-on-exec), so the opener reads either an errno or EOF.
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::strerror(errno);
  UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);
  const int reportFd = writeEnd.get();

  const pid_t child = ::fork();
  if (child < 0) return std::string("cannot fork: ") + std::strerror(errno);
  if (child == 0) {
    // xdg-open and what it starts begin as any program does: every signal at
    // its default (an ignored SIGPIPE or SIGCHLD would survive execve and
    // break their pipelines), none blocked, and no descriptor of ours beyond
    // the standard three and the report pipe, which execve closes.
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
  writeEnd.reset();
  int error = 0;
  ssize_t n;
  while ((n = ::read(readEnd.get(), &error, sizeof error)) < 0 && errno == EINTR) {
  }
  if (n == sizeof error) return "cannot run " + program + ": " + std::strerror(error);
  return {};
}

// The opener's answer to one request (n bytes, n > kMaxRequest when it was
// cut short): what spawnXdgOpen says, or why the request is refused.
std::string answer(const char* request, std::size_t n, const std::string& allowedUrl) {
  if (n > kMaxRequest) return "the opener refuses a request that long";
  const std::string_view text(request, n);
  const std::size_t separator = text.find('\0');
  if (separator == std::string_view::npos) return "the opener refuses a malformed request";
  const std::string_view url = text.substr(0, separator);
  const std::string_view token = text.substr(separator + 1);
  if (url != allowedUrl) return "the opener opens " + allowedUrl + " alone";
  for (const char c : token) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return "the opener refuses an activation token with control bytes";
    }
  }
  return spawnXdgOpen(std::string(url), std::string(token));
}

// The opener's life: one answer per request, until the service closes its
// end or ends. An answer is never empty (an empty message would read as the
// end): "+" when xdg-open started, else "-" and why not.
[[noreturn]] void serve(int socket, const std::string& allowedUrl) {
  std::vector<char> request(kMaxRequest + 1);
  for (;;) {
    const ssize_t n = ::recv(socket, request.data(), request.size(), MSG_TRUNC);
    if (n == 0) ::_exit(0);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::_exit(1);
    }
    const std::string failure = answer(request.data(), static_cast<std::size_t>(n), allowedUrl);
    const std::string reply = (failure.empty() ? "+" : "-") + failure;
    (void)::send(socket, reply.data(), std::min(reply.size(), kMaxAnswer), MSG_NOSIGNAL);
  }
}

}  // namespace

OpenerProcess OpenerProcess::start(const std::string& allowedUrl) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    return OpenerProcess({}, 0, std::string("cannot start the opener: ") + std::strerror(errno));
  }
  UniqueFd ours(fds[0]);
  UniqueFd theirs(fds[1]);
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    return OpenerProcess({}, 0, std::string("cannot start the opener: ") + std::strerror(errno));
  }
  if (child == 0) {
    ours.reset();
    // Killed when the thread that forked it ends. A parent that ended before
    // the request took effect has left it to another parent already.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(0);
    (void)::prctl(PR_SET_NAME, "zivuv-opener");
    (void)::signal(SIGCHLD, SIG_IGN);
    (void)::signal(SIGPIPE, SIG_IGN);
    // Nothing of the service's but the standard three and this socket.
    int socket = theirs.release();
    if (socket != 3) {
      if (::dup3(socket, 3, O_CLOEXEC) < 0) ::_exit(1);
      socket = 3;
    }
    (void)::close_range(4, ~0U, 0);
    serve(socket, allowedUrl);
  }
  return OpenerProcess(std::move(ours), child, {});
}

std::string OpenerProcess::send(const std::string& url, const std::string& activationToken) {
  if (!socket_) return startError_;
  std::string request = url;
  request += '\0';
  request += activationToken;
  ssize_t n;
  while ((n = ::send(socket_.get(), request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT)) <
             0 &&
         errno == EINTR) {
  }
  if (n >= 0) return {};
  if (errno == EPIPE || errno == ECONNRESET) return "the opener has ended";
  return std::string("cannot reach the opener: ") + std::strerror(errno);
}

std::optional<std::string> OpenerProcess::receive() {
  if (!socket_) return startError_;
  std::vector<char> reply(kMaxAnswer);
  ssize_t n;
  while ((n = ::recv(socket_.get(), reply.data(), reply.size(), MSG_DONTWAIT)) < 0 &&
         errno == EINTR) {
  }
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
  if (n < 0) return std::string("cannot reach the opener: ") + std::strerror(errno);
  if (n == 0) return std::string("the opener has ended");
  if (reply[0] == '+') return std::string();
  return std::string(reply.data() + 1, static_cast<std::size_t>(n) - 1);
}

std::string OpenerProcess::open(const std::string& url, const std::string& activationToken) {
  if (!socket_) return startError_;
  // An answer that came after its request gave up on it answers nothing now.
  while (receive()) {
  }
  if (auto failure = send(url, activationToken); !failure.empty()) return failure;
  pollfd wait{socket_.get(), POLLIN, 0};
  int n;
  while ((n = ::poll(&wait, 1, static_cast<int>(kAnswerTimeout.count() * 1000))) < 0 &&
         errno == EINTR) {
  }
  if (n == 0) return "the opener did not answer";
  return receive().value_or("the opener did not answer");
}

}  // namespace zivuv::platform
