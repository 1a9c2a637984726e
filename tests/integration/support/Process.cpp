#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace zivuv::testing {
namespace {

using namespace std::chrono_literals;

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
}

bool contains(const std::string& line, std::string_view part) {
  return line.find(part) != std::string::npos;
}

}  // namespace

Process::Process(std::vector<std::string> argv, const Environment& env) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    if (const auto eq = text.find('='); eq != text.npos) {
      merged.emplace(text.substr(0, eq), text.substr(eq + 1));
    }
  }
  for (const auto& [name, value] : env) {
    if (value) {
      merged[name] = *value;
    } else {
      merged.erase(name);
    }
  }
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : merged) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp, args;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  for (auto& arg : argv) args.push_back(arg.data());
  envp.push_back(nullptr);
  args.push_back(nullptr);

  int outPipe[2], errPipe[2];
  if (argv.empty() || ::pipe2(outPipe, O_CLOEXEC) != 0) {
    error_ = "no argv, or no pipe";
    return;
  }
  out_.reset(outPipe[0]);
  const UniqueFd outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    return;
  }
  err_.reset(errPipe[0]);
  const UniqueFd errWrite(errPipe[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), 2);
  // Whatever the test holds open stays out of the child, so that its
  // descriptor count is its own.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) {
    error_ = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return;
  }
  pid_ = pid;
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  stopReader_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  reader_ = std::thread([this] { readLoop(); });
}

Process::~Process() {
  if (pid_ > 0 && !reapNoWait()) {
    (void)::kill(-pid_, SIGKILL);
    (void)::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (reader_.joinable()) {
    const uint64_t one = 1;
    (void)!::write(stopReader_.get(), &one, sizeof one);
    reader_.join();
  }
}

void Process::readLoop() {
  std::string partial[2];
  const int fds[2] = {out_.get(), err_.get()};
  auto deliver = [&](int which, bool closing, std::string_view chunk) {
    std::lock_guard lock(mutex_);
    text_[which] += chunk;
    std::string& buffer = partial[which];
    buffer += chunk;
    std::size_t start = 0;
    for (std::size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
      lines_[which].push_back(buffer.substr(start, nl - start));
    }
    buffer.erase(0, start);
    if (closing && !buffer.empty()) lines_[which].push_back(std::move(buffer));
    if (closing) closed_[which] = true;
    changed_.notify_all();
  };
  bool open[2] = {true, true};
  while (open[0] || open[1]) {
    pollfd pfds[3] = {{open[0] ? fds[0] : -1, POLLIN, 0},
                      {open[1] ? fds[1] : -1, POLLIN, 0},
                      {stopReader_.get(), POLLIN, 0}};
    if (::poll(pfds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pfds[2].revents != 0) break;
    for (int i = 0; i < 2; ++i) {
      if (pfds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i], chunk, sizeof chunk);
      if (n <= 0 && (n == 0 || errno != EINTR)) open[i] = false;
      deliver(i, !open[i], std::string_view(chunk, n > 0 ? static_cast<std::size_t>(n) : 0));
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (open[i]) deliver(i, true, {});
  }
}

bool Process::reapNoWait() {
  std::lock_guard lock(mutex_);
  int status = 0;
  if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = decodeStatus(status);
    changed_.notify_all();
  }
  return status_.has_value();
}

std::optional<int> Process::waitExit(Deadline deadline) {
  if (pid_ <= 0) return std::nullopt;
  while (!reapNoWait()) {
    if (Clock::now() >= deadline) return std::nullopt;
    // Without a pidfd (an old kernel) this polls every 10 ms.
    pollfd pfd{pidfd_.get(), POLLIN, 0};
    const timespec ts = pidfd_ ? remainingTimespec(deadline) : timespec{0, 10'000'000};
    if (::ppoll(&pfd, 1, &ts, nullptr) < 0 && errno != EINTR) return std::nullopt;
  }
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [this] { return closed_[0] && closed_[1]; });
  return status_;
}

bool Process::signal(int sig) {
  std::lock_guard lock(mutex_);  // the pid stays ours until reaped under this lock
  return pid_ > 0 && !status_ && ::kill(pid_, sig) == 0;
}

std::vector<std::string> Process::lines(Stream stream) const {
  std::lock_guard lock(mutex_);
  return lines_[static_cast<int>(stream)];
}

std::string Process::text(Stream stream) const {
  std::lock_guard lock(mutex_);
  return text_[static_cast<int>(stream)];
}

std::string Process::transcript() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& line : lines_[0]) text += "out: " + line + "\n";
  for (const auto& line : lines_[1]) text += "err: " + line + "\n";
  return text;
}

std::size_t Process::countLines(Stream stream,
                                const std::function<bool(const std::string&)>& match) const {
  std::lock_guard lock(mutex_);
  const auto& lines = lines_[static_cast<int>(stream)];
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), match));
}

std::size_t Process::countLines(Stream stream, std::string_view substring) const {
  return countLines(stream, [substring](const std::string& line) { return contains(line, substring); });
}

bool Process::waitForLines(Stream stream, const std::function<bool(const std::string&)>& match,
                           std::size_t n, Deadline deadline) {
  std::unique_lock lock(mutex_);
  const auto& lines = lines_[static_cast<int>(stream)];
  std::size_t seen = 0, matches = 0;  // lines are matched once, however often it wakes
  for (;;) {
    for (; seen < lines.size(); ++seen) matches += match(lines[seen]) ? 1 : 0;
    if (matches >= n) return true;
    if (closed_[static_cast<int>(stream)] ||
        changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; seen < lines.size(); ++seen) matches += match(lines[seen]) ? 1 : 0;
      return matches >= n;
    }
  }
}

std::optional<std::size_t> Process::openFdCount() const {
  std::error_code ec;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    ++count;
  }
  return ec ? std::nullopt : std::optional(count);
}

std::optional<long> Process::rssKiB() const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmRSS:" && in >> value) return value;
  }
  return std::nullopt;
}

std::optional<CommandResult> runCommand(std::vector<std::string> argv, const Environment& env,
                                        Deadline deadline) {
  Process process(std::move(argv), env);
  const auto status = process.waitExit(deadline);
  if (!status) return std::nullopt;
  return CommandResult{*status, process.lines(Stream::Out), process.lines(Stream::Err)};
}

bool gitInit(const std::filesystem::path& path, std::string* error) {
  const auto result = runCommand({"git", "init", "-q", path.string()},
                                 {{"GIT_CONFIG_NOSYSTEM", "1"},
                                  {"GIT_CONFIG_GLOBAL", "/dev/null"},
                                  {"GIT_DIR", std::nullopt},
                                  {"GIT_WORK_TREE", std::nullopt},
                                  {"LC_ALL", "C"}},
                                 deadlineIn(30s));
  if (result && result->status == 0) return true;
  if (error) {
    *error = "git init " + path.string() + " failed";
    for (const auto& line : result ? result->err : std::vector<std::string>{}) *error += "\n" + line;
  }
  return false;
}

std::filesystem::path binaryPath(const std::string& name) {
  const char* dir = std::getenv("ZIVUV_BIN_DIR");
  return std::filesystem::path(dir && *dir ? dir : ZIVUV_BIN_DIR) / name;
}

}  // namespace zivuv::testing
