#include "service/ZivuvFolderMonitorListener.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <ctime>
#include <future>
#include <utility>

#include "discovery/ScanSettings.h"
#include "names/Names.h"
#include "platform/fs/NetworkFileSystems.h"
#include "platform/log/Logger.h"
#include "platform/memory/CleanPages.h"
#include "platform/scope/SecurityScope.h"
#include "platform/timing/Overrides.h"
#include "watch/WatchLimits.h"

namespace zivuv {

using platform::Logger;
using platform::Overrides;
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

std::uint64_t microsecondsSinceEpoch(std::chrono::system_clock::time_point when) {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count());
}

std::uint64_t nowMicroseconds() { return microsecondsSinceEpoch(std::chrono::system_clock::now()); }

// "5 minutes", for the lines that say how often a scan runs.
std::string describe(std::chrono::minutes period) {
  const auto n = period.count();
  return std::to_string(n) + (n == 1 ? " minute" : " minutes");
}

std::string rescanNote() {
  return "changes made on other machines are found by a scan every " +
         describe(ZivuvFolderMonitorListener::kRescanPeriod);
}

void run(const Executor& executor, std::function<void()> work) {
  if (executor) {
    executor(std::move(work));
  } else {
    work();
  }
}

}  // namespace

// One caller of verifyAgentWithCompletion: answered by the probe or by the
// time-out, whichever comes first.
struct ZivuvFolderMonitorListener::ProbeReply {
  AgentReply reply;
  std::atomic<bool> answered{false};
  void answer(std::optional<Data> data, const std::string& name) {
    if (!answered.exchange(true)) reply(std::move(data), name);
  }
};

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
      statusChanged_(std::move(environment.statusChanged)),
      folderWork_(std::move(environment.folderWork)),
      probeWork_(std::move(environment.probeWork)),
      after_(std::move(environment.after)),
      processName_(processName()) {
  status_.startedAt = nowMicroseconds();
  status_.version = std::move(environment.version);
  status_.confinement = readConfinement();
  status_.scanDepth = static_cast<std::uint32_t>(discovery::loadScanSettings().settings.depth);
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
      // The monitored folder's own watches: a pending folder that is also
      // watched in its tree is one watch.
      [weak](watch::FolderSetHandler onEvents) -> std::shared_ptr<watch::FolderSet> {
        const auto self = weak.lock();
        if (!self) return nullptr;
        std::lock_guard lock(self->fieldsMutex_);
        return self->watchSource ? self->watchSource->makeFolderSet(std::move(onEvents)) : nullptr;
      },
      [weak](const std::vector<std::string>& paths) {
        if (const auto self = weak.lock()) self->pendingFolderDidChange(paths);
      },
      [](const std::string& path) {
        using Retest = watch::PendingFolders::Retest;
        switch (discovery::testRepository(path).outcome) {
          case discovery::RepositoryTestResult::Outcome::Repository: return Retest::Repository;
          case discovery::RepositoryTestResult::Outcome::BeingWritten: return Retest::BeingWritten;
          case discovery::RepositoryTestResult::Outcome::NotRepository: break;
        }
        return Retest::NotRepository;
      },
      kDebounceDelay,
      Overrides::pendingQuiet(watch::PendingFolders::kQuietPeriod));
  // The watch normally runs before the service is on the bus; a saved
  // folder on a file system that does not answer must not keep it off.
  auto restored = std::make_shared<std::promise<void>>();
  run(listener->folderWork_, [weak, restored] {
    if (const auto self = weak.lock()) self->restoreSavedFolder();
    restored->set_value();
  });
  (void)restored->get_future().wait_for(kStartupWait);
  return listener;
}

ZivuvFolderMonitorListener::~ZivuvFolderMonitorListener() {
  Logger::shared().debug("Zivuv Folder Monitoring deinit");
  stopMonitoring();
  // Members go in reverse order of declaration: the pending folders and the
  // sources are released first (their descriptors close at once, their
  // cancel handlers are queued), monitorQueue last, which ends its worker
  // once those handlers have run.
}

