#pragma once

#include <memory>
#include <string>

#include "discovery/NoticeCenter.h"
#include "platform/bus/BusLoop.h"
#include "platform/notify/DesktopNotifier.h"
#include "service/ZivuvFolderMonitorListener.h"

namespace zivuv {

// Publishes the service object on the bus: the four protocol methods and the
// DefaultsChanged signal, introspectable. Handlers run on the loop thread;
// the scan's reply is carried back to it from monitorQueue.
class BusAdaptor {
 public:
  BusAdaptor(platform::BusLoop& loop, std::shared_ptr<ZivuvFolderMonitorListener> listener);
  ~BusAdaptor();
  BusAdaptor(const BusAdaptor&) = delete;
  BusAdaptor& operator=(const BusAdaptor&) = delete;

  // false when the object could not be published.
  bool published() const { return protocolSlot_ != nullptr; }

  platform::BusLoop& loop() { return loop_; }
  ZivuvFolderMonitorListener& listener() { return *listener_; }

 private:
  platform::BusLoop& loop_;
  std::shared_ptr<ZivuvFolderMonitorListener> listener_;
  sd_bus_slot* protocolSlot_ = nullptr;
  sd_bus_slot* signalSlot_ = nullptr;
};

// The notices of a scan, carried from the scan's thread to the loop: the
// signal of the broadcast and a desktop notification, in that order. The
// loop and the notifier must outlive the scans that use this object.
class BusNoticeCenter final : public discovery::NoticeCenter {
 public:
  BusNoticeCenter(platform::BusLoop& loop, platform::DesktopNotifier& notifier)
      : loop_(loop), notifier_(notifier) {}

  void postDistributedNotification(const NotificationName& name,
                                   const std::string& object) override;
  void deliverNotification(const std::string& title, const std::string& informativeText) override;

 private:
  platform::BusLoop& loop_;
  platform::DesktopNotifier& notifier_;
};

}  // namespace zivuv
