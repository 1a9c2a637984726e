#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "watch/SerialQueue.h"

namespace zivuv::watch {

// The subfolders of the monitored folder that failed the repository test
// but changed lately: a copy, a download or an archive being unpacked may
// still be filling them, and what happens inside a subfolder makes no event
// on the monitored folder. Each is watched, with its .git folder once there
// is one, until it is no longer a failed candidate of a scan (registered,
// blocked, removed), or it has been quiet for the quiet period. An event in
// one calls onChange, as a change of the monitored folder would.
//
// At most kMaxFolders at once, all through one inotify instance, and one
// timer for their quiet periods; neither exists while nothing is pending. A
// folder turned away for want of room is logged once, until it is taken or
// no longer a failed candidate.
// Everything runs on the queue, which must outlive the object.
class PendingFolders : public std::enable_shared_from_this<PendingFolders> {
 public:
  static constexpr std::size_t kMaxFolders = 256;
  static constexpr std::chrono::minutes kQuietPeriod{10};

  // isRepository is the scan's repository test: a folder that passes it
  // once its watch runs became one before the watch could see it.
  static std::shared_ptr<PendingFolders> create(
      SerialQueue& queue, Handler onChange, std::function<bool(const std::string&)> isRepository,
      std::chrono::nanoseconds quietPeriod = kQuietPeriod);
  ~PendingFolders();

  // After a scan: the candidates that failed the repository test, in listing
  // order. Pending folders that are not among them are dropped; the others
  // join when their status changed within the quiet period, while there is
  // room.
  void update(const std::vector<std::string>& notRepositories);

  // Drops every pending folder.
  void clear();

  std::size_t size() const { return folders_.size(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Folder {
    Clock::time_point lastActivity;
    bool gitWatched = false;
  };

  PendingFolders(SerialQueue& queue, Handler onChange,
                 std::function<bool(const std::string&)> isRepository,
                 std::chrono::nanoseconds quietPeriod);
  bool add(const std::string& path);
  bool watchGitFolder(const std::string& path, Folder& folder);
  void drop(const std::string& path);
  void onEvents(const std::vector<FolderSetEvent>& events);
  void onQuietTimer();
  void armQuietTimer();
  void releaseWhenEmpty();

  SerialQueue& queue_;
  Handler onChange_;
  std::function<bool(const std::string&)> isRepository_;
  std::chrono::nanoseconds quietPeriod_;
  std::unordered_map<std::string, Folder> folders_;
  std::unordered_set<std::string> refused_;
  std::shared_ptr<FolderSet> watches_;
  std::shared_ptr<Source> quietTimer_;
  bool limitReported_ = false;
};

}  // namespace zivuv::watch
