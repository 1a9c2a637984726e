#include "watch/EpollQueue.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "platform/fd/UniqueFd.h"
#include "platform/thread/Executor.h"
#include "watch/WatchTable.h"

namespace zivuv::watch {
namespace {

using platform::UniqueFd;

// Changes of the folder itself and of its entries; never reads, so listing
// the folder does not wake the watch. IN_Q_OVERFLOW and IN_IGNORED arrive
// unasked.
constexpr std::uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT |
                                      IN_ONLYDIR;
// The folders below it: the same changes, of which only those of folders
// count (see FolderState::hear).
constexpr std::uint32_t kTreeMask = kFolderMask;
// Each parent up to "/": its own move, deletion or unmount.
constexpr std::uint32_t kParentMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR;
// While the watched folder is gone: its nearest existing parent, for the
// name that leads back to it, and for its own disappearance.
constexpr std::uint32_t kAwaitMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR;
// The folders of a FolderSet: what can make a folder a repository.
constexpr std::uint32_t kSetMask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR | IN_DONT_FOLLOW;
// What says that a watched folder is no longer there to be watched.
constexpr std::uint32_t kGoneMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
// What the kernel reports whatever the mask.
constexpr std::uint32_t kUnaskedMask = IN_UNMOUNT | IN_IGNORED;

constexpr std::uint64_t kWakeId = 0;
constexpr std::uint64_t kMountsId = 1;

template <typename Function>
void runHandler(Function&& handler) {
  try {
    handler();
  } catch (...) {
    // A handler must not end the queue thread; the failure stays its own.
  }
}

// Reads every event queued on an inotify descriptor; false when none was.
template <typename Visit>
bool readEvents(int fd, const Visit& visit) {
  alignas(inotify_event) char buffer[8192];
  bool any = false;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return any;
    any = true;
    for (ssize_t at = 0; at < n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      visit(*event);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

// The mount points of this process's mount table, from mountinfo(5): the
// fifth field of each line, with its octal escapes undone.
std::vector<std::string> readMountPoints(int fd) {
  std::string text;
  char buffer[16384];
  ssize_t n;
  while ((n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  const auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::vector<std::string> points;
  std::size_t line = 0;
  while (line < text.size()) {
    const std::size_t end = std::min(text.find('\n', line), text.size());
    std::size_t field = line;
    for (int skip = 0; skip < 4 && field < end; ++skip) {
      field = std::min(text.find(' ', field), end) + 1;
    }
    const std::size_t fieldEnd = std::min(text.find(' ', std::min(field, end)), end);
    std::string point;
    for (std::size_t i = field; i < fieldEnd; ++i) {
      if (text[i] == '\\' && i + 3 < fieldEnd && octal(text[i + 1]) && octal(text[i + 2]) &&
          octal(text[i + 3])) {
        point += static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                   (text[i + 3] - '0'));
        i += 3;
      } else {
        point += text[i];
      }
    }
    if (!point.empty()) points.push_back(std::move(point));
    line = end + 1;
  }
  return points;
}

// The parent folder of an absolute path; "/" for "/" and its entries.
std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

bool isInside(const std::string& path, const std::string& folder) {
  return folder == "/" ? path.size() > 1
                       : path.size() > folder.size() && path.starts_with(folder) &&
                             path[folder.size()] == '/';
}

// One source on the queue: its descriptor in the epoll set, what it does
// when the descriptor is readable, and its cancel handler. The descriptor
// is used and closed under mutex, so that a cancel from another thread
// never closes it under a read, and a read never uses a number that the
// cancel freed for someone else.
struct SourceState {
  virtual ~SourceState() = default;
  // Reads what the kernel reported and runs the handlers; on the queue.
  virtual void readable() = 0;
  // The mount table changed; on the queue.
  virtual void mountsChanged(const std::vector<std::string>& /*points*/) {}

  std::uint64_t id = 0;
  std::mutex mutex;
  UniqueFd fd;
  Handler onCancel;
  std::atomic<bool> cancelled{false};
};

// Closes a cancelled source's descriptor now, unless one of its handlers
// holds it, kept in the kernel by a folder that does not answer: a cancel
// never waits for that. The descriptor then closes with the source, once
// the handler lets it go.
void closeUnlessHeld(SourceState& state) {
  const std::unique_lock lock(state.mutex, std::try_to_lock);
  if (lock) state.fd.reset();
}

struct TimerState final : SourceState {
  void readable() override {
    std::uint64_t expirations = 0;
    {
      std::lock_guard lock(mutex);
      if (!fd || ::read(fd.get(), &expirations, sizeof expirations) != sizeof expirations) return;
    }
    if (!cancelled.load() && onFire) runHandler(onFire);
  }
  Handler onFire;
};

// A folder watch that follows its path. While a folder is at the path, its
// watch reports changes, and every parent up to "/" is watched for its own
// move or deletion; once it goes, the nearest existing parent is watched
// for the name that leads back to the path, moving down as the missing
// folders appear, until a folder is at the path again. The folders below
// the watched one (the tree) and those of one FolderSet are watched through
// the same instance, and every watch of the instance is in one table.
struct FolderState final : SourceState {
  struct Seen {
    bool changed = false;
    bool gone = false;
    bool recheck = false;
    bool byMount = false;  // the folder went with a mount, or a mount came over it
  };

  FolderState() : table(fd) {}

  void readable() override {
    std::vector<FolderEvent> reports;
    // One entry per folder of the set in a batch, however many events it had.
    std::map<std::string, bool> batch;
    FolderSetHandler toSet;
    {
      std::lock_guard lock(mutex);
      if (!fd) return;
      Seen seen;
      bool overflow = false;
      const bool any = readEvents(fd.get(), [&](const inotify_event& event) {
        if (event.mask & IN_Q_OVERFLOW) {
          overflow = seen.changed = seen.recheck = true;
          if (table.count(WatchRole::Pending) > 0) batch.try_emplace(std::string());
        } else {
          hear(event, seen, batch);
        }
      });
      if (!any) return;
      if (overflow) reports.push_back(FolderEvent::Overflow);
      settle(seen, reports);
      if (!batch.empty()) toSet = onSet;
    }
    report(reports);
    if (!toSet || cancelled.load()) return;
    std::vector<FolderSetEvent> events;
    events.reserve(batch.size());
    for (auto& [folder, gone] : batch) events.push_back({folder, gone});
    runHandler([&] { toSet(events); });
  }

  // What one event tells each use of its watch.
  void hear(const inotify_event& event, Seen& seen, std::map<std::string, bool>& batch) {
    const WatchTable::Watch* watch = table.find(event.wd);
    if (watch == nullptr) return;
    const bool gone = (event.mask & kGoneMask) != 0;
    const bool unmount = (event.mask & IN_UNMOUNT) != 0;
    for (const auto& use : watch->uses) {
      if ((event.mask & (use.mask | kUnaskedMask)) == 0) continue;
      switch (use.role) {
        case WatchRole::Folder:
          (gone ? seen.gone : seen.changed) = true;
          seen.byMount = seen.byMount || unmount;
          break;
        case WatchRole::Await:
          if (gone || (event.len > 0 && awaited == event.name)) seen.recheck = true;
          break;
        case WatchRole::Parent:
          seen.recheck = true;
          seen.byMount = seen.byMount || unmount;
          break;
        case WatchRole::Tree:
          // Files come and go in these folders all the time; only folders
          // can be candidates.
          if (gone || (event.mask & IN_ISDIR)) seen.changed = true;
          break;
        case WatchRole::Pending:
          batch[use.path] |= gone;
          break;
      }
    }
    if (event.mask & IN_IGNORED) {
      table.forget(event.wd, true);
    } else if (gone) {
      // The folder is no longer at its paths in the tree or the set. A move
      // keeps the kernel's watch on it: it goes with the last use.
      table.dropRole(WatchRole::Tree, event.wd);
      table.dropRole(WatchRole::Pending, event.wd);
    }
  }

  void mountsChanged(const std::vector<std::string>& points) override {
    std::vector<FolderEvent> reports;
    {
      std::lock_guard lock(mutex);
      if (!fd) return;
      const auto [route, inside] = mountsOfPath(points);
      if (route == routeMounts && inside == insideMounts) return;
      Seen seen;
      seen.recheck = route != routeMounts;
      seen.changed = inside != insideMounts;
      seen.byMount = true;
      routeMounts = route;
      insideMounts = inside;
      settle(seen, reports);
    }
    report(reports);
  }

  // Decides what a batch means and follows the path; the reports are made
  // once the mutex is let go.
  void settle(Seen seen, std::vector<FolderEvent>& reports) {
    // Lost events, a parent or a mount may have moved the folder away.
    if (seen.recheck && watchingFolder && !stillAtPath()) seen.gone = true;
    if (seen.gone && watchingFolder) {
      // A moved folder keeps its watches; it is not the one at the path.
      table.drop(path, WatchRole::Folder);
      watchingFolder = false;
      table.dropRole(WatchRole::Tree);
      seen.recheck = true;
    }
    const bool back = seen.recheck && resync();
    if (seen.gone && back && seen.byMount) {
      reports.push_back(FolderEvent::Replaced);
    } else if (seen.gone) {
      reports.push_back(FolderEvent::Gone);
      if (back) reports.push_back(FolderEvent::Back);
    } else if (back) {
      reports.push_back(FolderEvent::Back);
    } else if (seen.changed) {
      reports.push_back(FolderEvent::Changed);
    }
    recount();
  }

  void report(const std::vector<FolderEvent>& reports) {
    for (const FolderEvent event : reports) {
      if (!cancelled.load() && onEvent) runHandler([&] { onEvent(event); });
    }
  }

  // Watches the folder at the path, through the very inode that was opened:
  // the O_PATH descriptor is closed at once, since while it stays open
  // deleting the folder gives no IN_DELETE_SELF.
  bool watchFolder(WatchFailure* failure) {
    const UniqueFd folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!folder || ::fstat(folder.get(), &st) != 0) {
      if (failure != nullptr) *failure = {WatchFailure::Call::Open, errno};
      return false;
    }
    const std::string viaFd = "/proc/self/fd/" + std::to_string(folder.get());
    int wd = table.add(path, WatchRole::Folder, kFolderMask, &viaFd);
    if (wd < 0) wd = table.add(path, WatchRole::Folder, kFolderMask | IN_DONT_FOLLOW);
    if (wd < 0) {
      if (failure != nullptr) *failure = {WatchFailure::Call::AddWatch, -wd};
      return false;
    }
    watchingFolder = true;
    device = st.st_dev;
    inode = st.st_ino;
    return true;
  }

  bool stillAtPath() const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
  }

  void stopAwaiting() {
    if (awaiting) table.drop(awaitedParent, WatchRole::Await);
    awaiting = false;
  }

  // Watches the folder at the path if there is one (true), else the nearest
  // existing parent for the next name down. A folder that appears between
  // a look and the watch that follows it is seen by the next look. A folder
  // there that cannot be watched, or no parent that can, is noted in
  // refused: no event would ever bring it back, so rewatch() tries again.
  bool follow() {
    for (int attempt = 0; attempt < 64; ++attempt) {
      stopAwaiting();
      WatchFailure failure;
      if (watchFolder(&failure)) return true;
      if (failure.error != ENOENT && failure.error != ENOTDIR) {
        refused = failure.error;
        return false;
      }
      std::string below = path;
      int error = EIO;
      while (!awaiting && below.size() > 1) {
        awaitedParent = parentOf(below);
        awaited = below.substr(below.rfind('/') + 1);
        const int wd = table.add(awaitedParent, WatchRole::Await, kAwaitMask);
        awaiting = wd >= 0;
        if (wd < 0 && -wd != ENOENT) error = -wd;
        below = awaitedParent;
      }
      if (!awaiting) {
        refused = error;
        return false;
      }
      struct stat st {};
      const std::string next = (awaitedParent == "/" ? "" : awaitedParent) + "/" + awaited;
      if (::stat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    }
    return false;
  }

  // Watches the folder again if it is not watched, and the parents anew;
  // true when a folder at the path is watched now and was not before. A
  // parent that the kernel refuses for want of watches is noted in refused.
  bool resync() {
    table.dropRole(WatchRole::Parent);
    refused = 0;
    const bool wasWatching = watchingFolder;
    if (!wasWatching) (void)follow();
    if (watchingFolder || awaiting) {
      for (std::string parent = parentOf(watchingFolder ? path : awaitedParent); parent != "/";
           parent = parentOf(parent)) {
        const int wd = table.add(parent, WatchRole::Parent, kParentMask);
        if (wd == -ENOSPC && refused == 0) refused = ENOSPC;
      }
    }
    return !wasWatching && watchingFolder;
  }

  void rewatch() {
    std::vector<FolderEvent> reports;
    {
      std::lock_guard lock(mutex);
      if (!fd || refused == 0) return;
      Seen seen;
      seen.recheck = true;
      settle(seen, reports);
    }
    report(reports);
  }

  // The mount points on the way to the path (at it or above it), and those
  // inside it.
  std::pair<std::vector<std::string>, std::vector<std::string>> mountsOfPath(
      const std::vector<std::string>& points) const {
    std::vector<std::string> route, inside;
    for (const auto& point : points) {
      if (point == path || isInside(path, point)) route.push_back(point);
      if (isInside(point, path)) inside.push_back(point);
    }
    return {route, inside};
  }

  // By path, which costs a third of a watch through /proc/self/fd: a folder
  // put in the place of the one opened meanwhile makes an event in its
  // parent, watched already, and the scan that follows watches it.
  void watchTreeFolder(const TreeFolder& folder, std::size_t cap) {
    std::lock_guard lock(mutex);
    if (!fd || !watchingFolder) return;
    const WatchTable::Watch* watched = table.find(folder.path, WatchRole::Tree);
    if (watched != nullptr && watched->device == folder.device && watched->inode == folder.inode) {
      return;
    }
    // Past the cap, watchTree() decides which folders stay: the shallowest.
    if (watched == nullptr && table.count(WatchRole::Tree) >= cap) return;
    const int wd = table.add(folder.path, WatchRole::Tree, kTreeMask | IN_DONT_FOLLOW);
    if (wd >= 0) table.identify(wd, folder.device, folder.inode);
    recount();
  }

  TreeWatchResult watchTree(const std::vector<TreeFolder>& folders, std::size_t cap) {
    std::lock_guard lock(mutex);
    TreeWatchResult result;
    if (!fd || !watchingFolder) return result;
    std::unordered_map<std::string_view, std::size_t> position;
    position.reserve(folders.size());
    for (std::size_t i = 0; i < folders.size(); ++i) position.emplace(folders[i].path, i);
    // What may not stay goes first, so that the kernel's room goes to the
    // shallow folders.
    for (const auto& folder : table.paths(WatchRole::Tree)) {
      const auto it = position.find(folder);
      const WatchTable::Watch* watched = table.find(folder, WatchRole::Tree);
      if (it == position.end() || it->second >= cap || watched == nullptr ||
          watched->device != folders[it->second].device ||
          watched->inode != folders[it->second].inode) {
        table.drop(folder, WatchRole::Tree);
      }
    }
    std::size_t watched = 0;
    for (const auto& folder : folders) {
      if (watched == cap) {
        result.capped = true;
        break;
      }
      if (table.find(folder.path, WatchRole::Tree) != nullptr) {
        ++watched;
        continue;
      }
      const int wd = table.add(folder.path, WatchRole::Tree, kTreeMask | IN_DONT_FOLLOW);
      if (wd == -ENOSPC) {
        result.capped = true;
        result.error = ENOSPC;
        break;
      }
      if (wd < 0) continue;  // gone since the walk
      table.identify(wd, folder.device, folder.inode);
      ++watched;
    }
    result.watched = table.count(WatchRole::Tree);
    recount();
    return result;
  }

  int addToSet(const std::string& folder) {
    std::lock_guard lock(mutex);
    if (!fd) return EBADF;
    if (table.find(folder, WatchRole::Pending) != nullptr) return 0;
    const int wd = table.add(folder, WatchRole::Pending, kSetMask);
    recount();
    return wd < 0 ? -wd : 0;
  }

  void removeFromSet(const std::string& folder) {
    std::lock_guard lock(mutex);
    table.drop(folder, WatchRole::Pending);
    recount();
  }

  void endSet() {
    std::lock_guard lock(mutex);
    table.dropRole(WatchRole::Pending);
    onSet = nullptr;
    recount();
  }

  // Kept up to date under the mutex, read without it: a reader must not
  // wait for a look at a folder that does not answer.
  void recount() {
    watches = table.size();
    refusedNow = refused;
  }
  std::atomic<std::size_t> watches{0};
  std::atomic<int> refusedNow{0};

  WatchTable table;
  std::string path;
  FolderHandler onEvent;
  FolderSetHandler onSet;      // the live FolderSet's, while there is one
  bool watchingFolder = false;  // the folder at the path, while there is one
  dev_t device = 0;             // and its identity
  ino_t inode = 0;
  bool awaiting = false;        // the nearest existing parent, while there is none
  std::string awaitedParent;    // that parent
  std::string awaited;          // the name below it that leads to the path
  int refused = 0;              // the errno of a watch above that the kernel refused
  std::vector<std::string> routeMounts, insideMounts;
};

}  // namespace

struct EpollQueue::Core {
  UniqueFd epoll;
  UniqueFd mounts;
  // Submitted work and cancel handlers, under the executor's shutdown rule.
  platform::Executor work;
  std::mutex mutex;  // the sources
  std::unordered_map<std::uint64_t, std::shared_ptr<SourceState>> sources;
  std::uint64_t nextId = kMountsId + 1;
  std::thread thread;

  void submit(Handler handler) { (void)work.post(std::move(handler)); }

  bool add(const std::shared_ptr<SourceState>& state) {
    std::lock_guard lock(mutex);
    state->id = nextId++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = state->id;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, state->fd.get(), &event) != 0) return false;
    sources.emplace(state->id, state);
    return true;
  }