void ZivuvFolderMonitorListener::restoreSavedFolder() {
  auto saved = BookmarkUtils::loadSecureURLs();
  if (!saved.empty()) {
    std::lock_guard lock(fieldsMutex_);
    monitoringURL = std::move(saved.front());
  }
  (void)startMonitoring();
}

std::optional<FileURL> ZivuvFolderMonitorListener::currentMonitoringURL() const {
  std::lock_guard lock(fieldsMutex_);
  return monitoringURL;
}

// --- Status ---------------------------------------------------------------

ServiceStatus ZivuvFolderMonitorListener::statusLocked() const {
  ServiceStatus status = status_;
  if (scanning_) {
    status.state = ServiceState::Scanning;
  } else if (watchState_ == WatchState::None) {
    status.state = ServiceState::NotMonitoring;
  } else if (watchState_ == WatchState::CannotWatch) {
    status.state = ServiceState::CannotWatch;
  } else if (watchState_ == WatchState::Waiting) {
    status.state = ServiceState::WaitingForFolder;
  } else {
    status.state = timerSource && seriesStart_ ? ServiceState::Settling : ServiceState::Idle;
  }
  status.folder = monitoringURL ? monitoringURL->path() : std::string();
  if (watchState_ != WatchState::Watching && watchState_ != WatchState::Waiting) {
    status.watcher = "none";
  } else if (rescanSource_) {
    const auto period = std::chrono::duration_cast<std::chrono::seconds>(
        Overrides::rescanPeriod(kRescanPeriod));
    status.watcher = "inotify+rescan " + std::to_string(period.count()) + "s";
  } else {
    status.watcher = "inotify";
  }
  status.watches = static_cast<std::uint32_t>(watchSource ? watchSource->watchCount() : 0);
  status.watchLimit = static_cast<std::uint32_t>(watch::maxUserWatches());
  status.pendingFolders = static_cast<std::uint32_t>(pending_ ? pending_->size() : 0);
  const auto error = Logger::shared().lastError();
  if (!error.text.empty()) {
    status.lastErrorTime = microsecondsSinceEpoch(error.when);
    status.lastError = error.text;
  }
  return status;
}

ServiceStatus ZivuvFolderMonitorListener::status() const {
  std::lock_guard lock(fieldsMutex_);
  return statusLocked();
}

// Tells the status line and the status interface; called where a state
// settles or a scan ends, never for each event.
void ZivuvFolderMonitorListener::publishStatus() {
  if (!statusChanged_) return;
  std::string line;
  {
    std::lock_guard lock(fieldsMutex_);
    line = statusLine(statusLocked());
  }
  statusChanged_(line);
}

void ZivuvFolderMonitorListener::setWatchState(WatchState state) {
  {
    std::lock_guard lock(fieldsMutex_);
    watchState_ = state;
  }
  publishStatus();
}

// --- Protocol -------------------------------------------------------------

void ZivuvFolderMonitorListener::verifyAgentWithCompletion(AgentReply reply) {
  const auto url = currentMonitoringURL();
  if (!url) return reply(std::nullopt, processName_);
  auto waiter = std::make_shared<ProbeReply>();
  waiter->reply = std::move(reply);
  bool start = false;
  {
    std::lock_guard lock(fieldsMutex_);
    probeWaiters_.push_back(waiter);
    start = !probing_;
    probing_ = true;
  }
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  if (after_) {
    after_(kProbeWait, [weak, waiter] {
      const auto self = weak.lock();
      if (!self || waiter->answered.load()) return;
      std::optional<Data> data;
      bool tell = false;
      std::string folder;
      {
        std::lock_guard lock(self->fieldsMutex_);
        data = self->watchedTransportData_;
        tell = !std::exchange(self->folderSilent_, true);
        folder = self->monitoringURL ? self->monitoringURL->path() : std::string();
      }
      if (tell) {
        Logger::shared().info("Monitored folder does not answer within 1 s, answering with what it "
                              "was when its watch began: ",
                              folder);
      }
      waiter->answer(std::move(data), self->processName_);
    });
  }
  if (start) {
    run(probeWork_, [weak] {
      if (const auto self = weak.lock()) self->probeMonitoredFolder();
    });
  }
}

