#include "platform/thread/Executor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace zivuv::platform {

Executor::Executor() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool Executor::post(Task task) {
  {
    std::lock_guard lock(mutex_);
    if (closed_) return false;  // task goes with this frame, outside the lock
    tasks_.push_back(std::move(task));
  }
  wake();
  return true;
}

std::deque<Task> Executor::takeAll() {
  std::uint64_t count = 0;
  (void)!::read(wake_.get(), &count, sizeof count);
  std::deque<Task> batch;
  std::lock_guard lock(mutex_);
  batch.swap(tasks_);
  return batch;
}

std::optional<Task> Executor::takeOne() {
  std::lock_guard lock(mutex_);
  if (tasks_.empty()) return std::nullopt;
  std::optional<Task> task(std::move(tasks_.front()));
  tasks_.pop_front();
  return task;
}

bool Executor::empty() const {
  std::lock_guard lock(mutex_);
  return tasks_.empty();
}

void Executor::close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  wake();
}

bool Executor::closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

void Executor::wake() const {
  const std::uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
}

}  // namespace zivuv::platform
