#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/thread/Task.h"

namespace zivuv::watch {

// Work and handlers run on the queue; work may own what cannot be copied.
using Handler = platform::Task;

// A running event source on a serial queue. cancel() may be called from any
// thread: it closes the source's descriptors before it returns, and the
// cancel handler, if any, then runs once on the queue. A handler that the
// queue had already begun to dispatch when cancel() was called may still
// run; none runs after the cancel handler. Dropping the last handle of a
// source cancels it.
class Source {
 public:
  virtual ~Source() = default;
  virtual void cancel() = 0;
};

// What a folder watch saw, reported once per batch of kernel events.
enum class FolderEvent {
  Changed,   // entries created, deleted or moved in or out, or its attributes
  Overflow,  // the kernel dropped events: anything may have changed
  Gone,      // the folder at the path was moved away or deleted, or a parent was
  Back,      // a folder is at the path again, and it is the one watched now
  Replaced,  // a mount over the path or under it came or went: another folder
             // is at the path now, and it is the one watched now
};
using FolderHandler = std::function<void(FolderEvent)>;

// Why a folder watch could not be made: the call that failed and its errno.
struct WatchFailure {
  enum class Call { Open, InotifyInit, AddWatch } call = Call::Open;
  int error = 0;
};

// A folder below the watched one whose entries matter too, with the identity
// it had when it was walked.
struct TreeFolder {
  std::string path;
  dev_t device = 0;
  ino_t inode = 0;
};

// How far a tree watch reaches: the folders watched, and whether some were
// left out, for the cap or for the user's inotify limit (error is then the
// errno of the watch that failed, ENOSPC).
struct TreeWatchResult {
  std::size_t watched = 0;
  bool capped = false;
  int error = 0;
};

// Many folders watched apart from the tree: entries created, moved in or
// deleted directly in each folder (what can make a folder a repository),
// never files closed after writing. add() and remove() run on the queue
// only.
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

// A watch on one folder that follows its path (see makeFolderSource), and
// on folders below it (the tree) and a FolderSet, all through one inotify
// instance and one table of its watches: a folder that is both in the tree
// and in the set is one watch.
class FolderSource : public Source {
 public:
  // A folder of the tree as a walk opens it, before the walk lists it, so
  // that nothing made in it after the listing goes unseen: watched while
  // fewer than cap tree folders are. Events in it (folders created,
  // deleted, moved in or out, its attributes) are reported as Changed; a
  // folder moved away or deleted is no longer watched. On the queue only.
  virtual void watchTreeFolder(const TreeFolder& folder, std::size_t cap) = 0;

  // After a walk: brings the tree in line with folders, the shallowest
  // first. The first cap of them that can be watched are watched, and no
  // other: those not listed, listed with another identity or past the cap
  // are dropped. On the queue only.
  virtual TreeWatchResult watchTree(const std::vector<TreeFolder>& folders, std::size_t cap) = 0;

  // Tries again the watches of the folder at the path, of its nearest
  // parent while it is gone, and of its parents, where the kernel refused
  // them; onEvent may hear Back. On the queue only.
  virtual void rewatch() = 0;
  // The errno with which the kernel refused one of those watches (ENOSPC
  // when the user's watches are used up), while one is missing; 0 when
  // none is. Any thread.
  virtual int refusedWatch() const = 0;

  // The inotify watches the source holds now, as the kernel counts them.
  // Any thread.
  virtual std::size_t watchCount() const = 0;

  // A FolderSet through the same instance; onEvents runs on the queue with
  // each batch. One at a time: nullptr while another lives, or once the
  // source is cancelled. Cancelling the set drops its folders. Any thread.
  virtual std::shared_ptr<FolderSet> makeFolderSet(FolderSetHandler onEvents) = 0;
};

// A serial queue: everything submitted to it, and every handler of its
// sources, runs on one thread, one at a time, in order.
class SerialQueue {
 public:
  virtual ~SerialQueue() = default;

  // Runs work on the queue, after what is already queued. Any thread.
  virtual void async(Handler work) = 0;

  // Closes the queue without waiting for its thread, which a folder that
  // does not answer may hold in the kernel: what was submitted before still
  // runs there, in order, whenever the thread gets to it, and the thread
  // then ends by itself; nothing submitted after runs. The object may be
  // destroyed at once. Any thread but the queue's own.
  virtual void abandon() = 0;

  // Watches the folder at path itself: entries created, deleted or moved in
  // and out, its attributes, its own deletion, move or unmount; never reads.
  // It follows the path, not the folder:
  // - every parent folder up to "/" is watched for its own move or deletion;
  // - a change of the mount table makes it check that the folder at the path
  //   is still the one watched (device and inode), and a mount that comes or
  //   goes under the path counts as a change;
  // - when the folder at the path goes (moved, deleted, a parent moved, a
  //   mount over it), onEvent hears Gone, or Replaced when another folder
  //   took its place at once; with nothing at the path, the nearest existing
  //   parent is watched for the name that leads back, and when a folder is
  //   at the path again it is watched and onEvent hears Back.
  // Nothing polls. onEvent runs on the queue. nullptr when the folder cannot
  // be opened or watched, with the reason in failure. Any thread.
  virtual std::shared_ptr<FolderSource> makeFolderSource(const std::string& path,
                                                         FolderHandler onEvent, Handler onCancel,
                                                         WatchFailure* failure = nullptr) = 0;

  // The monotonic clock of the queue's timers. Any thread.
  virtual std::chrono::steady_clock::time_point now() const {
    return std::chrono::steady_clock::now();
  }

  // A timer on the monotonic clock: onFire runs on the queue no earlier than
  // delay from now, and then every interval if one is given. It fires late
  // by the queue's own latency only, never early. Any thread.
  virtual std::shared_ptr<Source> makeTimer(std::chrono::nanoseconds delay, Handler onFire,
                                            std::chrono::nanoseconds interval = {}) = 0;
};

}  // namespace zivuv::watch
