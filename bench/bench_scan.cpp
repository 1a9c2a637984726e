// bench_scan: the cost of the repository scan in-process, against the least
// work that can answer the question (list the folder, stat each entry and
// its .git; in a deep tree, the same walk with nothing else) and against the
// shell loop a person would write instead.
//
//   bench_scan [--sizes 1000,10000] [--reps N] [--no-shell-loop] [--no-deep]
//              [--profile first|second|test|lower|reading|deep-first|deep-second|deep-lower]
//
// --profile runs one phase once (on the first size, or on the deep tree)
// between two marker calls and prints nothing else of note; it is meant for
// `valgrind --tool=callgrind` and `strace -f`.

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "BenchSupport.h"
#include "bookmarks/BookmarkUtils.h"
#include "discovery/Libgit2.h"
#include "discovery/NoticeCenter.h"
#include "discovery/RepositoryScan.h"
#include "discovery/RepositoryTest.h"
#include "discovery/ScanSettings.h"
#include "discovery/Walk.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/log/Logger.h"
#include "platform/url/FileURL.h"

namespace {

using namespace zivuv;
using namespace zivuv::bench;
using platform::FileURL;

constexpr std::size_t kDeadEntries = 50;

struct Options {
  std::vector<std::size_t> sizes{1000, 10000};
  int reps = 0;  // 0: chosen per size
  bool shellLoop = true;
  bool deep = true;
  std::string profile;
};

const std::vector<std::string> kProfilePhases{"first",   "second",     "test",        "lower",
                                              "reading", "deep-first", "deep-second", "deep-lower"};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: bench_scan [--sizes 1000,10000] [--reps N] [--no-shell-loop] [--no-deep]\n"
               "                  [--profile "
               "first|second|test|lower|reading|deep-first|deep-second|deep-lower]\n");
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
    if (arg == "--sizes") {
      options.sizes.clear();
      const std::string list = value();
      std::size_t start = 0;
      while (start <= list.size()) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const std::size_t n = std::strtoul(list.substr(start, comma - start).c_str(), nullptr, 10);
        if (n < 2) usage();
        options.sizes.push_back(n);
        start = comma + 1;
      }
    } else if (arg == "--reps") {
      options.reps = std::atoi(value().c_str());
      if (options.reps < 1) usage();
    } else if (arg == "--no-shell-loop") {
      options.shellLoop = false;
    } else if (arg == "--no-deep") {
      options.deep = false;
    } else if (arg == "--profile") {
      options.profile = value();
      if (std::find(kProfilePhases.begin(), kProfilePhases.end(), options.profile) ==
          kProfilePhases.end()) {
        usage();
      }
    } else {
      usage();
    }
  }
  return options;
}

