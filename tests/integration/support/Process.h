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
#include <vector>

#include "platform/fd/UniqueFd.h"
#include "support/Deadline.h"

namespace zivuv::testing {

using platform::UniqueFd;
// Variables set (a value) or removed (nullopt) on top of this process's environment.
using Environment = std::map<std::string, std::optional<std::string>>;

enum class Stream { Out, Err };

// A child process in its own process group, started with posix_spawnp (no
// shell; argv[0] without a slash is looked up in this process's PATH), its
// standard input /dev/null and its output and error read line by line on a
// reader thread. Descriptors above 2 are closed in the child. Every method is
// safe from any thread; the destructor kills the group and reaps the child.
class Process {
 public:
  explicit Process(std::vector<std::string> argv, const Environment& env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool ok() const { return pid_ > 0; }
  const std::string& error() const { return error_; }

  // Sends `sig` to the child; false once it was reaped.
  bool signal(int sig);
  // Reaps the child: its exit code, or minus the signal that ended it;
  // nullopt when `deadline` came first. Then waits (up to `deadline`) for
  // both pipes to close, so that lines() holds everything it wrote.
  std::optional<int> waitExit(Deadline deadline);

  // Lines so far, without the line feed; an unterminated last line appears
  // once the stream closed.
  std::vector<std::string> lines(Stream stream) const;
  // Everything written so far, as written.
  std::string text(Stream stream) const;
  // Both streams, each line prefixed "out: " or "err: ", for failure messages.
  std::string transcript() const;
  std::size_t countLines(Stream stream, const std::function<bool(const std::string&)>& match) const;
  std::size_t countLines(Stream stream, std::string_view substring) const;
  // Waits until at least `n` lines match; false at `deadline`, or once the
  // stream closed short of them.
  bool waitForLines(Stream stream, const std::function<bool(const std::string&)>& match,
                    std::size_t n, Deadline deadline);

  // For leak checks, read from /proc while the child runs.
  std::optional<std::size_t> openFdCount() const;
  std::optional<long> rssKiB() const;

 private:
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
  std::vector<std::string> lines_[2];
  std::string text_[2];
  bool closed_[2] = {false, false};
  std::optional<int> status_;
};

// What a command run to its end left.
struct CommandResult {
  int status = -1;  // exit code, or minus the signal
  std::vector<std::string> out;
  std::vector<std::string> err;
};

// Runs `argv` to its end; nullopt when it cannot start or outlives `deadline`.
std::optional<CommandResult> runCommand(std::vector<std::string> argv, const Environment& env,
                                        Deadline deadline);

// `git init -q <path>`, untouched by the machine's and the user's git
// configuration; `error`, when given, receives git's output on failure.
bool gitInit(const std::filesystem::path& path, std::string* error = nullptr);

// A built executable: in $ZIVUV_BIN_DIR when set, else in the build tree.
std::filesystem::path binaryPath(const std::string& name);

}  // namespace zivuv::testing
