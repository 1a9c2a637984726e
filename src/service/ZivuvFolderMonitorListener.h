#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/NoticeCenter.h"
#include "platform/url/FileURL.h"
#include "watch/PendingFolders.h"
#include "watch/SerialQueue.h"

namespace zivuv {

// What the service object is built with; the process entry passes the real
// queue and bus-backed notices, unit tests pass fakes.
struct ListenerEnvironment {
  std::unique_ptr<watch::SerialQueue> monitorQueue;
  std::shared_ptr<discovery::NoticeCenter> notices;
  // Hands a URL to the desktop (with an activation token, possibly empty).
  std::function<void(const std::string& url, const std::string& activationToken)> openURL;
  // Tells the service manager what the service is doing, in one line.
  std::function<void(const std::string& status)> reportStatus;
};

// The one service object: the folder-monitor protocol, the folder watch with
// its debounce timer, and the scan. monitoringURL, watchSource, timerSource
// and the scan requests are guarded by one mutex, since the bus thread and
// monitorQueue both use them; no call holds it while it waits for anything.
// It may be destroyed on any thread, monitorQueue's own included.
class ZivuvFolderMonitorListener
    : public std::enable_shared_from_this<ZivuvFolderMonitorListener> {
 public:
  // Builds the object, restores the first saved folder and starts watching
  // it. Runs on the caller's thread (the main thread at start-up).
  static std::shared_ptr<ZivuvFolderMonitorListener> create(ListenerEnvironment environment);
  ~ZivuvFolderMonitorListener();

  // The protocol. Each reply is called exactly once. The first three reply
  // on the caller's thread before they return; checkFolderNowWithCompletion
  // replies on monitorQueue once its scan has run there. Requests that
  // arrive while a requested scan is queued and not yet begun share it.
  void verifyAgentWithCompletion(
      const std::function<void(std::optional<Data>, const std::string&)>& reply);
  void startMonitoringWithPath(const Data& transportData, const std::function<void(bool)>& reply);
  void checkFolderNowWithCompletion(std::function<void(std::int64_t)> reply);
  void reset();

  // A click on one of our notices: brings the app forward.
  void userNotificationCenterDidActivateNotification(const std::string& activationToken);

  // The folder watch. startMonitoring and stopMonitoring run on the caller's
  // thread; the handlers run on monitorQueue.
  bool startMonitoring();
  void stopMonitoring();
  void folderDidChange();
  void timerDidFire();

  // The scan; runs on monitorQueue. Returns the number registered.
  std::int64_t checkForNewRepositories();

  std::optional<FileURL> currentMonitoringURL() const;

  static constexpr std::chrono::seconds kDebounceDelay{3};
  // How often a folder on a network file system is scanned, since changes
  // made on other machines make no event.
  static constexpr std::chrono::minutes kRescanPeriod{5};

 private:
  explicit ZivuvFolderMonitorListener(ListenerEnvironment environment);
  void folderEvent(watch::FolderEvent event, const FileURL& folder);
  void setStatus(const std::string& status);

  // The replies waiting for one requested scan.
  struct ScanRequest {
    std::vector<std::function<void(std::int64_t)>> replies;
  };

  std::unique_ptr<watch::SerialQueue> monitorQueue;
  std::shared_ptr<discovery::NoticeCenter> notices_;
  std::function<void(const std::string&, const std::string&)> openURL_;
  std::function<void(const std::string&)> reportStatus_;

  mutable std::mutex fieldsMutex_;
  std::shared_ptr<watch::Source> watchSource;
  std::shared_ptr<watch::Source> timerSource;
  std::optional<FileURL> monitoringURL;
  std::shared_ptr<watch::Source> rescanSource_;     // only on a network file system
  std::shared_ptr<ScanRequest> requestedScan_;      // queued and not yet begun
  std::string lastAdded_;                           // for the status line

  // Used on monitorQueue only.
  std::shared_ptr<watch::PendingFolders> pending_;
};

// The executable's own base name, as the protocol reports it.
std::string processName();

}  // namespace zivuv
