#include "watch/PendingFolders.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/log/Logger.h"
#include "watch/FileSystems.h"

namespace zivuv::watch {

using platform::Logger;

namespace {

constexpr std::string_view kGitSuffix = "/.git";

bool isRealFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether the status of the folder at path changed within period before now.
bool changedWithin(const std::string& path, std::chrono::nanoseconds period) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  const auto changed = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
  return std::chrono::system_clock::now() - changed <= period;
}

}  // namespace

std::shared_ptr<PendingFolders> PendingFolders::create(
    SerialQueue& queue, Handler onChange, std::function<bool(const std::string&)> isRepository,
    std::chrono::nanoseconds quietPeriod) {
  return std::shared_ptr<PendingFolders>(
      new PendingFolders(queue, std::move(onChange), std::move(isRepository), quietPeriod));
}

PendingFolders::PendingFolders(SerialQueue& queue, Handler onChange,
                               std::function<bool(const std::string&)> isRepository,
                               std::chrono::nanoseconds quietPeriod)
    : queue_(queue),
      onChange_(std::move(onChange)),
      isRepository_(std::move(isRepository)),
      quietPeriod_(quietPeriod) {}

PendingFolders::~PendingFolders() { clear(); }

void PendingFolders::update(const std::vector<std::string>& notRepositories) {
  const std::unordered_set<std::string> failed(notRepositories.begin(), notRepositories.end());
  std::vector<std::string> gone;
  for (const auto& [path, folder] : folders_) {
    if (!failed.contains(path)) gone.push_back(path);
  }
  for (const auto& path : gone) drop(path);
  std::erase_if(refused_, [&](const std::string& path) { return !failed.contains(path); });

  bool arrived = false;
  for (const auto& path : notRepositories) {
    if (const auto it = folders_.find(path); it != folders_.end()) {
      arrived |= watchGitFolder(path, it->second);
    } else if (changedWithin(path, quietPeriod_)) {
      arrived |= add(path);
    }
  }
  releaseWhenEmpty();
  if (!folders_.empty() && !quietTimer_) armQuietTimer();
  // A folder that became a repository before its watch ran is scanned again.
  if (arrived && onChange_) onChange_();
}

void PendingFolders::clear() {
  folders_.clear();
  refused_.clear();
  releaseWhenEmpty();
}

// Starts watching a folder; true when it passes the repository test by now.
bool PendingFolders::add(const std::string& path) {
  if (folders_.size() >= kMaxFolders) {
    if (refused_.insert(path).second) {
      Logger::shared().info("Pending folder limit of 256 reached, not watching: ", path);
    }
    return false;
  }
  refused_.erase(path);
  WatchFailure failure;
  if (!watches_) {
    std::weak_ptr<PendingFolders> weak = weak_from_this();
    watches_ = queue_.makeFolderSet(
        [weak](const std::vector<FolderSetEvent>& events) {
          if (const auto self = weak.lock()) self->onEvents(events);
        },
        &failure);
  }
  int error = watches_ ? watches_->add(path) : (failure.error != 0 ? failure.error : EIO);
  if (watches_ && error != 0) failure = {WatchFailure::Call::AddWatch, error};
  if (error != 0) {
    // Reported once while folders wait: every other folder would hit it too.
    const std::string limit = inotifyLimitLine(failure);
    if (!limit.empty() && !limitReported_) Logger::shared().error(limit);
    limitReported_ = limitReported_ || !limit.empty();
    return false;
  }
  Folder& folder = folders_[path];
  folder.lastActivity = Clock::now();
  Logger::shared().debug("Watching folder for late changes: ", path);
  (void)watchGitFolder(path, folder);
  return isRepository_ && isRepository_(path);
}

// Watches the .git folder of a pending folder once there is one: a
// repository is located by HEAD, objects and refs directly inside it, which
// may land well after .git itself. True when the folder passes the
// repository test once the watch runs.
bool PendingFolders::watchGitFolder(const std::string& path, Folder& folder) {
  const std::string git = path + std::string(kGitSuffix);
  if (folder.gitWatched || !watches_ || !isRealFolder(git) || watches_->add(git) != 0) {
    return false;
  }
  folder.gitWatched = true;
  return isRepository_ && isRepository_(path);
}

void PendingFolders::drop(const std::string& path) {
  const auto it = folders_.find(path);
  if (it == folders_.end()) return;
  if (watches_) {
    watches_->remove(path);
    if (it->second.gitWatched) watches_->remove(path + std::string(kGitSuffix));
  }
  folders_.erase(it);
}

void PendingFolders::onEvents(const std::vector<FolderSetEvent>& events) {
  const auto now = Clock::now();
  bool relevant = false;
  for (const auto& event : events) {
    if (event.path.empty()) {  // lost events: any folder may have changed
      for (auto& [path, folder] : folders_) folder.lastActivity = now;
      relevant = !folders_.empty();
      continue;
    }
    const bool inGit = event.path.ends_with(kGitSuffix);
    const std::string owner = inGit ? event.path.substr(0, event.path.size() - kGitSuffix.size())
                                    : event.path;
    const auto it = folders_.find(owner);
    if (it == folders_.end()) continue;
    relevant = true;
    it->second.lastActivity = now;
    if (event.gone && !inGit) {
      drop(owner);
    } else if (event.gone) {
      it->second.gitWatched = false;
    } else if (!inGit) {
      (void)watchGitFolder(owner, it->second);
    }
  }
  releaseWhenEmpty();
  if (relevant && onChange_) onChange_();
}

void PendingFolders::onQuietTimer() {
  quietTimer_.reset();
  const auto now = Clock::now();
  std::vector<std::string> quiet;
  for (const auto& [path, folder] : folders_) {
    if (now - folder.lastActivity >= quietPeriod_) quiet.push_back(path);
  }
  for (const auto& path : quiet) drop(path);
  releaseWhenEmpty();
  if (!folders_.empty()) armQuietTimer();
}

// One timer for all: it fires when the folder quiet the longest has been
// quiet for the period; activity since only postpones that folder's end.
void PendingFolders::armQuietTimer() {
  auto oldest = Clock::time_point::max();
  for (const auto& [path, folder] : folders_) oldest = std::min(oldest, folder.lastActivity);
  const auto delay = std::max<std::chrono::nanoseconds>(oldest + quietPeriod_ - Clock::now(),
                                                        std::chrono::milliseconds(1));
  std::weak_ptr<PendingFolders> weak = weak_from_this();
  quietTimer_ = queue_.makeTimer(delay, [weak] {
    if (const auto self = weak.lock()) self->onQuietTimer();
  });
}

void PendingFolders::releaseWhenEmpty() {
  if (!folders_.empty()) return;
  if (watches_) watches_->cancel();
  watches_.reset();
  if (quietTimer_) quietTimer_->cancel();
  quietTimer_.reset();
  limitReported_ = false;
}

}  // namespace zivuv::watch
