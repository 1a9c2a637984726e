#include "watch/EpollQueue.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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

#include "platform/fd/UniqueFd.h"

namespace zivuv::watch {
namespace {

using platform::UniqueFd;

// Changes of the folder itself and of its entries; never reads, so listing
// the folder does not wake the watch. IN_Q_OVERFLOW and IN_IGNORED arrive
// unasked.
constexpr std::uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                      IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT |
                                      IN_ONLYDIR;
// While the watched folder is gone: its nearest existing ancestor, for the
// name that leads back to it, and for its own disappearance.
constexpr std::uint32_t kAncestorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_ONLYDIR;
// The folders of a FolderSet: what filling a folder does to it.
constexpr std::uint32_t kSetMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                   IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT |
                                   IN_ONLYDIR | IN_DONT_FOLLOW;
// What says that a watched folder is no longer there to be watched.
constexpr std::uint32_t kGoneMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

constexpr std::uint64_t kWakeId = 0;

template <typename Function>
void runHandler(const Function& handler) {
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

// One source on the queue: its descriptor in the epoll set, what it does
// when the descriptor is readable, and its cancel handler.
struct SourceState {
  virtual ~SourceState() = default;
  // Reads what the kernel reported and runs the handlers; on the queue.
  virtual void readable() = 0;

  std::uint64_t id = 0;
  UniqueFd fd;
  Handler onCancel;
  std::atomic<bool> cancelled{false};
};

struct TimerState final : SourceState {
  void readable() override {
    std::uint64_t expirations = 0;
    if (::read(fd.get(), &expirations, sizeof expirations) == sizeof expirations &&
        !cancelled.load() && onFire) {
      runHandler(onFire);
    }
  }
  Handler onFire;
};

// A folder watch that follows its path. While a folder is at the path, its
// watch reports changes; once it goes, the nearest existing ancestor is
// watched for the name that leads back to the path, moving down as the
// missing folders appear, until a folder is at the path again.
struct FolderState final : SourceState {
  void readable() override {
    bool changed = false;
    bool gone = false;
    bool recheck = false;
    const bool any = readEvents(fd.get(), [&](const inotify_event& event) {
      if (event.mask & IN_Q_OVERFLOW) {
        changed = recheck = true;
      } else if (folderWatch >= 0 && event.wd == folderWatch) {
        (event.mask & kGoneMask ? gone : changed) = true;
      } else if (ancestorWatch >= 0 && event.wd == ancestorWatch) {
        if ((event.mask & kGoneMask) || (event.len > 0 && awaited == event.name)) recheck = true;
      }
    });
    if (!any || cancelled.load()) return;
    // Lost events may have hidden the folder's own move or deletion.
    if (recheck && folderWatch >= 0 && !stillAtPath()) gone = true;
    if (gone && folderWatch >= 0) {
      // A moved folder keeps its watch; it is not the one at the path.
      (void)::inotify_rm_watch(fd.get(), folderWatch);
      folderWatch = -1;
      report(FolderEvent::Gone);
      recheck = true;
    }
    if (recheck && folderWatch < 0 && follow()) {
      report(FolderEvent::Back);
    } else if (changed && !gone) {
      report(FolderEvent::Changed);
    }
  }

  void report(FolderEvent event) {
    if (!cancelled.load() && onEvent) runHandler([&] { onEvent(event); });
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
    int wd = ::inotify_add_watch(fd.get(), viaFd.c_str(), kFolderMask);
    if (wd < 0) wd = ::inotify_add_watch(fd.get(), path.c_str(), kFolderMask | IN_DONT_FOLLOW);
    if (wd < 0) {
      if (failure != nullptr) *failure = {WatchFailure::Call::AddWatch, errno};
      return false;
    }
    folderWatch = wd;
    device = st.st_dev;
    inode = st.st_ino;
    return true;
  }

  bool stillAtPath() const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
  }

  // Watches the folder at the path if there is one (true), else the nearest
  // existing ancestor for the next name down. A folder that appears between
  // a look and the watch that follows it is seen by the next look.
  bool follow() {
    for (int attempt = 0; attempt < 64; ++attempt) {
      if (ancestorWatch >= 0) (void)::inotify_rm_watch(fd.get(), ancestorWatch);
      ancestorWatch = -1;
      if (watchFolder(nullptr)) return true;
      std::string below = path;
      while (ancestorWatch < 0 && below.size() > 1) {
        const std::size_t slash = below.rfind('/');
        const std::string ancestor = slash == 0 ? "/" : below.substr(0, slash);
        awaited = below.substr(slash + 1);
        ancestorWatch = ::inotify_add_watch(fd.get(), ancestor.c_str(), kAncestorMask);
        below = ancestor;
      }
      struct stat st {};
      const std::string next = (below == "/" ? "" : below) + "/" + awaited;
      if (ancestorWatch < 0 || ::stat(next.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
      }
    }
    return false;
  }

  std::string path;
  FolderHandler onEvent;
  int folderWatch = -1;    // on the folder at the path, while there is one
  dev_t device = 0;        // and its identity
  ino_t inode = 0;
  int ancestorWatch = -1;  // on the nearest existing ancestor, while there is none
  std::string awaited;     // the name below that ancestor that leads to the path
};

struct SetState final : SourceState {
  void readable() override {
    // One entry per folder in a batch, however many events it had.
    std::map<std::string, bool> batch;
    (void)readEvents(fd.get(), [&](const inotify_event& event) {
      if (event.mask & IN_Q_OVERFLOW) {
        batch.try_emplace(std::string());
        return;
      }
      const auto it = paths.find(event.wd);
      if (it == paths.end()) return;
      const std::string path = it->second;
      const bool gone = (event.mask & kGoneMask) != 0;
      batch[path] |= gone;
      if (gone) forget(path);
    });
    if (batch.empty() || cancelled.load() || !onEvents) return;
    std::vector<FolderSetEvent> events;
    events.reserve(batch.size());
    for (auto& [path, gone] : batch) events.push_back({path, gone});
    runHandler([&] { onEvents(events); });
  }

  int add(const std::string& path) {
    if (watches.contains(path)) return 0;
    const int wd = ::inotify_add_watch(fd.get(), path.c_str(), kSetMask);
    if (wd < 0) return errno;
    paths[wd] = path;
    watches[path] = wd;
    return 0;
  }

  // Stops watching path; the kernel's IN_IGNORED for it is then unknown.
  void forget(const std::string& path) {
    const auto it = watches.find(path);
    if (it == watches.end()) return;
    (void)::inotify_rm_watch(fd.get(), it->second);
    paths.erase(it->second);
    watches.erase(it);
  }

  FolderSetHandler onEvents;
  std::unordered_map<int, std::string> paths;
  std::unordered_map<std::string, int> watches;
};

}  // namespace

struct EpollQueue::Core {
  UniqueFd epoll;
  UniqueFd wake;
  std::mutex mutex;
  std::deque<Handler> work;
  std::unordered_map<std::uint64_t, std::shared_ptr<SourceState>> sources;
  std::uint64_t nextId = 1;
  bool stopping = false;
  std::thread thread;

