#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/thread/Executor.h"

namespace zivuv::platform {

struct SdBusUnref {
  void operator()(sd_bus* bus) const noexcept { sd_bus_flush_close_unref(bus); }
};
struct SdEventUnref {
  void operator()(sd_event* event) const noexcept { sd_event_unref(event); }
};
struct SdBusSlotUnref {
  void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
struct SdBusMessageUnref {
  void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using SdBusPtr = std::unique_ptr<sd_bus, SdBusUnref>;
using SdEventPtr = std::unique_ptr<sd_event, SdEventUnref>;
using SdBusSlotPtr = std::unique_ptr<sd_bus_slot, SdBusSlotUnref>;
using SdBusMessagePtr = std::unique_ptr<sd_bus_message, SdBusMessageUnref>;

// The run loop: one connection to the session bus driven by an sd-event
// loop on the thread that calls run(). sd-bus is not thread-safe, so every
// use of the connection happens on that thread; other threads hand work
// over with post(), through an Executor and its shutdown rule: once run()
// has returned, work posted later is refused and destroyed unrun.
class BusLoop {
 public:
  // Connects to the user's session bus; nullptr with a reason in error when
  // there is none or it cannot be reached.
  static std::unique_ptr<BusLoop> connectSession(std::string& error);
  ~BusLoop();

  BusLoop(const BusLoop&) = delete;
  BusLoop& operator=(const BusLoop&) = delete;

  sd_bus* bus() const { return bus_.get(); }

  // Takes the well-known name; false with a reason when it is owned already
  // or cannot be requested.
  bool requestName(const std::string& name, std::string& error);

  // Runs work on the loop thread, in order. Any thread, before or during
  // run(); false, with the work destroyed, after it.
  bool post(Task work);

  // Runs work on the loop thread once delay has passed (monotonic clock,
  // never early). Any thread. The timer exists only until then.
  void postAfter(std::chrono::microseconds delay, Task work);

  // Serves until the bus connection is lost, then refuses further work.
  void run();

  // Whether the caller is the thread inside run().
  bool onLoopThread() const { return loopThread_.load() == std::this_thread::get_id(); }

 private:
  BusLoop() = default;
  static int onWake(sd_event_source* source, int fd, uint32_t revents, void* userdata);
  static int onTimer(sd_event_source* source, uint64_t usec, void* userdata);

  SdEventPtr event_;
  SdBusPtr bus_;
  Executor work_;
  sd_event_source* wakeSource_ = nullptr;
  std::atomic<std::thread::id> loopThread_{};
};

}  // namespace zivuv::platform
