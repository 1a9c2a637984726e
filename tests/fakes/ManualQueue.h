#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "watch/SerialQueue.h"

namespace zivuv::testing {

// A serial queue driven by the test: submitted work runs when the test pumps
// it, folder events are raised by hand and timers fire against a manual
// clock. Single-threaded; the test thread plays the queue thread.
class ManualQueue final : public watch::SerialQueue {
 public:
  struct FakeSource final : watch::Source {
    ManualQueue* queue = nullptr;
    std::string path;
    watch::Handler onEvent;
    watch::Handler onCancel;
    std::chrono::nanoseconds deadline{};
    bool cancelled = false;
    bool fired = false;

    void cancel() override {
      if (cancelled) return;
      cancelled = true;
      if (onCancel) queue->async(onCancel);
    }
  };

  void async(watch::Handler work) override { pending_.push_back(std::move(work)); }

  std::shared_ptr<watch::Source> makeFolderSource(const std::string& path, watch::Handler onEvent,
                                                  watch::Handler onCancel) override {
    if (failFolderSources) return nullptr;
    auto source = std::make_shared<FakeSource>();
    source->queue = this;
    source->path = path;
    source->onEvent = std::move(onEvent);
    source->onCancel = std::move(onCancel);
    folders_.push_back(source);
    return source;
  }

  std::shared_ptr<watch::Source> makeTimer(std::chrono::nanoseconds delay,
                                           std::chrono::nanoseconds /*leeway*/,
                                           watch::Handler onFire) override {
    auto source = std::make_shared<FakeSource>();
    source->queue = this;
    source->deadline = now_ + delay;
    source->onEvent = std::move(onFire);
    timers_.push_back(source);
    return source;
  }

  // Runs submitted work, including work that it submits, until none is left.
  void runPending() {
    while (!pending_.empty()) {
      auto work = std::move(pending_.front());
      pending_.pop_front();
      work();
    }
  }

  // Queues one event batch for every live folder source; runPending() runs it.
  void raiseFolderEvent() {
    for (const auto& source : folders_) {
      if (!source->cancelled) async(source->onEvent);
    }
  }

  // Moves the clock on and fires, in deadline order, the live timers due.
  void advance(std::chrono::nanoseconds by) {
    runPending();
    now_ += by;
    for (;;) {
      std::shared_ptr<FakeSource> due;
      for (const auto& timer : timers_) {
        if (!timer->cancelled && !timer->fired && timer->deadline <= now_ &&
            (!due || timer->deadline < due->deadline)) {
          due = timer;
        }
      }
      if (!due) break;
      due->fired = true;
      due->onEvent();
      runPending();
    }
  }

  std::vector<std::shared_ptr<FakeSource>> liveFolderSources() const {
    std::vector<std::shared_ptr<FakeSource>> live;
    for (const auto& source : folders_) {
      if (!source->cancelled) live.push_back(source);
    }
    return live;
  }

  std::size_t liveTimers() const {
    std::size_t n = 0;
    for (const auto& timer : timers_) n += (!timer->cancelled && !timer->fired) ? 1 : 0;
    return n;
  }

  // A handle to give away (the listener owns its queue) while the test
  // keeps driving this one.
  std::unique_ptr<watch::SerialQueue> handle();

  bool failFolderSources = false;

 private:
  std::chrono::nanoseconds now_{};
  std::deque<watch::Handler> pending_;
  std::vector<std::shared_ptr<FakeSource>> folders_;
  std::vector<std::shared_ptr<FakeSource>> timers_;
};

class ForwardingQueue final : public watch::SerialQueue {
 public:
  explicit ForwardingQueue(ManualQueue& target) : target_(target) {}
  void async(watch::Handler work) override { target_.async(std::move(work)); }
  std::shared_ptr<watch::Source> makeFolderSource(const std::string& path, watch::Handler onEvent,
                                                  watch::Handler onCancel) override {
    return target_.makeFolderSource(path, std::move(onEvent), std::move(onCancel));
  }
  std::shared_ptr<watch::Source> makeTimer(std::chrono::nanoseconds delay,
                                           std::chrono::nanoseconds leeway,
                                           watch::Handler onFire) override {
    return target_.makeTimer(delay, leeway, std::move(onFire));
  }

 private:
  ManualQueue& target_;
};

inline std::unique_ptr<watch::SerialQueue> ManualQueue::handle() {
  return std::make_unique<ForwardingQueue>(*this);
}

}  // namespace zivuv::testing