  void submit(Handler handler) {
    {
      std::lock_guard lock(mutex);
      work.push_back(std::move(handler));
    }
    const std::uint64_t one = 1;
    (void)!::write(wake.get(), &one, sizeof one);
  }

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

  // Runs on the queue: forget the source, then its cancel handler, then
  // close its descriptor.
  void remove(const std::shared_ptr<SourceState>& state) {
    {
      std::lock_guard lock(mutex);
      sources.erase(state->id);
    }
    (void)::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, state->fd.get(), nullptr);
    if (state->onCancel) runHandler(state->onCancel);
    state->fd.reset();
  }

  void drainWork() {
    std::uint64_t count = 0;
    (void)!::read(wake.get(), &count, sizeof count);
    std::deque<Handler> batch;
    {
      std::lock_guard lock(mutex);
      batch.swap(work);
    }
    for (auto& handler : batch) {
      if (handler) runHandler(handler);
    }
  }

  void dispatch(std::uint64_t id) {
    std::shared_ptr<SourceState> state;
    {
      std::lock_guard lock(mutex);
      const auto it = sources.find(id);
      if (it == sources.end()) return;
      state = it->second;
    }
    if (!state->cancelled.load()) state->readable();
  }

  bool stopRequested() {
    std::lock_guard lock(mutex);
    return stopping;
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
        // Work submitted before the stop, such as the removal of cancelled
        // sources with their cancel handlers, still runs.
        if (stopRequested()) {
          drainWork();
          return;
        }
      }
    }
  }
};

