#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "watch/SerialQueue.h"

namespace zivuv::watch {

// The candidates of a scan that failed the repository test but changed
// lately: a copy, a clone or an archive being unpacked may still be filling
// them, and what happens inside a candidate makes no event on the folder it
// lies in. Each is watched, with its .git folder once there is one, for
// entries created, moved in or deleted. A change there tests that folder
// alone, once it has been quiet for the retest delay; when it passes, it
// leaves the set and onRepositories hears of it. A folder also leaves when
// it is no longer a failed candidate of a scan (registered, blocked,
// removed) or has been quiet for the quiet period, after a last retest: a
// pack being received makes no event there, so a folder still being
// written stays for another period, and one that passes is taken.
//
// At most kMaxFolders at once, all in one FolderSet, and one timer for
// their retests and quiet periods; neither exists while nothing is pending.
// The folders that an update turns away for want of room are logged in one
// line with their count; a folder turned away is counted once, until it is
// taken or no longer a failed candidate.
// Everything runs on the queue, which the object keeps.
class PendingFolders : public std::enable_shared_from_this<PendingFolders> {
 public:
  static constexpr std::size_t kMaxFolders = 256;
  static constexpr std::chrono::minutes kQuietPeriod{10};

  // A candidate that failed the repository test, and when its status last
  // changed (its ctime).
  struct Candidate {
    std::string path;
    std::chrono::system_clock::time_point changed;
  };
  using RepositoriesHandler = std::function<void(const std::vector<std::string>& paths)>;
  // Makes the set that watches the folders (the monitored folder's own,
  // so that a folder also watched in its tree is one watch); nullptr when
  // there is none.
  using SetMaker = std::function<std::shared_ptr<FolderSet>(FolderSetHandler onEvents)>;
  // What a retest makes of a folder: it passes only once git has settled.
  enum class Retest { NotRepository, BeingWritten, Repository };
  using RetestFunction = std::function<Retest(const std::string&)>;

  // isRepository is the scan's repository test.
  static std::shared_ptr<PendingFolders> create(std::shared_ptr<SerialQueue> queue,
                                                SetMaker makeSet,
                                                RepositoriesHandler onRepositories,
                                                RetestFunction isRepository,
                                                std::chrono::nanoseconds retestDelay,
                                                std::chrono::nanoseconds quietPeriod = kQuietPeriod);
  ~PendingFolders();

  // After a scan: its failed candidates, in walk order. Pending folders that
  // are not among them are dropped; the others join when their status
  // changed within the quiet period, while there is room.
  void update(const std::vector<Candidate>& notRepositories);

  // Drops every pending folder.
  void clear();

  // The paths pending, or turned away and still failed candidates: when
  // they last changed makes no difference to them. For the scan, which runs
  // on the queue too.
  const std::unordered_set<std::string>& tracked() const { return tracked_; }

  // The folders pending. Any thread.
  std::size_t size() const { return size_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  struct Folder {
    Clock::time_point lastActivity;
    Clock::time_point retestAt = Clock::time_point::max();
    bool gitWatched = false;
  };

  PendingFolders(std::shared_ptr<SerialQueue> queue, SetMaker makeSet, RepositoriesHandler onRepositories,
                 RetestFunction isRepository,
                 std::chrono::nanoseconds retestDelay, std::chrono::nanoseconds quietPeriod);
  bool add(const std::string& path);
  bool watchGitFolder(const std::string& path, Folder& folder);
  void drop(const std::string& path);
  void onEvents(const std::vector<FolderSetEvent>& events);
  void onTimer();
  void armTimer();
  void releaseWhenEmpty();

  std::shared_ptr<SerialQueue> queue_;  // kept while the object lives
  SetMaker makeSet_;
  RepositoriesHandler onRepositories_;
  RetestFunction isRepository_;
  std::chrono::nanoseconds retestDelay_;
  std::chrono::nanoseconds quietPeriod_;
  std::unordered_map<std::string, Folder> folders_;
  std::unordered_set<std::string> tracked_;  // the keys of folders_, and those turned away
  std::shared_ptr<FolderSet> watches_;
  std::shared_ptr<Source> timer_;
  Clock::time_point timerDue_ = Clock::time_point::max();
  bool limitReported_ = false;
  std::atomic<std::size_t> size_{0};
};

}  // namespace zivuv::watch
