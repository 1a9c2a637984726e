#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "watch/SerialQueue.h"

namespace zivuv::testing {

// A serial queue driven by the test on its own thread: submitted work runs
// when the test pumps it, folder events are raised by hand and timers fire
// against a manual clock.
class ManualQueue final : public watch::SerialQueue {
 public:
  struct FakeSource final : watch::Source {
    ManualQueue* queue = nullptr;
    std::string path;
    watch::FolderHandler onEvent;
    watch::Handler onFire, onCancel;
    std::chrono::nanoseconds deadline{}, interval{};
    bool cancelled = false;
    void cancel() override {
      if (!cancelled && onCancel) queue->async(onCancel);
      cancelled = true;
    }
  };

  void async(watch::Handler work) override { pending_.push_back(std::move(work)); }
  std::shared_ptr<watch::Source> makeFolderSource(const std::string& path,
                                                  watch::FolderHandler onEvent,
                                                  watch::Handler onCancel,
                                                  watch::WatchFailure* failure) override {
    if (failFolderSources) {
      if (failure != nullptr) *failure = {watch::WatchFailure::Call::AddWatch, ENOSPC};
      return nullptr;
    }
    auto& source = sources_.emplace_back(std::make_shared<FakeSource>());
    source->queue = this;
    source->path = path;
    source->onEvent = std::move(onEvent);
    source->onCancel = std::move(onCancel);
    return source;
  }
  std::shared_ptr<watch::FolderSet> makeFolderSet(watch::FolderSetHandler,
                                                  watch::WatchFailure*) override {
    return nullptr;
  }
  std::shared_ptr<watch::Source> makeTimer(std::chrono::nanoseconds delay, watch::Handler onFire,
                                           std::chrono::nanoseconds interval) override {
    auto& timer = sources_.emplace_back(std::make_shared<FakeSource>());
    timer->queue = this;
    timer->onFire = std::move(onFire);
    timer->deadline = now_ + delay;
    timer->interval = interval;
    return timer;
  }

  // Runs submitted work, including work that it submits, until none is left.
  void runPending() {
    while (!pending_.empty()) {
      auto work = std::move(pending_.front());
      pending_.pop_front();
      work();
    }
  }
  // Raises one event on every live folder source and runs it.
  void raise(watch::FolderEvent event) {
    for (const auto& source : live(true)) source->onEvent(event);
    runPending();
  }
  // Moves the clock on, firing the live timers that come due, in order.
  void advance(std::chrono::nanoseconds by) {
    runPending();
    const auto until = now_ + by;
    for (;;) {
      std::shared_ptr<FakeSource> due;
      for (const auto& timer : live(false)) {
        if (timer->deadline <= until && (!due || timer->deadline < due->deadline)) due = timer;
      }
      if (!due) break;
      now_ = due->deadline;
      due->cancelled = due->interval.count() == 0;
      due->deadline += due->interval;
      due->onFire();
      runPending();
    }
    now_ = until;
  }
  std::vector<std::shared_ptr<FakeSource>> live(bool folders) const {
    std::vector<std::shared_ptr<FakeSource>> found;
    for (const auto& s : sources_) {
      if (!s->cancelled && (folders ? bool(s->onEvent) : bool(s->onFire))) found.push_back(s);
    }
    return found;
  }

  bool failFolderSources = false;

 private:
  std::chrono::nanoseconds now_{};
  std::deque<watch::Handler> pending_;
  std::vector<std::shared_ptr<FakeSource>> sources_;
};

}  // namespace zivuv::testing
