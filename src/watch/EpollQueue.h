#pragma once

#include <memory>
#include <string>

#include "watch/SerialQueue.h"

namespace zivuv::watch {

// The real serial queue: one worker thread in an epoll loop over an eventfd
// for submitted work, /proc/self/mountinfo for changes of the mount table
// (the kernel marks it EPOLLPRI), one inotify instance per folder source
// (with its tree and its folder set) and one timerfd per timer. It sleeps until the kernel reports
// something: no polling, no periodic wakeup. Sources may be added and
// cancelled from any thread.
class EpollQueue final : public SerialQueue {
 public:
  // label names the worker thread (truncated to 15 bytes by the kernel).
  explicit EpollQueue(const std::string& label);
  // Closes the queue's executor (its rule: work submitted before, cancel
  // handlers included, still runs; nothing submitted after). From another
  // thread it waits for the worker to end, unless the queue was abandoned;
  // from a handler on the queue itself it lets the worker end once that
  // handler returns.
  ~EpollQueue() override;

  EpollQueue(const EpollQueue&) = delete;
  EpollQueue& operator=(const EpollQueue&) = delete;

  void async(Handler work) override;
  void abandon() override;
  std::shared_ptr<FolderSource> makeFolderSource(const std::string& path, FolderHandler onEvent,
                                                 Handler onCancel,
                                                 WatchFailure* failure = nullptr) override;
  std::shared_ptr<Source> makeTimer(std::chrono::nanoseconds delay, Handler onFire,
                                    std::chrono::nanoseconds interval = {}) override;

  struct Core;

 private:
  std::shared_ptr<Core> core_;
};

}  // namespace zivuv::watch
