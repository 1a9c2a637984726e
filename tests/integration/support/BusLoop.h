#pragma once

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "support/Deadline.h"
#include "support/UniqueFd.h"

// Plumbing shared by the bus clients and fake servers of the harness.
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

// A new client connection to `address`, started (the Hello is still under
// way). Null with `error` set on failure. Does not block.
BusPtr openBus(const std::string& address, std::string& error);

// One thread that owns one sd-bus connection and runs every piece of code
// that touches it: sd-bus objects are not thread-safe. It waits with ppoll on
// the connection and on an eventfd through which other threads post work, so
// it never spins; a closed connection is no longer polled.
class BusLoop {
 public:
  enum class State { NoBus, Opening, Ready, Closed };

  BusLoop();
  ~BusLoop();
  BusLoop(const BusLoop&) = delete;
  BusLoop& operator=(const BusLoop&) = delete;

  bool ok() const { return thread_.joinable(); }

  // Runs `fn` on the loop thread and returns its result (at once when called
  // on the loop thread). After stop() it returns a value-initialised result
  // without running `fn`.
  template <typename F>
  std::invoke_result_t<F&> call(F&& fn) {
    using R = std::invoke_result_t<F&>;
    if (onLoopThread()) return fn();
    std::packaged_task<R()> task([&fn]() -> R { return fn(); });
    auto result = task.get_future();
    if (!post([&task] { task(); })) {
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        return R{};
      }
    }
    return result.get();
  }

  // Queues `fn` for the loop thread; false once the loop stopped.
  bool post(std::function<void()> fn);

  // Ends the thread after running the work already queued. The connection
  // stays open (and owned) until destruction, for owners to free their slots
  // first from the stopping thread.
  void stop();

  bool onLoopThread() const { return std::this_thread::get_id() == threadId_; }

  // Loop thread only: the connection that the loop serves. Replacing it
  // closes the old one.
  void setBus(BusPtr bus);
  sd_bus* bus() const { return bus_.get(); }
  BusPtr takeBus();

  // Any thread.
  State state() const;
  // Waits until the connection finished its Hello (true) or closed, or until
  // `deadline`.
  bool waitReady(Deadline deadline);
  bool waitClosed(Deadline deadline);

 private:
  void run();
  void processBus();
  void setState(State state);

  UniqueFd wake_;
  std::thread thread_;
  std::thread::id threadId_;
  BusPtr bus_;  // loop thread only while it runs

  mutable std::mutex mutex_;
  std::condition_variable stateChanged_;
  std::deque<std::function<void()>> queue_;
  bool stopping_ = false;
  State state_ = State::NoBus;
};

// One object that a fake service exports.
struct ServedObject {
  const char* path;
  const char* interface;
  const sd_bus_vtable* vtable;
  void* userdata;
};

// Connects `loop` to the bus at `address` (replacing its connection),
// exports `objects` and claims `name` without queueing; returns once the bus
// answered or `deadline` passed. The registrations land in `slots`. Call from
// any thread but the loop's.
bool serveName(BusLoop& loop, const std::string& address, const std::string& name,
               const std::vector<ServedObject>& objects, std::vector<SlotPtr>& slots,
               Deadline deadline, std::string& error);

}  // namespace zivuv::testing::detail