// Makes the monitored folder's transport data for everyone waiting for it.
void ZivuvFolderMonitorListener::probeMonitoredFolder() {
  const auto url = currentMonitoringURL();
  std::optional<Data> data;
  if (url) data = BookmarkUtils::createTransportData(*url);
  std::vector<std::shared_ptr<ProbeReply>> waiters;
  {
    std::lock_guard lock(fieldsMutex_);
    waiters.swap(probeWaiters_);
    probing_ = false;
    folderSilent_ = false;
  }
  for (const auto& waiter : waiters) waiter->answer(data, processName_);
}

void ZivuvFolderMonitorListener::startMonitoringWithPath(const Data& transportData,
                                                         std::function<void(bool)> reply) {
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  run(folderWork_, [weak, transportData, reply = std::move(reply)] {
    if (const auto self = weak.lock()) {
      self->startMonitoringWithPathNow(transportData, reply);
    } else {
      reply(false);
    }
  });
}

void ZivuvFolderMonitorListener::startMonitoringWithPathNow(const Data& transportData,
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
    if (monitoringURL != first) status_.lastAdded.clear();
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
    if (!self) {
      for (const auto& reply : request->replies) reply(0);
      return;
    }
    {
      std::lock_guard lock(self->fieldsMutex_);
      if (self->requestedScan_ == request) self->requestedScan_.reset();
    }
    (void)self->runScan(request->replies);
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
    setWatchState(WatchState::None);
    return false;
  }
  if (!SecurityScope::startAccessing(*url)) {
    log.error("Unable to access URL For Monitoring");
    setWatchState(WatchState::CannotWatch);
    return false;
  }
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(fieldsMutex_);
    generation = ++watchGeneration_;
  }
  watch::WatchFailure failure;
  auto source = monitorQueue->makeFolderSource(
      url->path(),
      [weak, generation, folder = *url](watch::FolderEvent event) {
        if (const auto self = weak.lock()) {
          self->folderEvent(event, generation, folder);
        } else {
          Logger::shared().error("Self is gone");
        }
      },
      // The watch owns the access it started; its descriptor is closed
      // already when this runs.
      [captured = *url] {
        SecurityScope::stopAccessing(captured);
        Logger::shared().debug("Dispatched Source was canceled");
      },
      &failure);
  if (!source) {
    log.error("Failed to open Dir FD");
    if (const auto limit = watch::inotifyLimitLine(failure); !limit.empty()) log.error(limit);
    SecurityScope::stopAccessing(*url);
    setWatchState(WatchState::CannotWatch);
    return false;
  }
  auto data = BookmarkUtils::createTransportData(*url);
  {
    std::lock_guard lock(fieldsMutex_);
    watchSource = std::move(source);
    watchedTransportData_ = std::move(data);
    treeNeedsRescan_ = false;
    refusedWatch_ = 0;
    reportedShares_.clear();
    capReported_ = false;
  }
  decideNetworkRescan(*url, generation);
  noteRefusedWatch();
  setWatchState(WatchState::Watching);
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
    rootNetwork_.clear();
  }
  // Both close their descriptors here, before a new watch opens its own.
  if (source) source->cancel();
  if (rescan) rescan->cancel();
  // The folders waiting to become repositories belong to the old watch.
  monitorQueue->async([weak = std::weak_ptr<watch::PendingFolders>(pending_)] {
    if (const auto pending = weak.lock()) pending->clear();
  });
}

