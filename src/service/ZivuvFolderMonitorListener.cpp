#include "service/ZivuvFolderMonitorListener.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>
#include <utility>

#include "discovery/RepositoryScan.h"
#include "names/Names.h"
#include "platform/faults/Faults.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"
#include "platform/text/Text.h"
#include "watch/FileSystems.h"

namespace zivuv {

using platform::Logger;
using platform::SecurityScope;

namespace {

// "14:02", the local time of day, for the status line.
std::string timeOfDay() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[8] = "";
  if (::localtime_r(&now, &local) != nullptr) (void)std::strftime(text, sizeof text, "%H:%M", &local);
  return text;
}

// A period that a test may shorten through the fault file.
std::chrono::nanoseconds periodOf(std::string_view verb, std::chrono::nanoseconds normal) {
  if (const auto shortened = platform::Faults::period(verb)) return *shortened;
  return normal;
}

}  // namespace

std::string processName() {
  std::string buffer(PATH_MAX, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
  if (n <= 0) return program_invocation_short_name;
  buffer.resize(static_cast<std::size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (buffer.ends_with(kDeleted)) buffer.resize(buffer.size() - kDeleted.size());
  return buffer.substr(buffer.rfind('/') + 1);
}

ZivuvFolderMonitorListener::ZivuvFolderMonitorListener(ListenerEnvironment environment)
    : monitorQueue(std::move(environment.monitorQueue)),
      notices_(std::move(environment.notices)),
      openURL_(std::move(environment.openURL)),
      reportStatus_(std::move(environment.reportStatus)) {
  auto saved = BookmarkUtils::loadSecureURLs();
  if (!saved.empty()) monitoringURL = std::move(saved.front());
  Logger::shared().info("Launched Folder Monitor");
}

std::shared_ptr<ZivuvFolderMonitorListener> ZivuvFolderMonitorListener::create(
    ListenerEnvironment environment) {
  std::shared_ptr<ZivuvFolderMonitorListener> listener(
      new ZivuvFolderMonitorListener(std::move(environment)));
  // The handlers hold the object weakly, which needs it owned first.
  std::weak_ptr<ZivuvFolderMonitorListener> weak = listener;
  listener->pending_ = watch::PendingFolders::create(
      *listener->monitorQueue,
      [weak] {
        if (const auto self = weak.lock()) self->folderDidChange();
      },
      [](const std::string& path) { return discovery::isGitRepository(path); },
      periodOf("pending-quiet", watch::PendingFolders::kQuietPeriod));
  (void)listener->startMonitoring();
  return listener;
}

ZivuvFolderMonitorListener::~ZivuvFolderMonitorListener() {
  Logger::shared().debug("Zivuv Folder Monitoring deinit");
  stopMonitoring();
  // Members go in reverse order of declaration: the pending folders and the
  // sources are released first (their states stay with the queue until it
  // ends), monitorQueue last, which ends its worker once the cancels that
  // stopMonitoring handed it have run.
}

std::optional<FileURL> ZivuvFolderMonitorListener::currentMonitoringURL() const {
  std::lock_guard lock(fieldsMutex_);
  return monitoringURL;
}

void ZivuvFolderMonitorListener::setStatus(const std::string& status) {
  if (reportStatus_) reportStatus_(platform::escapeControlBytes(status));
}

// --- Protocol -------------------------------------------------------------

void ZivuvFolderMonitorListener::verifyAgentWithCompletion(
    const std::function<void(std::optional<Data>, const std::string&)>& reply) {
  std::optional<Data> data;
  if (const auto url = currentMonitoringURL()) data = BookmarkUtils::createTransportData(*url);
  reply(std::move(data), processName());
}

void ZivuvFolderMonitorListener::startMonitoringWithPath(const Data& transportData,
                                                         const std::function<void(bool)>& reply) {
  const auto folder = BookmarkUtils::resolveTransportData(transportData);
  if (!folder) return reply(false);
  if (!BookmarkUtils::saveSecureBookmark(*folder)) return reply(false);
  const auto saved = BookmarkUtils::loadSecureURLs();
  if (saved.empty()) return reply(false);
  // The folder monitored is the first of the saved list, which is the one
  // just given only when no other resolvable folder precedes it.
  const FileURL& first = saved.front();
  if (!SecurityScope::startAccessing(first)) return reply(false);
  {
    std::lock_guard lock(fieldsMutex_);
    if (monitoringURL != first) lastAdded_.clear();
    monitoringURL = first;
  }
  const bool watching = startMonitoring();
  reply(watching);
  SecurityScope::stopAccessing(first);
}

void ZivuvFolderMonitorListener::checkFolderNowWithCompletion(
    std::function<void(std::int64_t)> reply) {
  std::shared_ptr<ScanRequest> request;
  bool queued = false;
  {
    std::lock_guard lock(fieldsMutex_);
    if (!requestedScan_) {
      requestedScan_ = std::make_shared<ScanRequest>();
      queued = true;
    }
    requestedScan_->replies.push_back(std::move(reply));
    request = requestedScan_;
  }
  if (!queued) return;  // shares the scan that is queued already
  // Every scan runs on monitorQueue, so a timer-driven scan and this one
  // never overlap and never register one folder twice. A request made once
  // this scan has begun gets the next one.
  monitorQueue->async([weak = weak_from_this(), request] {
    const auto self = weak.lock();
    if (self) {
      std::lock_guard lock(self->fieldsMutex_);
      if (self->requestedScan_ == request) self->requestedScan_.reset();
    }
    const std::int64_t count = self ? self->checkForNewRepositories() : 0;
    for (const auto& reply : request->replies) reply(count);
  });
}

void ZivuvFolderMonitorListener::reset() { (void)BookmarkUtils::resetSecureBookmarks(); }

void ZivuvFolderMonitorListener::userNotificationCenterDidActivateNotification(
    const std::string& activationToken) {
  if (openURL_) openURL_(names::kAppURL, activationToken);
}

// --- Folder watch ---------------------------------------------------------

bool ZivuvFolderMonitorListener::startMonitoring() {
  stopMonitoring();
  Logger& log = Logger::shared();
  log.info("Starting Monitoring");
  const auto url = currentMonitoringURL();
  if (!url) {
    log.error("No URL For Monitoring");
    setStatus("No folder to watch");
    return false;
  }
  if (!SecurityScope::startAccessing(*url)) {
    log.error("Unable to access URL For Monitoring");
    setStatus("Cannot watch " + url->path() + ": no access");
    return false;
  }
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  watch::WatchFailure failure;
  auto source = monitorQueue->makeFolderSource(
      url->path(),
      [weak, folder = *url](watch::FolderEvent event) {
        if (const auto self = weak.lock()) {
          self->folderEvent(event, folder);
        } else {
          Logger::shared().error("Self is gone");
        }
      },
      // The watch owns the access it started; the queue closes its
      // descriptor right after this handler.
      [captured = *url] {
        SecurityScope::stopAccessing(captured);
        Logger::shared().debug("Dispatched Source was canceled");
      },
      &failure);
  if (!source) {
    log.error("Failed to open Dir FD");
    if (const auto limit = watch::inotifyLimitLine(failure); !limit.empty()) log.error(limit);
    SecurityScope::stopAccessing(*url);
    setStatus("Cannot watch " + url->path());
    return false;
  }
  // Changes made on other machines make no event: look every few minutes.
  std::shared_ptr<watch::Source> rescan;
  if (const auto remote = watch::remoteFileSystemName(url->path()); !remote.empty()) {
    log.info("Folder is on a network file system (" + remote +
             "): changes made on other machines are found by a scan every 5 minutes");
    const auto period = periodOf("rescan-period", kRescanPeriod);
    rescan = monitorQueue->makeTimer(
        period,
        [weak] {
          if (const auto self = weak.lock()) (void)self->checkForNewRepositories();
        },
        period);
  }
  std::string added;
  {
    std::lock_guard lock(fieldsMutex_);
    watchSource = std::move(source);
    rescanSource_ = std::move(rescan);
    added = lastAdded_;
  }
  setStatus("Watching " + url->path() + added);
  return true;
}

void ZivuvFolderMonitorListener::stopMonitoring() {
  Logger::shared().info("Stopping Monitoring");
  std::shared_ptr<watch::Source> source;
  std::shared_ptr<watch::Source> rescan;
  {
    std::lock_guard lock(fieldsMutex_);
    source = std::exchange(watchSource, nullptr);
    rescan = std::exchange(rescanSource_, nullptr);
  }
  if (source) source->cancel();
  if (rescan) rescan->cancel();
  // The folders waiting to become repositories belong to the old watch.
  monitorQueue->async([weak = std::weak_ptr<watch::PendingFolders>(pending_)] {
    if (const auto pending = weak.lock()) pending->clear();
  });
}

void ZivuvFolderMonitorListener::folderEvent(watch::FolderEvent event, const FileURL& folder) {
  // The watch follows the path: a folder moved away or deleted is told of
  // once, and a folder that appears at the path again is watched from then
  // on. Either is scanned as any change is.
  if (event == watch::FolderEvent::Gone) {
    Logger::shared().info("Monitored folder moved away or deleted, waiting for it to return: ",
                          folder.path());
    setStatus("Waiting for " + folder.path() + " to appear");
  } else if (event == watch::FolderEvent::Back) {
    Logger::shared().info("Monitored folder is back, watching it again: ", folder.path());
    std::string added;
    {
      std::lock_guard lock(fieldsMutex_);
      added = lastAdded_;
    }
    setStatus("Watching " + folder.path() + added);
  }
  folderDidChange();
}

void ZivuvFolderMonitorListener::folderDidChange() {
  Logger::shared().debug("File Has Changed, Setting Timer");
  std::lock_guard lock(fieldsMutex_);
  if (timerSource) timerSource->cancel();
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  timerSource = monitorQueue->makeTimer(kDebounceDelay, [weak] {
    Logger::shared().debug("Timer event has fired");
    if (const auto self = weak.lock()) self->timerDidFire();
  });
}

void ZivuvFolderMonitorListener::timerDidFire() { (void)checkForNewRepositories(); }

// --- Scan -----------------------------------------------------------------

std::int64_t ZivuvFolderMonitorListener::checkForNewRepositories() {
  Logger::shared().debug("Checking For New Repositories");
  const auto url = currentMonitoringURL();
  const auto outcome = discovery::scanForNewRepositories(url, *notices_);
  // Subfolders that are no repository yet may become one without a change
  // of the monitored folder itself: watch the recent ones.
  pending_->update(outcome.notRepositories);
  if (outcome.registered > 0 && url) {
    const std::string count = std::to_string(outcome.registered);
    std::string added = "; " + count + (outcome.registered == 1 ? " repository" : " repositories") +
                        " added at " + timeOfDay();
    {
      std::lock_guard lock(fieldsMutex_);
      if (monitoringURL == url) lastAdded_ = added;
    }
    setStatus("Watching " + url->path() + added);
  }
  // A large scan leaves megabytes of freed heap in this thread's arena;
  // hand them back so that the service is small again while it waits.
  (void)::malloc_trim(0);
  return outcome.registered;
}

}  // namespace zivuv
