#pragma once

#include <chrono>
#include <cstdint>
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
#include "platform/url/FileURL.h"
#include "service/ServiceStatus.h"
#include "watch/PendingFolders.h"
#include "watch/SerialQueue.h"

namespace zivuv {

// Runs work somewhere; a null one runs it at once, on the caller's thread.
using Executor = std::function<void(std::function<void()>)>;

// What the service object is built with; the process entry passes the real
// queue, workers and bus-backed notices, unit tests pass fakes.
struct ListenerEnvironment {
  std::unique_ptr<watch::SerialQueue> monitorQueue;
  std::shared_ptr<discovery::NoticeCenter> notices;
  // Hands a URL to the desktop (with an activation token, possibly empty).
  std::function<void(const std::string& url, const std::string& activationToken)> openURL;
  // Tells what the service is doing: its one-line status, each time the
  // state settles or a scan ends. Any thread.
  std::function<void(const std::string& statusLine)> statusChanged;
  // Where the protocol's calls touch folders (resolving, saving, watching),
  // one at a time, so that a hung file system never holds up the bus.
  Executor folderWork;
  // Where verifyAgentWithCompletion looks at the monitored folder, apart
  // from the folder work, which may be held up by another folder.
  Executor probeWork;
  // Runs work after a delay on a thread that never waits for a folder (the
  // bus loop); null: never.
  std::function<void(std::chrono::milliseconds, std::function<void()>)> after;
  std::string version;
};

// The one service object: the folder-monitor protocol, the folder watch with
// its debounce timer, and the scan. The state shared by the bus thread, the
// folder work and monitorQueue is guarded by one mutex; no call holds it
// while it waits for anything or touches a folder. Replies may come from
// any thread. It may be destroyed on any thread, monitorQueue's own
// included.
class ZivuvFolderMonitorListener
    : public std::enable_shared_from_this<ZivuvFolderMonitorListener> {
 public:
  using AgentReply = std::function<void(std::optional<Data>, const std::string&)>;

  // Builds the object, then restores the first saved folder and starts
  // watching it as folder work, waiting for that at most kStartupWait.
  static std::shared_ptr<ZivuvFolderMonitorListener> create(ListenerEnvironment environment);
  ~ZivuvFolderMonitorListener();

  // The protocol. Each reply is called exactly once, from any thread.
  // verifyAgentWithCompletion replies with the monitored folder's transport
  // data, or, when the folder does not answer within kProbeWait, with the
  // data made when its watch began. startMonitoringWithPath runs as folder
  // work. checkFolderNowWithCompletion replies from monitorQueue once its
  // scan has run there; requests that arrive while a requested scan is
  // queued and not yet begun share it. reset runs on the caller's thread.
  void verifyAgentWithCompletion(AgentReply reply);
  void startMonitoringWithPath(const Data& transportData, std::function<void(bool)> reply);
  void checkFolderNowWithCompletion(std::function<void(std::int64_t)> reply);
  void reset();

  // A click on one of our notices: brings the app forward.
  void userNotificationCenterDidActivateNotification(const std::string& activationToken);

  // The folder watch. startMonitoring and stopMonitoring run as folder work
  // (or at construction); the handlers run on monitorQueue.
  bool startMonitoring();
  void stopMonitoring();
  void folderDidChange();
  void timerDidFire();
  // Folders that became repositories after a scan passed them over.
  void pendingFolderDidChange(const std::vector<std::string>& paths);

  // The scan; runs on monitorQueue. Returns the number registered.
  std::int64_t checkForNewRepositories();

  std::optional<FileURL> currentMonitoringURL() const;
  // Everything the status interface tells. Any thread.
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

 private:
  using Clock = std::chrono::steady_clock;
  // The replies waiting for one requested scan.
  struct ScanRequest {
    std::vector<std::function<void(std::int64_t)>> replies;
  };
  struct ProbeReply;
  enum class WatchState { None, Watching, Waiting, CannotWatch };

  explicit ZivuvFolderMonitorListener(ListenerEnvironment environment);
  void restoreSavedFolder();
  void startMonitoringWithPathNow(const Data& transportData, const std::function<void(bool)>& reply);
  void probeMonitoredFolder();
  void folderEvent(watch::FolderEvent event, std::uint64_t generation, const FileURL& folder);
  std::int64_t runScan(const std::vector<std::function<void(std::int64_t)>>& replies);
  void followTree(const std::optional<FileURL>& url, const discovery::ScanOutcome& outcome,
                  std::size_t cap);
  void noteRefusedWatch();
  void decideNetworkRescan(const FileURL& folder, std::uint64_t generation);
  void updateRescanLocked();
  void noteRegistered(const std::optional<FileURL>& url, std::int64_t registered);
  void setWatchState(WatchState state);
  void publishStatus();
  ServiceStatus statusLocked() const;

  std::unique_ptr<watch::SerialQueue> monitorQueue;
  std::shared_ptr<discovery::NoticeCenter> notices_;
  std::function<void(const std::string&, const std::string&)> openURL_;
  std::function<void(const std::string&)> statusChanged_;
  Executor folderWork_;
  Executor probeWork_;
  std::function<void(std::chrono::milliseconds, std::function<void()>)> after_;
  const std::string processName_;

  mutable std::mutex fieldsMutex_;
  std::shared_ptr<watch::FolderSource> watchSource;
  std::shared_ptr<watch::Source> timerSource;
  std::optional<FileURL> monitoringURL;
  std::shared_ptr<watch::Source> rescanSource_;      // while inotify alone cannot follow
  std::shared_ptr<ScanRequest> requestedScan_;       // queued and not yet begun
  std::uint64_t watchGeneration_ = 0;                // each watch's own number
  std::optional<Data> watchedTransportData_;         // made when the watch began
  std::vector<std::shared_ptr<ProbeReply>> probeWaiters_;
  bool probing_ = false;
  bool folderSilent_ = false;                        // told once per silence
  std::optional<Clock::time_point> seriesStart_;     // first change not yet scanned
  WatchState watchState_ = WatchState::None;
  bool scanning_ = false;
  std::string rootNetwork_;                          // the folder's network file system
  bool treeNeedsRescan_ = false;                     // past the cap, or a share inside
  int refusedWatch_ = 0;                             // a watch of the folder or a parent refused
  std::set<std::string> reportedShares_;
  bool capReported_ = false;
  std::vector<discovery::InvalidSetting> reportedInvalid_;  // told already
  ServiceStatus status_;                             // counters and last scan

  // Used on monitorQueue only.
  std::shared_ptr<watch::PendingFolders> pending_;
};

// The executable's own base name, as the protocol reports it.
std::string processName();

}  // namespace zivuv
