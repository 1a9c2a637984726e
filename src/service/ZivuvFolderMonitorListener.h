#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/NoticeCenter.h"
#include "discovery/RepositoryScan.h"
#include "platform/thread/Reply.h"
#include "platform/thread/Task.h"
#include "platform/url/FileURL.h"
#include "service/ServiceStatus.h"
#include "watch/PendingFolders.h"
#include "watch/SerialQueue.h"

namespace zivuv {

// Runs work somewhere; a null one runs it at once, on the caller's thread.
using Executor = std::function<void(platform::Task)>;

// What the service object is built with; the process entry passes the real
// queues, workers and bus-backed notices, unit tests pass fakes.
struct ListenerEnvironment {
  // Makes monitorQueue: one at start, and a fresh one for each watch, so
  // that a folder that stops answering holds up its own queue alone.
  std::function<std::unique_ptr<watch::SerialQueue>()> makeQueue;
  std::shared_ptr<discovery::NoticeCenter> notices;
  // Hands a URL to the desktop (with an activation token, possibly empty).
  std::function<void(const std::string& url, const std::string& activationToken)> openURL;
  // Something the status tells may have changed: called from any thread,
  // often, with no lock of the object held; cheap.
  std::function<void()> statusChanged;
  // Where the protocol's calls touch folders and the service's own
  // settings (resolving, saving, resetting, watching), in order, so that a
  // hung file system never holds up the bus.
  Executor folderWork;
  // Where verifyAgentWithCompletion looks at the monitored folder, when it
  // must, apart from the folder work, which may be held up by another
  // folder.
  Executor probeWork;
  // Runs work after a delay on a thread that never waits for a folder (the
  // bus loop); null: never.
  std::function<void(std::chrono::milliseconds, platform::Task)> after;
  std::string version;
};

// The one service object: the folder-monitor protocol, the folder watch with
// its debounce timer, and the scan. The state shared by the bus thread, the
// folder work and monitorQueue is guarded by one mutex; no call holds it
// while it waits for anything or touches a folder. Replies may come from
// any thread. It may be destroyed on any thread, monitorQueue's own
// included.
//
// Each watch is a generation: its queue, its sources and its pending
// folders. What a generation's handlers and scans bring back after another
// watch began (a queue held in the kernel by a folder that stopped
// answering) is dropped; the check is made under the mutex that sets what
// it would change.
class ZivuvFolderMonitorListener
    : public std::enable_shared_from_this<ZivuvFolderMonitorListener> {
 public:
  // The answers of the protocol. Each is answered exactly once; one that is
  // dropped unanswered answers the protocol's failure: no data, NO, 0.
  using AgentReply = platform::Reply<std::optional<Data>, std::string>;
  using WatchReply = platform::Reply<bool>;
  using ScanReply = platform::Reply<std::int64_t>;

  // Builds the object, then restores the first saved folder and starts
  // watching it as folder work, waiting for that at most kStartupWait.
  static std::shared_ptr<ZivuvFolderMonitorListener> create(ListenerEnvironment environment);
  ~ZivuvFolderMonitorListener();

  // The protocol; each returns at once. verifyAgentWithCompletion answers
  // from what the watch knows when nothing that could move the folder has
  // happened since the last look at it; otherwise it looks again as probe
  // work and, when the folder does not answer within kProbeWait, answers
  // with the data made when its watch began. startMonitoringWithPath and
  // reset run as folder work, in the order they came. checkFolderNow-
  // WithCompletion answers from monitorQueue once its scan has run there;
  // requests that arrive while a requested scan is queued and not yet begun
  // share it. Past kMaxWaitingCallers callers waiting for one kind of
  // answer, for work that has not gone on for kStallLimit, each further one
  // is answered at once with what is known (the watch's data, NO, 0), and
  // the log says so once.
  void verifyAgentWithCompletion(AgentReply reply);
  void startMonitoringWithPath(const Data& transportData, WatchReply reply);
  void checkFolderNowWithCompletion(ScanReply reply);
  void reset();

  // A click on one of our notices: brings the app forward.
  void userNotificationCenterDidActivateNotification(const std::string& activationToken);

  // The folder watch. startMonitoring and stopMonitoring run as folder work
  // (or at construction); the handlers run on monitorQueue.
  bool startMonitoring();
  void stopMonitoring();

  // A scan of the current folder on the calling thread (monitorQueue's).
  // Returns the number registered.
  std::int64_t checkForNewRepositories();

  std::optional<FileURL> currentMonitoringURL() const;
  // Everything the status interface tells, as one snapshot. Any thread;
  // never waits for anything but the object's mutex.
  ServiceStatus status() const;

  static constexpr std::chrono::seconds kDebounceDelay{3};
  // However busy the folder stays, a scan runs this long after the first
  // change of an unbroken series.
  static constexpr std::chrono::seconds kDebounceCeiling{30};
  // How often a folder that inotify cannot follow fully (a network file
  // system, a tree past the watch cap) is scanned.
  static constexpr std::chrono::minutes kRescanPeriod{5};
  static constexpr std::chrono::seconds kProbeWait{1};
  static constexpr std::chrono::seconds kStartupWait{2};
  // How long the callers of a scan left behind on the queue of a watch
  // that was replaced wait for it before they are answered 0.
  static constexpr std::chrono::seconds kAbandonedScanWait{1};
  static constexpr std::size_t kMaxWaitingCallers = 32;
  static constexpr std::chrono::seconds kStallLimit{1};

 private:
  using Clock = std::chrono::steady_clock;
  struct ScanRequest;
  struct ProbeWaiter;
  // What one watch's handlers work with.
  struct Generation {
    std::uint64_t number = 0;
    std::shared_ptr<watch::SerialQueue> queue;
    std::shared_ptr<watch::PendingFolders> pending;
    std::shared_ptr<watch::FolderSource> source;
  };
  enum class WatchState { None, Watching, Waiting, CannotWatch };

  explicit ZivuvFolderMonitorListener(ListenerEnvironment environment);
  void restoreSavedFolder();
  void startMonitoringWithPathNow(const Data& transportData, WatchReply reply);
  Generation newGenerationLocked(std::shared_ptr<watch::SerialQueue> queue);
  Generation currentGeneration() const;
  void probeMonitoredFolder(std::uint64_t generation, std::uint64_t epoch);
  void folderEvent(watch::FolderEvent event, std::uint64_t generation, const FileURL& folder);
  void folderDidChange(std::uint64_t generation);
  void armDebounceLocked(const Generation& generation);
  void timerDidFire(std::uint64_t generation);
  void pendingFolderDidChange(const std::vector<std::string>& paths, std::uint64_t generation);
  void queueScanLocked(const std::shared_ptr<ScanRequest>& request);
  void postScan(const std::shared_ptr<ScanRequest>& request, const Generation& generation);
  std::int64_t runScan(const std::shared_ptr<ScanRequest>& request, std::uint64_t generation);
  void followTree(const Generation& generation, const discovery::ScanOutcome& outcome,
                  std::size_t cap);
  void noteRefusedWatch(std::uint64_t generation);
  void decideNetworkRescan(const FileURL& folder, std::uint64_t generation);
  void updateRescanLocked();
  void noteRegistered(std::uint64_t generation, std::int64_t registered);
  bool setWatchState(WatchState state, std::uint64_t generation);
  bool tooManyWaitingLocked(std::size_t waiting, std::optional<Clock::time_point> since);
  void publishStatus();
  ServiceStatus statusLocked() const;

  std::function<std::unique_ptr<watch::SerialQueue>()> makeQueue_;
  std::shared_ptr<discovery::NoticeCenter> notices_;
  std::function<void(const std::string&, const std::string&)> openURL_;
  std::function<void()> statusChanged_;
  Executor folderWork_;
  Executor probeWork_;
  std::function<void(std::chrono::milliseconds, platform::Task)> after_;
  const std::string processName_;
  const std::chrono::nanoseconds rescanPeriod_;
  const std::chrono::nanoseconds pendingQuiet_;

  mutable std::mutex fieldsMutex_;
  std::shared_ptr<watch::SerialQueue> monitorQueue;  // the current generation's
  std::shared_ptr<watch::PendingFolders> pending_;    // its folders pending
  std::shared_ptr<watch::FolderSource> watchSource;
  std::shared_ptr<watch::Source> timerSource;
  std::optional<FileURL> monitoringURL;
  std::shared_ptr<watch::Source> rescanSource_;      // while inotify alone cannot follow
  std::shared_ptr<ScanRequest> requestedScan_;       // queued and not yet begun
  std::shared_ptr<ScanRequest> runningScan_;         // begun, with callers
  std::uint64_t watchGeneration_ = 0;                // the current generation's number
  bool queueWatched_ = false;                        // monitorQueue has carried a watch
  std::optional<Data> watchedTransportData_;         // made when the watch began
  // verifyAgentWithCompletion's last look at the folder, valid while no
  // event that may have moved the folder came after it (lookEpoch_).
  struct Look {
    std::optional<Data> data;
    std::uint64_t generation = 0;
    std::uint64_t epoch = 0;
  };
  std::optional<Look> look_;
  std::uint64_t lookEpoch_ = 0;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> probing_;  // the look in flight
  std::vector<std::shared_ptr<ProbeWaiter>> probeWaiters_;
  std::deque<Clock::time_point> folderCallers_;      // startMonitoringWithPath calls waiting
  bool crowdTold_ = false;                           // the cap of waiting callers, told once
  bool folderSilent_ = false;                        // told once per silence
  std::optional<Clock::time_point> seriesStart_;     // first change not yet scanned
  WatchState watchState_ = WatchState::None;
  std::optional<std::uint64_t> scanning_;            // the generation of the scan running
  std::string rootNetwork_;                          // the folder's network file system
  bool treeNeedsRescan_ = false;                     // past the cap, or a share inside
  int refusedWatch_ = 0;                             // a watch of the folder or a parent refused
  std::set<std::string> reportedShares_;
  bool capReported_ = false;
  std::vector<discovery::InvalidSetting> reportedInvalid_;  // told already
  ServiceStatus status_;                             // counters and last scan
};

// The executable's own base name, as the protocol reports it; read once.
const std::string& processName();

}  // namespace zivuv
