#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace zivuv::testing {
namespace {

// Decodes a waitpid() status: the exit code, or minus the ending signal.
int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return -1;
}

std::map<std::string, std::string> buildEnvironment(const ProcessOptions& options) {
  std::map<std::string, std::string> env;
  if (!options.cleanEnvironment) {
    for (char** entry = environ; entry && *entry; ++entry) {
      const std::string_view text(*entry);
      const auto eq = text.find('=');
      if (eq == std::string_view::npos) continue;
      env.emplace(std::string(text.substr(0, eq)), std::string(text.substr(eq + 1)));
    }
  }
  for (const auto& [name, value] : options.env) {
    if (value) {
      env[name] = *value;
    } else {
      env.erase(name);
    }
  }
  return env;
}

// The program to execute: argv[0] as given when it names a path, else the
// first executable match in the child's PATH (as execvp would search it).
std::optional<std::string> resolveProgram(const std::string& name,
                                          const std::map<std::string, std::string>& env) {
  if (name.find('/') != std::string::npos) return name;
  const auto it = env.find("PATH");
  const std::string path = it != env.end() ? it->second : "/usr/local/bin:/usr/bin:/bin";
  std::size_t begin = 0;
  for (;;) {
    const auto end = path.find(':', begin);
    std::string dir = path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    if (end == std::string::npos) return std::nullopt;
    begin = end + 1;
  }
}

std::optional<long> statusField(pid_t pid, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 &&
        line[field.size()] == ':') {
      std::istringstream value(line.substr(field.size() + 1));
      long number = 0;
      if (value >> number) return number;
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// Frees posix_spawn's attribute objects on every path out of start().
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};
struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
};

}  // namespace

Process::Process(ProcessOptions options) { start(std::move(options)); }

Process::Process(std::vector<std::string> argv,
                 std::map<std::string, std::optional<std::string>> env) {
  ProcessOptions options;
  options.argv = std::move(argv);
  options.env = std::move(env);
  start(std::move(options));
}

void Process::start(ProcessOptions options) {
  if (options.argv.empty()) {
    error_ = "empty argv";
    return;
  }
  const auto env = buildEnvironment(options);
  const auto program = resolveProgram(options.argv[0], env);
  if (!program) {
    error_ = "not found in PATH: " + options.argv[0];
    return;
  }

  std::vector<std::string> envStrings;
  envStrings.reserve(env.size());
  for (const auto& [name, value] : env) envStrings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : envStrings) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (auto& arg : options.argv) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    return;
  }
  UniqueFd outRead(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    error_ = std::string("pipe2: ") + std::strerror(errno);
    return;
  }
  UniqueFd errRead(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);

  SpawnActions fa;
  posix_spawn_file_actions_addopen(&fa.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa.actions, outWrite.get(), 1);
  posix_spawn_file_actions_adddup2(&fa.actions, errWrite.get(), 2);
  int highest = 2;
  for (const auto& [from, to] : options.passFds) {
    posix_spawn_file_actions_adddup2(&fa.actions, from, to);
    highest = std::max(highest, to);
  }
  // Whatever the test process holds open without O_CLOEXEC stays out of the
  // child, so its descriptor count is the child's own.
  posix_spawn_file_actions_addclosefrom_np(&fa.actions, highest + 1);
  if (!options.workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&fa.actions, options.workingDirectory.c_str());
  }

  SpawnAttributes sa;
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&sa.attributes, &none);
  posix_spawnattr_setsigdefault(&sa.attributes, &all);
  posix_spawnattr_setpgroup(&sa.attributes, 0);
  posix_spawnattr_setflags(&sa.attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program->c_str(), &fa.actions, &sa.attributes, argv.data(),
                               envp.data());
  if (rc != 0) {
    error_ = "posix_spawn " + *program + ": " + std::strerror(rc);
    return;
  }
  pid_ = pid;
  outWrite.reset();
  errWrite.reset();
  out_ = std::move(outRead);
  err_ = std::move(errRead);
  // Absent on old kernels: waitExit() then polls.
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  stopReader_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  reader_ = std::thread([this] { readLoop(); });
}

