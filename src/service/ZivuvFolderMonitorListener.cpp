#include "service/ZivuvFolderMonitorListener.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <utility>

#include "discovery/RepositoryScan.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"

namespace zivuv {

using platform::Logger;

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
      openURL_(std::move(environment.openURL)) {
  auto saved = BookmarkUtils::loadSecureURLs();
  if (!saved.empty()) monitoringURL = std::move(saved.front());
  Logger::shared().info("Launched Folder Monitor");
}

std::shared_ptr<ZivuvFolderMonitorListener> ZivuvFolderMonitorListener::create(
    ListenerEnvironment environment) {
  std::shared_ptr<ZivuvFolderMonitorListener> listener(
      new ZivuvFolderMonitorListener(std::move(environment)));
  // The handlers hold the object weakly, which needs it owned first.
  (void)listener->startMonitoring();
  return listener;
}

ZivuvFolderMonitorListener::~ZivuvFolderMonitorListener() {
  Logger::shared().debug("Zivuv Folder Monitoring deinit");
  stopMonitoring();
  // monitorQueue goes last among the members that use it: its worker is
  // joined before the sources it ran are released.
}

std::optional<FileURL> ZivuvFolderMonitorListener::currentMonitoringURL() const {
  std::lock_guard lock(fieldsMutex_);
  return monitoringURL;
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
  if (!platform::SecurityScope::startAccessing(first)) return reply(false);
  {
    std::lock_guard lock(fieldsMutex_);
    monitoringURL = first;
  }
  const bool watching = startMonitoring();
  reply(watching);
  platform::SecurityScope::stopAccessing(first);
}

void ZivuvFolderMonitorListener::checkFolderNowWithCompletion(
    std::function<void(std::int64_t)> reply) {
  // Every scan runs on monitorQueue, so a timer-driven scan and this one
  // never overlap and never register one folder twice.
  monitorQueue->async([weak = weak_from_this(), reply = std::move(reply)] {
    const auto self = weak.lock();
    reply(self ? self->checkForNewRepositories() : 0);
  });
}

void ZivuvFolderMonitorListener::reset() { (void)BookmarkUtils::resetSecureBookmarks(); }

void ZivuvFolderMonitorListener::userNotificationCenterDidActivateNotification(
    const std::string& activationToken) {
  if (openURL_) openURL_("vizarudavez://", activationToken);
}

// --- Folder watch ---------------------------------------------------------

bool ZivuvFolderMonitorListener::startMonitoring() {
  stopMonitoring();
  Logger& log = Logger::shared();
  log.info("Starting Monitoring");
  const auto url = currentMonitoringURL();
  if (!url) {
    log.error("No URL For Monitoring");
    return false;
  }
  if (!platform::SecurityScope::startAccessing(*url)) {
    log.error("Unable to access URL For Monitoring");
    return false;
  }
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  auto source = monitorQueue->makeFolderSource(
      url->path(),
      [weak] {
        if (const auto self = weak.lock()) {
          self->folderDidChange();
        } else {
          Logger::shared().error("Self is gone");
        }
      },
      // The watch owns the access it started; the queue closes its
      // descriptor right after this handler.
      [captured = *url] {
        platform::SecurityScope::stopAccessing(captured);
        Logger::shared().debug("Dispatched Source was canceled");
      });
  if (!source) {
    log.error("Failed to open Dir FD");
    platform::SecurityScope::stopAccessing(*url);
    return false;
  }
  std::lock_guard lock(fieldsMutex_);
  watchSource = std::move(source);
  return true;
}

void ZivuvFolderMonitorListener::stopMonitoring() {
  Logger::shared().info("Stopping Monitoring");
  std::shared_ptr<watch::Source> source;
  {
    std::lock_guard lock(fieldsMutex_);
    source = std::move(watchSource);
    watchSource.reset();
  }
  if (source) source->cancel();
}

void ZivuvFolderMonitorListener::folderDidChange() {
  Logger::shared().debug("File Has Changed, Setting Timer");
  std::lock_guard lock(fieldsMutex_);
  if (timerSource) timerSource->cancel();
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  timerSource = monitorQueue->makeTimer(kDebounceDelay, kTimerLeeway, [weak] {
    Logger::shared().debug("Timer event has fired");
    if (const auto self = weak.lock()) self->timerDidFire();
  });
}

void ZivuvFolderMonitorListener::timerDidFire() { (void)checkForNewRepositories(); }

// --- Scan -----------------------------------------------------------------

std::int64_t ZivuvFolderMonitorListener::checkForNewRepositories() {
  Logger::shared().debug("Checking For New Repositories");
  const auto count = discovery::scanForNewRepositories(currentMonitoringURL(), *notices_);
  // A large scan leaves megabytes of freed heap in this thread's arena;
  // hand them back so that the service is small again while it waits.
  (void)::malloc_trim(0);
  return count;
}

}  // namespace zivuv
