#pragma once

#include <string>
#include <vector>

#include "bookmarks/BookmarkUtils.h"

namespace zivuv::discovery {

// How the service tells others about registered repositories: a broadcast
// for the app and a desktop notification for the person. Both calls return
// at once and report nothing; called on the scan's thread.
class NoticeCenter {
 public:
  virtual ~NoticeCenter() = default;
  virtual void postDistributedNotification(const NotificationName& name,
                                           const std::string& object) = 0;
  virtual void deliverNotification(const std::string& title, const std::string& informativeText) = 0;
};

// Posts DefaultsChanged alone: the shared list changed, and nothing new
// is in it (entries recorded anew where their folders moved).
void postDefaultsChanged(NoticeCenter& center);

// Posts DefaultsChanged, then delivers one notification for the whole run:
// the single-repository texts for one name, the count texts for more.
// names holds at least one entry.
void announceNewRepositories(const std::vector<std::string>& names, NoticeCenter& center);

}  // namespace zivuv::discovery
