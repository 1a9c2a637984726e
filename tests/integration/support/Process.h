#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/Deadline.h"
#include "support/UniqueFd.h"

namespace zivuv::testing {

enum class Stream { Out, Err };

// How to start a child. `argv[0]` without a slash is looked up in the PATH
// of the child's environment.
struct ProcessOptions {
  std::vector<std::string> argv;
  // Variables set (a value) or removed (nullopt) on top of the base
  // environment: the current one, or an empty one with `cleanEnvironment`.
  std::map<std::string, std::optional<std::string>> env;
  bool cleanEnvironment = false;
  // Working directory of the child; empty keeps the current one.
  std::filesystem::path workingDirectory;
  // Descriptors of this process handed to the child under another number
  // (parent fd, child fd), child numbers above 2. Everything else above 2
  // is closed in the child. Standard input is /dev/null.
  std::vector<std::pair<int, int>> passFds;
};

// A child process in its own process group, started with posix_spawn (no
// shell), its standard output and error read line by line on a reader
// thread. Every method is safe to call from any thread. The destructor
// kills the group and reaps the child when it still runs.
class Process {
 public:
  explicit Process(ProcessOptions options);
  // Shorthand: argv with environment overrides on top of the current one.
  explicit Process(std::vector<std::string> argv,
                   std::map<std::string, std::optional<std::string>> env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // False when the child could not be started; `error()` says why.
  bool ok() const { return pid_ > 0; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }

  // Sends `sig` to the child (not the group). False once it was reaped.
  bool signal(int sig);

  // Waits until the child ends and reaps it: its exit code, or minus the
  // signal that ended it; nullopt when `deadline` passed first. Once ended,
  // it also waits (up to `deadline`) until both output pipes closed, so
  // `lines()` holds everything the child wrote.
  std::optional<int> waitExit(Deadline deadline);
  // The status once reaped by waitExit(); nullopt while it runs.
  std::optional<int> exitStatus() const;
  // True until the child has been seen to end.
  bool running();

  // Lines written so far (without the line feed); a last line without a
  // line feed appears once the stream closed.
  std::vector<std::string> lines(Stream stream) const;
  // Both streams, each line prefixed "out: " or "err: ", for failure messages.
  std::string transcript() const;
  std::size_t countLines(Stream stream, const std::function<bool(const std::string&)>& match) const;
  std::size_t countLines(Stream stream, std::string_view substring) const;
  // Waits until at least `n` lines of `stream` match. False at `deadline`, or
  // earlier when the stream closed without enough matches.
  bool waitForLines(Stream stream, const std::function<bool(const std::string&)>& match,
                    std::size_t n, Deadline deadline);
  bool waitForLine(Stream stream, const std::function<bool(const std::string&)>& match,
                   Deadline deadline) {
    return waitForLines(stream, match, 1, deadline);
  }
  bool waitForLine(Stream stream, std::string_view substring, Deadline deadline);

  // Helpers for leak tests, read from /proc while the child runs.
  std::optional<std::size_t> openFdCount() const;
  std::optional<long> rssKiB() const;
  std::optional<long> threadCount() const;

 private:
  void start(ProcessOptions options);
  void readLoop();
  bool reapNoWait();

  pid_t pid_ = -1;
  std::string error_;
  UniqueFd pidfd_;
  UniqueFd out_;
  UniqueFd err_;
  UniqueFd stopReader_;  // eventfd that ends the reader thread
  std::thread reader_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> outLines_;
  std::vector<std::string> errLines_;
  bool outClosed_ = false;
  bool errClosed_ = false;
  std::optional<int> status_;
};

// Result of a short command run to its end.
struct CommandResult {
  int status = -1;  // exit code, or minus the signal
  std::vector<std::string> out;
  std::vector<std::string> err;
};

// Runs `argv` to its end; nullopt when it cannot start or outlives `deadline`
// (it is then killed).
std::optional<CommandResult> runCommand(
    std::vector<std::string> argv, std::map<std::string, std::optional<std::string>> env,
    Deadline deadline, const std::filesystem::path& workingDirectory = {});

}  // namespace zivuv::testing
