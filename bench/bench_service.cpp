// bench_service: the running service, measured from outside over a private
// session bus: memory at rest and at its peak, wakeups while idle, scans
// end to end (call to reply) against the lower bound walk measured in the
// same run, the latency of verifyAgentWithCompletion while a large scan
// runs, the debounce of the folder watch, and a deep tree scanned at
// scanDepth 3: its scans, the watches it leaves, and the service at rest
// with all of them.
//
//   bench_service [--service PATH] [--reps N] [--idle-seconds S] [--no-strace] [--no-deep]
//
// It starts its own dbus-daemon (no service folders, so nothing else is
// activated) and the service with a private XDG_CONFIG_HOME; the person's
// settings and session bus are never touched.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "bookmarks/BookmarkUtils.h"
#include "discovery/ScanSettings.h"
#include "platform/url/FileURL.h"

#ifndef ZIVUV_SERVICE_BINARY
#define ZIVUV_SERVICE_BINARY "zivuv-folder-monitor"
#endif

namespace {

using namespace zivuv;
using namespace zivuv::bench;
using namespace std::chrono_literals;

constexpr const char* kBusName = "VO9ZE47VOD.com.dozezeza.FolderMonitor";
constexpr const char* kObjectPath = "/VO9ZE47VOD/com/dozezeza/FolderMonitor";
constexpr const char* kInterface = "VO9ZE47VOD.com.dozezeza.FolderMonitor";
constexpr const char* kStatusInterface = "VO9ZE47VOD.com.dozezeza.FolderMonitor.Status";
constexpr const char* kSuiteFile = "VO9ZE47VOD.com.dozezeza.plist";
constexpr std::uint64_t kShortCallTimeoutUsec = 5'000'000;
constexpr std::uint64_t kScanCallTimeoutUsec = 120'000'000;
constexpr std::size_t kSubfolders = 10000;
// Lower bound walks measured after each pair of scans.
constexpr int kLowerBoundsPerPair = 3;

struct Options {
  std::string service = ZIVUV_SERVICE_BINARY;
  int reps = 5;
  int idleSeconds = 10;
  bool strace = true;
  bool deep = true;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_service [--service PATH] [--reps N] [--idle-seconds S] "
               "[--no-strace] [--no-deep]\n");
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--service") {
      options.service = value();
    } else if (arg == "--reps") {
      options.reps = std::atoi(value().c_str());
      if (options.reps < 1) usage();
    } else if (arg == "--idle-seconds") {
      options.idleSeconds = std::atoi(value().c_str());
      if (options.idleSeconds < 1) usage();
    } else if (arg == "--no-strace") {
      options.strace = false;
    } else if (arg == "--no-deep") {
      options.deep = false;
    } else {
      usage();
    }
  }
  return options;
}

// What a failure must not leave behind: the children and the work folder.
std::vector<pid_t> gChildren;
std::string gWorkFolder;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "bench_service: %s\n", what.c_str());
  for (const pid_t pid : gChildren) ::kill(pid, SIGKILL);
  if (!gWorkFolder.empty()) removeTree(gWorkFolder);
  std::_Exit(1);
}

// --- Child processes --------------------------------------------------------

struct Child {
  pid_t pid = -1;
};

// Starts argv (argv[0] an absolute path) with exactly env. fds maps a descriptor of ours to the
// number it gets in the child (0, 1, 2, 3...); everything else is closed on exec.
Child spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::vector<std::pair<int, int>>& fds) {
  // Everything the child needs is made before fork.
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    // First move every source above the targets, then place them.
    std::vector<int> moved;
    for (const auto& [from, to] : fds) moved.push_back(::fcntl(from, F_DUPFD_CLOEXEC, 64));
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (moved[i] < 0 || ::dup2(moved[i], fds[i].second) < 0) ::_exit(127);
    }
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  gChildren.push_back(pid);
  return {pid};
}

// Waits up to timeout for pid to end; its status, or nullopt.
std::optional<int> waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return status;
    if (r < 0) return std::nullopt;
    if (Clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(5ms);
  }
}

void stopChild(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!waitFor(pid, 5000ms)) {
    ::kill(pid, SIGKILL);
    (void)waitFor(pid, 5000ms);
  }
}

std::optional<std::string> readLineFrom(int fd, std::chrono::milliseconds timeout) {
  std::string text;
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (const auto nl = text.find('\n'); nl != std::string::npos) return text.substr(0, nl);
    pollfd pfd{fd, POLLIN, 0};
    const int r = ::poll(&pfd, 1, 100);
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (r <= 0) continue;
    char chunk[512];
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    text.append(chunk, static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

// --- The service's standard error ---------------------------------------------

// The service's log, written to a file and read only while the benchmark
// waits for a line, so that reading it takes no processor time from a scan
// being measured. An inotify watch on the file wakes the reader the moment
// a line is appended; each line is stamped when it is read.
class LogWatch {
 public:
  explicit LogWatch(const std::string& path)
      : file_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)),
        inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (file_ < 0 || inotify_ < 0 || ::inotify_add_watch(inotify_, path.c_str(), IN_MODIFY) < 0) {
      fail("cannot watch the service's log " + path);
    }
  }
  ~LogWatch() {
    ::close(file_);
    ::close(inotify_);
  }
  LogWatch(const LogWatch&) = delete;
  LogWatch& operator=(const LogWatch&) = delete;

  struct Event {
    Clock::time_point at;
    std::string line;
  };

  // Waits for the next line containing text at or after position `from` of
  // the stamped events; the event, or nullopt at the timeout.
  std::optional<Event> waitFor(const std::string& text, std::size_t& from,
                               std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
      drain();
      for (; from < events_.size(); ++from) {
        if (events_[from].line.find(text) != std::string::npos) return events_[from++];
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return std::nullopt;
      pollfd pfd{inotify_, POLLIN, 0};
      (void)::poll(&pfd, 1, static_cast<int>(left.count()) + 1);
      char events[4096];
      while (::read(inotify_, events, sizeof events) > 0) {
      }
    }
  }

  // Reads everything written so far; the position after it.
  std::size_t position() {
    drain();
    return events_.size();
  }
  std::size_t lines() {
    drain();
    return lines_;
  }
  std::string tail() {
    drain();
    std::string out;
    for (const auto& line : tail_) out += "    " + line + "\n";
    return out;
  }

 private:
  static bool interesting(const std::string& line) {
    return line.find("Timer event has fired") != std::string::npos ||
           line.find("File Has Changed") != std::string::npos ||
           line.find("Checked and") != std::string::npos ||
           line.find("Checking For New Repositories") != std::string::npos ||
           line.rfind("error ", 0) == 0;
  }

  void drain() {
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(file_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      const auto now = Clock::now();
      pending_.append(buffer, static_cast<std::size_t>(n));
      std::size_t start = 0;
      for (std::size_t nl; (nl = pending_.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = pending_.substr(start, nl - start);
        ++lines_;
        if (interesting(line)) events_.push_back({now, line});
        tail_.push_back(std::move(line));
        if (tail_.size() > 12) tail_.pop_front();
      }
      pending_.erase(0, start);
    }
  }

  int file_;
  int inotify_;
  std::string pending_;
  std::size_t lines_ = 0;
  std::vector<Event> events_;
  std::deque<std::string> tail_;
};

