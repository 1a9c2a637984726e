#pragma once

#include <systemd/sd-bus.h>

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

#include "platform/fd/UniqueFd.h"

// Plumbing shared by the bus client and the fake services of the harness.
namespace zivuv::testing::detail {

struct BusClose {
  void operator()(sd_bus* bus) const noexcept { (void)sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot* slot) const noexcept { (void)sd_bus_slot_unref(slot); }
};
struct MessageUnref {
  void operator()(sd_bus_message* message) const noexcept { (void)sd_bus_message_unref(message); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;

// A client connection to `address` that has finished its Hello; null with
// `error` set on failure.
BusPtr connect(const std::string& address, std::string& error);

// One thread that owns one sd-bus connection (sd-bus objects are not
// thread-safe) and runs every piece of code that touches it. It waits in
// ppoll on the connection and on an eventfd through which other threads
// post work, so it never spins; a closed connection is no longer polled.
class BusLoop {
 public:
  BusLoop();
  ~BusLoop();
  BusLoop(const BusLoop&) = delete;
  BusLoop& operator=(const BusLoop&) = delete;

  // Runs `fn` on the loop thread and returns its result (at once on the
  // loop thread). Once stopped, returns a value-initialised result unrun.
  template <typename F>
  std::invoke_result_t<F&> call(F&& fn) {
    using R = std::invoke_result_t<F&>;
    if (std::this_thread::get_id() == threadId_) return fn();
    std::packaged_task<R()> task([&fn]() -> R { return fn(); });
    auto result = task.get_future();
    if (!post([&task] { task(); })) return R();
    return result.get();
  }
  // Queues `fn` for the loop thread; false once the loop stopped.
  bool post(std::function<void()> fn);
  // Ends the thread after the work already queued. The connection stays
  // until destruction, so that owners free their slots first.
  void stop();

  // Loop thread only: the connection, and the object it exports, if any.
  // Replacing them closes the old connection.
  sd_bus* bus() const { return bus_.get(); }
  void setBus(BusPtr bus, SlotPtr object = nullptr);

  // Connects, exports `vtable` (with `userdata`) at `path` and claims `name`
  // without queueing; then the loop serves the connection. Any thread but
  // the loop's.
  bool serve(const std::string& address, const std::string& name, const char* path,
             const char* interface, const sd_bus_vtable* vtable, void* userdata,
             std::string& error);

 private:
  void run();

  platform::UniqueFd wake_;
  std::thread thread_;
  std::thread::id threadId_;
  SlotPtr object_;  // loop thread only while it runs
  BusPtr bus_;

  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
};

}  // namespace zivuv::testing::detail
