#pragma once

#include <memory>
#include <string>

#include "platform/bus/BusLoop.h"
#include "service/ZivuvFolderMonitorListener.h"

namespace zivuv {

// Publishes the service object on the bus: the four protocol methods, the
// DefaultsChanged signal and the status interface's read-only properties,
// introspectable. Handlers run on the loop thread; replies that the service
// object gives from another thread are carried back to it.
class BusAdaptor {
 public:
  BusAdaptor(platform::BusLoop& loop, std::shared_ptr<ZivuvFolderMonitorListener> listener);
  ~BusAdaptor();
  BusAdaptor(const BusAdaptor&) = delete;
  BusAdaptor& operator=(const BusAdaptor&) = delete;

  // false when the object could not be published.
  bool published() const { return protocolSlot_ != nullptr; }

  // The service's state settled or a scan ended: tells the service manager
  // (its status line) and the status interface's listeners
  // (PropertiesChanged). Loop thread.
  void statusChanged(const std::string& statusLine);

  platform::BusLoop& loop() { return loop_; }
  ZivuvFolderMonitorListener& listener() { return *listener_; }

 private:
  platform::BusLoop& loop_;
  std::shared_ptr<ZivuvFolderMonitorListener> listener_;
  sd_bus_slot* protocolSlot_ = nullptr;
  sd_bus_slot* signalSlot_ = nullptr;
  sd_bus_slot* statusSlot_ = nullptr;
};

}  // namespace zivuv