// Log entries are counted and dropped, so that the figures show the scan
// and not the writing of its log.
class CountingSink final : public platform::LogSink {
 public:
  void write(platform::LogLevel, std::string_view) override {
    count.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<std::size_t> count{0};
};

class FakeNotices final : public discovery::NoticeCenter {
 public:
  void postDistributedNotification(const NotificationName&, const std::string&) override {
    ++posted;
  }
  void deliverNotification(const std::string&, const std::string&) override { ++delivered; }
  int posted = 0;
  int delivered = 0;
};

// Points a standard descriptor (the store's printed lines on 1, the log on
// 2) at target for the life of the object.
class Redirect {
 public:
  Redirect(int fd, const std::string& target) : fd_(fd) {
    std::fflush(nullptr);
    saved_ = ::dup(fd);
    const int to = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (saved_ < 0 || to < 0 || ::dup2(to, fd) < 0) {
      std::fprintf(stderr, "cannot redirect descriptor %d to %s\n", fd, target.c_str());
      std::exit(1);
    }
    ::close(to);
  }
  ~Redirect() {
    ::dup2(saved_, fd_);
    ::close(saved_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int fd_;
  int saved_ = -1;
};

// The walk at depth 1 with the repository test on every candidate, as a
// scan makes it; how many passed.
std::size_t repositoryTest(const FileURL& folder) {
  std::size_t found = 0;
  (void)discovery::walkTree(
      folder, discovery::ScanSettings{}, [&](const discovery::WalkEntry& entry) {
        if (discovery::testRepositoryAt(entry.dirFd, entry.name, entry.url.path()).opens()) ++found;
        return false;
      });
  return found;
}

bool gitSaysRepository(const std::string& path, const std::string& ceiling) {
  return runShell("GIT_CEILING_DIRECTORIES=" + shellQuote(ceiling) + " git -C " + shellQuote(path) +
                  " rev-parse --git-dir >/dev/null 2>&1") == 0;
}

// Real layouts made by git, plus the fixture's hand-made ones, must get the
// same answer from testRepository as from git itself.
bool verifyRepositoryTest(const std::string& work, const std::string& fixture, std::size_t n) {
  const std::string dir = work + "/verify";
  if (!makeFolder(dir)) return false;
  const std::string q = shellQuote(dir);
  const std::string setup =
      "cd " + q +
      " && git init -q -b main worktree && git init -q --bare bare.git"
      " && git -C worktree -c user.name=bench -c user.email=bench@localhost"
      "    commit -q --allow-empty -m init"
      " && git -C worktree worktree add -q ../linked 2>/dev/null"
      " && mkdir -p broken/.git plain && printf 'gitdir: /nonexistent\\n' > nowhere-file"
      " && mkdir nowhere && mv nowhere-file nowhere/.git"
      " && mkdir -p handmade/.git/objects handmade/.git/refs"
      " && printf 'ref: refs/heads/main\\n' > handmade/.git/HEAD";
  if (runShell(setup) != 0) {
    std::fprintf(stderr, "verification: git could not make the reference repositories\n");
    return false;
  }
  std::vector<std::string> paths;
  for (const char* name :
       {"worktree", "bare.git", "linked", "broken", "plain", "nowhere", "handmade"}) {
    paths.push_back(dir + "/" + name);
  }
  char name[64];
  for (std::size_t i = 0; i < 10 && i < n; ++i) {
    std::snprintf(name, sizeof name, "/project-%05zu", (i * (n / 10)) + (i % 2));
    paths.push_back(fixture + name);
  }
  bool agree = true;
  std::size_t repos = 0;
  for (const auto& path : paths) {
    const bool ours = discovery::testRepository(path).opens();
    const bool git = gitSaysRepository(path, work);
    if (ours) ++repos;
    if (ours != git) {
      std::fprintf(stderr, "verification: %s: testRepository %d, git rev-parse %d\n", path.c_str(),
                   ours, git);
      agree = false;
    }
  }
  std::printf(
      "verification: testRepository agrees with `git rev-parse` on %zu folders "
      "(%zu repositories: working tree, bare, linked worktree, hand-made; "
      "not: broken .git, .git file pointing nowhere, plain)\n",
      paths.size(), repos);
  removeTree(dir);
  return agree;
}

// Transport data of folders that no longer exist: every one fails to
// resolve with "no folder at <path>".
std::vector<platform::Data> makeDeadEntries(const std::string& work) {
  std::vector<platform::Data> entries;
  for (std::size_t i = 0; i < kDeadEntries; ++i) {
    const std::string path = work + "/gone-" + std::to_string(i);
    if (!makeFolder(path)) break;
    auto data = BookmarkUtils::createTransportData(FileURL::fromPath(path, true));
    ::rmdir(path.c_str());
    if (data) entries.push_back(std::move(*data));
  }
  return entries;
}

bool storeSandboxEntries(const std::vector<platform::Data>& entries) {
  const auto lock = platform::DefaultsLock::acquire(sharedSuiteName());
  if (!lock) return false;
  auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
  if (!store) return false;
  store->setDataArray(rawValue(BookmarkKeys::sandboxKey), entries);
  return store->write(*lock);
}

std::size_t countLines(const std::string& path, std::size_t& bytes) {
  std::size_t lines = 0;
  bytes = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 0;
  char buffer[1 << 16];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes += n;
    for (std::size_t i = 0; i < n; ++i) lines += buffer[i] == '\n';
  }
  std::fclose(file);
  return lines;
}

struct ScanRun {
  double ms = 0;
  double lockMs = 0;  // how long it held the shared suite's lock
  std::int64_t registered = 0;
  std::size_t logLines = 0;
  std::size_t candidates = 0;
  std::size_t walked = 0;          // folders listed, the root included
  std::size_t walkedIgnored = 0;   // of them, in or below a node_modules folder
};

// The failed candidates that the service's pending folders already know of
// (pending or turned away), as its scans leave them: their change times are
// not looked at again. One per pair of runs.
using Tracked = std::unordered_set<std::string>;

// One scan with settings under configHome. Standard output (the store's
// lines) goes to stdoutTarget. With tracked, the scan skips the change time
// of the candidates it holds, as the service's does, and adds its failed
// candidates to it.
ScanRun timedScan(const FileURL& folder, const std::string& configHome, CountingSink* counter,
                  const discovery::ScanSettings& settings = {},
                  const std::string& stdoutTarget = "/dev/null", Tracked* tracked = nullptr) {
  ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  FakeNotices notices;
  ScanRun run;
  const std::size_t before = counter != nullptr ? counter->count.load() : 0;
  discovery::ScanOutcome outcome;
  {
    Redirect out(STDOUT_FILENO, stdoutTarget);
    const auto start = Clock::now();
    outcome = discovery::scanForNewRepositories(folder, notices, settings, tracked);
    run.ms = millisecondsSince(start);
  }
  if (tracked != nullptr) {
    for (const auto& failed : outcome.notRepositories) tracked->insert(failed.path);
  }
  run.registered = outcome.registered;
  run.lockMs = std::chrono::duration<double, std::milli>(outcome.lockHeld).count();
  run.candidates = outcome.candidates;
  run.walked = outcome.walked.size();
  for (const auto& walked : outcome.walked) {
    run.walkedIgnored += walked.path.find("/node_modules") != std::string::npos;
  }
  if (counter != nullptr) run.logLines = counter->count.load() - before;
  if (run.registered > 0 && (notices.posted != 1 || notices.delivered != 1)) {
    std::fprintf(stderr, "unexpected notices: %d posted, %d delivered\n", notices.posted,
                 notices.delivered);
  }
  return run;
}

struct SizeResult {
  std::size_t n = 0;
  Fixture fixture;
  Summary lower, reading, test, first, second, firstDead;
  Summary firstLock, secondLock;
  Summary fresh;  // a fresh process's first run
  double firstStderr = 0, secondStderr = 0, firstStderrFile = 0, secondStderrFile = 0;
  double firstJournal = -1;
  double deadToFile = 0;
  std::size_t deadLines = 0, deadBytes = 0, plainLines = 0;
  std::size_t firstLogLines = 0, secondLogLines = 0;
  double shellLoop = -1;
  bool ok = true;
};

void printRow(const char* label, const Summary& s, double lower) {
  std::printf("  %-52s %10s  [%s .. %s]  %6.1fx\n", label, formatMilliseconds(s.median).c_str(),
              formatMilliseconds(s.min).c_str(), formatMilliseconds(s.max).c_str(),
              lower > 0 ? s.median / lower : 0.0);
}

bool check(bool condition, const char* what, SizeResult& result) {
  if (!condition) {
    std::fprintf(stderr, "N=%zu: %s\n", result.n, what);
    result.ok = false;
  }
  return condition;
}

// A first run in a process started for it (this program again, with
// --fresh-first), as the service's first scan after its start; its time
// in ms, or a negative number when the child failed.
double freshProcessFirstRun(const std::string& folder, const std::string& config) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::execl("/proc/self/exe", "bench_scan", "--fresh-first", folder.c_str(), config.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[256];
  ssize_t got;
  while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
  ::close(fds[0]);
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    return -1;
  }
  return std::strtod(text.c_str(), nullptr);
}

SizeResult benchSize(const std::string& work, std::size_t n, int reps, bool shellLoop,
                     const std::vector<platform::Data>& dead,
                     const std::shared_ptr<CountingSink>& counter) {
  SizeResult r;
  r.n = n;
  const std::string folder = work + "/folder-" + std::to_string(n);
  const auto buildStart = Clock::now();
  if (!makeFolder(folder) || !buildFixture(folder, n, r.fixture)) {
    r.ok = false;
    return r;
  }
  std::printf(
      "\nN = %zu: %zu subfolders (%zu repositories), %zu plain files, %zu hidden "
      "folders; fixture made in %s; %d repetitions, median [min .. max], ratio to the "
      "lower bound\n",
      n, r.fixture.subfolders, r.fixture.repositories, r.fixture.plainFiles,
      r.fixture.hiddenFolders, formatMilliseconds(millisecondsSince(buildStart)).c_str(), reps);
  std::fflush(stdout);
  const FileURL url = FileURL::fromPath(folder, true).withSecurityScope();
  const auto repos = static_cast<std::int64_t>(r.fixture.repositories);

  // Warm the caches the way a second look at a folder finds them.
  check(lowerBoundWalk(folder, flatLowerBound()).repositories == r.fixture.repositories,
        "lower bound miscounted", r);
  check(repositoryTest(url) == r.fixture.repositories, "repository test miscounted", r);

  std::vector<double> lower, reading, test, first, second, firstDead, firstLock, secondLock;
  for (int i = 0; i < reps; ++i) {
    auto start = Clock::now();
    const std::size_t found = lowerBoundWalk(folder, flatLowerBound()).repositories;
    lower.push_back(millisecondsSince(start));
    check(found == r.fixture.repositories, "lower bound miscounted", r);

    start = Clock::now();
    const std::size_t read = lowerBoundWalk(folder, flatReadingLowerBound()).repositories;
    reading.push_back(millisecondsSince(start));
    check(read == r.fixture.repositories, "reading lower bound miscounted", r);

    start = Clock::now();
    const std::size_t passed = repositoryTest(url);
    test.push_back(millisecondsSince(start));
    check(passed == r.fixture.repositories, "repository test miscounted", r);
  }

  // First and second run in pairs, each pair on fresh settings.
  for (int i = 0; i < reps; ++i) {
    const std::string config = work + "/config-" + std::to_string(n) + "-" + std::to_string(i);
    Tracked tracked;
    const auto firstRun = timedScan(url, config, counter.get(), {}, "/dev/null", &tracked);
    const auto secondRun = timedScan(url, config, counter.get(), {}, "/dev/null", &tracked);
    first.push_back(firstRun.ms);
    second.push_back(secondRun.ms);
    firstLock.push_back(firstRun.lockMs);
    secondLock.push_back(secondRun.lockMs);
    r.firstLogLines = firstRun.logLines;
    r.secondLogLines = secondRun.logLines;
    check(firstRun.registered == repos, "first run did not register every repository", r);
    check(secondRun.registered == 0, "second run registered something", r);
    if (i == 0) {
      ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
      Redirect out(STDOUT_FILENO, "/dev/null");
      const auto listed = SharedSuiteSession(sharedSuiteName()).loadURLs(BookmarkKeys::sandboxKey);
      check(listed && listed->size() == r.fixture.repositories,
            "the shared suite does not list every repository once", r);
    }
    removeTree(config);
  }

  // A fresh process's first run, each on fresh settings.
  std::vector<double> fresh;
  for (int i = 0; i < reps; ++i) {
    const std::string config = work + "/fresh-" + std::to_string(n) + "-" + std::to_string(i);
    const double ms = freshProcessFirstRun(folder, config);
    if (check(ms > 0, "a fresh process's first run failed", r)) fresh.push_back(ms);
    removeTree(config);
  }
  r.fresh = summarize(fresh);

  // A first run whose shared list already holds entries that do not resolve.
  for (int i = 0; i <= reps; ++i) {
    const std::string config = work + "/dead-" + std::to_string(n) + "-" + std::to_string(i);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    if (!check(storeSandboxEntries(dead), "cannot store the unresolvable entries", r)) break;
    // The last one writes its printed lines to a file, to count them.
    const bool toFile = i == reps;
    const std::string target = toFile ? work + "/printed.txt" : "/dev/null";
    const auto run = timedScan(url, config, counter.get(), {}, target);
    check(run.registered == repos, "first run over dead entries did not register everything", r);
    if (toFile) {
      r.deadToFile = run.ms;
      r.deadLines = countLines(target, r.deadBytes);
      ::unlink(target.c_str());
    } else {
      firstDead.push_back(run.ms);
    }
    removeTree(config);
  }
  {
    // The printed lines of a clean first run, for comparison.
    const std::string config = work + "/plain-" + std::to_string(n);
    const std::string target = work + "/printed.txt";
    (void)timedScan(url, config, counter.get(), {}, target);
    std::size_t bytes = 0;
    r.plainLines = countLines(target, bytes);
    ::unlink(target.c_str());
    removeTree(config);
  }

  // The real standard-error log, written to /dev/null and to a file: the
  // log's share.
  {
    std::vector<double> firsts, seconds, firstsFile, secondsFile;
    platform::Logger::shared().setSink(platform::makeStderrSink());
    for (int i = 0; i < 3; ++i) {
      const std::string config = work + "/log-" + std::to_string(n) + "-" + std::to_string(i);
      {
        Redirect err(STDERR_FILENO, "/dev/null");
        firsts.push_back(timedScan(url, config, nullptr).ms);
        seconds.push_back(timedScan(url, config, nullptr).ms);
      }
      removeTree(config);
      {
        Redirect err(STDERR_FILENO, work + "/log.txt");
        firstsFile.push_back(timedScan(url, config, nullptr).ms);
        secondsFile.push_back(timedScan(url, config, nullptr).ms);
      }
      removeTree(config);
      ::unlink((work + "/log.txt").c_str());
    }
    r.firstStderrFile = summarize(firstsFile).median;
    r.secondStderrFile = summarize(secondsFile).median;
    if (::access("/run/systemd/journal/socket", F_OK) == 0) {
      platform::Logger::shared().setSink(platform::makeJournalSink());
      const std::string config = work + "/journal-" + std::to_string(n);
      r.firstJournal = timedScan(url, config, nullptr).ms;
      removeTree(config);
    }
    platform::Logger::shared().setSink(counter);
    r.firstStderr = summarize(firsts).median;
    r.secondStderr = summarize(seconds).median;
  }

  r.lower = summarize(lower);
  r.reading = summarize(reading);
  r.test = summarize(test);
  r.first = summarize(first);
  r.second = summarize(second);
  r.firstDead = summarize(firstDead);
  r.firstLock = summarize(firstLock);
  r.secondLock = summarize(secondLock);

  const double lb = r.lower.median;
  printRow("lower bound: list, lstat each entry, stat its .git", r.lower, lb);
  printRow("lower bound reading each .git, config, objects/pack", r.reading, lb);
  printRow("repository test: walk at depth 1 + testRepositoryAt", r.test, lb);
  char label[96];
  std::snprintf(label, sizeof label, "first run: registers %zu", r.fixture.repositories);
  printRow(label, r.first, lb);
  printRow("first run in a fresh process", r.fresh, lb);
  printRow("second run: registers none", r.second, lb);
  std::printf("  first run against the lower bound reading each repository: %.2fx; a fresh "
              "process's first run against the first runs above: %.2fx\n",
              r.first.median / r.reading.median, r.fresh.median / r.first.median);
  std::snprintf(label, sizeof label, "first run with %zu unresolvable stored entries", dead.size());
  printRow(label, r.firstDead, lb);
  std::printf("  the shared settings' lock held (to read again, merge and write): first run %s "
              "[%s .. %s], second run %s\n",
              formatMilliseconds(r.firstLock.median).c_str(),
              formatMilliseconds(r.firstLock.min).c_str(),
              formatMilliseconds(r.firstLock.max).c_str(),
              formatMilliseconds(r.secondLock.median).c_str());
  std::printf(
      "    the %zu unresolvable entries cost %s (%+.0f%%): %zu printed lines, %.1f MB, "
      "instead of %zu; to a file instead of /dev/null: %s\n",
      dead.size(), formatDelta(r.firstDead.median - r.first.median).c_str(),
      r.first.median > 0 ? 100.0 * (r.firstDead.median - r.first.median) / r.first.median : 0.0,
      r.deadLines, static_cast<double>(r.deadBytes) / 1e6, r.plainLines,
      formatMilliseconds(r.deadToFile).c_str());
  std::printf(
      "  log: %zu entries in a first run, %zu in a second (above: dropped by a no-op "
      "sink); with the standard-error sink, median of 3:\n"
      "    to /dev/null: first %s (%s), second %s (%s)\n"
      "    to a file:    first %s (%s), second %s (%s)\n",
      r.firstLogLines, r.secondLogLines, formatMilliseconds(r.firstStderr).c_str(),
      formatDelta(r.firstStderr - r.first.median).c_str(),
      formatMilliseconds(r.secondStderr).c_str(),
      formatDelta(r.secondStderr - r.second.median).c_str(),
      formatMilliseconds(r.firstStderrFile).c_str(),
      formatDelta(r.firstStderrFile - r.first.median).c_str(),
      formatMilliseconds(r.secondStderrFile).c_str(),
      formatDelta(r.secondStderrFile - r.second.median).c_str());
  if (r.firstJournal >= 0) {
    std::printf("  log: with the journal sink, first run %s\n",
                formatMilliseconds(r.firstJournal).c_str());
  } else {
    std::printf(
        "  log: the journal is not reachable here (no /run/systemd/journal/socket); "
        "not measured\n");
  }
  std::fflush(stdout);

  if (shellLoop) {
    const std::string loop = "cd " + shellQuote(folder) +
                             " && for d in */; do git -C \"$d\" rev-parse --git-dir >/dev/null "
                             "2>&1; done";
    const auto start = Clock::now();
    (void)runShell(loop);
    r.shellLoop = millisecondsSince(start);
    std::printf(
        "  baseline: shell loop of `git -C \"$d\" rev-parse --git-dir`, once: %s; "
        "speed-up %.0fx for the repository test, %.0fx for the first run, %.0fx for "
        "the second run\n",
        formatMilliseconds(r.shellLoop).c_str(), r.shellLoop / r.test.median,
        r.shellLoop / r.first.median, r.shellLoop / r.second.median);
  }
  std::fflush(stdout);
  const auto removeStart = Clock::now();
  removeTree(folder);
  std::printf("  (the tree removed in %s)\n", formatMilliseconds(millisecondsSince(removeStart)).c_str());
  return r;
}

// --- The deep tree ------------------------------------------------------------

struct DeepResult {
  DeepFixture fixture;
  LowerBoundCount lowerCount;
  Summary lower, reading, first, second, firstLock;
  std::size_t candidates = 0, walked = 0, firstLogLines = 0, secondLogLines = 0;
  bool ran = false;
  bool ok = true;
};

bool checkDeep(bool condition, const char* what, DeepResult& result) {
  if (!condition) {
    std::fprintf(stderr, "deep tree: %s\n", what);
    result.ok = false;
  }
  return condition;
}

// The service's own settings as a person would set them (scanDepth 3, the
// ignore list left at its default), read back as a scan reads them.
std::optional<discovery::ScanSettings> deepSettings(const std::string& configHome) {
  ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  Redirect out(STDOUT_FILENO, "/dev/null");
  if (!discovery::editScanSettings([](discovery::ScanSettings& s) {
         s.depth = DeepFixture::kDepth;
         return discovery::ScanSettings::kDepthKey;
       }).written) {
    return std::nullopt;
  }
  const auto loaded = discovery::loadScanSettings();
  if (loaded.settings.depth != DeepFixture::kDepth || !loaded.invalid.empty() ||
      loaded.settings.ignoredFolders != std::vector<std::string>{"node_modules"}) {
    return std::nullopt;
  }
  return loaded.settings;
}

bool makeDeepFixture(const std::string& folder, DeepFixture& fixture) {
  return makeFolder(folder) && buildDeepFixture(folder, fixture);
}

DeepResult benchDeep(const std::string& work, int reps,
                     const std::shared_ptr<CountingSink>& counter) {
  DeepResult r;
  r.ran = true;
  const std::string folder = work + "/deep";
  const auto buildStart = Clock::now();
  if (!checkDeep(makeDeepFixture(folder, r.fixture), "cannot make the fixture", r)) return r;
  const DeepFixture& f = r.fixture;
  std::printf(
      "\ndeep tree, scanDepth 3: %zu repositories at <host>/<owner>/<repo>, %zu vendored "
      "checkouts inside them, %zu node_modules of %zu entries at depth 2, %zu plain folders "
      "with %zu subfolders; %zu candidates, %zu folders to list; made in %s; %d repetitions, "
      "median [min .. max], ratio to the lower bound\n",
      f.repositories, f.vendored, f.nodeModules, f.nodeModulesEntries / std::max<std::size_t>(1, f.nodeModules),
      f.plainFolders, f.plainSubfolders, f.candidates, f.walkedFolders,
      formatMilliseconds(millisecondsSince(buildStart)).c_str(), reps);
  std::fflush(stdout);
  const auto settings = deepSettings(work + "/config-deep-settings");
  if (!checkDeep(settings.has_value(), "scanDepth 3 does not read back from the settings file", r)) {
    return r;
  }
  const FileURL url = FileURL::fromPath(folder, true).withSecurityScope();
  const auto repos = static_cast<std::int64_t>(f.repositories);

  // Warm the caches, and check that the lower bound walks what the scan must.
  r.lowerCount = lowerBoundWalk(folder, deepLowerBound());
  checkDeep(r.lowerCount.repositories == f.repositories &&
                r.lowerCount.candidates == f.candidates && r.lowerCount.folders == f.walkedFolders,
            "the lower bound walked another tree than the fixture's", r);
  std::vector<double> lower, reading, first, second, firstLock;
  for (int i = 0; i < reps; ++i) {
    auto start = Clock::now();
    const auto count = lowerBoundWalk(folder, deepLowerBound());
    lower.push_back(millisecondsSince(start));
    checkDeep(count.repositories == f.repositories, "lower bound miscounted", r);
    start = Clock::now();
    const auto read = lowerBoundWalk(folder, deepReadingLowerBound());
    reading.push_back(millisecondsSince(start));
    checkDeep(read.repositories == f.repositories, "reading lower bound miscounted", r);
  }
  for (int i = 0; i < reps; ++i) {
    const std::string config = work + "/config-deep-" + std::to_string(i);
    Tracked tracked;
    const auto firstRun = timedScan(url, config, counter.get(), *settings, "/dev/null", &tracked);
    const auto secondRun = timedScan(url, config, counter.get(), *settings, "/dev/null", &tracked);
    first.push_back(firstRun.ms);
    second.push_back(secondRun.ms);
    firstLock.push_back(firstRun.lockMs);
    r.candidates = firstRun.candidates;
    r.walked = firstRun.walked;
    r.firstLogLines = firstRun.logLines;
    r.secondLogLines = secondRun.logLines;
    checkDeep(firstRun.registered == repos, "first run did not register every repository", r);
    checkDeep(secondRun.registered == 0, "second run registered something", r);
    for (const auto* run : {&firstRun, &secondRun}) {
      checkDeep(run->candidates == f.candidates, "the scan looked at other candidates", r);
      checkDeep(run->walked == f.walkedFolders, "the scan listed other folders", r);
      checkDeep(run->walkedIgnored == 0, "the scan listed a node_modules folder", r);
    }
    if (i == 0) {
      ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
      Redirect out(STDOUT_FILENO, "/dev/null");
      const auto listed = SharedSuiteSession(sharedSuiteName()).loadURLs(BookmarkKeys::sandboxKey);
      std::set<std::string> paths;
      if (listed) {
        for (const auto& listedURL : *listed) paths.insert(listedURL.path());
      }
      checkDeep(listed && listed->size() == f.repositories && paths == f.repositoryPaths,
                "the shared suite does not list exactly the repositories of the tree", r);
    }
    removeTree(config);
  }
  r.lower = summarize(lower);
  r.reading = summarize(reading);
  r.first = summarize(first);
  r.second = summarize(second);
  r.firstLock = summarize(firstLock);
  const double lb = r.lower.median;
  printRow("lower bound: openat, getdents, stat each .git", r.lower, lb);
  printRow("lower bound reading each .git, config, objects/pack", r.reading, lb);
  char label[96];
  std::snprintf(label, sizeof label, "first run: registers %zu", f.repositories);
  printRow(label, r.first, lb);
  printRow("second run: registers none", r.second, lb);
  std::printf("  the shared settings' lock held by a first run: %s [%s .. %s]\n",
              formatMilliseconds(r.firstLock.median).c_str(),
              formatMilliseconds(r.firstLock.min).c_str(),
              formatMilliseconds(r.firstLock.max).c_str());
  std::printf(
      "  the scan: %zu candidates, %zu folders listed (the watches the service holds for the "
      "tree, with the root's own); none inside node_modules; the shared suite lists exactly "
      "the %zu repositories, no vendored checkout\n"
      "  log: %zu entries in a first run, %zu in a second (dropped by a no-op sink)\n",
      r.candidates, r.walked, f.repositories, r.firstLogLines, r.secondLogLines);
  std::fflush(stdout);
  const auto removeStart = Clock::now();
  removeTree(folder);
  std::printf("  (the tree removed in %s)\n", formatMilliseconds(millisecondsSince(removeStart)).c_str());
  return r;
}

void printTargets(const std::vector<SizeResult>& results, const DeepResult& deep) {
  std::printf(
      "\ntargets (in-process; the service's end-to-end figures come from "
      "bench_service):\n");
  const auto verdict = [](bool met) { return met ? "met" : "MISSED"; };
  for (const auto& r : results) {
    if (r.n == 1000) {
      std::printf("  N=1000   first run %s < 50 ms: %s; second run %s < 15 ms: %s\n",
                  formatMilliseconds(r.first.median).c_str(), verdict(r.first.median < 50),
                  formatMilliseconds(r.second.median).c_str(), verdict(r.second.median < 15));
    } else if (r.n == 10000) {
      const double ratio = r.test.median / r.lower.median;
      std::printf(
          "  N=10000  repository test %.2fx the lower bound (<= 1.5x): %s; %.2fx the lower bound "
          "reading what it must\n",
          ratio, verdict(ratio <= 1.5), r.test.median / r.reading.median);
      std::printf(
          "  N=10000  first run %s < 400 ms (stretch 250 ms): %s; second run %s < "
          "100 ms: %s\n",
          formatMilliseconds(r.first.median).c_str(), verdict(r.first.median < 400),
          formatMilliseconds(r.second.median).c_str(), verdict(r.second.median < 100));
      const double firstRatio = r.first.median / r.lower.median;
      std::printf(
          "  N=10000  first run %.2fx the lower bound (<= 2x): %s; %.2fx the lower bound reading "
          "each repository\n",
          firstRatio, verdict(firstRatio <= 2), r.first.median / r.reading.median);
      const double freshRatio = r.fresh.median / r.first.median;
      std::printf("  N=10000  a fresh process's first run %.2fx the later first runs (<= 1.2x): %s\n",
                  freshRatio, verdict(freshRatio <= 1.2));
      std::printf("  N=10000  the shared settings' lock held by a first run %s < 10 ms: %s\n",
                  formatMilliseconds(r.firstLock.median).c_str(),
                  verdict(r.firstLock.median < 10));
      if (r.shellLoop > 0) {
        const double speedUp = r.shellLoop / r.first.median;
        std::printf(
            "  N=10000  first run %.0fx faster than the shell loop (>= 30x, aim 60x): "
            "%s\n",
            speedUp, verdict(speedUp >= 30));
      }
    }
  }
  if (deep.ran && deep.lower.median > 0) {
    const double first = deep.first.median / deep.lower.median;
    const double second = deep.second.median / deep.lower.median;
    std::printf(
        "  deep tree: first run %.2fx the lower bound (<= 4x): %s, %.2fx the lower bound reading "
        "what it must; second run %.2fx (<= 1.5x): %s; registers exactly the %zu repositories: "
        "%s\n",
        first, verdict(first <= 4), deep.first.median / deep.reading.median, second,
        verdict(second <= 1.5), deep.fixture.repositories, verdict(deep.ok));
  }
}

// Markers for a system-call trace: what lies between them is the phase.
// For callgrind, --toggle-collect='*profiledPhase*' collects the phase
// alone (not the first run that a second run needs before it).
[[gnu::noinline]] void profiledPhase(const std::function<void()>& phase) { phase(); }

template <typename Phase>
void betweenMarkers(const Phase& phase) {
  (void)::access("/zivuv-bench-profile-begin", F_OK);
  profiledPhase(phase);
  (void)::access("/zivuv-bench-profile-end", F_OK);
}

int profileDeep(const std::string& work, const std::string& phase) {
  const std::string folder = work + "/deep";
  DeepFixture fixture;
  if (!makeDeepFixture(folder, fixture)) return 1;
  const auto settings = deepSettings(work + "/config-deep-settings");
  if (!settings) return 1;
  const FileURL url = FileURL::fromPath(folder, true).withSecurityScope();
  const LowerBoundCount warm = lowerBoundWalk(folder, deepLowerBound());
  if (phase == "deep-lower") {
    LowerBoundCount count;
    betweenMarkers([&] { count = lowerBoundWalk(folder, deepLowerBound()); });
    std::printf("deep lower bound: %zu repositories, %zu candidates, %zu folders\n",
                count.repositories, count.candidates, count.folders);
    return 0;
  }
  const std::string config = work + "/config-profile";
  Tracked tracked;
  if (phase == "deep-second") (void)timedScan(url, config, nullptr, *settings, "/dev/null", &tracked);
  ScanRun run;
  betweenMarkers([&] { run = timedScan(url, config, nullptr, *settings, "/dev/null", &tracked); });
  std::printf("%s run: %lld registered in %s; %zu candidates, %zu folders listed (lower bound "
              "%zu, %zu)\n",
              phase.c_str(), static_cast<long long>(run.registered),
              formatMilliseconds(run.ms).c_str(), run.candidates, run.walked, warm.candidates,
              warm.folders);
  return 0;
}

int profileOnce(const std::string& work, std::size_t n, const std::string& phase) {
  if (phase.starts_with("deep-")) return profileDeep(work, phase);
  const std::string folder = work + "/folder-" + std::to_string(n);
  Fixture fixture;
  if (!makeFolder(folder) || !buildFixture(folder, n, fixture)) return 1;
  const FileURL url = FileURL::fromPath(folder, true).withSecurityScope();
  (void)lowerBoundWalk(folder, flatLowerBound());
  const std::string config = work + "/config-profile";
  if (phase == "test" || phase == "lower" || phase == "reading") {
    std::size_t found = 0;
    betweenMarkers([&] {
      found = phase == "test"    ? repositoryTest(url)
              : phase == "lower" ? lowerBoundWalk(folder, flatLowerBound()).repositories
                                 : lowerBoundWalk(folder, flatReadingLowerBound()).repositories;
    });
    std::printf("%s: %zu found\n", phase.c_str(), found);
    return 0;
  }
  Tracked tracked;
  if (phase == "second") (void)timedScan(url, config, nullptr, {}, "/dev/null", &tracked);
  ScanRun run;
  betweenMarkers([&] { run = timedScan(url, config, nullptr, {}, "/dev/null", &tracked); });
  std::printf("%s run: %lld registered in %s\n", phase.c_str(),
              static_cast<long long>(run.registered), formatMilliseconds(run.ms).c_str());
  return 0;
}

// libgit2 is loaded the first time a candidate needs it (a .git file, a bare
// repository, an incomplete .git folder, another owner, an unusual config)
// and unloaded at the end of the scan; the common layouts, and so every
// candidate of the fixtures below, are answered without it. What that costs
// in this process, against a helper process that would run libgit2 and end
// (forked here from a single-threaded process: the best case a helper could
// have, with neither an exec nor a multi-threaded parent), and what libgit2
// 1.5.1 leaks at each open of a format-1 repository.
void benchLibgit2(const std::string& work) {
  const std::string bare = work + "/libgit2-bare";
  const std::string format1 = work + "/libgit2-format1";
  const std::string setup = "git init -q --bare '" + bare + "' && git init -q '" + format1 +
                            "' && git -C '" + format1 + "' config core.repositoryformatversion 1";
  if (std::system(setup.c_str()) != 0) {
    std::printf("libgit2: cannot make its fixtures with git\n");
    return;
  }
  constexpr int kVerdicts = 100;
  constexpr int kRounds = 9;
  const auto rollup = [](const char* field) {
    return procFieldKiB("/proc/self/smaps_rollup", field);
  };
  std::vector<double> firsts, laters, unloads, helpers;
  long rssBefore = rollup("Rss"), pssBefore = rollup("Pss"), rssLoaded = 0, rssAfter = 0,
       pssAfter = 0;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    {
      const discovery::Libgit2Hold hold;
      if (!discovery::testRepository(bare).opens()) {
        std::printf("libgit2: the bare fixture does not open\n");
      }
      firsts.push_back(millisecondsSince(start));
      start = Clock::now();
      for (int i = 1; i < kVerdicts; ++i) (void)discovery::testRepository(bare);
      laters.push_back(millisecondsSince(start) / (kVerdicts - 1));
      rssLoaded = rollup("Rss");
      start = Clock::now();
    }
    unloads.push_back(millisecondsSince(start));
    (void)::malloc_trim(0);
    rssAfter = rollup("Rss");
    pssAfter = rollup("Pss");
    // The same verdicts in a child that ends.
    start = Clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
      const discovery::Libgit2Hold hold;
      for (int i = 0; i < kVerdicts; ++i) (void)discovery::testRepository(bare);
      ::_exit(0);
    }
    int status = 0;
    if (child > 0) (void)::waitpid(child, &status, 0);
    helpers.push_back(millisecondsSince(start));
  }
  const long rssParent = rollup("Rss");
  const Summary first = summarize(firsts), later = summarize(laters), unload = summarize(unloads),
                helper = summarize(helpers);
  std::printf(
      "libgit2 in this process, medians of %d: first verdict of a scan (dlopen, "
      "git_libgit2_init, the open) %s; each further verdict %.1f us; unload at the scan's end "
      "(git_libgit2_shutdown, dlclose, libcrypto's pages dropped) %s\n"
      "  RSS %ld KiB before, %ld KiB loaded, %ld KiB after (PSS %ld -> %ld KiB); in the map "
      "after: %s\n",
      kRounds, formatMilliseconds(first.median).c_str(), later.median * 1000,
      formatMilliseconds(unload.median).c_str(), rssBefore, rssLoaded, rssAfter, pssBefore,
      pssAfter, discovery::libgit2Loaded() ? "libgit2" : "no libgit2");
  std::printf(
      "libgit2 in a helper process forked per scan: %d verdicts from fork to exit %s (in "
      "this process: %s); this process's RSS after %ld KiB\n",
      kVerdicts, formatMilliseconds(helper.median).c_str(),
      formatMilliseconds(first.median + later.median * (kVerdicts - 1) + unload.median).c_str(),
      rssParent);
  // The leak stays in the heap of the process that made the opens.
  (void)::malloc_trim(0);
  const std::size_t heapBefore = ::mallinfo2().uordblks;
  {
    const discovery::Libgit2Hold hold;
    for (int i = 0; i < kVerdicts; ++i) (void)discovery::testRepository(format1);
  }
  std::printf(
      "libgit2 1.5.1 leaks at each open of a format-1 repository: %d opens, %+ld KiB of heap "
      "in use after the unload\n",
      kVerdicts, static_cast<long>((::mallinfo2().uordblks - heapBefore) / 1024));
  std::fflush(stdout);
}

}  // namespace

