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
#include "platform/thread/Worker.h"
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

void run(const Executor& executor, platform::Task work) {
  if (executor) {
    executor(std::move(work));
  } else {
    work();
  }
}

// Whether the folder work running this was left behind by its worker: what
// it brings back is dropped.
bool abandoned() { return platform::Worker::abandoned(); }

}  // namespace

// The callers of one requested scan. The replies are taken under the
// object's mutex by whoever answers them first: the scan, or the end of
// the wait for a scan left behind on a replaced watch's queue.
struct ZivuvFolderMonitorListener::ScanRequest {
  std::vector<ScanReply> replies;
  std::uint64_t generation = 0;  // the watch whose queue runs it
  Clock::time_point since = Clock::now();  // queued, then begun
  std::optional<FileURL> folder;           // the folder it scans, once begun
};

// One caller of verifyAgentWithCompletion: answered by the look at the
// folder or by the time-out, whichever comes first.
// Whoever takes it out of probeWaiters_ answers it.
struct ZivuvFolderMonitorListener::ProbeWaiter {
  AgentReply reply;
  std::pair<std::uint64_t, std::uint64_t> look;  // the look it waits for
};

const std::string& processName() {
  // Taken once: the name of a running program does not change.
  static const std::string name = [] {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return std::string(program_invocation_short_name);
    buffer.resize(static_cast<std::size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (buffer.ends_with(kDeleted)) buffer.resize(buffer.size() - kDeleted.size());
    return buffer.substr(buffer.rfind('/') + 1);
  }();
  return name;
}

ZivuvFolderMonitorListener::ZivuvFolderMonitorListener(ListenerEnvironment environment)
    : makeQueue_(std::move(environment.makeQueue)),
      notices_(std::move(environment.notices)),
      openURL_(std::move(environment.openURL)),
      statusChanged_(std::move(environment.statusChanged)),
      folderWork_(std::move(environment.folderWork)),
      probeWork_(std::move(environment.probeWork)),
      after_(std::move(environment.after)),
      processName_(processName()),
      rescanPeriod_(Overrides::rescanPeriod(kRescanPeriod)),
      pendingQuiet_(Overrides::pendingQuiet(watch::PendingFolders::kQuietPeriod)) {
  status_.startedAt = nowMicroseconds();
  status_.version = std::move(environment.version);
  status_.confinement = readConfinement();
  status_.scanDepth = static_cast<std::uint32_t>(discovery::loadScanSettings().settings.depth);
  status_.watchLimit = static_cast<std::uint32_t>(watch::maxUserWatches());
  Logger::shared().info("Launched Folder Monitor");
}

std::shared_ptr<ZivuvFolderMonitorListener> ZivuvFolderMonitorListener::create(
    ListenerEnvironment environment) {
  std::shared_ptr<ZivuvFolderMonitorListener> listener(
      new ZivuvFolderMonitorListener(std::move(environment)));
  {
    // The handlers hold the object weakly, which needs it owned first.
    std::lock_guard lock(listener->fieldsMutex_);
    (void)listener->newGenerationLocked(listener->makeQueue_());
  }
  // The watch normally runs before the service is on the bus; a saved
  // folder on a file system that does not answer must not keep it off.
  auto restored = std::make_shared<std::promise<void>>();
  auto done = restored->get_future();
  run(listener->folderWork_, [weak = std::weak_ptr(listener), restored] {
    if (const auto self = weak.lock()) self->restoreSavedFolder();
    restored->set_value();
  });
  (void)done.wait_for(kStartupWait);
  return listener;
}

ZivuvFolderMonitorListener::~ZivuvFolderMonitorListener() {
  Logger::shared().debug("Zivuv Folder Monitoring deinit");
  stopMonitoring();
  // The sources close their descriptors at once and queue their cancel
  // handlers; the queue, released last, runs them before its worker ends.
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

// A fresh generation on queue, with its own pending folders; what the
// previous one left on its queue is dropped from then on.
ZivuvFolderMonitorListener::Generation ZivuvFolderMonitorListener::newGenerationLocked(
    std::shared_ptr<watch::SerialQueue> queue) {
  const std::uint64_t number = ++watchGeneration_;
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  auto pending = watch::PendingFolders::create(
      queue,
      // The monitored folder's own watches: a pending folder that is also
      // watched in its tree is one watch.
      [weak, number](watch::FolderSetHandler onEvents) -> std::shared_ptr<watch::FolderSet> {
        std::shared_ptr<watch::FolderSource> source;
        if (const auto self = weak.lock()) {
          std::lock_guard lock(self->fieldsMutex_);
          if (number == self->watchGeneration_) source = self->watchSource;
        }
        // Outside the mutex: the source takes its own lock.
        return source ? source->makeFolderSet(std::move(onEvents)) : nullptr;
      },
      [weak, number](const std::vector<std::string>& paths) {
        if (const auto self = weak.lock()) self->pendingFolderDidChange(paths, number);
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
      kDebounceDelay, pendingQuiet_);
  monitorQueue = std::move(queue);
  pending_ = pending;
  queueWatched_ = false;
  return {number, monitorQueue, pending_, nullptr};
}

ZivuvFolderMonitorListener::Generation ZivuvFolderMonitorListener::currentGeneration() const {
  std::lock_guard lock(fieldsMutex_);
  return {watchGeneration_, monitorQueue, pending_, watchSource};
}

// --- Status ---------------------------------------------------------------

ServiceStatus ZivuvFolderMonitorListener::statusLocked() const {
  ServiceStatus status = status_;
  if (scanning_ == watchGeneration_) {
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
    const auto period = std::chrono::duration_cast<std::chrono::seconds>(rescanPeriod_);
    status.watcher = "inotify+rescan " + std::to_string(period.count()) + "s";
  } else {
    status.watcher = "inotify";
  }
  status.watches = static_cast<std::uint32_t>(watchSource ? watchSource->watchCount() : 0);
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

// Something the status tells may have changed; whoever listens takes its
// own snapshot, as often as it wants to.
void ZivuvFolderMonitorListener::publishStatus() {
  if (statusChanged_) statusChanged_();
}

bool ZivuvFolderMonitorListener::setWatchState(WatchState state, std::uint64_t generation) {
  {
    std::lock_guard lock(fieldsMutex_);
    if (generation != watchGeneration_) return false;  // another watch began meanwhile
    watchState_ = state;
  }
  publishStatus();
  return true;
}

// Past the cap of callers waiting for one kind of answer, since work that
// has not gone on for the stall limit, the next is answered at once; told
// once until the callers are fewer again.
bool ZivuvFolderMonitorListener::tooManyWaitingLocked(std::size_t waiting,
                                                      std::optional<Clock::time_point> since) {
  if (waiting < kMaxWaitingCallers || !since || Clock::now() - *since < kStallLimit) {
    if (waiting == 0) crowdTold_ = false;
    return false;
  }
  if (!std::exchange(crowdTold_, true)) {
    Logger::shared().info(std::to_string(kMaxWaitingCallers) +
                          " callers wait already for work on a folder that does not answer: the "
                          "next ones are answered at once with what the service knows");
  }
  return true;
}

// --- Protocol -------------------------------------------------------------

void ZivuvFolderMonitorListener::verifyAgentWithCompletion(AgentReply reply) {
  std::optional<std::optional<Data>> known;
  std::shared_ptr<ProbeWaiter> waiter;
  bool start = false;
  std::pair<std::uint64_t, std::uint64_t> key;
  {
    std::lock_guard lock(fieldsMutex_);
    key = {watchGeneration_, lookEpoch_};
    const bool watched = watchState_ == WatchState::Watching || watchState_ == WatchState::Waiting;
    if (!monitoringURL) {
      known.emplace();
    } else if (watched && look_ && look_->generation == key.first && look_->epoch == key.second) {
      // Nothing that may move the folder happened since the last look.
      known = look_->data;
    } else if (tooManyWaitingLocked(probeWaiters_.size(), Clock::time_point())) {
      known = watchedTransportData_;
    } else {
      waiter = std::make_shared<ProbeWaiter>();
      waiter->reply = std::move(reply);
      waiter->look = key;
      probeWaiters_.push_back(waiter);
      start = probing_ != key;
      probing_ = key;
    }
  }
  if (known) return std::move(reply)(std::move(*known), processName_);
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  if (after_) {
    after_(kProbeWait, [weak, waiter] {
      const auto self = weak.lock();
      if (!self) return;
      std::optional<Data> data;
      bool tell = false;
      std::string folder;
      {
        std::lock_guard lock(self->fieldsMutex_);
        const auto it = std::find(self->probeWaiters_.begin(), self->probeWaiters_.end(), waiter);
        if (it == self->probeWaiters_.end()) return;  // the look answered it
        self->probeWaiters_.erase(it);
        data = self->watchedTransportData_;
        tell = !std::exchange(self->folderSilent_, true);
        folder = self->monitoringURL ? self->monitoringURL->path() : std::string();
      }
      if (tell) {
        Logger::shared().info("Monitored folder does not answer within 1 s, answering with what it "
                              "was when its watch began: ",
                              folder);
      }
      std::move(waiter->reply)(std::move(data), self->processName_);
    });
  }
  if (start) {
    run(probeWork_, [weak, key] {
      if (const auto self = weak.lock()) self->probeMonitoredFolder(key.first, key.second);
    });
  }
}

// Looks at the monitored folder for everyone waiting for this look; the
// look is kept while nothing may have moved the folder since.
void ZivuvFolderMonitorListener::probeMonitoredFolder(std::uint64_t generation,
                                                      std::uint64_t epoch) {
  const auto url = currentMonitoringURL();
  std::optional<Data> data;
  if (url) data = BookmarkUtils::createTransportData(*url);
  std::vector<std::shared_ptr<ProbeWaiter>> waiters;
  {
    std::lock_guard lock(fieldsMutex_);
    const std::pair key{generation, epoch};
    if (probing_ == key) probing_.reset();
    if (generation == watchGeneration_ && epoch == lookEpoch_ && monitoringURL == url) {
      look_ = Look{data, generation, epoch};
    }
    folderSilent_ = false;
    const auto mine =
        std::stable_partition(probeWaiters_.begin(), probeWaiters_.end(),
                              [&](const auto& waiter) { return waiter->look != key; });
    waiters.assign(mine, probeWaiters_.end());
    probeWaiters_.erase(mine, probeWaiters_.end());
  }
  for (const auto& waiter : waiters) std::move(waiter->reply)(data, processName_);
}

void ZivuvFolderMonitorListener::startMonitoringWithPath(const Data& transportData,
                                                         WatchReply reply) {
  {
    std::lock_guard lock(fieldsMutex_);
    if (tooManyWaitingLocked(folderCallers_.size(),
                             folderCallers_.empty() ? std::nullopt
                                                    : std::optional(folderCallers_.front()))) {
      // The folder work is held up; nothing is known of this folder yet.
      std::move(reply)(false);
      return;
    }
    folderCallers_.push_back(Clock::now());
  }
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  run(folderWork_, [weak, transportData, reply = std::move(reply)]() mutable {
    const auto self = weak.lock();
    if (!self) return;  // the reply says NO
    {
      // The folder work runs in order: the longest waiting caller begins.
      std::lock_guard lock(self->fieldsMutex_);
      if (!self->folderCallers_.empty()) self->folderCallers_.pop_front();
    }
    self->startMonitoringWithPathNow(transportData, std::move(reply));
  });
}

// Folder work: each step that may wait for a folder is followed by a look
// whether the worker moved on meanwhile; then the reply says NO and
// nothing is changed.
void ZivuvFolderMonitorListener::startMonitoringWithPathNow(const Data& transportData,
                                                            WatchReply reply) {
  const auto folder = BookmarkUtils::resolveTransportData(transportData);
  if (!folder || abandoned()) return std::move(reply)(false);
  if (!BookmarkUtils::saveSecureBookmark(*folder, [] { return !abandoned(); })) {
    return std::move(reply)(false);
  }
  const auto saved = BookmarkUtils::loadSecureURLs();
  if (saved.empty() || abandoned()) return std::move(reply)(false);
  // The folder monitored is the first of the saved list, which is the one
  // just given only when no other resolvable folder precedes it.
  const FileURL& first = saved.front();
  if (!SecurityScope::startAccessing(first)) return std::move(reply)(false);
  bool set = false;
  {
    std::lock_guard lock(fieldsMutex_);
    if (!abandoned()) {
      if (monitoringURL != first) status_.lastAdded.clear();
      monitoringURL = first;
      ++lookEpoch_;  // the last look was at another folder
      set = true;
    }
  }
  const bool watching = set && startMonitoring();
  std::move(reply)(watching);
  SecurityScope::stopAccessing(first);
}

void ZivuvFolderMonitorListener::checkFolderNowWithCompletion(ScanReply reply) {
  std::lock_guard lock(fieldsMutex_);
  const std::size_t waiting = (requestedScan_ ? requestedScan_->replies.size() : 0) +
                              (runningScan_ ? runningScan_->replies.size() : 0);
  std::optional<Clock::time_point> since;
  if (requestedScan_) since = requestedScan_->since;
  if (runningScan_) since = std::min(since.value_or(runningScan_->since), runningScan_->since);
  if (tooManyWaitingLocked(waiting, since)) {
    std::move(reply)(0);  // no scan has registered anything for them
    return;
  }
  auto request = std::make_shared<ScanRequest>();
  request->replies.push_back(std::move(reply));
  queueScanLocked(request);
}

// The request's callers share the scan queued and not yet begun, or the
// request becomes that scan, on the current watch's queue.
void ZivuvFolderMonitorListener::queueScanLocked(const std::shared_ptr<ScanRequest>& request) {
  if (requestedScan_ && requestedScan_ != request) {
    for (auto& reply : request->replies) requestedScan_->replies.push_back(std::move(reply));
    request->replies.clear();
    return;
  }
  requestedScan_ = request;
  request->generation = watchGeneration_;
  request->folder.reset();
  postScan(request, {watchGeneration_, monitorQueue, pending_, watchSource});
}

// Every scan runs on monitorQueue, so a timer-driven scan and a requested
// one never overlap and never register one folder twice. A request made
// once this scan has begun gets the next one. A request left on the queue
// of a watch that was replaced is posted again to the new one.
void ZivuvFolderMonitorListener::postScan(const std::shared_ptr<ScanRequest>& request,
                                          const Generation& generation) {
  generation.queue->async([weak = weak_from_this(), request, number = generation.number] {
    const auto self = weak.lock();
    if (!self) return;  // the replies say 0
    {
      std::lock_guard lock(self->fieldsMutex_);
      if (number != self->watchGeneration_ || self->requestedScan_ != request) return;
      self->requestedScan_.reset();
      self->runningScan_ = request;
      request->since = Clock::now();
      request->folder = self->monitoringURL;
    }
    (void)self->runScan(request, number);
  });
}

void ZivuvFolderMonitorListener::reset() {
  // In turn with the folder work, so that a watch asked for after it saves
  // its folder after it.
  run(folderWork_, [] { (void)BookmarkUtils::resetSecureBookmarks(); });
}

void ZivuvFolderMonitorListener::userNotificationCenterDidActivateNotification(
    const std::string& activationToken) {
  if (openURL_) openURL_(names::kAppURL, activationToken);
}

// --- Folder watch ---------------------------------------------------------

bool ZivuvFolderMonitorListener::startMonitoring() {
  stopMonitoring();
  Logger& log = Logger::shared();
  log.info("Starting Monitoring");
  std::uint64_t number = 0;
  {
    std::lock_guard lock(fieldsMutex_);
    number = watchGeneration_;
  }
  const auto url = currentMonitoringURL();
  if (!url) {
    log.error("No URL For Monitoring");
    (void)setWatchState(WatchState::None, number);
    return false;
  }
  if (!SecurityScope::startAccessing(*url)) {
    log.error("Unable to access URL For Monitoring");
    (void)setWatchState(WatchState::CannotWatch, number);
    return false;
  }
  Generation generation;
  Generation retired;
  {
    std::lock_guard lock(fieldsMutex_);
    if (number != watchGeneration_ || abandoned()) {
      SecurityScope::stopAccessing(*url);
      return false;
    }
    // A queue that carried a watch is left to itself: a folder that stopped
    // answering may hold it in the kernel. A fresh one carries this watch.
    if (queueWatched_) {
      retired = {watchGeneration_, monitorQueue, pending_, nullptr};
      generation = newGenerationLocked(makeQueue_());
      // What was asked of the old queue and not begun moves to the new one.
      if (timerSource) {
        timerSource->cancel();
        timerSource.reset();
        if (seriesStart_) armDebounceLocked(generation);
      }
      if (requestedScan_) queueScanLocked(requestedScan_);
      // The callers of a scan of another folder still running there are
      // answered 0 if it does not end soon.
      if (runningScan_ && runningScan_->folder != monitoringURL && after_) {
        after_(kAbandonedScanWait, [weak = weak_from_this(), request = runningScan_] {
          const auto self = weak.lock();
          if (!self) return;
          std::vector<ScanReply> replies;
          {
            std::lock_guard lock(self->fieldsMutex_);
            replies.swap(request->replies);
            if (self->runningScan_ == request) self->runningScan_.reset();
          }
          // Dropped unanswered: each says 0.
        });
      }
    } else {
      generation = {watchGeneration_, monitorQueue, pending_, nullptr};
    }
    queueWatched_ = true;
  }
  if (retired.queue) {
    // Its pending folders end on their own queue, which then ends too.
    retired.queue->async([pending = std::move(retired.pending)] { pending->clear(); });
    retired.queue->abandon();
  }
  publishStatus();
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  watch::WatchFailure failure;
  auto source = generation.queue->makeFolderSource(
      url->path(),
      [weak, number = generation.number, folder = *url](watch::FolderEvent event) {
        if (const auto self = weak.lock()) {
          self->folderEvent(event, number, folder);
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
    (void)setWatchState(WatchState::CannotWatch, generation.number);
    return false;
  }
  auto data = BookmarkUtils::createTransportData(*url);
  {
    std::lock_guard lock(fieldsMutex_);
    if (generation.number != watchGeneration_ || abandoned()) {
      // Another watch began meanwhile: this one never counted.
      source->cancel();
      return false;
    }
    watchSource = std::move(source);
    watchedTransportData_ = data;
    look_ = Look{std::move(data), generation.number, lookEpoch_};
    treeNeedsRescan_ = false;
    refusedWatch_ = 0;
    reportedShares_.clear();
    capReported_ = false;
  }
  decideNetworkRescan(*url, generation.number);
  noteRefusedWatch(generation.number);
  return setWatchState(WatchState::Watching, generation.number);
}

void ZivuvFolderMonitorListener::stopMonitoring() {
  Logger::shared().info("Stopping Monitoring");
  std::shared_ptr<watch::Source> source;
  std::shared_ptr<watch::Source> rescan;
  std::shared_ptr<watch::PendingFolders> pending;
  std::shared_ptr<watch::SerialQueue> queue;
  {
    std::lock_guard lock(fieldsMutex_);
    source = std::exchange(watchSource, nullptr);
    rescan = std::exchange(rescanSource_, nullptr);
    rootNetwork_.clear();
    // Nothing the watch knew is told any more.
    watchedTransportData_.reset();
    look_.reset();
    ++lookEpoch_;
    pending = pending_;
    queue = monitorQueue;
  }
  // Neither waits for a handler that a folder holds in the kernel: their
  // descriptors close now, or when that handler returns.
  if (source) source->cancel();
  if (rescan) rescan->cancel();
  // The folders waiting to become repositories belong to the old watch.
  if (queue && pending) {
    queue->async([weak = std::weak_ptr<watch::PendingFolders>(pending)] {
      if (const auto folders = weak.lock()) folders->clear();
    });
  }
}

// Changes made on other machines make no event: on a network file system
// the folder is scanned every few minutes as well.
void ZivuvFolderMonitorListener::decideNetworkRescan(const FileURL& folder,
                                                     std::uint64_t generation) {
  const std::string network = platform::remoteFileSystemName(folder.path());
  {
    std::lock_guard lock(fieldsMutex_);
    if (generation != watchGeneration_) return;  // another watch began meanwhile
    if (!network.empty()) {
      Logger::shared().info("Folder is on a network file system (" + network + "): " +
                            rescanNote());
    }
    rootNetwork_ = network;
    updateRescanLocked();
  }
  publishStatus();
}

// A watch on the folder or a parent that the kernel refused is tried again
// at each scan, so the scans come every period until it is had; the limit
// is told once.
void ZivuvFolderMonitorListener::noteRefusedWatch(std::uint64_t generation) {
  {
    std::lock_guard lock(fieldsMutex_);
    if (generation != watchGeneration_) return;
    const int refused = watchSource ? watchSource->refusedWatch() : 0;
    if (refused == refusedWatch_) return;
    if (refused != 0) {
      if (const auto limit =
              watch::inotifyLimitLine({watch::WatchFailure::Call::AddWatch, refused});
          !limit.empty()) {
        Logger::shared().error(limit);
      }
    }
    refusedWatch_ = refused;
    updateRescanLocked();
  }
  publishStatus();
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
  rescanSource_ = monitorQueue->makeTimer(
      rescanPeriod_,
      [weak = weak_from_this(), number = watchGeneration_] {
        const auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard lock(self->fieldsMutex_);
          if (number != self->watchGeneration_) return;
          ++self->status_.rescans;
        }
        (void)self->runScan(nullptr, number);
      },
      rescanPeriod_);
}

void ZivuvFolderMonitorListener::folderEvent(watch::FolderEvent event, std::uint64_t generation,
                                             const FileURL& folder) {
  {
    std::lock_guard lock(fieldsMutex_);
    // An event of a watch that has been replaced meanwhile is not ours: it
    // changes nothing, under the same lock that a new watch sets its state.
    if (generation != watchGeneration_) return;
    status_.lastEvent = nowMicroseconds();
    switch (event) {
      case watch::FolderEvent::Overflow: ++status_.overflows; [[fallthrough]];
      case watch::FolderEvent::Gone:
      case watch::FolderEvent::Back:
      case watch::FolderEvent::Replaced:
        // The folder may be elsewhere now, or another one: look again.
        ++lookEpoch_;
        break;
      case watch::FolderEvent::Changed: break;
    }
    if (event == watch::FolderEvent::Gone) watchState_ = WatchState::Waiting;
    if (event == watch::FolderEvent::Back || event == watch::FolderEvent::Replaced) {
      watchState_ = WatchState::Watching;
    }
  }
  publishStatus();
  Logger& log = Logger::shared();
  switch (event) {
    case watch::FolderEvent::Overflow:
      return;  // a change follows it
    case watch::FolderEvent::Gone:
      // The watch follows the path: a folder moved away or deleted is told
      // of once, and a folder that appears at the path again is watched
      // from then on. Either is scanned as any change is.
      log.info("Monitored folder moved away or deleted, waiting for it to return: ", folder.path());
      break;
    case watch::FolderEvent::Back:
      log.info("Monitored folder is back, watching it again: ", folder.path());
      decideNetworkRescan(folder, generation);
      break;
    case watch::FolderEvent::Replaced:
      // A share mounted over the folder, or the folder under a mount that
      // went: what is at the path now is scanned at once.
      log.info("Monitored folder changed with a mount, watching the folder now at its path: ",
               folder.path());
      decideNetworkRescan(folder, generation);
      noteRefusedWatch(generation);
      (void)runScan(nullptr, generation);
      return;
    case watch::FolderEvent::Changed: break;
  }
  noteRefusedWatch(generation);
  folderDidChange(generation);
}

void ZivuvFolderMonitorListener::folderDidChange(std::uint64_t generation) {
  Logger::shared().debug("File Has Changed, Setting Timer");
  {
    std::lock_guard lock(fieldsMutex_);
    if (generation != watchGeneration_) return;
    if (timerSource) timerSource->cancel();
    if (!seriesStart_) seriesStart_ = monitorQueue->now();
    armDebounceLocked({watchGeneration_, monitorQueue, pending_, watchSource});
  }
  publishStatus();
}

// The debounce timer of the series begun at seriesStart_, on the queue of
// the generation.
void ZivuvFolderMonitorListener::armDebounceLocked(const Generation& generation) {
  const auto now = generation.queue->now();
  const auto delay =
      std::min<Clock::duration>(kDebounceDelay, *seriesStart_ + kDebounceCeiling - now);
  std::weak_ptr<ZivuvFolderMonitorListener> weak = weak_from_this();
  timerSource = generation.queue->makeTimer(delay, [weak, number = generation.number] {
    Logger::shared().debug("Timer event has fired");
    if (const auto self = weak.lock()) self->timerDidFire(number);
  });
}

void ZivuvFolderMonitorListener::timerDidFire(std::uint64_t generation) {
  {
    std::lock_guard lock(fieldsMutex_);
    if (generation != watchGeneration_) return;
    seriesStart_.reset();
  }
  (void)runScan(nullptr, generation);
}

void ZivuvFolderMonitorListener::pendingFolderDidChange(const std::vector<std::string>& paths,
                                                        std::uint64_t generation) {
  std::vector<FileURL> folders;
  for (const auto& path : paths) {
    Logger::shared().debug("Pending folder became a repository: ", path);
    folders.push_back(FileURL::fromPath(path, true));
  }
  const auto url = currentMonitoringURL();
  std::int64_t registered = 0;
  try {
    registered = discovery::registerRepositories(url, folders, *notices_,
                                                 [this, &url] {
                                                   return currentMonitoringURL() == url;
                                                 })
                     .registered;
  } catch (...) {
    // Nothing was registered; the next scan looks again.
  }
  noteRegistered(generation, registered);
  publishStatus();
}

// --- Scan -----------------------------------------------------------------

std::int64_t ZivuvFolderMonitorListener::checkForNewRepositories() {
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(fieldsMutex_);
    generation = watchGeneration_;
  }
  return runScan(nullptr, generation);
}

// The scan of the generation's watch, on its queue. One whose watch was
// replaced meanwhile does not run, as the objects it would use belong to
// another queue now; a request it carries has done nothing yet, so it goes
// to the current watch as one not yet begun does. That is decided once,
// under the same lock that takes the scan's objects: a watch replaced
// between two looks would leave its callers unanswered.
std::int64_t ZivuvFolderMonitorListener::runScan(const std::shared_ptr<ScanRequest>& request,
                                                 std::uint64_t number) {
  const auto loaded = discovery::loadScanSettings();
  const std::size_t limit = watch::maxUserWatches();
  std::optional<FileURL> url;
  Generation generation;
  {
    std::lock_guard lock(fieldsMutex_);
    if (number != watchGeneration_) {
      if (!request) return 0;
      if (runningScan_ == request) runningScan_.reset();
      queueScanLocked(request);
      return 0;
    }
    url = monitoringURL;
    generation = {watchGeneration_, monitorQueue, pending_, watchSource};
    scanning_ = generation.number;
    status_.scanDepth = static_cast<std::uint32_t>(loaded.settings.depth);
    status_.watchLimit = static_cast<std::uint32_t>(limit);
    // A bad value is told once, not at every scan; again when it changes.
    for (const auto& bad : loaded.invalid) {
      const auto told = std::find(reportedInvalid_.begin(), reportedInvalid_.end(), bad);
      if (told != reportedInvalid_.end()) continue;
      Logger::shared().info("Setting " + bad.key +
                            " has a value of the wrong type or out of range; using its default");
    }
    reportedInvalid_ = loaded.invalid;
  }
  Logger::shared().debug("Checking For New Repositories");
  publishStatus();
  const auto started = std::chrono::system_clock::now();
  const auto& source = generation.source;
  // What the kernel refused before is asked for again: no event would.
  if (source) {
    source->rewatch();
    noteRefusedWatch(generation.number);
  }
  const std::size_t cap = watch::treeWatchCap();
  discovery::ScanOutcome outcome;
  try {
    const Logger::Batch lines;
    const auto& pending = generation.pending;
    // Only a folder that may join the pending ones needs its change time.
    // Each folder the walk lists is watched before it is listed, so that
    // nothing made in it meanwhile goes unseen. A scan of a watch replaced
    // meanwhile writes nothing.
    outcome = discovery::scanForNewRepositories(
        url, *notices_, loaded.settings, pending ? &pending->tracked() : nullptr,
        [&source, cap](const discovery::WalkedFolder& folder) {
          if (source) source->watchTreeFolder({folder.path, folder.device, folder.inode}, cap);
        },
        [this, &url] { return currentMonitoringURL() == url; });
  } catch (...) {
    // A scan that fails registers nothing, and every caller still hears so.
    outcome = {};
    outcome.scanError = "the scan stopped on an unexpected error";
  }
  std::vector<ScanReply> replies;
  bool current = false;
  {
    // Before the replies: a caller that reads it next sees this scan's.
    std::lock_guard lock(fieldsMutex_);
    current = generation.number == watchGeneration_;
    if (request) {
      replies.swap(request->replies);
      if (runningScan_ == request) runningScan_.reset();
    }
    if (current) {
      status_.lastScanErrorTime =
          outcome.scanError.empty() ? 0 : microsecondsSinceEpoch(started);
      status_.lastScanError = outcome.scanError;
    }
  }
  for (auto& reply : replies) std::move(reply)(outcome.registered);
  {
    std::lock_guard lock(fieldsMutex_);
    if (scanning_ == generation.number) scanning_.reset();
    if (current) {
      ++status_.scans;
      status_.lastScan = microsecondsSinceEpoch(started);
      status_.lastScanDuration = static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now() -
                                                                started)
              .count());
      status_.lastScanCandidates = static_cast<std::uint32_t>(outcome.candidates);
      status_.lastScanRegistered = static_cast<std::uint32_t>(outcome.registered);
    }
  }
  noteRegistered(generation.number, outcome.registered);
  // A scan that could not run saw nothing: the watches and the pending
  // folders stay as they were. The replies went out first.
  if (outcome.ran && current) {
    followTree(generation, outcome, cap);
    std::vector<watch::PendingFolders::Candidate> failed;
    failed.reserve(outcome.notRepositories.size());
    for (auto& candidate : outcome.notRepositories) {
      failed.push_back({std::move(candidate.path), candidate.changed});
    }
    if (generation.pending) generation.pending->update(failed);
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

void ZivuvFolderMonitorListener::noteRegistered(std::uint64_t generation,
                                                std::int64_t registered) {
  if (registered <= 0) return;
  std::lock_guard lock(fieldsMutex_);
  if (generation != watchGeneration_) return;
  status_.lastAdded = "; " + std::to_string(registered) +
                      (registered == 1 ? " repository" : " repositories") + " added at " +
                      timeOfDay();
}

// Watches the folders of the tree that the scan walked: every folder whose
// subfolders are candidates. What inotify cannot cover (past the cap, or a
// share inside the tree) is covered by the periodic rescan.
void ZivuvFolderMonitorListener::followTree(const Generation& generation,
                                            const discovery::ScanOutcome& outcome,
                                            std::size_t cap) {
  const auto& source = generation.source;
  if (!source || outcome.walked.empty()) return;
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
    if (generation.number != watchGeneration_) return;
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
