#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "discovery/NoticeCenter.h"
#include "platform/bus/BusLoop.h"
#include "platform/notify/DesktopNotifier.h"
#include "service/ZivuvFolderMonitorListener.h"

namespace zivuv {

inline constexpr const char* kBusName = "VO9ZE47VOD.com.dozezeza.FolderMonitor";
inline constexpr const char* kObjectPath = "/VO9ZE47VOD/com/dozezeza/FolderMonitor";
inline constexpr const char* kProtocolInterface = "VO9ZE47VOD.com.dozezeza.FolderMonitor";

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
// DefaultsChanged signal and a desktop notification, in that order. Until
// attach() they are dropped.
class BusNoticeCenter final : public discovery::NoticeCenter {
 public:
  void attach(platform::BusLoop* loop, platform::DesktopNotifier* notifier);

  void postDistributedNotification(const std::string& name, const std::string& object) override;
  void deliverNotification(const std::string& title, const std::string& informativeText) override;

 private:
  std::mutex mutex_;
  platform::BusLoop* loop_ = nullptr;
  platform::DesktopNotifier* notifier_ = nullptr;
};

}  // namespace zivuv