  // Any thread: the source leaves the epoll set and its descriptor is
  // closed now, unless a handler of the source holds it while the kernel
  // keeps that handler (a folder that does not answer): it then closes when
  // the handler lets the source go. Its cancel handler runs on the queue.
  void cancel(const std::shared_ptr<SourceState>& state) {
    {
      std::lock_guard lock(mutex);
      sources.erase(state->id);
    }
    // Only the one cancel closes the descriptor, so its number stays ours
    // until then, whoever reads it meanwhile.
    if (state->fd) (void)::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, state->fd.get(), nullptr);
    closeUnlessHeld(*state);
    if (state->onCancel) submit(std::move(state->onCancel));
  }

  void drainWork() {
    for (auto& handler : work.takeAll()) {
      if (handler) runHandler(handler);
    }
  }

  std::vector<std::shared_ptr<SourceState>> liveSources() {
    std::lock_guard lock(mutex);
    std::vector<std::shared_ptr<SourceState>> live;
    live.reserve(sources.size());
    for (const auto& [id, state] : sources) live.push_back(state);
    return live;
  }

  void dispatch(std::uint64_t id) {
    if (id == kMountsId) {
      const auto points = readMountPoints(mounts.get());
      for (const auto& state : liveSources()) {
        if (!state->cancelled.load()) state->mountsChanged(points);
      }
      return;
    }
    std::shared_ptr<SourceState> state;
    {
      std::lock_guard lock(mutex);
      const auto it = sources.find(id);
      if (it == sources.end()) return;
      state = it->second;
    }
    if (!state->cancelled.load()) state->readable();
  }

