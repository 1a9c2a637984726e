#include "support/BusLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace zivuv::testing::detail {

BusPtr openBus(const std::string& address, std::string& error) {
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  BusPtr bus(raw);
  if (r < 0) {
    error = std::string("sd_bus_new: ") + std::strerror(-r);
    return nullptr;
  }
  if ((r = sd_bus_set_address(bus.get(), address.c_str())) < 0 ||
      (r = sd_bus_set_bus_client(bus.get(), 1)) < 0 || (r = sd_bus_start(bus.get())) < 0) {
    error = "cannot connect to " + address + ": " + std::strerror(-r);
    return nullptr;
  }
  return bus;
}

BusLoop::BusLoop() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!wake_) return;
  std::promise<std::thread::id> started;
  auto id = started.get_future();
  thread_ = std::thread([this, &started] {
    started.set_value(std::this_thread::get_id());
    run();
  });
  threadId_ = id.get();
}

BusLoop::~BusLoop() {
  stop();
  bus_.reset();
}

bool BusLoop::post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_ || !thread_.joinable()) return false;
    queue_.push_back(std::move(fn));
  }
  const uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
  return true;
}

void BusLoop::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (!thread_.joinable() || onLoopThread()) return;
  const uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
  thread_.join();
}

void BusLoop::setBus(BusPtr bus) {
  bus_ = std::move(bus);
  setState(bus_ ? State::Opening : State::NoBus);
  processBus();
}

BusPtr BusLoop::takeBus() {
  setState(State::NoBus);
  return std::move(bus_);
}

BusLoop::State BusLoop::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void BusLoop::setState(State state) {
  std::lock_guard lock(mutex_);
  if (state_ == state) return;
  state_ = state;
  stateChanged_.notify_all();
}

bool BusLoop::waitReady(Deadline deadline) {
  std::unique_lock lock(mutex_);
  stateChanged_.wait_until(lock, deadline,
                           [this] { return state_ == State::Ready || state_ == State::Closed; });
  return state_ == State::Ready;
}

bool BusLoop::waitClosed(Deadline deadline) {
  std::unique_lock lock(mutex_);
  return stateChanged_.wait_until(lock, deadline, [this] { return state_ == State::Closed; });
}

void BusLoop::processBus() {
  if (!bus_ || state() == State::Closed) return;
  int r;
  // Everything that can be dispatched now is dispatched before waiting again.
  while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
  }
  if (r < 0 || sd_bus_is_open(bus_.get()) <= 0) {
    setState(State::Closed);
  } else if (sd_bus_is_ready(bus_.get()) > 0) {
    setState(State::Ready);
  }
}

void BusLoop::run() {
  for (;;) {
    std::deque<std::function<void()>> work;
    bool stopping;
    {
      std::lock_guard lock(mutex_);
      work.swap(queue_);
      stopping = stopping_;
    }
    for (auto& fn : work) fn();
    if (stopping) return;
    processBus();
    {
      std::lock_guard lock(mutex_);
      if (!queue_.empty() || stopping_) continue;
    }

    std::array<pollfd, 2> fds{};
    fds[0] = pollfd{wake_.get(), POLLIN, 0};
    nfds_t count = 1;
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (bus_ && state() != State::Closed) {
      const int fd = sd_bus_get_fd(bus_.get());
      const int events = sd_bus_get_events(bus_.get());
      uint64_t until = UINT64_MAX;
      if (fd >= 0 && events >= 0) {
        fds[1] = pollfd{fd, static_cast<short>(events), 0};
        count = 2;
      }
      if (sd_bus_get_timeout(bus_.get(), &until) >= 0 && until != UINT64_MAX) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const uint64_t nowUsec =
            static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
        const uint64_t left = until > nowUsec ? until - nowUsec : 0;
        timeout.tv_sec = static_cast<time_t>(left / 1000000u);
        timeout.tv_nsec = static_cast<long>((left % 1000000u) * 1000u);
        timeoutPtr = &timeout;
      }
    }
    if (::ppoll(fds.data(), count, timeoutPtr, nullptr) < 0 && errno != EINTR) {
      // Nothing can be waited for any more: refuse new work and run what
      // is queued, so that no caller of call() waits forever.
      std::lock_guard lock(mutex_);
      stopping_ = true;
      continue;
    }
    if (fds[0].revents & POLLIN) {
      uint64_t value = 0;
      (void)!::read(wake_.get(), &value, sizeof value);
    }
  }
}

namespace {

struct NameRequest {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::string error;
};

struct NameRequestContext {
  std::shared_ptr<NameRequest> request;
};

int onNameReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  NameRequest& request = *static_cast<NameRequestContext*>(userdata)->request;
  std::lock_guard lock(request.mutex);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    request.error = error && error->name ? error->name : "RequestName failed";
  } else {
    uint32_t result = 0;
    if (sd_bus_message_read(reply, "u", &result) < 0) {
      request.error = "malformed RequestName reply";
    } else if (result != 1 && result != 4) {  // primary owner, or already owner
      request.error = "name not acquired (RequestName gave " + std::to_string(result) + ")";
    }
  }
  request.done = true;
  request.finished.notify_all();
  return 0;
}

void destroyNameRequestContext(void* userdata) {
  delete static_cast<NameRequestContext*>(userdata);
}

}  // namespace

bool serveName(BusLoop& loop, const std::string& address, const std::string& name,
               const std::vector<ServedObject>& objects, std::vector<SlotPtr>& slots,
               Deadline deadline, std::string& error) {
  auto request = std::make_shared<NameRequest>();
  error = loop.call([&]() -> std::string {
    std::string failure;
    BusPtr bus = openBus(address, failure);
    if (!bus) return failure;
    std::vector<SlotPtr> registered;
    for (const auto& object : objects) {
      sd_bus_slot* slot = nullptr;
      const int r = sd_bus_add_object_vtable(bus.get(), &slot, object.path, object.interface,
                                             object.vtable, object.userdata);
      if (r < 0) return std::string("cannot export ") + object.path + ": " + std::strerror(-r);
      registered.emplace_back(slot);
    }
    auto context = std::make_unique<NameRequestContext>(NameRequestContext{request});
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_request_name_async(bus.get(), &slot, name.c_str(),
                                            0 /* never queued */, onNameReply, context.get());
    if (r < 0) return "cannot request " + name + ": " + std::strerror(-r);
    (void)sd_bus_slot_set_destroy_callback(slot, destroyNameRequestContext);
    (void)context.release();
    (void)sd_bus_slot_set_floating(slot, 1);
    (void)sd_bus_slot_unref(slot);
    slots = std::move(registered);
    loop.setBus(std::move(bus));
    return {};
  });
  if (!error.empty()) return false;
  std::unique_lock lock(request->mutex);
  if (!request->finished.wait_until(lock, deadline, [&] { return request->done; })) {
    error = "no answer to RequestName " + name;
    return false;
  }
  error = request->error;
  return error.empty();
}

}  // namespace zivuv::testing::detail
