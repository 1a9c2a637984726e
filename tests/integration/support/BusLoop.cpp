#include "support/BusLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/Deadline.h"

namespace zivuv::testing::detail {

BusPtr connect(const std::string& address, std::string& error) {
  sd_bus* raw = nullptr;
  int r = sd_bus_new(&raw);
  BusPtr bus(raw);
  const char* unique = nullptr;
  if (r >= 0 && (r = sd_bus_set_address(raw, address.c_str())) >= 0 &&
      (r = sd_bus_set_bus_client(raw, 1)) >= 0 && (r = sd_bus_start(raw)) >= 0) {
    r = sd_bus_get_unique_name(raw, &unique);  // waits for the answer to Hello
  }
  if (r >= 0) return bus;
  error = "cannot connect to " + address + ": " + std::strerror(-r);
  return nullptr;
}

BusLoop::BusLoop() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  std::promise<std::thread::id> started;
  thread_ = std::thread([this, &started] {
    started.set_value(std::this_thread::get_id());
    run();
  });
  threadId_ = started.get_future().get();
}

BusLoop::~BusLoop() {
  stop();
  object_.reset();
  bus_.reset();
}

bool BusLoop::post(std::function<void()> fn) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
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
  const uint64_t one = 1;
  (void)!::write(wake_.get(), &one, sizeof one);
  if (thread_.joinable() && std::this_thread::get_id() != threadId_) thread_.join();
}

void BusLoop::setBus(BusPtr bus, SlotPtr object) {
  object_ = std::move(object);
  bus_ = std::move(bus);
}

bool BusLoop::serve(const std::string& address, const std::string& name, const char* path,
                    const char* interface, const sd_bus_vtable* vtable, void* userdata,
                    std::string& error) {
  BusPtr bus = connect(address, error);
  if (!bus) return false;
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_add_object_vtable(bus.get(), &slot, path, interface, vtable, userdata);
  SlotPtr object(slot);
  if (r >= 0) r = sd_bus_request_name(bus.get(), name.c_str(), 0 /* never queued */);
  if (r < 0) {
    error = "cannot serve " + name + ": " + std::strerror(-r);
    return false;
  }
  // From here on only the loop thread touches the connection.
  call([&] { setBus(std::move(bus), std::move(object)); });
  return true;
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
    // Everything that can be dispatched now is, before waiting again.
    int r = 0;
    while (bus_ && (r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    std::vector<pollfd> fds{{wake_.get(), POLLIN, 0}};
    timespec timeout{};
    uint64_t until = UINT64_MAX;
    if (bus_ && r >= 0 && sd_bus_is_open(bus_.get()) > 0) {
      fds.push_back({sd_bus_get_fd(bus_.get()), static_cast<short>(sd_bus_get_events(bus_.get())), 0});
      // A point of CLOCK_MONOTONIC, which is the steady clock's.
      if (sd_bus_get_timeout(bus_.get(), &until) < 0) until = UINT64_MAX;
      if (until != UINT64_MAX) timeout = remainingTimespec(Deadline(std::chrono::microseconds(until)));
    }
    if (::ppoll(fds.data(), fds.size(), until == UINT64_MAX ? nullptr : &timeout, nullptr) < 0 &&
        errno != EINTR) {
      // Nothing can be waited for any more: run what is queued and end, so
      // that no caller waits forever.
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    uint64_t value = 0;
    (void)!::read(wake_.get(), &value, sizeof value);
  }
}

}  // namespace zivuv::testing::detail