  void run() {
    epoll_event events[32];
    for (;;) {
      const int n = ::epoll_wait(epoll.get(), events, 32, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == kWakeId) {
          drainWork();
        } else {
          dispatch(events[i].data.u64);
        }
        // Closed: what was submitted before the close, such as the cancel
        // handlers of sources cancelled on the way out, still runs.
        if (work.closed()) {
          drainWork();
          return;
        }
      }
    }
  }
};

namespace {

// Cancels a source once. The queue's core may be gone already: then the
// descriptor is simply closed.
void cancelSource(const std::weak_ptr<EpollQueue::Core>& weak,
                  const std::shared_ptr<SourceState>& state) {
  if (state->cancelled.exchange(true)) return;
  if (const auto core = weak.lock()) {
    core->cancel(state);
    return;
  }
  closeUnlessHeld(*state);
}

// A source whose last handle goes is cancelled, so that its descriptor is
// closed: a timer that has fired stays registered until then.
class QueueSource final : public Source {
 public:
  QueueSource(std::weak_ptr<EpollQueue::Core> core, std::shared_ptr<SourceState> state)
      : core_(std::move(core)), state_(std::move(state)) {}
  ~QueueSource() override { cancelSource(core_, state_); }
  void cancel() override { cancelSource(core_, state_); }