Process::~Process() {
  if (pid_ > 0) {
    bool reaped = false;
    {
      std::lock_guard lock(mutex_);
      reaped = status_.has_value();
    }
    if (!reaped) {
      (void)::kill(-pid_, SIGKILL);
      (void)::kill(pid_, SIGKILL);
      int status = 0;
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
  if (reader_.joinable()) {
    if (stopReader_) {
      const uint64_t one = 1;
      (void)!::write(stopReader_.get(), &one, sizeof one);
    }
    reader_.join();
  }
}

void Process::readLoop() {
  std::array<std::string, 2> partial;
  std::array<bool, 2> open{true, true};
  std::array<int, 2> fds{out_.get(), err_.get()};
  auto deliver = [&](std::size_t which, bool closing) {
    std::vector<std::string> complete;
    auto& buffer = partial[which];
    std::size_t start = 0;
    for (std::size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
      complete.push_back(buffer.substr(start, nl - start));
    }
    buffer.erase(0, start);
    if (closing && !buffer.empty()) {
      complete.push_back(std::move(buffer));
      buffer.clear();
    }
    std::lock_guard lock(mutex_);
    auto& target = which == 0 ? outLines_ : errLines_;
    for (auto& line : complete) target.push_back(std::move(line));
    if (closing) (which == 0 ? outClosed_ : errClosed_) = true;
    changed_.notify_all();
  };

  while (open[0] || open[1]) {
    std::array<pollfd, 3> pfds{};
    nfds_t count = 0;
    std::array<std::size_t, 3> which{};
    for (std::size_t i = 0; i < 2; ++i) {
      if (!open[i]) continue;
      pfds[count] = pollfd{fds[i], POLLIN, 0};
      which[count++] = i;
    }
    pfds[count++] = pollfd{stopReader_.get(), POLLIN, 0};
    if (::poll(pfds.data(), count, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (pfds[count - 1].revents != 0) break;
    for (nfds_t k = 0; k + 1 < count; ++k) {
      if (pfds[k].revents == 0) continue;
      const std::size_t i = which[k];
      char chunk[4096];
      const ssize_t n = ::read(fds[i], chunk, sizeof chunk);
      if (n > 0) {
        partial[i].append(chunk, static_cast<std::size_t>(n));
        deliver(i, false);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        open[i] = false;
        deliver(i, true);
      }
    }
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (open[i]) deliver(i, true);
  }
}

bool Process::reapNoWait() {
  std::lock_guard lock(mutex_);
  if (status_) return true;
  int status = 0;
  const pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r != pid_) return false;
  status_ = decodeStatus(status);
  changed_.notify_all();
  return true;
}

std::optional<int> Process::waitExit(Deadline deadline) {
  if (pid_ <= 0) return std::nullopt;
  while (!reapNoWait()) {
    if (Clock::now() >= deadline) return std::nullopt;
    if (pidfd_) {
      pollfd pfd{pidfd_.get(), POLLIN, 0};
      const timespec ts = remainingTimespec(deadline);
      if (::ppoll(&pfd, 1, &ts, nullptr) < 0 && errno != EINTR) return std::nullopt;
    } else {
      (void)waitUntil([this] { return reapNoWait(); }, deadline);
    }
  }
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, deadline, [this] { return outClosed_ && errClosed_; });
  return status_;
}

std::optional<int> Process::exitStatus() const {
  std::lock_guard lock(mutex_);
  return status_;
}

bool Process::running() { return pid_ > 0 && !reapNoWait(); }

bool Process::signal(int sig) {
  if (pid_ <= 0) return false;
  std::lock_guard lock(mutex_);  // the pid stays ours until reaped under this lock
  if (status_) return false;
  return ::kill(pid_, sig) == 0;
}

std::vector<std::string> Process::lines(Stream stream) const {
  std::lock_guard lock(mutex_);
  return stream == Stream::Out ? outLines_ : errLines_;
}

std::string Process::transcript() const {
  std::lock_guard lock(mutex_);
  std::string text;
  for (const auto& line : outLines_) text += "out: " + line + "\n";
  for (const auto& line : errLines_) text += "err: " + line + "\n";
  return text;
}

std::size_t Process::countLines(Stream stream,
                                const std::function<bool(const std::string&)>& match) const {
  std::lock_guard lock(mutex_);
  const auto& target = stream == Stream::Out ? outLines_ : errLines_;
  return static_cast<std::size_t>(std::count_if(target.begin(), target.end(), match));
}

std::size_t Process::countLines(Stream stream, std::string_view substring) const {
  return countLines(stream, [substring](const std::string& line) {
    return line.find(substring) != std::string::npos;
  });
}

bool Process::waitForLines(Stream stream, const std::function<bool(const std::string&)>& match,
                           std::size_t n, Deadline deadline) {
  std::unique_lock lock(mutex_);
  const auto& target = stream == Stream::Out ? outLines_ : errLines_;
  const bool& closed = stream == Stream::Out ? outClosed_ : errClosed_;
  // Lines already counted are not matched again on each wake-up.
  std::size_t seen = 0;
  std::size_t matches = 0;
  for (;;) {
    for (; seen < target.size(); ++seen) {
      if (match(target[seen])) ++matches;
    }
    if (matches >= n) return true;
    if (closed) return false;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; seen < target.size(); ++seen) {
        if (match(target[seen])) ++matches;
      }
      return matches >= n;
    }
  }
}

bool Process::waitForLine(Stream stream, std::string_view substring, Deadline deadline) {
  const std::string needle(substring);
  return waitForLines(
      stream, [&needle](const std::string& line) { return line.find(needle) != std::string::npos; },
      1, deadline);
}

std::optional<std::size_t> Process::openFdCount() const {
  if (pid_ <= 0) return std::nullopt;
  std::error_code ec;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid_) + "/fd", ec);
  if (ec) return std::nullopt;
  std::size_t count = 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) return std::nullopt;
    ++count;
  }
  return count;
}

std::optional<long> Process::rssKiB() const {
  if (pid_ <= 0) return std::nullopt;
  return statusField(pid_, "VmRSS");
}

std::optional<long> Process::threadCount() const {
  if (pid_ <= 0) return std::nullopt;
  return statusField(pid_, "Threads");
}

std::optional<CommandResult> runCommand(std::vector<std::string> argv,
                                        std::map<std::string, std::optional<std::string>> env,
                                        Deadline deadline,
                                        const std::filesystem::path& workingDirectory) {
  ProcessOptions options;
  options.argv = std::move(argv);
  options.env = std::move(env);
  options.workingDirectory = workingDirectory;
  Process process(std::move(options));
  if (!process.ok()) return std::nullopt;
  const auto status = process.waitExit(deadline);
  if (!status) return std::nullopt;
  return CommandResult{*status, process.lines(Stream::Out), process.lines(Stream::Err)};
}

}  // namespace zivuv::testing
