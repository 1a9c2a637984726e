#pragma once

#include <deque>
#include <mutex>
#include <optional>

#include "platform/fd/UniqueFd.h"
#include "platform/thread/Task.h"

namespace zivuv::platform {

// Tasks handed over from any thread to the one loop that runs them, in
// order, one at a time: a Worker's thread, monitorQueue's epoll loop, the
// bus loop. The loop waits for fd() to become readable and takes what
// waits; nothing wakes it while no task waits.
//
// The shutdown rule of every executor of the service: close() lets through
// what was posted before it, which the loop still runs, in order, before it
// ends; a task posted after it is refused and destroyed unrun on the
// poster's thread, so that a Reply it holds answers with its fallback there
// and then. No task is dropped silently, and none runs after its loop ended.
class Executor {
 public:
  Executor();
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  // Any thread. false, with the task destroyed, once closed.
  bool post(Task task);

  // An eventfd, readable while tasks may wait.
  int fd() const { return wake_.get(); }

  // The loop's thread: every task waiting now, with the wake reset, or the
  // first alone (the wake is then left to the loop).
  std::deque<Task> takeAll();
  std::optional<Task> takeOne();
  bool empty() const;

  // Any thread: refuses what comes after and wakes the loop.
  void close();
  bool closed() const;

 private:
  void wake() const;

  mutable std::mutex mutex_;
  std::deque<Task> tasks_;
  bool closed_ = false;
  UniqueFd wake_;
};

}  // namespace zivuv::platform