 private:
  std::weak_ptr<EpollQueue::Core> core_;
  std::shared_ptr<SourceState> state_;
};

// A FolderSet through a folder source's own instance: its folders are
// the uses of role Pending in the source's table.
class QueueFolderSet final : public FolderSet {
 public:
  explicit QueueFolderSet(std::shared_ptr<FolderState> state) : state_(std::move(state)) {}
  ~QueueFolderSet() override { cancel(); }
  int add(const std::string& path) override { return ended_.load() ? EBADF : state_->addToSet(path); }
  void remove(const std::string& path) override { state_->removeFromSet(path); }
  void cancel() override {
    if (!ended_.exchange(true)) state_->endSet();
  }

 private:
  std::shared_ptr<FolderState> state_;
  std::atomic<bool> ended_{false};
};

class QueueFolderSource final : public FolderSource {
 public:
  QueueFolderSource(std::weak_ptr<EpollQueue::Core> core, std::shared_ptr<FolderState> state)
      : core_(std::move(core)), state_(std::move(state)) {}
  ~QueueFolderSource() override { cancelSource(core_, state_); }
  void cancel() override { cancelSource(core_, state_); }
  void watchTreeFolder(const TreeFolder& folder, std::size_t cap) override {
    state_->watchTreeFolder(folder, cap);
  }
  TreeWatchResult watchTree(const std::vector<TreeFolder>& folders, std::size_t cap) override {
    return state_->watchTree(folders, cap);
  }
  void rewatch() override { state_->rewatch(); }
  int refusedWatch() const override { return state_->refusedNow.load(); }
  std::size_t watchCount() const override { return state_->watches.load(); }
  std::shared_ptr<FolderSet> makeFolderSet(FolderSetHandler onEvents) override {
    std::lock_guard lock(state_->mutex);
    if (!state_->fd || state_->onSet) return nullptr;
    state_->onSet = std::move(onEvents);
    return std::make_shared<QueueFolderSet>(state_);
  }

