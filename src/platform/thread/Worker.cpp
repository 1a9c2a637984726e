#include "platform/thread/Worker.h"

#include <pthread.h>

namespace zivuv::platform {

Worker::Worker(const std::string& label) {
  thread_ = std::thread([state = state_] {
    for (;;) {
      std::function<void()> work;
      {
        std::unique_lock lock(state->mutex);
        state->ready.wait(lock, [&] { return state->stopping || !state->work.empty(); });
        if (state->stopping) return;
        work = std::move(state->work.front());
        state->work.pop_front();
      }
      try {
        work();
      } catch (...) {
        // Work must not end the worker; its failure stays its own.
      }
    }
  });
  (void)::pthread_setname_np(thread_.native_handle(), label.substr(0, 15).c_str());
}

Worker::~Worker() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->ready.notify_all();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void Worker::post(std::function<void()> work) {
  {
    std::lock_guard lock(state_->mutex);
    state_->work.push_back(std::move(work));
  }
  state_->ready.notify_one();
}

}  // namespace zivuv::platform