// Changes made on other machines make no event: on a network file system
// the folder is scanned every few minutes as well.
void ZivuvFolderMonitorListener::decideNetworkRescan(const FileURL& folder,
                                                     std::uint64_t generation) {
  const std::string network = platform::remoteFileSystemName(folder.path());
  std::lock_guard lock(fieldsMutex_);
  if (generation != watchGeneration_) return;  // another watch began meanwhile
  if (!network.empty()) {
    Logger::shared().info("Folder is on a network file system (" + network + "): " + rescanNote());
  }
  rootNetwork_ = network;
  updateRescanLocked();
}

// A watch on the folder or a parent that the kernel refused is tried again
// at each scan, so the scans come every period until it is had; the limit
// is told once.
void ZivuvFolderMonitorListener::noteRefusedWatch() {
  std::lock_guard lock(fieldsMutex_);
  const int refused = watchSource ? watchSource->refusedWatch() : 0;
  if (refused == refusedWatch_) return;
  if (refused != 0) {
    if (const auto limit = watch::inotifyLimitLine({watch::WatchFailure::Call::AddWatch, refused});
        !limit.empty()) {
      Logger::shared().error(limit);
    }
  }
  refusedWatch_ = refused;
  updateRescanLocked();
}

void ZivuvFolderMonitorListener::updateRescanLocked() {
  const bool needed =
      watchSource && (!rootNetwork_.empty() || treeNeedsRescan_ || refusedWatch_ != 0);
  if (needed == (rescanSource_ != nullptr)) return;
  if (!needed) {
    rescanSource_->cancel();
    rescanSource_.reset();
    return;
  }
  const auto period = Overrides::rescanPeriod(kRescanPeriod);
  rescanSource_ = monitorQueue->makeTimer(
      period,
      [weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
          {
            std::lock_guard lock(self->fieldsMutex_);
            ++self->status_.rescans;
          }
          (void)self->checkForNewRepositories();
        }
      },
      period);
}

void ZivuvFolderMonitorListener::folderEvent(watch::FolderEvent event, std::uint64_t generation,
                                             const FileURL& folder) {
  {
    std::lock_guard lock(fieldsMutex_);
    // An event of a watch that has been replaced meanwhile is not ours.
    if (generation != watchGeneration_) return;
    status_.lastEvent = nowMicroseconds();
    if (event == watch::FolderEvent::Overflow) ++status_.overflows;
  }
  Logger& log = Logger::shared();
  switch (event) {
    case watch::FolderEvent::Overflow:
      return;  // a change follows it
    case watch::FolderEvent::Gone:
      // The watch follows the path: a folder moved away or deleted is told
      // of once, and a folder that appears at the path again is watched
      // from then on. Either is scanned as any change is.
      log.info("Monitored folder moved away or deleted, waiting for it to return: ", folder.path());
      setWatchState(WatchState::Waiting);
      break;
    case watch::FolderEvent::Back:
      log.info("Monitored folder is back, watching it again: ", folder.path());
      decideNetworkRescan(folder, generation);
      setWatchState(WatchState::Watching);
      break;
    case watch::FolderEvent::Replaced:
      // A share mounted over the folder, or the folder under a mount that
      // went: what is at the path now is scanned at once.
      log.info("Monitored folder changed with a mount, watching the folder now at its path: ",
               folder.path());
      decideNetworkRescan(folder, generation);
      setWatchState(WatchState::Watching);
      noteRefusedWatch();
      (void)checkForNewRepositories();
      return;
    case watch::FolderEvent::Changed: break;
  }
  noteRefusedWatch();
  folderDidChange();
}

void ZivuvFolderMonitorListener::folderDidChange() {
  Logger::shared().debug("File Has Changed, Setting Timer");
  std::lock_guard lock(fieldsMutex_);
  if (timerSource) timerSource->cancel();
  const auto now = monitorQueue->now();
  if (!seriesStart_) seriesStart_ = now;
  const auto delay = std::min<Clock::duration>(kDebounceDelay, *seriesStart_ + kDebounceCeiling - now);
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  timerSource = monitorQueue->makeTimer(delay, [weak] {
    Logger::shared().debug("Timer event has fired");
    if (const auto self = weak.lock()) self->timerDidFire();
  });
}

