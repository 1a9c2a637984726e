#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace zivuv::watch {

using Handler = std::function<void()>;

// A running event source on a serial queue. cancel() may be called from any
// thread and returns at once; afterwards the source's handler never runs
// again, and its cancel handler, if any, runs once on the queue.
class Source {
 public:
  virtual ~Source() = default;
  virtual void cancel() = 0;
};

// A serial queue: everything submitted to it, and every handler of its
// sources, runs on one thread, one at a time, in order.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  // Runs work on the queue, after what is already queued. Any thread.
  virtual void async(Handler work) = 0;

  // Watches the folder at path itself (entries created, deleted or moved in
  // and out, its attributes, its own deletion or move; never reads). onEvent
  // runs on the queue for each batch of events. nullptr when the folder
  // cannot be opened or watched. Any thread.
  virtual std::shared_ptr<Source> makeFolderSource(const std::string& path, Handler onEvent,
                                                   Handler onCancel) = 0;

  // A one-shot timer on the monotonic clock: onFire runs on the queue once,
  // no earlier than delay from now and at most about leeway later. Any thread.
  virtual std::shared_ptr<Source> makeTimer(std::chrono::nanoseconds delay,
                                            std::chrono::nanoseconds leeway, Handler onFire) = 0;
};

}  // namespace zivuv::watch
