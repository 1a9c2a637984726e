#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/thread/Executor.h"

namespace zivuv::platform {

// A thread that runs the tasks posted to its Executor, in order, for work
// that may block in a file system for as long as that takes (a share that
// stopped answering) without holding up the thread that posted it. No
// descriptor but the executor's, no wakeup while idle.
//
// With a scheduler, a task that has run for the stall limit while others
// wait behind it is abandoned: it keeps its thread, which ends once the
// task returns, and a fresh thread runs the tasks behind it. A task asks
// abandoned() before it brings anything back: its caller has moved on, and
// what it finds is dropped. The check is armed only while a task waits
// behind a running one, so an idle or unhurried worker sets no timer. At
// most kMaxAbandoned threads wait in the kernel at once; past that, tasks
// wait as they would without a scheduler.
class Worker {
 public:
  // Runs a task once a delay has passed, on a thread that never waits for
  // a file system (the bus loop).
  using Scheduler = std::function<void(std::chrono::milliseconds, Task)>;
  static constexpr std::chrono::milliseconds kStallLimit{1000};
  static constexpr int kMaxAbandoned = 4;

  // label names the thread (truncated to 15 bytes by the kernel).
  explicit Worker(const std::string& label, Scheduler after = {},
                  std::chrono::milliseconds stallLimit = kStallLimit);
  // Closes the executor (its rule: what was posted still runs) and waits
  // for the thread to run it, unless called on that thread, which then
  // ends by itself. An abandoned thread is never waited for.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Any thread; false once the worker is closing (the task is destroyed).
  bool post(Task task);

  // In a task: whether the worker moved on without it. Any other thread:
  // false.
  static bool abandoned();

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace zivuv::platform
