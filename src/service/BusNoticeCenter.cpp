#include "service/BusNoticeCenter.h"

#include "names/Names.h"

namespace zivuv {

void BusNoticeCenter::postDistributedNotification(const NotificationName& name,
                                                  const std::string& object) {
  loop_.post([loop = &loop_, name, object] {
    (void)sd_bus_emit_signal(loop->bus(), names::kObjectPath, name.interface, name.member, "s",
                             object.c_str());
  });
}

void BusNoticeCenter::deliverNotification(const std::string& title,
                                          const std::string& informativeText) {
  loop_.post([notifier = &notifier_, title, informativeText] {
    notifier->notify(title, informativeText);
  });
}

}  // namespace zivuv