namespace {

// Cancels a source by handing its removal to the queue. The queue's core
// may be gone already: then so are its sources.
void cancelOnQueue(const std::weak_ptr<EpollQueue::Core>& weak,
                   const std::shared_ptr<SourceState>& state) {
  if (state->cancelled.exchange(true)) return;
  const auto core = weak.lock();
  if (!core) return;
  EpollQueue::Core* raw = core.get();
  // The core outlives every piece of work it runs.
  core->submit([raw, state] { raw->remove(state); });
}

// A source whose last handle goes is cancelled, so that its descriptor is
// closed: a timer that has fired stays registered until then.
class QueueSource final : public Source {
 public:
  QueueSource(std::weak_ptr<EpollQueue::Core> core, std::shared_ptr<SourceState> state)
      : core_(std::move(core)), state_(std::move(state)) {}
  ~QueueSource() override { cancelOnQueue(core_, state_); }
  void cancel() override { cancelOnQueue(core_, state_); }

 private:
  std::weak_ptr<EpollQueue::Core> core_;
  std::shared_ptr<SourceState> state_;
};

class QueueFolderSet final : public FolderSet {
 public:
  QueueFolderSet(std::weak_ptr<EpollQueue::Core> core, std::shared_ptr<SetState> state)
      : core_(std::move(core)), state_(std::move(state)) {}
  ~QueueFolderSet() override { cancelOnQueue(core_, state_); }
  int add(const std::string& path) override { return state_->add(path); }
  void remove(const std::string& path) override { state_->forget(path); }
  void cancel() override { cancelOnQueue(core_, state_); }

 private:
  std::weak_ptr<EpollQueue::Core> core_;
  std::shared_ptr<SetState> state_;
};

UniqueFd newInotify(WatchFailure* failure) {
  UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!fd && failure != nullptr) *failure = {WatchFailure::Call::InotifyInit, errno};
  return fd;
}

}  // namespace

EpollQueue::EpollQueue(const std::string& label) : core_(std::make_shared<Core>()) {
  core_->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  core_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  (void)::epoll_ctl(core_->epoll.get(), EPOLL_CTL_ADD, core_->wake.get(), &event);
  // The worker holds the core, so that it outlives an EpollQueue destroyed
  // by one of its own handlers.
  core_->thread = std::thread([core = core_] { core->run(); });
  (void)::pthread_setname_np(core_->thread.native_handle(), label.substr(0, 15).c_str());
}

EpollQueue::~EpollQueue() {
  {
    std::lock_guard lock(core_->mutex);
    core_->stopping = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(core_->wake.get(), &one, sizeof one);
  if (!core_->thread.joinable()) return;
  if (core_->thread.get_id() == std::this_thread::get_id()) {
    core_->thread.detach();
  } else {
    core_->thread.join();
  }
}

void EpollQueue::async(Handler work) { core_->submit(std::move(work)); }

std::shared_ptr<Source> EpollQueue::makeFolderSource(const std::string& path,
                                                     FolderHandler onEvent, Handler onCancel,
                                                     WatchFailure* failure) {
  auto state = std::make_shared<FolderState>();
  state->fd = newInotify(failure);
  if (!state->fd) return nullptr;
  state->path = path;
  if (!state->watchFolder(failure)) return nullptr;
  state->onEvent = std::move(onEvent);
  state->onCancel = std::move(onCancel);
  if (!core_->add(state)) return nullptr;
  return std::make_shared<QueueSource>(core_, state);
}

std::shared_ptr<FolderSet> EpollQueue::makeFolderSet(FolderSetHandler onEvents,
                                                     WatchFailure* failure) {
  auto state = std::make_shared<SetState>();
  state->fd = newInotify(failure);
  if (!state->fd) return nullptr;
  state->onEvents = std::move(onEvents);
  if (!core_->add(state)) return nullptr;
  return std::make_shared<QueueFolderSet>(core_, state);
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
