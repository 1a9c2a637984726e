#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zivuv::watch {

using Handler = std::function<void()>;

// A running event source on a serial queue. cancel() may be called from any
// thread and returns at once; the cancel handler, if any, then runs once on
// the queue. A handler that the queue had already begun to dispatch when
// cancel() was called may still run; none runs after the cancel handler.
// Dropping the last handle of a source cancels it.
class Source {
 public:
  virtual ~Source() = default;
  virtual void cancel() = 0;
};

// What a folder watch saw, reported once per batch of kernel events.
enum class FolderEvent {
  Changed,  // entries created, deleted or moved in or out, its attributes, or lost events
  Gone,     // the folder at the path was moved away, deleted or unmounted
  Back,     // a folder is at the path again, and it is the one watched now
};
using FolderHandler = std::function<void(FolderEvent)>;

// Why a folder watch could not be made: the call that failed and its errno.
struct WatchFailure {
  enum class Call { Open, InotifyInit, AddWatch } call = Call::Open;
  int error = 0;
};

// Many folders watched through one inotify instance: entries created,
// deleted, moved in or out, and files closed after writing, directly in each
// folder. add() and remove() run on the queue only.
class FolderSet : public Source {
 public:
  // Starts watching the folder at path (not through a symbolic link); 0, or
  // the errno of the failure.
  virtual int add(const std::string& path) = 0;
  virtual void remove(const std::string& path) = 0;
};

// One folder of a FolderSet had events; gone when the folder itself was
// deleted, moved away or unmounted (it is no longer watched then). An empty
// path stands for events that the kernel could not queue.
struct FolderSetEvent {
  std::string path;
  bool gone = false;
};
using FolderSetHandler = std::function<void(const std::vector<FolderSetEvent>&)>;

// A serial queue: everything submitted to it, and every handler of its
// sources, runs on one thread, one at a time, in order.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  // Runs work on the queue, after what is already queued. Any thread.
  virtual void async(Handler work) = 0;

  // Watches the folder at path itself (entries created, deleted or moved in
  // and out, its attributes, its own deletion or move; never reads). It
  // follows the path, not the folder: when the folder goes, onEvent hears
  // Gone, and the watch waits without polling for a folder to appear at the
  // same path, then watches that one and reports Back. onEvent runs on the
  // queue. nullptr when the folder cannot be opened or watched, with the
  // reason in failure. Any thread.
  virtual std::shared_ptr<Source> makeFolderSource(const std::string& path, FolderHandler onEvent,
                                                   Handler onCancel,
                                                   WatchFailure* failure = nullptr) = 0;

  // An empty FolderSet; onEvents runs on the queue with each batch. nullptr
  // when no inotify instance can be had, with the reason in failure. Any
  // thread.
  virtual std::shared_ptr<FolderSet> makeFolderSet(FolderSetHandler onEvents,
                                                   WatchFailure* failure = nullptr) = 0;

  // A timer on the monotonic clock: onFire runs on the queue no earlier than
  // delay from now, and then every interval if one is given. It fires late
  // by the queue's own latency only, never early. Any thread.
  virtual std::shared_ptr<Source> makeTimer(std::chrono::nanoseconds delay, Handler onFire,
                                            std::chrono::nanoseconds interval = {}) = 0;
};

}  // namespace zivuv::watch
