#include "platform/bus/BusLoop.h"

#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>

namespace zivuv::platform {

std::unique_ptr<BusLoop> BusLoop::connectSession(std::string& error) {
  std::unique_ptr<BusLoop> loop(new BusLoop());
  sd_event* event = nullptr;
  int r = sd_event_new(&event);
  loop->event_.reset(event);
  if (r < 0) {
    error = std::string("cannot create the event loop: ") + std::strerror(-r);
    return nullptr;
  }
  sd_bus* bus = nullptr;
  r = sd_bus_open_user(&bus);
  loop->bus_.reset(bus);
  if (r < 0) {
    error = std::string("cannot connect to the session bus: ") + std::strerror(-r);
    return nullptr;
  }
  // The connection is made asynchronously; wait for the bus to greet us so
  // that a missing bus shows now, not later as a lost connection.
  const char* unique = nullptr;
  r = sd_bus_get_unique_name(bus, &unique);
  if (r < 0) {
    error = std::string("cannot connect to the session bus: ") + std::strerror(-r);
    return nullptr;
  }
  r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL);
  if (r >= 0) r = sd_bus_set_exit_on_disconnect(bus, 1);
  if (r < 0) {
    error = std::string("cannot serve the session bus: ") + std::strerror(-r);
    return nullptr;
  }
  r = loop->work_.fd() >= 0 ? sd_event_add_io(event, &loop->wakeSource_, loop->work_.fd(),
                                               EPOLLIN, &BusLoop::onWake, loop.get())
                           : -EMFILE;
  if (r < 0) {
    error = std::string("cannot create the event loop: ") + std::strerror(-r);
    return nullptr;
  }
  return loop;
}

BusLoop::~BusLoop() {
  if (wakeSource_ != nullptr) sd_event_source_unref(wakeSource_);
  if (bus_) (void)sd_bus_detach_event(bus_.get());
}

bool BusLoop::requestName(const std::string& name, std::string& error) {
  const int r = sd_bus_request_name(bus_.get(), name.c_str(), 0);
  if (r >= 0) return true;
  if (r == -EEXIST) {
    error = "the name " + name + " is already owned on the session bus (is the service running already?)";
  } else {
    error = "cannot take the name " + name + " on the session bus: " + std::strerror(-r);
  }
  return false;
}

bool BusLoop::post(Task work) { return work_.post(std::move(work)); }

int BusLoop::onWake(sd_event_source* /*source*/, int /*fd*/, uint32_t /*revents*/,
                    void* userdata) {
  auto* self = static_cast<BusLoop*>(userdata);
  for (auto& work : self->work_.takeAll()) {
    try {
      work();
    } catch (...) {
      // Work on the loop must not end the loop.
    }
  }
  return 0;
}

void BusLoop::postAfter(std::chrono::microseconds delay, Task work) {
  (void)post([this, delay, work = std::move(work)]() mutable {
    // The timer owns the work; freeing the timer frees it.
    auto held = std::make_unique<Task>(std::move(work));
    sd_event_source* source = nullptr;
    if (sd_event_add_time_relative(event_.get(), &source, CLOCK_MONOTONIC,
                                   static_cast<uint64_t>(delay.count()), 1000, &BusLoop::onTimer,
                                   held.get()) < 0) {
      return;
    }
    (void)sd_event_source_set_destroy_callback(
        source, [](void* userdata) { delete static_cast<Task*>(userdata); });
    (void)held.release();
  });
}

int BusLoop::onTimer(sd_event_source* source, uint64_t /*usec*/, void* userdata) {
  Task work = std::move(*static_cast<Task*>(userdata));
  (void)sd_event_source_unref(source);  // one shot: frees the holder
  try {
    if (work) work();
  } catch (...) {
    // Work on the loop must not end the loop.
  }
  return 0;
}

void BusLoop::run() {
  loopThread_.store(std::this_thread::get_id());
  (void)sd_event_loop(event_.get());
  // The executor's rule: what was posted before the close still runs (on a
  // lost connection its replies go nowhere); what comes after is refused.
  work_.close();
  (void)onWake(nullptr, -1, 0, this);
}

}  // namespace zivuv::platform