void ZivuvFolderMonitorListener::timerDidFire() {
  {
    std::lock_guard lock(fieldsMutex_);
    seriesStart_.reset();
  }
  (void)checkForNewRepositories();
}

void ZivuvFolderMonitorListener::pendingFolderDidChange(const std::vector<std::string>& paths) {
  std::vector<FileURL> folders;
  for (const auto& path : paths) {
    Logger::shared().debug("Pending folder became a repository: ", path);
    folders.push_back(FileURL::fromPath(path, true));
  }
  const auto url = currentMonitoringURL();
  std::int64_t registered = 0;
  try {
    registered = discovery::registerRepositories(url, folders, *notices_).registered;
  } catch (...) {
    // Nothing was registered; the next scan looks again.
  }
  noteRegistered(url, registered);
  publishStatus();
}

// --- Scan -----------------------------------------------------------------

std::int64_t ZivuvFolderMonitorListener::checkForNewRepositories() { return runScan({}); }

std::int64_t ZivuvFolderMonitorListener::runScan(
    const std::vector<std::function<void(std::int64_t)>>& replies) {
  Logger::shared().debug("Checking For New Repositories");
  const auto url = currentMonitoringURL();
  const auto loaded = discovery::loadScanSettings();
  {
    std::lock_guard lock(fieldsMutex_);
    scanning_ = true;
    status_.scanDepth = static_cast<std::uint32_t>(loaded.settings.depth);
    // A bad value is told once, not at every scan; again when it changes.
    for (const auto& bad : loaded.invalid) {
      const auto told = std::find(reportedInvalid_.begin(), reportedInvalid_.end(), bad);
      if (told != reportedInvalid_.end()) continue;
      Logger::shared().info("Setting " + bad.key +
                            " has a value of the wrong type or out of range; using its default");
    }
    reportedInvalid_ = loaded.invalid;
  }
  const auto started = std::chrono::system_clock::now();
  std::shared_ptr<watch::FolderSource> source;
  {
    std::lock_guard lock(fieldsMutex_);
    if (monitoringURL == url) source = watchSource;
  }
  // What the kernel refused before is asked for again: no event would.
  if (source) {
    source->rewatch();
    noteRefusedWatch();
  }
  const std::size_t cap = watch::treeWatchCap();
  discovery::ScanOutcome outcome;
  try {
    const Logger::Batch lines;
    // Only a folder that may join the pending ones needs its change time.
    // Each folder the walk lists is watched before it is listed, so that
    // nothing made in it meanwhile goes unseen.
    outcome = discovery::scanForNewRepositories(
        url, *notices_, loaded.settings,
        [this](const std::string& path) { return !pending_->tracks(path); },
        [&source, cap](const discovery::WalkedFolder& folder) {
          if (source) source->watchTreeFolder({folder.path, folder.device, folder.inode}, cap);
        });
  } catch (...) {
    // A scan that fails registers nothing, and every caller still hears so.
    outcome = {};
    outcome.scanError = "the scan stopped on an unexpected error";
  }
  {
    // Before the replies: a caller that reads it next sees this scan's.
    std::lock_guard lock(fieldsMutex_);
    status_.lastScanErrorTime = outcome.scanError.empty() ? 0 : microsecondsSinceEpoch(started);
    status_.lastScanError = outcome.scanError;
  }
  for (const auto& reply : replies) reply(outcome.registered);
  {
    std::lock_guard lock(fieldsMutex_);
    scanning_ = false;
    ++status_.scans;
    status_.lastScan = microsecondsSinceEpoch(started);
    status_.lastScanDuration = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now() -
                                                              started)
            .count());
    status_.lastScanCandidates = static_cast<std::uint32_t>(outcome.candidates);
    status_.lastScanRegistered = static_cast<std::uint32_t>(outcome.registered);
  }
  noteRegistered(url, outcome.registered);
  // A scan that could not run saw nothing: the watches and the pending
  // folders stay as they were. The replies went out first.
  if (outcome.ran) {
    followTree(url, outcome, cap);
    std::vector<watch::PendingFolders::Candidate> failed;
    failed.reserve(outcome.notRepositories.size());
    for (auto& candidate : outcome.notRepositories) {
      failed.push_back({std::move(candidate.path), candidate.changed});
    }
    pending_->update(failed);
  }
  publishStatus();
  // A large scan leaves megabytes of freed heap in this thread's arena;
  // hand them back so that the service is small again while it waits; and
  // the pages of code that the scan ran, once its replies and status
  // signals (coalesced over 100 ms) have gone out.
  (void)::malloc_trim(0);
  if (after_) after_(std::chrono::seconds(1), [] { platform::dropCleanPages(); });
  return outcome.registered;
}

