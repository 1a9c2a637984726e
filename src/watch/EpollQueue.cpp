#include "watch/EpollQueue.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
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

constexpr std::uint64_t kWakeId = 0;

struct SourceState {
  std::uint64_t id = 0;
  bool isTimer = false;
  UniqueFd fd;
  Handler onEvent;
  Handler onCancel;
  std::atomic<bool> cancelled{false};
};

void runHandler(const Handler& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (...) {
    // A handler must not end the queue thread; the failure stays its own.
  }
}

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

  std::shared_ptr<SourceState> add(std::shared_ptr<SourceState> state) {
    std::lock_guard lock(mutex);
    state->id = nextId++;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = state->id;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, state->fd.get(), &event) != 0) return nullptr;
    sources.emplace(state->id, state);
    return state;
  }

  // Runs on the queue: forget the source, then its cancel handler, then
  // close its descriptor.
  void remove(const std::shared_ptr<SourceState>& state) {
    {
      std::lock_guard lock(mutex);
      sources.erase(state->id);
    }
    (void)::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, state->fd.get(), nullptr);
    runHandler(state->onCancel);
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
    for (auto& handler : batch) runHandler(handler);
  }

  void dispatch(std::uint64_t id) {
    std::shared_ptr<SourceState> state;
    {
      std::lock_guard lock(mutex);
      const auto it = sources.find(id);
      if (it == sources.end()) return;
      state = it->second;
    }
    if (state->cancelled.load()) return;
    bool fired = false;
    if (state->isTimer) {
      std::uint64_t expirations = 0;
      fired = ::read(state->fd.get(), &expirations, sizeof expirations) == sizeof expirations;
    } else {
      // One call stands for every event read here, overflow included.
      alignas(inotify_event) char buffer[8192];
      for (;;) {
        const ssize_t n = ::read(state->fd.get(), buffer, sizeof buffer);
        if (n > 0) {
          fired = true;
          continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
      }
    }
    if (fired && !state->cancelled.load()) runHandler(state->onEvent);
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
          std::lock_guard lock(mutex);
          if (stopping) return;
        } else {
          dispatch(events[i].data.u64);
        }
      }
    }
  }
};

namespace {

class QueueSource final : public Source {
 public:
  QueueSource(std::weak_ptr<EpollQueue::Core> core, std::shared_ptr<SourceState> state)
      : core_(std::move(core)), state_(std::move(state)) {}

  void cancel() override {
    if (state_->cancelled.exchange(true)) return;
    const auto core = core_.lock();
    if (!core) return;
    // The queue thread is joined before its core goes, so a raw pointer in
    // the submitted work is safe.
    EpollQueue::Core* raw = core.get();
    core->submit([raw, state = state_] { raw->remove(state); });
  }

 private:
  std::weak_ptr<EpollQueue::Core> core_;
  std::shared_ptr<SourceState> state_;
};

}  // namespace

EpollQueue::EpollQueue(const std::string& label) : core_(std::make_shared<Core>()) {
  core_->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  core_->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWakeId;
  (void)::epoll_ctl(core_->epoll.get(), EPOLL_CTL_ADD, core_->wake.get(), &event);
  Core* core = core_.get();
  core_->thread = std::thread([core] { core->run(); });
  (void)::pthread_setname_np(core_->thread.native_handle(), label.substr(0, 15).c_str());
}

EpollQueue::~EpollQueue() {
  {
    std::lock_guard lock(core_->mutex);
    core_->stopping = true;
  }
  const std::uint64_t one = 1;
  (void)!::write(core_->wake.get(), &one, sizeof one);
  if (core_->thread.joinable()) core_->thread.join();
}

void EpollQueue::async(Handler work) { core_->submit(std::move(work)); }

std::shared_ptr<Source> EpollQueue::makeFolderSource(const std::string& path, Handler onEvent,
                                                     Handler onCancel) {
  auto state = std::make_shared<SourceState>();
  {
    // The watch is added through the very inode that was opened; the O_PATH
    // descriptor is closed at once, since while it stays open deleting the
    // folder gives no IN_DELETE_SELF.
    const UniqueFd folder(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return nullptr;
    state->fd.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!state->fd) return nullptr;
    const std::string viaFd = "/proc/self/fd/" + std::to_string(folder.get());
    if (::inotify_add_watch(state->fd.get(), viaFd.c_str(), kFolderMask) < 0 &&
        ::inotify_add_watch(state->fd.get(), path.c_str(), kFolderMask | IN_DONT_FOLLOW) < 0) {
      return nullptr;
    }
  }
  state->onEvent = std::move(onEvent);
  state->onCancel = std::move(onCancel);
  if (!core_->add(state)) return nullptr;
  return std::make_shared<QueueSource>(core_, state);
}

std::shared_ptr<Source> EpollQueue::makeTimer(std::chrono::nanoseconds delay,
                                              std::chrono::nanoseconds /*leeway*/,
                                              Handler onFire) {
  auto state = std::make_shared<SourceState>();
  state->isTimer = true;
  state->fd.reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!state->fd) return nullptr;
  itimerspec when{};
  const auto count = std::max<std::int64_t>(delay.count(), 1);
  when.it_value.tv_sec = static_cast<time_t>(count / 1'000'000'000);
  when.it_value.tv_nsec = static_cast<long>(count % 1'000'000'000);
  if (::timerfd_settime(state->fd.get(), 0, &when, nullptr) != 0) return nullptr;
  state->onEvent = std::move(onFire);
  if (!core_->add(state)) return nullptr;
  return std::make_shared<QueueSource>(core_, state);
}

}  // namespace zivuv::watch
