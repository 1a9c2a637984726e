#include <cstdint>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/NoticeCenter.h"
#include "names/Names.h"
#include "platform/intl/Localization.h"
#include "platform/log/Logger.h"

namespace zivuv::discovery {

using platform::formatText;
using platform::localizedString;
using platform::Logger;

void postDefaultsChanged(NoticeCenter& center) {
  center.postDistributedNotification(NotificationName::DefaultsChanged(), names::kAppId);
}

void announceNewRepositories(const std::vector<std::string>& names, NoticeCenter& center) {
  postDefaultsChanged(center);

  std::string title;
  std::string informativeText;
  if (names.size() < 2) {
    Logger::shared().info("Checked and have one new repo");
    title = localizedString("Repository Automatically Added");
    informativeText =
        formatText(localizedString("Zivuv is now monitoring the folder %@"), {names.front()});
  } else {
    Logger::shared().info("Checked and have more than one new repos");
    const auto count = static_cast<std::int64_t>(names.size());
    title = formatText(localizedString("%i Repositories Added"), {count});
    informativeText =
        formatText(localizedString("Zivuv is now monitoring %i more repositories"), {count});
  }
  center.deliverNotification(title, informativeText);
}

}  // namespace zivuv::discovery