void ZivuvFolderMonitorListener::noteRegistered(const std::optional<FileURL>& url,
                                                std::int64_t registered) {
  if (registered <= 0 || !url) return;
  std::lock_guard lock(fieldsMutex_);
  if (monitoringURL != url) return;
  status_.lastAdded = "; " + std::to_string(registered) +
                      (registered == 1 ? " repository" : " repositories") + " added at " +
                      timeOfDay();
}

// Watches the folders of the tree that the scan walked: every folder whose
// subfolders are candidates. What inotify cannot cover (past the cap, or a
// share inside the tree) is covered by the periodic rescan.
void ZivuvFolderMonitorListener::followTree(const std::optional<FileURL>& url,
                                            const discovery::ScanOutcome& outcome,
                                            std::size_t cap) {
  std::shared_ptr<watch::FolderSource> source;
  {
    std::lock_guard lock(fieldsMutex_);
    if (!url || monitoringURL != url || outcome.walked.empty()) return;
    source = watchSource;
  }
  if (!source) return;
  Logger& log = Logger::shared();
  std::vector<const discovery::WalkedFolder*> below;
  below.reserve(outcome.walked.size() - 1);
  bool shareInside = false;
  for (std::size_t i = 1; i < outcome.walked.size(); ++i) {
    const auto& walked = outcome.walked[i];
    below.push_back(&walked);
    if (!walked.networkFileSystem.empty()) {
      shareInside = true;
      std::lock_guard lock(fieldsMutex_);
      if (reportedShares_.insert(walked.path).second) {
        log.info("Folder inside the monitored folder is on a network file system (" +
                     walked.networkFileSystem + "), " + rescanNote() + ": ",
                 walked.path);
      }
    }
  }
  // The shallow folders first: past the cap, the deepest go unwatched.
  std::stable_sort(below.begin(), below.end(),
                   [](const auto* a, const auto* b) { return a->depth < b->depth; });
  std::vector<watch::TreeFolder> folders;
  folders.reserve(below.size());
  for (const auto* walked : below) folders.push_back({walked->path, walked->device, walked->inode});
  const auto result = source->watchTree(folders, cap);
  bool tell = false;
  {
    std::lock_guard lock(fieldsMutex_);
    tell = result.capped && !capReported_;
    capReported_ = result.capped;
    treeNeedsRescan_ = result.capped || shareInside;
    updateRescanLocked();
  }
  if (!tell) return;
  if (result.error != 0) {
    log.error(watch::inotifyLimitLine({watch::WatchFailure::Call::AddWatch, result.error}));
  }
  log.info("Watching " + std::to_string(result.watched) + " of the " +
           std::to_string(folders.size()) +
           " folders below the monitored folder, the most it takes (half of "
           "fs.inotify.max_user_watches, at most " +
           std::to_string(watch::kMaxTreeWatches) +
           "; sysctl can raise it): the rest is found by a scan every " + describe(kRescanPeriod));
}

}  // namespace zivuv
