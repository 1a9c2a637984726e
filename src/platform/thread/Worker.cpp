#include "platform/thread/Worker.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>

namespace zivuv::platform {

namespace {

// Set in each of the worker's threads: whether it has been abandoned.
thread_local const std::atomic<bool>* tAbandoned = nullptr;

using Clock = std::chrono::steady_clock;

}  // namespace

struct Worker::Core : std::enable_shared_from_this<Core> {
  Executor tasks;
  std::string label;
  Scheduler after;
  std::chrono::milliseconds stallLimit{};

  std::mutex mutex;
  std::thread thread;                                // the one that runs tasks now
  std::shared_ptr<std::atomic<bool>> threadAbandoned;  // that thread's flag
  struct Running {
    std::uint64_t id;
    Clock::time_point since;
  };
  std::optional<Running> running;
  std::uint64_t lastId = 0;
  bool checkArmed = false;
  int abandonedAlive = 0;

  // Starts a thread for the tasks; false when none can be started.
  bool startThread() {
    auto flag = std::make_shared<std::atomic<bool>>(false);
    try {
      thread = std::thread([self = shared_from_this(), flag, name = label.substr(0, 15)] {
        // Named from inside: naming another thread writes to /proc, which
        // the service's confinement refuses.
        (void)::pthread_setname_np(::pthread_self(), name.c_str());
        self->run(*flag);
      });
    } catch (...) {
      return false;
    }
    threadAbandoned = std::move(flag);
    return true;
  }

  void run(const std::atomic<bool>& abandoned) {
    tAbandoned = &abandoned;
    for (;;) {
      // What was handed over from an abandoned thread first: its wake was
      // taken already.
      for (;;) {
        std::optional<Task> task;
        {
          std::lock_guard lock(mutex);
          task = tasks.takeOne();
          if (!task) break;
          running = Running{++lastId, Clock::now()};
        }
        // Tasks wait behind this one already (handed over, or posted
        // while the one before ran).
        if (!tasks.empty()) armCheck();
        try {
          (*task)();
          task.reset();
        } catch (...) {
          // A task must not end the worker; its failure stays its own.
        }
        std::lock_guard lock(mutex);
        if (abandoned.load()) {
          --abandonedAlive;
          return;
        }
        running.reset();
      }
      if (tasks.closed() && tasks.empty()) return;
      pollfd wait{tasks.fd(), POLLIN, 0};
      (void)::poll(&wait, 1, -1);
      std::uint64_t count = 0;
      (void)!::read(tasks.fd(), &count, sizeof count);
    }
  }

  // A task waits behind a running one: look again once the running one
  // has run for the stall limit. A task posted and taken at once waits
  // behind nothing.
  void armCheck() {
    std::unique_lock lock(mutex);
    if (!after || !running || checkArmed || tasks.empty()) return;
    checkArmed = true;
    const auto due = running->since + stallLimit;
    const auto delay = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(Clock::duration::zero(), due - Clock::now()));
    const std::uint64_t id = running->id;
    lock.unlock();
    after(delay, [weak = weak_from_this(), id] {
      if (const auto self = weak.lock()) self->check(id);
    });
  }

  void check(std::uint64_t id) {
    {
      std::lock_guard lock(mutex);
      checkArmed = false;
      if (!running || tasks.empty()) return;
      if (running->id == id && Clock::now() - running->since >= stallLimit) {
        if (abandonedAlive >= kMaxAbandoned) return;
        // The stalled task keeps its thread; the tasks behind it get a new
        // one. The old thread ends by itself once the kernel lets it go.
        threadAbandoned->store(true);
        thread.detach();
        ++abandonedAlive;
        running.reset();
        if (!startThread()) --abandonedAlive;
        return;
      }
    }
    armCheck();  // another task runs now, and tasks still wait behind it
  }
};

Worker::Worker(const std::string& label, Scheduler after, std::chrono::milliseconds stallLimit)
    : core_(std::make_shared<Core>()) {
  core_->label = label;
  core_->after = std::move(after);
  core_->stallLimit = stallLimit;
  std::lock_guard lock(core_->mutex);
  (void)core_->startThread();
}

Worker::~Worker() {
  core_->tasks.close();
  std::thread thread;
  {
    std::lock_guard lock(core_->mutex);
    thread = std::move(core_->thread);
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

bool Worker::post(Task task) {
  if (!core_->tasks.post(std::move(task))) return false;
  core_->armCheck();
  return true;
}

bool Worker::abandoned() { return tAbandoned != nullptr && tAbandoned->load(); }

}  // namespace zivuv::platform
