#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/bus/BusLoop.h"
#include "service/ZivuvFolderMonitorListener.h"

namespace zivuv {

// Publishes the service object on the bus: the four protocol methods, the
// DefaultsChanged signal and the status interface's read-only properties,
// introspectable. Handlers run on the loop thread and never wait for a
// folder or a lock of the settings; replies that the service object gives
// from another thread are carried back to it.
class BusAdaptor {
 public:
  // At most one PropertiesChanged per this gap.
  static constexpr std::chrono::milliseconds kSignalGap{100};

  BusAdaptor(platform::BusLoop& loop, std::shared_ptr<ZivuvFolderMonitorListener> listener);
  ~BusAdaptor();
  BusAdaptor(const BusAdaptor&) = delete;
  BusAdaptor& operator=(const BusAdaptor&) = delete;

  // false when the object could not be published.
  bool published() const { return protocolSlot_ != nullptr; }

  // Something the status tells may have changed. Any thread. A look is
  // taken on the loop thread, at once or kSignalGap after the last signal:
  // one PropertiesChanged for the properties that signal and changed, and
  // the service manager's status line when it changed. Nothing is armed
  // while nothing waits.
  void statusMayHaveChanged();

  platform::BusLoop& loop() { return loop_; }
  ZivuvFolderMonitorListener& listener() { return *listener_; }

  // What the status getters read: one snapshot per incoming call (a
  // GetAll is one snapshot), or the one being signalled. Loop thread.
  const ServiceStatus& snapshot();

 private:
  using Clock = std::chrono::steady_clock;
  void lookAtStatus();
  void tellChanges();

  platform::BusLoop& loop_;
  std::shared_ptr<ZivuvFolderMonitorListener> listener_;
  sd_bus_slot* protocolSlot_ = nullptr;
  sd_bus_slot* signalSlot_ = nullptr;
  sd_bus_slot* statusSlot_ = nullptr;

  std::atomic<bool> lookAsked_{false};
  // Loop thread only.
  bool tellArmed_ = false;
  Clock::time_point lastSignal_{};
  ServiceStatus told_;  // as the last signal, or the start, told it
  std::string statusLine_;
  std::optional<ServiceStatus> snapshot_;
  std::uint64_t incoming_ = 0;          // messages the bus has handed over so far
  std::uint64_t snapshotFor_ = 0;       // the one the snapshot was taken for
  bool signalling_ = false;
  sd_bus_slot* filterSlot_ = nullptr;
};

}  // namespace zivuv