 private:
  std::weak_ptr<EpollQueue::Core> core_;
  std::shared_ptr<FolderState> state_;
};

UniqueFd newInotify(WatchFailure* failure) {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd && failure != nullptr) *failure = {WatchFailure::Call::InotifyInit, errno};
  return fd;
}

}  // namespace

EpollQueue::EpollQueue(const std::string& label) : core_(std::make_shared<Core>()) {
  core_->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  (void)::epoll_ctl(core_->epoll.get(), EPOLL_CTL_ADD, core_->work.fd(), &event);
  // The mount table is always readable; a change of it shows as EPOLLPRI
  // (with EPOLLERR), once per change, so only that is asked for.
  core_->mounts.reset(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
  if (core_->mounts) {
    event.events = EPOLLPRI;
    event.data.u64 = kMountsId;
    (void)::epoll_ctl(core_->epoll.get(), EPOLL_CTL_ADD, core_->mounts.get(), &event);
  }
  // The worker holds the core, so that it outlives an EpollQueue destroyed
  // by one of its own handlers.
  core_->thread = std::thread([core = core_, name = label.substr(0, 15)] {
    // Named from inside: naming another thread writes to /proc, which the
    // service's confinement refuses.
    (void)::pthread_setname_np(::pthread_self(), name.c_str());
    core->run();
  });
}

EpollQueue::~EpollQueue() {
  core_->work.close();
  if (!core_->thread.joinable()) return;
  if (core_->thread.get_id() == std::this_thread::get_id()) {
    core_->thread.detach();
  } else {
    core_->thread.join();
  }
}

void EpollQueue::abandon() {
  core_->work.close();
  if (core_->thread.joinable() && core_->thread.get_id() != std::this_thread::get_id()) {
    core_->thread.detach();
  }
}

void EpollQueue::async(Handler work) { core_->submit(std::move(work)); }

std::shared_ptr<FolderSource> EpollQueue::makeFolderSource(const std::string& path,
                                                           FolderHandler onEvent,
                                                           Handler onCancel,
                                                           WatchFailure* failure) {
  auto state = std::make_shared<FolderState>();
  state->fd = newInotify(failure);
  if (!state->fd) return nullptr;
  state->path = path;
  if (!state->watchFolder(failure)) return nullptr;
  (void)state->resync();
  state->recount();
  if (core_->mounts) {
    std::tie(state->routeMounts, state->insideMounts) =
        state->mountsOfPath(readMountPoints(core_->mounts.get()));
  }
  state->onEvent = std::move(onEvent);
  state->onCancel = std::move(onCancel);
  if (!core_->add(state)) return nullptr;
  return std::make_shared<QueueFolderSource>(core_, state);
}

std::shared_ptr<Source> EpollQueue::makeTimer(std::chrono::nanoseconds delay, Handler onFire,
                                              std::chrono::nanoseconds interval) {
  auto state = std::make_shared<TimerState>();
  state->fd.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!state->fd) return nullptr;
  const auto toTimespec = [](std::chrono::nanoseconds value) {
    const auto count = value.count();
    return timespec{static_cast<time_t>(count / 1'000'000'000),
                    static_cast<long>(count % 1'000'000'000)};
  };
  itimerspec when{};
  when.it_value = toTimespec(std::max(delay, std::chrono::nanoseconds(1)));
  when.it_interval = toTimespec(std::max(interval, std::chrono::nanoseconds(0)));
  if (::timerfd_settime(state->fd.get(), 0, &when, nullptr) != 0) return nullptr;
  state->onFire = std::move(onFire);
  if (!core_->add(state)) return nullptr;
  return std::make_shared<QueueSource>(core_, state);
}

}  // namespace zivuv::watch
