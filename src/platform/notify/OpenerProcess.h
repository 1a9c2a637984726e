#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/fd/UniqueFd.h"

namespace zivuv::platform {

// A small process of its own that starts xdg-open (found on PATH, without a
// shell) for one URL alone. Forked before the service confines itself, it
// stays unconfined, and so does whatever xdg-open starts. xdg-open runs in
// the environment the opener was forked with, less what the service manager
// handed to the service alone, with every signal at its default, none
// blocked, and no descriptor beyond the standard three. The opener never
// leaves a zombie, and ends with the thread that forked it or when this
// object goes.
class OpenerProcess {
 public:
  // Forks the opener, which accepts allowedUrl alone. Call before any other
  // thread exists. When it cannot start, open() says why.
  static OpenerProcess start(const std::string& allowedUrl);

  // Has the opener start xdg-open for url, with XDG_ACTIVATION_TOKEN set
  // when a token is given, and waits for its answer (at most
  // kAnswerTimeout): empty when xdg-open started, else why not. The opener
  // refuses any other URL and a token with control bytes. One caller at a
  // time.
  std::string open(const std::string& url, const std::string& activationToken);

  // The same in two steps, for a caller that must not wait: send() hands
  // the request over without waiting (empty, or why it could not); the
  // opener answers each request in turn, and once socket() is readable
  // receive() takes the next answer (empty when xdg-open started, else why
  // not), or nullopt when none is there yet.
  std::string send(const std::string& url, const std::string& activationToken);
  std::optional<std::string> receive();
  int socket() const { return socket_.get(); }
  static constexpr std::chrono::seconds kAnswerTimeout{10};

  // The opener's process id; 0 when it did not start.
  pid_t pid() const { return pid_; }

 private:
  OpenerProcess(UniqueFd socket, pid_t pid, std::string startError)
      : socket_(std::move(socket)), pid_(pid), startError_(std::move(startError)) {}

  UniqueFd socket_;
  pid_t pid_ = 0;
  std::string startError_;
};

}  // namespace zivuv::platform
