#pragma once

#include <string>

#include "discovery/NoticeCenter.h"
#include "platform/bus/BusLoop.h"
#include "platform/notify/DesktopNotifier.h"

namespace zivuv {

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