// --- /proc ------------------------------------------------------------------

// A "<field>:   123 kB" value of /proc/<pid>/status (or of a task's), or -1.
long statusField(const std::string& statusPath, const std::string& field) {
  std::ifstream in(statusPath);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

long kib(pid_t pid, const char* field) {
  return statusField("/proc/" + std::to_string(pid) + "/status", field);
}

// Resident memory of a process, from /proc/<pid>/smaps_rollup (KiB), and
// its largest parts by mapping (smaps), for a person to read.
struct Resident {
  long rss = -1, pss = -1, pssAnon = -1, pssFile = -1;
  std::string parts;  // "name KiB, ..." largest first
};

Resident resident(pid_t pid) {
  Resident r;
  const std::string base = "/proc/" + std::to_string(pid);
  r.rss = statusField(base + "/smaps_rollup", "Rss");
  r.pss = statusField(base + "/smaps_rollup", "Pss");
  r.pssAnon = statusField(base + "/smaps_rollup", "Pss_Anon");
  r.pssFile = statusField(base + "/smaps_rollup", "Pss_File");
  std::map<std::string, long> byName;
  std::ifstream smaps(base + "/smaps");
  std::string name;
  for (std::string line; std::getline(smaps, line);) {
    if (line.starts_with("Rss:")) {
      byName[name] += std::strtol(line.c_str() + 4, nullptr, 10);
    } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) &&
               line.find('-') < line.find(' ')) {
      // "start-end perms offset dev inode [name]": the name is the 6th field.
      std::istringstream fields(line);
      std::string skip;
      for (int i = 0; i < 5; ++i) fields >> skip;
      std::getline(fields >> std::ws, name);
      const std::size_t slash = name.rfind('/');
      if (slash != std::string::npos && name.front() == '/') name = name.substr(slash + 1);
      if (name.empty()) name = "[anon]";
    }
  }
  std::vector<std::pair<long, std::string>> parts;
  for (const auto& [n, kib] : byName) {
    if (kib >= 64) parts.emplace_back(kib, n);
  }
  std::sort(parts.rbegin(), parts.rend());
  for (const auto& [kib, n] : parts) {
    r.parts += (r.parts.empty() ? "" : ", ") + n + " " + std::to_string(kib);
  }
  return r;
}

std::string describe(const Resident& r) {
  char text[160];
  std::snprintf(text, sizeof text, "RSS %ld KiB, PSS %ld KiB (anonymous %ld, files %ld)", r.rss,
                r.pss, r.pssAnon, r.pssFile);
  return text;
}

// The service's children (its opener), from /proc/<pid>/task/<pid>/children.
std::vector<pid_t> children(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  std::vector<pid_t> out;
  for (long child = 0; in >> child;) out.push_back(static_cast<pid_t>(child));
  return out;
}

// One line for the service's idle memory and one for each child's.
void printResident(pid_t pid, const char* when) {
  const Resident r = resident(pid);
  std::printf("memory %s: %s\n  largest parts (KiB): %s\n", when, describe(r).c_str(),
              r.parts.c_str());
  for (const pid_t child : children(pid)) {
    std::printf("  its child %d (the opener): %s\n", child, describe(resident(child)).c_str());
  }
  std::fflush(stdout);
}

struct TaskSwitches {
  std::string name;
  long switches = 0;
};

// Voluntary plus involuntary context switches of every thread, by thread id.
std::map<long, TaskSwitches> contextSwitches(pid_t pid) {
  std::map<long, TaskSwitches> out;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(base.c_str());
  if (dir == nullptr) return out;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = base + "/" + entry->d_name;
    TaskSwitches t;
    std::ifstream comm(task + "/comm");
    std::getline(comm, t.name);
    t.switches = statusField(task + "/status", "voluntary_ctxt_switches") +
                 statusField(task + "/status", "nonvoluntary_ctxt_switches");
    out[std::strtol(entry->d_name, nullptr, 10)] = t;
  }
  ::closedir(dir);
  return out;
}

long sumSwitches(const std::map<long, TaskSwitches>& tasks) {
  long total = 0;
  for (const auto& [tid, t] : tasks) total += t.switches;
  return total;
}

std::size_t openDescriptors(pid_t pid) {
  std::size_t count = 0;
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return 0;
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

// The inotify watches that the kernel holds for a process: the "inotify wd:"
// lines of its descriptors' fdinfo.
long kernelWatches(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fdinfo";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return -1;
  long count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    std::ifstream info(folder + "/" + entry->d_name);
    for (std::string line; std::getline(info, line);) count += line.starts_with("inotify wd:");
  }
  ::closedir(dir);
  return count;
}