// --fresh-first FOLDER CONFIG: one first run, its time in ms on standard
// output; what a fresh process pays for its first scan.
int freshFirst(const std::string& folder, const std::string& config) {
  platform::Logger::shared().setSink(std::make_shared<CountingSink>());
  const auto run = timedScan(FileURL::fromPath(folder, true).withSecurityScope(), config, nullptr);
  std::printf("%.3f\n", run.ms);
  return run.registered > 0 ? 0 : 1;
}

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--fresh-first") == 0) return freshFirst(argv[2], argv[3]);
  const Options options = parseOptions(argc, argv);
  auto counter = std::make_shared<CountingSink>();
  platform::Logger::shared().setSink(counter);

  TempDir work("zivuv-bench-scan");
  if (!work.ok()) return 1;
  // The settings of every run live in the work folder, never in the
  // person's own.
  ::setenv("XDG_CONFIG_HOME", (work.path() + "/config-setup").c_str(), 1);

  if (!options.profile.empty())
    return profileOnce(work.path(), options.sizes.front(), options.profile);

  std::printf("bench_scan on %s\nwork folder %s (%s); load average %s\n", describeMachine().c_str(),
              work.path().c_str(), fileSystemType(work.path()).c_str(), loadAverage().c_str());
  benchLibgit2(work.path());

  {
    const std::string folder = work.path() + "/verify-fixture";
    Fixture fixture;
    if (!makeFolder(folder) || !buildFixture(folder, 20, fixture) ||
        !verifyRepositoryTest(work.path(), folder, 20)) {
      std::fprintf(stderr, "the repository test disagrees with git; figures would mean nothing\n");
      return 1;
    }
    removeTree(folder);
  }
  const auto dead = makeDeadEntries(work.path());
  if (dead.size() != kDeadEntries) {
    std::fprintf(stderr, "cannot make the unresolvable entries\n");
    return 1;
  }

  std::vector<SizeResult> results;
  bool ok = true;
  for (const std::size_t n : options.sizes) {
    const int reps = options.reps > 0 ? options.reps : (n <= 2000 ? 21 : 9);
    results.push_back(benchSize(work.path(), n, reps, options.shellLoop, dead, counter));
    ok = ok && results.back().ok;
  }
  DeepResult deep;
  if (options.deep) {
    deep = benchDeep(work.path(), options.reps > 0 ? options.reps : 9, counter);
    ok = ok && deep.ok;
  }
  printTargets(results, deep);
  std::printf("load average at the end: %s\n", loadAverage().c_str());
  if (!ok) std::fprintf(stderr, "some checks failed: see above\n");
  return ok ? 0 : 1;
}
