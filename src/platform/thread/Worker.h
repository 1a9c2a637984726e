#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace zivuv::platform {

// One thread that runs submitted work in order, for work that may block in
// a file system for as long as that takes (a hung share) without holding up
// the thread that submitted it. No descriptor, no wakeup while idle.
class Worker {
 public:
  // label names the thread (truncated to 15 bytes by the kernel).
  explicit Worker(const std::string& label);
  // Lets the work begun finish and drops the rest.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Any thread.
  void post(std::function<void()> work);

 private:
  // Shared with the thread, so that a worker destroyed by its own work
  // lets the thread end by itself.
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> work;
    bool stopping = false;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  std::thread thread_;
};

}  // namespace zivuv::platform