// Resets VmHWM to the current RSS, so that the next reading is the peak of
// what happens in between.
bool resetPeak(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

// --- The bus ----------------------------------------------------------------

struct BusUnref {
  void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusUnref>;

struct MessageUnref {
  void operator()(sd_bus_message* m) const noexcept { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

BusPtr connect(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) fail("sd_bus_new failed");
  BusPtr owned(bus);
  // sd_bus_start only sends Hello; waiting for its reply now (through the
  // unique name) keeps a connection that is first used minutes later from
  // being closed when that reply's 25 s time-out has passed unprocessed.
  const char* unique = nullptr;
  if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_start(bus) < 0 || sd_bus_get_unique_name(bus, &unique) < 0) {
    fail("cannot connect to the private bus at " + address);
  }
  return owned;
}

// Calls member with the message filled by append; the reply, or nullptr
// with error set.
template <typename Append>
MessagePtr call(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* member, std::uint64_t timeoutUsec, Append append, std::string& error) {
  sd_bus_message* m = nullptr;
  if (sd_bus_message_new_method_call(bus, &m, destination, path, interface, member) < 0) {
    error = "cannot make the call";
    return nullptr;
  }
  MessagePtr message(m);
  if (append(m) < 0) {
    error = "cannot fill the call";
    return nullptr;
  }
  sd_bus_error busError = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call(bus, m, timeoutUsec, &busError, &reply);
  if (r < 0) {
    error = std::string(member) + ": " + (busError.message ? busError.message : std::strerror(-r));
    sd_bus_error_free(&busError);
    return nullptr;
  }
  return MessagePtr(reply);
}

MessagePtr callService(sd_bus* bus, const char* member, std::uint64_t timeoutUsec,
                       std::string& error, const platform::Data* bytes = nullptr) {
  return call(
      bus, kBusName, kObjectPath, kInterface, member, timeoutUsec,
      [bytes](sd_bus_message* m) {
        return bytes != nullptr ? sd_bus_message_append_array(m, 'y', bytes->data(), bytes->size())
                                : 0;
      },
      error);
}

bool nameHasOwner(sd_bus* bus) {
  std::string error;
  const auto reply = call(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      kShortCallTimeoutUsec,
      [](sd_bus_message* m) { return sd_bus_message_append(m, "s", kBusName); }, error);
  int has = 0;
  return reply && sd_bus_message_read(reply.get(), "b", &has) >= 0 && has != 0;
}

// A property of the status interface that is a u; -1 when it cannot be read.
long statusProperty(sd_bus* bus, const char* name) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  std::uint32_t value = 0;
  const int r = sd_bus_get_property_trivial(bus, kBusName, kObjectPath, kStatusInterface, name,
                                            &error, 'u', &value);
  sd_bus_error_free(&error);
  return r < 0 ? -1 : static_cast<long>(value);
}

// checkFolderNowWithCompletion: the count and the time from call to reply.
std::int64_t checkFolderNow(sd_bus* bus, double& ms) {
  std::string error;
  const auto start = Clock::now();
  const auto reply = callService(bus, "checkFolderNowWithCompletion", kScanCallTimeoutUsec, error);
  std::int64_t count = -1;
  if (reply) (void)sd_bus_message_read(reply.get(), "x", &count);
  ms = millisecondsSince(start);
  if (!reply) fail(error);
  return count;
}

// A bare Peer.Ping to the service, which sd-bus answers itself: the floor
// of a round trip to it.
bool pingService(sd_bus* bus, std::string& error) {
  return call(bus, kBusName, kObjectPath, "org.freedesktop.DBus.Peer", "Ping",
              kShortCallTimeoutUsec, [](sd_bus_message*) { return 0; }, error) != nullptr;
}

// verifyAgentWithCompletion, reply read in full; false on any failure,
// with error set.
bool verifyAgent(sd_bus* bus, std::string& error) {
  const auto reply = callService(bus, "verifyAgentWithCompletion", kShortCallTimeoutUsec, error);
  if (!reply) return false;
  error = "malformed reply";
  sd_bus_message* m = reply.get();
  if (sd_bus_message_enter_container(m, 'a', "ay") < 0) return false;
  const void* bytes = nullptr;
  std::size_t size = 0;
  int r;
  while ((r = sd_bus_message_read_array(m, 'y', &bytes, &size)) > 0) {
  }
  if (r < 0 || sd_bus_message_exit_container(m) < 0) return false;
  const char* name = nullptr;
  return sd_bus_message_read(m, "s", &name) >= 0 && name != nullptr;
}

// --- Measurements ------------------------------------------------------------

struct IdleWindow {
  long switches = 0;
  std::string perThread;  // only the threads that woke
};

IdleWindow idleWindow(pid_t pid, int seconds) {
  const auto before = contextSwitches(pid);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const auto after = contextSwitches(pid);
  IdleWindow w;
  w.switches = sumSwitches(after) - sumSwitches(before);
  for (const auto& [tid, t] : after) {
    const auto it = before.find(tid);
    const long delta = t.switches - (it == before.end() ? 0 : it->second.switches);
    if (delta != 0)
      w.perThread += " " + t.name + "(" + std::to_string(tid) + "):" + std::to_string(delta);
  }
  return w;
}

struct StraceResult {
  bool worked = false;
  long calls = 0;
  std::string detail;  // the table rows, or why it did not work
};

// strace -f -c -p pid for the given time, then SIGINT: strace detaches and
// writes its summary.
std::string readWhole(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// strace -f -c -p pid around during(): once strace has attached to every
// thread, during runs; then SIGINT, and strace detaches and writes its
// summary.
StraceResult straceDuring(pid_t pid, const std::string& work, const std::function<void()>& during) {
  StraceResult result;
  const std::string out = work + "/strace.txt";
  const std::string err = work + "/strace.err";
  const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const std::size_t threads = contextSwitches(pid).size();
  const Child strace = spawn({"/usr/bin/strace", "-f", "-c", "-o", out, "-p", std::to_string(pid)},
                             {"PATH=/usr/bin:/bin"}, {{nullFd, 0}, {nullFd, 1}, {errFd, 2}});
  ::close(errFd);
  ::close(nullFd);
  const auto attachStart = Clock::now();
  for (;;) {
    const std::string text = readWhole(err);
    std::size_t attached = 0;
    for (std::size_t at = 0; (at = text.find("attached", at)) != std::string::npos; ++at) ++attached;
    if (attached >= threads || millisecondsSince(attachStart) > 3000) break;
    std::this_thread::sleep_for(20ms);
  }
  during();
  ::kill(strace.pid, SIGINT);
  const auto status = waitFor(strace.pid, 10000ms);
  if (!status) {
    ::kill(strace.pid, SIGKILL);
    (void)waitFor(strace.pid, 5000ms);
  }
  std::ifstream in(out);
  std::string line;
  bool sawHeader = false;
  while (std::getline(in, line)) {
    if (line.find("% time") != std::string::npos) sawHeader = true;
    if (!sawHeader || line.rfind("%", 0) == 0 || line.rfind("---", 0) == 0) continue;
    std::istringstream tokens(line);
    std::vector<std::string> fields;
    for (std::string f; tokens >> f;) fields.push_back(f);
    if (fields.size() < 5) continue;
    if (fields.back() == "total") {
      result.calls = std::strtol(fields[3].c_str(), nullptr, 10);
    } else {
      result.detail += " " + fields.back() + ":" + fields[3];
    }
  }
  // strace writes no table at all when no system call completed while it
  // was attached; its "attached" line tells that it was.
  const std::string errText = readWhole(err);
  result.worked = sawHeader || errText.find("attached") != std::string::npos;
  if (!result.worked) result.detail = errText.substr(0, errText.find('\n'));
  return result;
}

StraceResult straceWindow(pid_t pid, int seconds, const std::string& work) {
  return straceDuring(pid, work, [seconds] { std::this_thread::sleep_for(std::chrono::seconds(seconds)); });
}

std::string verdict(bool met) { return met ? "met" : "MISSED"; }

}  // namespace

int main(int argc, char** argv) {
  (void)::signal(SIGPIPE, SIG_IGN);
  Options options = parseOptions(argc, argv);
  {
    char* real = ::realpath(options.service.c_str(), nullptr);
    if (real == nullptr || ::access(real, X_OK) != 0)
      fail("no service binary at " + options.service);
    options.service = real;
    std::free(real);
  }

  TempDir work("zivuv-bench-service");
  if (!work.ok()) return 1;
  gWorkFolder = work.path();
  const std::string watched = work.path() + "/watched";
  const std::string config = work.path() + "/config";
  const std::string home = work.path() + "/home";
  const std::string busDir = work.path() + "/bus";
  for (const auto& folder : {watched, config, home, busDir}) {
    if (!makeFolder(folder)) return 1;
  }
  const std::string suiteFile = config + "/Zivuv/" + kSuiteFile;

  std::printf("bench_service on %s\nservice %s\nwork folder %s (%s); load average %s\n",
              describeMachine().c_str(), options.service.c_str(), work.path().c_str(),
              fileSystemType(work.path()).c_str(), loadAverage().c_str());
  Fixture fixture;
  const auto buildStart = Clock::now();
  if (!buildFixture(watched, kSubfolders, fixture)) return 1;
  std::printf(
      "fixture: %zu subfolders (%zu repositories), %zu plain files, %zu hidden folders, "
      "made in %s\n",
      fixture.subfolders, fixture.repositories, fixture.plainFiles, fixture.hiddenFolders,
      formatMilliseconds(millisecondsSince(buildStart)).c_str());
  std::fflush(stdout);

  // The private bus: session type, no service folders, a socket in busDir.
  const std::string busConfig = work.path() + "/session.conf";
  if (!writeFile(busConfig,
                 "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                 "1.0//EN\"\n \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                 "<busconfig>\n  <type>session</type>\n  <listen>unix:dir=" +
                     busDir +
                     "</listen>\n  <auth>EXTERNAL</auth>\n  <policy context=\"default\">\n"
                     "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                     "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n  </policy>\n"
                     "</busconfig>\n")) {
    return 1;
  }
  int addressPipe[2];
  if (::pipe2(addressPipe, O_CLOEXEC) != 0) fail("pipe2");
  const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const Child daemon =
      spawn({"/usr/bin/dbus-daemon", "--config-file=" + busConfig, "--nofork", "--print-address=3"},
            {"PATH=/usr/bin:/bin"}, {{nullFd, 0}, {nullFd, 1}, {nullFd, 2}, {addressPipe[1], 3}});
  ::close(addressPipe[1]);
  const auto address = readLineFrom(addressPipe[0], 10000ms);
  ::close(addressPipe[0]);
  if (!address || address->empty()) fail("dbus-daemon printed no address");

  // The service: its log in a file that LogWatch reads, its printed lines
  // (the store's) discarded.
  const auto startService = [&](const std::string& configHome, const std::string& logFile) {
    const int logFd =
        ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (logFd < 0 || devNull < 0) fail("cannot create " + logFile);
    const Child child =
        spawn({options.service},
              {"PATH=/usr/bin:/bin", "HOME=" + home, "XDG_CONFIG_HOME=" + configHome,
               "DBUS_SESSION_BUS_ADDRESS=" + *address, "ZIVUV_LOG=stderr", "LC_ALL=C.UTF-8"},
              {{devNull, 0}, {devNull, 1}, {logFd, 2}});
    ::close(logFd);
    ::close(devNull);
    return child;
  };
  const auto waitForName = [&](sd_bus* on, LogWatch& itsLog) {
    const auto startWait = Clock::now();
    while (!nameHasOwner(on)) {
      if (millisecondsSince(startWait) > 10000) {
        fail("the service did not take its name within 10 s; its log:\n" + itsLog.tail());
      }
      std::this_thread::sleep_for(10ms);
    }
    return millisecondsSince(startWait);
  };
  const auto handOver = [&](sd_bus* on, const std::string& folder, LogWatch& itsLog) {
    const auto data = BookmarkUtils::createTransportData(platform::FileURL::fromPath(folder, true));
    if (!data) fail("cannot make transport data of " + folder);
    std::string error;
    const auto reply =
        callService(on, "startMonitoringWithPath", kShortCallTimeoutUsec, error, &*data);
    int watching = 0;
    if (!reply || sd_bus_message_read(reply.get(), "b", &watching) < 0 || !watching) {
      fail("startMonitoringWithPath did not answer YES: " + error + "\n" + itsLog.tail());
    }
  };
  ::close(nullFd);
  const std::string logFile = work.path() + "/service.log";
  Child service = startService(config, logFile);
  LogWatch log(logFile);

  BusPtr bus = connect(*address);
  BusPtr second = connect(*address);
  const double startupMs = waitForName(bus.get(), log);
  std::this_thread::sleep_for(500ms);
  const long startRss = kib(service.pid, "VmRSS");

  // Hand the folder over.
  handOver(bus.get(), watched, log);
  std::this_thread::sleep_for(1000ms);

  const long idleRss = kib(service.pid, "VmRSS");
  const std::size_t idleFds = openDescriptors(service.pid);
  const auto threads = contextSwitches(service.pid);
  std::string threadNames;
  for (const auto& [tid, t] : threads) threadNames += " " + t.name;
  std::printf("\nservice up in %s (name on the bus); threads:%s; %zu open descriptors\n",
              formatMilliseconds(startupMs).c_str(), threadNames.c_str(), idleFds);
  std::printf("RSS: %ld KiB at start, %ld KiB idle with the folder watched (before any scan)\n",
              startRss, idleRss);
  printResident(service.pid, "idle before any scan");

  const IdleWindow idle = idleWindow(service.pid, options.idleSeconds);
  std::printf("idle %d s, folder watched, nothing changing: %ld context switches%s\n",
              options.idleSeconds, idle.switches, idle.perThread.c_str());
  std::fflush(stdout);
  StraceResult traced;
  if (options.strace) {
    traced = straceWindow(service.pid, options.idleSeconds, work.path());
    if (traced.worked) {
      std::printf("strace -f -c -p, %d s idle: %ld system calls%s%s\n", options.idleSeconds,
                  traced.calls, traced.detail.empty() ? "" : " -", traced.detail.c_str());
    } else {
      std::printf("strace -f -c -p did not work here: %s\n", traced.detail.c_str());
    }
    std::fflush(stdout);
  }

  // verifyAgentWithCompletion at rest against a bare Peer.Ping to the
  // service, the two interleaved, 1,000 calls each.
  std::vector<double> pings, restingVerifies;
  for (int i = 0; i < 1000; ++i) {
    std::string error;
    auto start = Clock::now();
    if (!pingService(bus.get(), error)) fail("Peer.Ping failed: " + error);
    pings.push_back(millisecondsSince(start));
    start = Clock::now();
    if (!verifyAgent(bus.get(), error)) fail("verifyAgentWithCompletion failed: " + error);
    restingVerifies.push_back(millisecondsSince(start));
  }
  const double pingP10 = percentile(pings, 0.10);
  const double verifyP10 = percentile(restingVerifies, 0.10);
  std::printf(
      "\nat rest, 1000 calls each, p10 (p50): Peer.Ping %s (%s), verifyAgentWithCompletion %s "
      "(%s): %.2fx\n",
      formatMilliseconds(pingP10).c_str(), formatMilliseconds(percentile(pings, 0.50)).c_str(),
      formatMilliseconds(verifyP10).c_str(),
      formatMilliseconds(percentile(restingVerifies, 0.50)).c_str(), verifyP10 / pingP10);
  std::fflush(stdout);

  // Scans end to end, call to reply. Every first run starts from an absent
  // shared suite, which the service reads afresh.
  // The fixture read once the way a scan reads it, so that the very first
  // scan finds the kernel's caches as the later ones do: what is left of
  // its extra time is the process's own.
  (void)lowerBoundWalk(watched, flatReadingLowerBound());
  std::vector<double> firsts, seconds, lowers, readings;
  long firstPeak = 0, secondPeak = 0;
  const bool peakReset = resetPeak(service.pid);
  for (int i = 0; i < options.reps; ++i) {
    ::unlink(suiteFile.c_str());
    double ms = 0;
    if (peakReset) resetPeak(service.pid);
    const std::int64_t registered = checkFolderNow(bus.get(), ms);
    firstPeak = std::max(firstPeak, kib(service.pid, "VmHWM"));
    if (registered != static_cast<std::int64_t>(fixture.repositories)) {
      fail("first scan registered " + std::to_string(registered) + "\n" + log.tail());
    }
    firsts.push_back(ms);
    if (peakReset) resetPeak(service.pid);
    const std::int64_t again = checkFolderNow(bus.get(), ms);
    secondPeak = std::max(secondPeak, kib(service.pid, "VmHWM"));
    if (again != 0) fail("second scan registered " + std::to_string(again));
    seconds.push_back(ms);
    // The lower bound, in the same state of the caches and the machine.
    for (int k = 0; k < kLowerBoundsPerPair; ++k) {
      const auto start = Clock::now();
      const auto count = lowerBoundWalk(watched, flatLowerBound());
      lowers.push_back(millisecondsSince(start));
      if (count.repositories != fixture.repositories) fail("the lower bound walk miscounted");
    }
    const auto start = Clock::now();
    const auto read = lowerBoundWalk(watched, flatReadingLowerBound());
    readings.push_back(millisecondsSince(start));
    if (read.repositories != fixture.repositories) fail("the reading lower bound miscounted");
  }
  // Second scans once the service has finished with the scan before (its
  // reply goes out before it watches the pending folders, so a call made
  // right after a reply waits for that work first).
  std::vector<double> settled;
  for (int i = 0; i < options.reps; ++i) {
    std::this_thread::sleep_for(1000ms);
    double ms = 0;
    if (checkFolderNow(bus.get(), ms) != 0) fail("settled second scan registered something");
    settled.push_back(ms);
  }
  const Summary settledSecond = summarize(settled);
  // The system calls of one more second scan, from the call to its reply
  // (strace slows the scan down; its time is not a figure).
  if (options.strace) {
    const auto traced = straceDuring(service.pid, work.path(), [&] {
      double ms = 0;
      if (checkFolderNow(bus.get(), ms) != 0) fail("traced second scan registered something");
    });
    std::printf("system calls of one second scan (strace -f -c):%s\n", traced.detail.c_str());
  }
  const long afterScansRss = kib(service.pid, "VmRSS");
  const long lifetimePeak = kib(service.pid, "VmHWM");
  const Summary first = summarize(firsts);
  const Summary secondRun = summarize(seconds);
  std::printf("\nscans over D-Bus, call to reply, %d repetitions, median [min .. max]:\n",
              options.reps);
  std::printf(
      "  first scan, registers %zu:  %s [%s .. %s]; the very first of the process: %s\n",
      fixture.repositories, formatMilliseconds(first.median).c_str(),
      formatMilliseconds(first.min).c_str(), formatMilliseconds(first.max).c_str(),
      formatMilliseconds(firsts.front()).c_str());
  std::printf("  second scan, registers 0:    %s [%s .. %s]\n",
              formatMilliseconds(secondRun.median).c_str(),
              formatMilliseconds(secondRun.min).c_str(), formatMilliseconds(secondRun.max).c_str());
  const Summary lower = summarize(lowers);
  const double firstRatio = first.median / lower.median;
  const double secondRatio = secondRun.median / lower.median;
  const double settledRatio = settledSecond.median / lower.median;
  std::printf("  second scan 1 s after the one before: %s [%s .. %s]\n",
              formatMilliseconds(settledSecond.median).c_str(),
              formatMilliseconds(settledSecond.min).c_str(),
              formatMilliseconds(settledSecond.max).c_str());
  std::printf(
      "  lower bound walk (list, lstat each entry, stat its .git; in this process, %d after "
      "each pair): %s [%s .. %s]; first scan %.2fx, second scan %.2fx (%.2fx 1 s after the "
      "one before)\n",
      kLowerBoundsPerPair, formatMilliseconds(lower.median).c_str(),
      formatMilliseconds(lower.min).c_str(), formatMilliseconds(lower.max).c_str(), firstRatio,
      secondRatio, settledRatio);
  const Summary reading = summarize(readings);
  std::printf("  lower bound reading each repository (once after each pair): %s [%s .. %s]; "
              "first scan %.2fx, the very first of the process %.2fx\n",
              formatMilliseconds(reading.median).c_str(), formatMilliseconds(reading.min).c_str(),
              formatMilliseconds(reading.max).c_str(), first.median / reading.median,
              firsts.front() / reading.median);
  std::printf(
      "  peak RSS (VmHWM%s): %ld KiB during a first scan, %ld KiB during a second; "
      "RSS after the scans %ld KiB\n",
      peakReset ? ", reset before each scan" : " since start", firstPeak, secondPeak,
      afterScansRss);
  std::fflush(stdout);

  // verifyAgentWithCompletion from a second connection while first scans run.
  std::vector<double> latencies;
  std::size_t failures = 0;
  std::vector<double> loadedScans;
  for (int i = 0; i < 3; ++i) {
    ::unlink(suiteFile.c_str());
    std::atomic<bool> done{false};
    double scanMs = 0;
    std::int64_t registered = -1;
    std::thread scanner([&] {
      registered = checkFolderNow(bus.get(), scanMs);
      done = true;
    });
    // Wait until the scan has begun on the service's queue.
    std::size_t from = log.position();
    (void)log.waitFor("Checking For New Repositories", from, 5000ms);
    while (!done) {
      const auto start = Clock::now();
      std::string error;
      if (!verifyAgent(second.get(), error)) {
        if (failures++ == 0)
          std::fprintf(stderr, "verifyAgentWithCompletion failed: %s\n", error.c_str());
        // A connection that fails every call would spin here; wait for the scan.
        if (failures > 100) std::this_thread::sleep_for(10ms);
        continue;
      }
      latencies.push_back(millisecondsSince(start));
    }
    scanner.join();
    loadedScans.push_back(scanMs);
    if (registered != static_cast<std::int64_t>(fixture.repositories)) {
      fail("scan under load registered " + std::to_string(registered));
    }
  }
  const double p50 = percentile(latencies, 0.50);
  const double p99 = percentile(latencies, 0.99);
  const double pmax = percentile(latencies, 1.0);
  std::printf(
      "\nverifyAgentWithCompletion during 3 first scans of %zu subfolders: %zu calls, "
      "%zu failed; p50 %s, p99 %s, max %s (those scans took %s median)\n",
      kSubfolders, latencies.size(), failures, formatMilliseconds(p50).c_str(),
      formatMilliseconds(p99).c_str(), formatMilliseconds(pmax).c_str(),
      formatMilliseconds(summarize(loadedScans).median).c_str());
  std::fflush(stdout);

  // Debounce: from a change of the folder to the timer's line.
  std::vector<double> delays, burstDelays, handlerDelays;
  const auto trial = [&](int touches, std::chrono::milliseconds gap) -> bool {
    std::size_t from = log.position();
    Clock::time_point last;
    for (int t = 0; t < touches; ++t) {
      if (t > 0) std::this_thread::sleep_for(gap);
      if (::utimensat(AT_FDCWD, watched.c_str(), nullptr, 0) != 0) fail("cannot touch the folder");
      last = Clock::now();
    }
    std::size_t changeFrom = from;
    std::optional<LogWatch::Event> change;
    for (int t = 0; t < touches; ++t) change = log.waitFor("File Has Changed", changeFrom, 5000ms);
    const auto fired = log.waitFor("Timer event has fired", from, 6000ms);
    if (!fired) return false;
    const double delay = std::chrono::duration<double, std::milli>(fired->at - last).count();
    (touches == 1 ? delays : burstDelays).push_back(delay);
    if (change && touches == 1) {
      handlerDelays.push_back(std::chrono::duration<double, std::milli>(change->at - last).count());
    }
    // The scan that follows the timer ends before the next trial.
    (void)log.waitFor("Checked and", from, 10000ms);
    std::this_thread::sleep_for(300ms);
    return true;
  };
  for (int i = 0; i < 5; ++i) {
    if (!trial(1, 0ms)) fail("the timer did not fire after a change\n" + log.tail());
  }
  for (int i = 0; i < 3; ++i) {
    if (!trial(5, 400ms)) fail("the timer did not fire after a burst of changes\n" + log.tail());
  }
  const auto listDelays = [](const std::vector<double>& values) {
    std::string out;
    for (double v : values) {
      char text[32];
      std::snprintf(text, sizeof text, " %.4f", v / 1000);
      out += text;
    }
    return out;
  };
  const Summary debounce = summarize(delays);
  const Summary burst = summarize(burstDelays);
  std::printf(
      "\ndebounce, touch of the folder to \"Timer event has fired\" (s):%s; min %.4f, "
      "max %.4f; change seen by the watch after %s median\n",
      listDelays(delays).c_str(), debounce.min / 1000, debounce.max / 1000,
      formatMilliseconds(summarize(handlerDelays).median).c_str());
  std::printf("debounce after a burst of 5 changes 0.4 s apart, from the last (s):%s\n",
              listDelays(burstDelays).c_str());
  std::fflush(stdout);

  // At rest again after all of that, once the last scan's tail is done: a
  // second after a scan the service drops the pages of code it ran.
  std::this_thread::sleep_for(1500ms);
  const IdleWindow idleAfter = idleWindow(service.pid, options.idleSeconds);
  const long finalRss = kib(service.pid, "VmRSS");
  std::printf(
      "\nidle %d s after the scans: %ld context switches%s; RSS %ld KiB, %zu open "
      "descriptors; %zu log lines read in all\n",
      options.idleSeconds, idleAfter.switches, idleAfter.perThread.c_str(), finalRss,
      openDescriptors(service.pid), log.lines());
  printResident(service.pid, "idle after the scans");

  // The deep tree at scanDepth 3, in a service of its own (its own
  // settings folder, the same bus), so that the flat fixture's pending
  // folders and watches play no part in it.
  struct DeepFigures {
    bool ran = false;
    DeepFixture fixture;
    Summary first, second, settled, lower;
    long watches = -1, kernelWatches = -1, pending = -1;
    std::size_t parents = 0;
    IdleWindow idle;
    StraceResult traced;
    long rss = 0;
    std::size_t descriptors = 0;
  } deep;
  pid_t lastService = service.pid;
  if (options.deep) {
    deep.ran = true;
    stopChild(service.pid);  // gives the name up
    const std::string deepFolder = work.path() + "/deep";
    const std::string deepConfig = work.path() + "/config-deep";
    const auto buildStart = Clock::now();
    if (!makeFolder(deepFolder) || !makeFolder(deepConfig) ||
        !buildDeepFixture(deepFolder, deep.fixture)) {
      fail("cannot make the deep tree");
    }
    const DeepFixture& f = deep.fixture;
    std::printf(
        "\ndeep tree: %zu repositories at <host>/<owner>/<repo>, %zu vendored checkouts inside "
        "them, %zu node_modules of %zu entries at depth 2, %zu plain folders with %zu subfolders; "
        "%zu candidates, %zu folders to list at scanDepth 3; made in %s\n",
        f.repositories, f.vendored, f.nodeModules,
        f.nodeModulesEntries / std::max<std::size_t>(1, f.nodeModules), f.plainFolders,
        f.plainSubfolders, f.candidates, f.walkedFolders,
        formatMilliseconds(millisecondsSince(buildStart)).c_str());
    std::fflush(stdout);
    const std::string deepLogFile = work.path() + "/service-deep.log";
    const Child deepService = startService(deepConfig, deepLogFile);
    lastService = deepService.pid;
    LogWatch deepLog(deepLogFile);
    (void)waitForName(bus.get(), deepLog);
    handOver(bus.get(), deepFolder, deepLog);
    // scanDepth 3 into the service's own settings file, as the app writes
    // it while the service runs: every scan reads it afresh.
    {
      ::setenv("XDG_CONFIG_HOME", deepConfig.c_str(), 1);
      const bool edited = discovery::editScanSettings([](discovery::ScanSettings& settings) {
                            settings.depth = DeepFixture::kDepth;
                            return discovery::ScanSettings::kDepthKey;
                          }).written;
      if (!edited || discovery::loadScanSettings().settings.depth != DeepFixture::kDepth) {
        fail("cannot write scanDepth 3 into " + deepConfig);
      }
    }
    std::this_thread::sleep_for(1000ms);
    const std::string deepSuite = deepConfig + "/Zivuv/" + kSuiteFile;
    std::vector<double> deepFirsts, deepSeconds, deepLowers;
    for (int i = 0; i < options.reps; ++i) {
      ::unlink(deepSuite.c_str());
      double ms = 0;
      const std::int64_t registered = checkFolderNow(bus.get(), ms);
      if (registered != static_cast<std::int64_t>(f.repositories)) {
        fail("deep tree: first scan registered " + std::to_string(registered) + "\n" +
             deepLog.tail());
      }
      deepFirsts.push_back(ms);
      const std::int64_t again = checkFolderNow(bus.get(), ms);
      if (again != 0) fail("deep tree: second scan registered " + std::to_string(again));
      deepSeconds.push_back(ms);
      for (int k = 0; k < kLowerBoundsPerPair; ++k) {
        const auto start = Clock::now();
        const auto count = lowerBoundWalk(deepFolder, deepLowerBound());
        deepLowers.push_back(millisecondsSince(start));
        if (count.repositories != f.repositories || count.folders != f.walkedFolders) {
          fail("deep tree: the lower bound walk miscounted");
        }
      }
    }
    std::vector<double> deepSettled;
    for (int i = 0; i < options.reps; ++i) {
      std::this_thread::sleep_for(1000ms);
      double ms = 0;
      if (checkFolderNow(bus.get(), ms) != 0) fail("deep tree: settled second scan registered");
      deepSettled.push_back(ms);
    }
    deep.settled = summarize(deepSettled);
    if (options.strace) {
      const auto traced = straceDuring(deepService.pid, work.path(), [&] {
        double ms = 0;
        if (checkFolderNow(bus.get(), ms) != 0) fail("deep tree: traced second scan registered");
      });
      std::printf("deep tree: system calls of one second scan and its watches (strace -f -c):%s\n",
                  traced.detail.c_str());
    }
    deep.first = summarize(deepFirsts);
    deep.second = summarize(deepSeconds);
    deep.lower = summarize(deepLowers);
    // The watches follow the reply: wait until their number holds still.
    const auto settleStart = Clock::now();
    long previous = -2;
    while (millisecondsSince(settleStart) < 20000) {
      deep.watches = statusProperty(bus.get(), "Watches");
      if (deep.watches > 0 && deep.watches == previous) break;
      previous = deep.watches;
      std::this_thread::sleep_for(300ms);
    }
    deep.kernelWatches = kernelWatches(deepService.pid);
    deep.pending = statusProperty(bus.get(), "PendingFolders");
    deep.parents = static_cast<std::size_t>(std::count(deepFolder.begin(), deepFolder.end(), '/')) - 1;
    std::printf(
        "\ndeep tree over D-Bus, scanDepth 3, call to reply, %d repetitions, median [min .. max], "
        "ratio to the lower bound:\n"
        "  lower bound walk (openat, getdents, stat each candidate's .git; %d after each pair): "
        "%s [%s .. %s]\n"
        "  first scan, registers %zu:  %s [%s .. %s]  %.2fx\n"
        "  second scan, registers 0:    %s [%s .. %s]  %.2fx\n"
        "  second scan 1 s after the one before: %s [%s .. %s]  %.2fx\n",
        options.reps, kLowerBoundsPerPair, formatMilliseconds(deep.lower.median).c_str(),
        formatMilliseconds(deep.lower.min).c_str(), formatMilliseconds(deep.lower.max).c_str(),
        f.repositories, formatMilliseconds(deep.first.median).c_str(),
        formatMilliseconds(deep.first.min).c_str(), formatMilliseconds(deep.first.max).c_str(),
        deep.first.median / deep.lower.median, formatMilliseconds(deep.second.median).c_str(),
        formatMilliseconds(deep.second.min).c_str(), formatMilliseconds(deep.second.max).c_str(),
        deep.second.median / deep.lower.median, formatMilliseconds(deep.settled.median).c_str(),
        formatMilliseconds(deep.settled.min).c_str(), formatMilliseconds(deep.settled.max).c_str(),
        deep.settled.median / deep.lower.median);
    std::printf(
        "  Watches %ld, the kernel holds %ld: the folder, %zu parents up to /, the %zu folders "
        "below it that the walk listed, and %ld pending folders (with their .git folders), one "
        "watch each where not in the tree: at most %ld\n",
        deep.watches, deep.kernelWatches, deep.parents, f.walkedFolders - 1, deep.pending,
        static_cast<long>(f.walkedFolders + deep.parents) + deep.pending);
    std::fflush(stdout);
    // The last property call's reply leaves the bus thread awake for a moment.
    std::this_thread::sleep_for(1000ms);
    deep.idle = idleWindow(deepService.pid, options.idleSeconds);
    std::printf("  idle %d s with the tree watched: %ld context switches%s\n", options.idleSeconds,
                deep.idle.switches, deep.idle.perThread.c_str());
    if (options.strace) {
      deep.traced = straceWindow(deepService.pid, options.idleSeconds, work.path());
      if (deep.traced.worked) {
        std::printf("  strace -f -c -p, %d s idle: %ld system calls%s%s\n", options.idleSeconds,
                    deep.traced.calls, deep.traced.detail.empty() ? "" : " -",
                    deep.traced.detail.c_str());
      }
    }
    deep.rss = kib(deepService.pid, "VmRSS");
    deep.descriptors = openDescriptors(deepService.pid);
    std::printf("  RSS %ld KiB, %zu open descriptors\n", deep.rss, deep.descriptors);
    std::fflush(stdout);
  }

  // The figures the service is held to.
  const double minDelay = std::min(debounce.min, burstDelays.empty() ? debounce.min : burst.min);
  const double maxDelay = std::max(debounce.max, burstDelays.empty() ? debounce.max : burst.max);
  std::printf("\ntargets:\n");
  std::printf("  first scan of %zu registering %zu: %s < 400 ms (stretch 250 ms): %s\n",
              kSubfolders, fixture.repositories, formatMilliseconds(first.median).c_str(),
              verdict(first.median < 400).c_str());
  const double veryFirst = firsts.empty() ? 0 : firsts.front();
  std::printf("  first scan %.2fx the lower bound (<= 3x): %s; the very first of the process "
              "%.2fx (<= 3x): %s, %.2fx the median first scan (<= 1.2x): %s\n",
              firstRatio, verdict(firstRatio <= 3).c_str(), veryFirst / lower.median,
              verdict(veryFirst <= 3 * lower.median).c_str(), veryFirst / first.median,
              verdict(veryFirst <= 1.2 * first.median).c_str());
  std::printf("  second scan: %s < 100 ms: %s; %.2fx the lower bound (<= 1.8x): %s\n",
              formatMilliseconds(secondRun.median).c_str(), verdict(secondRun.median < 100).c_str(),
              secondRatio, verdict(secondRatio <= 1.8).c_str());
  std::printf("  second scan 1 s after the one before: %s < 100 ms: %s; %.2fx (<= 1.8x): %s\n",
              formatMilliseconds(settledSecond.median).c_str(),
              verdict(settledSecond.median < 100).c_str(), settledRatio,
              verdict(settledRatio <= 1.8).c_str());
  std::printf("  idle wakeups over %d s: %ld context switches%s (none allowed): %s\n",
              options.idleSeconds, idle.switches,
              traced.worked ? (", " + std::to_string(traced.calls) + " system calls").c_str() : "",
              verdict(idle.switches == 0 && (!traced.worked || traced.calls == 0)).c_str());
  std::printf("  idle RSS %.1f MiB <= 5 MiB: %s; peak RSS during the scan %.1f MiB < 24 MiB: %s\n",
              idleRss / 1024.0, verdict(idleRss <= 5 * 1024).c_str(), firstPeak / 1024.0,
              verdict(firstPeak < 24 * 1024).c_str());
  std::printf("  peak RSS during a first scan %.1f MiB <= 12 MiB: %s\n", firstPeak / 1024.0,
              verdict(firstPeak <= 12 * 1024).c_str());
  std::printf("  idle RSS after the scans %.1f MiB <= 5 MiB: %s\n", finalRss / 1024.0,
              verdict(finalRss <= 5 * 1024).c_str());
  std::printf("  verifyAgentWithCompletion at rest, p10 %.2fx a bare Peer.Ping (<= 1.5x): %s\n",
              verifyP10 / pingP10, verdict(verifyP10 <= 1.5 * pingP10).c_str());
  std::printf("  verifyAgentWithCompletion p99 during a scan %s < 50 ms: %s\n",
              formatMilliseconds(p99).c_str(), verdict(p99 < 50 && failures == 0).c_str());
  std::printf("  debounce %.4f .. %.4f s within 3.0 .. 3.1 s: %s\n", minDelay / 1000,
              maxDelay / 1000, verdict(minDelay >= 3000 && maxDelay <= 3100).c_str());
  if (deep.ran) {
    std::printf("  deep tree: idle wakeups over %d s with %ld watches: %ld context switches%s "
                "(none allowed): %s\n",
                options.idleSeconds, deep.watches, deep.idle.switches,
                deep.traced.worked ? (", " + std::to_string(deep.traced.calls) + " system calls").c_str()
                                   : "",
                verdict(deep.idle.switches == 0 && (!deep.traced.worked || deep.traced.calls == 0))
                    .c_str());
  }
  std::printf("  (peak RSS over the whole life of the first service: %ld KiB)\n", lifetimePeak);
  std::printf("load average at the end: %s\n", loadAverage().c_str());

  bus.reset();
  second.reset();
  stopChild(lastService);
  stopChild(daemon.pid);
  return 0;
}
