#pragma once

#include <deque>
#include <memory>
#include <vector>

#include "watch/SerialQueue.h"

namespace zivuv::testing {

// A serial queue driven by the test on its own thread: submitted work runs
// when the test pumps it, folder events are raised by hand, and timers fire
// against a manual clock, which the queues made from one Shared share.
class ManualQueue final : public watch::SerialQueue {
 public:
  struct Shared {
    std::chrono::nanoseconds now{};
    bool failFolderSources = false;
  };
  explicit ManualQueue(std::shared_ptr<Shared> shared = std::make_shared<Shared>())
      : shared_(std::move(shared)) {}

  struct FakeSource final : watch::FolderSource {
    void watchTreeFolder(const watch::TreeFolder&, std::size_t) override {}
    watch::TreeWatchResult watchTree(const std::vector<watch::TreeFolder>&, std::size_t) override { return {}; }
    void rewatch() override { ++rewatches; }
    int refusedWatch() const override { return refused; }
    std::size_t watchCount() const override { return 0; }
    std::shared_ptr<watch::FolderSet> makeFolderSet(watch::FolderSetHandler) override { return nullptr; }
    void cancel() override {
      if (!cancelled && onCancel) queue->async(std::move(onCancel));
      cancelled = true;
    }
    ManualQueue* queue = nullptr;
    watch::FolderHandler onEvent;
    watch::Handler onFire, onCancel;
    std::chrono::nanoseconds deadline{};
    bool cancelled = false;
    int refused = 0;  // what refusedWatch() says
    int rewatches = 0;
  };

  void async(watch::Handler work) override {
    if (!abandoned_) pending_.push_back(std::move(work));
  }
  // Runs what was submitted, as the queue's thread would, and nothing after.
  void abandon() override {
    abandoned_ = true;
    auto work = std::move(pending_);
    pending_.clear();
    for (auto& task : work) task();
    // The tasks may hold the last reference to this queue: nothing of it is
    // touched once they go, with this frame.
  }
  std::shared_ptr<watch::FolderSource> makeFolderSource(const std::string&, watch::FolderHandler onEvent,
                                                  watch::Handler onCancel, watch::WatchFailure* failure) override {
    if (shared_->failFolderSources) *failure = {watch::WatchFailure::Call::AddWatch, ENOSPC};
    return shared_->failFolderSources ? nullptr : add({}, std::move(onEvent), std::move(onCancel));
  }
  std::shared_ptr<watch::Source> makeTimer(std::chrono::nanoseconds delay, watch::Handler onFire,
                                           std::chrono::nanoseconds) override {
    auto timer = add(std::move(onFire), {}, {});
    timer->deadline = shared_->now + delay;
    return timer;
  }

  std::chrono::steady_clock::time_point now() const override {
    return std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(shared_->now));
  }

  // Runs submitted work, including work that it submits, until none is left.
  void runPending() {
    for (; !pending_.empty(); pending_.pop_front()) pending_.front()();
  }
  void raise(watch::FolderEvent event) {
    for (const auto& source : live(true)) source->onEvent(event);
    runPending();
  }
  // Moves the clock on, firing in order the one-shot timers that come due.
  void advance(std::chrono::nanoseconds by) {
    shared_->now += by;
    for (auto due = live(false); !due.empty(); due = live(false)) {
      auto first = *std::min_element(due.begin(), due.end(), [](auto& a, auto& b) { return a->deadline < b->deadline; });
      if (first->deadline > shared_->now) break;
      first->cancelled = true;
      first->onFire();
      runPending();
    }
  }
  std::vector<std::shared_ptr<FakeSource>> live(bool folders) const {
    std::vector<std::shared_ptr<FakeSource>> found;
    for (const auto& s : sources_) {
      if (!s->cancelled && bool(s->onEvent) == folders) found.push_back(s);
    }
    return found;
  }

 private:
  std::shared_ptr<FakeSource> add(watch::Handler onFire, watch::FolderHandler onEvent, watch::Handler onCancel) {
    auto& source = sources_.emplace_back(std::make_shared<FakeSource>());
    source->queue = this;
    source->onFire = std::move(onFire);
    source->onEvent = std::move(onEvent);
    source->onCancel = std::move(onCancel);
    return source;
  }

  std::shared_ptr<Shared> shared_;
  bool abandoned_ = false;
  std::deque<watch::Handler> pending_;
  std::vector<std::shared_ptr<FakeSource>> sources_;
};

}  // namespace zivuv::testing
