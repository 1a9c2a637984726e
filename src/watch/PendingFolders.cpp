#include "watch/PendingFolders.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/log/Logger.h"
#include "watch/WatchLimits.h"

namespace zivuv::watch {

using platform::Logger;

namespace {

constexpr std::string_view kGitSuffix = "/.git";

bool isRealFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::shared_ptr<PendingFolders> PendingFolders::create(
    std::shared_ptr<SerialQueue> queue, SetMaker makeSet, RepositoriesHandler onRepositories,
    RetestFunction isRepository, std::chrono::nanoseconds retestDelay,
    std::chrono::nanoseconds quietPeriod) {
  return std::shared_ptr<PendingFolders>(new PendingFolders(std::move(queue), std::move(makeSet),
                                                            std::move(onRepositories),
                                                            std::move(isRepository), retestDelay,
                                                            quietPeriod));
}

PendingFolders::PendingFolders(std::shared_ptr<SerialQueue> queue, SetMaker makeSet,
                               RepositoriesHandler onRepositories, RetestFunction isRepository,
                               std::chrono::nanoseconds retestDelay,
                               std::chrono::nanoseconds quietPeriod)
    : queue_(std::move(queue)),
      makeSet_(std::move(makeSet)),
      onRepositories_(std::move(onRepositories)),
      isRepository_(std::move(isRepository)),
      retestDelay_(retestDelay),
      quietPeriod_(quietPeriod) {}

PendingFolders::~PendingFolders() { clear(); }

void PendingFolders::update(const std::vector<Candidate>& notRepositories) {
  std::unordered_set<std::string> failed;
  failed.reserve(notRepositories.size());
  for (const auto& candidate : notRepositories) failed.insert(candidate.path);
  std::vector<std::string> gone;
  for (const auto& [path, folder] : folders_) {
    if (!failed.contains(path)) gone.push_back(path);
  }
  for (const auto& path : gone) drop(path);
  std::erase_if(tracked_, [&](const std::string& path) { return !failed.contains(path); });

  // The scan's own look at each candidate tells when it last changed.
  const auto recent = std::chrono::system_clock::now() - quietPeriod_;
  std::size_t turnedAway = 0;
  for (const auto& candidate : notRepositories) {
    if (folders_.contains(candidate.path) || candidate.changed < recent) continue;
    if (folders_.size() >= kMaxFolders) {
      // Counted once, not at every scan that finds it still failing.
      if (tracked_.insert(candidate.path).second) ++turnedAway;
      continue;
    }
    // A folder that became a repository before its watch ran makes no
    // event: it is tested again as if it had changed now, after the same
    // quiet as any change, since git may still be writing it.
    if (add(candidate.path) && isRepository_ &&
        isRepository_(candidate.path) == Retest::Repository) {
      folders_[candidate.path].retestAt = queue_->now() + retestDelay_;
    }
  }
  if (turnedAway > 0) {
    Logger::shared().info("Pending folder limit of " + std::to_string(kMaxFolders) +
                          " reached, not watching: " + std::to_string(turnedAway) +
                          (turnedAway == 1 ? " folder" : " folders"));
  }
  releaseWhenEmpty();
  armTimer();
}

void PendingFolders::clear() {
  folders_.clear();
  tracked_.clear();
  releaseWhenEmpty();
}

// Starts watching a folder, while there is room; false when it could not be.
bool PendingFolders::add(const std::string& path) {
  tracked_.erase(path);
  if (!watches_ && makeSet_) {
    std::weak_ptr<PendingFolders> weak = weak_from_this();
    watches_ = makeSet_([weak](const std::vector<FolderSetEvent>& events) {
      if (const auto self = weak.lock()) self->onEvents(events);
    });
  }
  if (!watches_) return false;  // nothing is watched now
  if (const int error = watches_->add(path); error != 0) {
    // Reported once while folders wait: every other folder would hit it too.
    const std::string limit = inotifyLimitLine({WatchFailure::Call::AddWatch, error});
    if (!limit.empty() && !limitReported_) Logger::shared().error(limit);
    limitReported_ = limitReported_ || !limit.empty();
    return false;
  }
  Folder& folder = folders_[path];
  tracked_.insert(path);
  folder.lastActivity = queue_->now();
  Logger::shared().debug("Watching folder for late changes: ", path);
  (void)watchGitFolder(path, folder);
  return true;
}

// Watches the .git folder of a pending folder once there is one: a
// repository is located by HEAD, objects and refs directly inside it, which
// may land well after .git itself. True when it is watched now.
bool PendingFolders::watchGitFolder(const std::string& path, Folder& folder) {
  const std::string git = path + std::string(kGitSuffix);
  if (folder.gitWatched || !watches_ || !isRealFolder(git) || watches_->add(git) != 0) {
    return false;
  }
  folder.gitWatched = true;
  return true;
}

void PendingFolders::drop(const std::string& path) {
  const auto it = folders_.find(path);
  if (it == folders_.end()) return;
  if (watches_) {
    watches_->remove(path);
    if (it->second.gitWatched) watches_->remove(path + std::string(kGitSuffix));
  }
  tracked_.erase(path);
  folders_.erase(it);
}

void PendingFolders::onEvents(const std::vector<FolderSetEvent>& events) {
  const auto now = queue_->now();
  const auto touch = [&](Folder& folder) {
    folder.lastActivity = now;
    folder.retestAt = now + retestDelay_;
  };
  for (const auto& event : events) {
    if (event.path.empty()) {  // lost events: any folder may have changed
      for (auto& [path, folder] : folders_) touch(folder);
      continue;
    }
    const bool inGit = event.path.ends_with(kGitSuffix);
    const std::string owner = inGit ? event.path.substr(0, event.path.size() - kGitSuffix.size())
                                    : event.path;
    const auto it = folders_.find(owner);
    if (it == folders_.end()) continue;
    touch(it->second);
    if (event.gone && !inGit) {
      drop(owner);
    } else if (event.gone) {
      it->second.gitWatched = false;
    } else if (!inGit) {
      (void)watchGitFolder(owner, it->second);
    }
  }
  releaseWhenEmpty();
  armTimer();
}

void PendingFolders::onTimer() {
  timer_.reset();
  timerDue_ = Clock::time_point::max();
  const auto now = queue_->now();
  std::vector<std::string> quiet, passed;
  for (auto& [path, folder] : folders_) {
    if (folder.retestAt <= now) {
      folder.retestAt = Clock::time_point::max();
      if (isRepository_ && isRepository_(path) == Retest::Repository) passed.push_back(path);
    } else if (now - folder.lastActivity >= quietPeriod_) {
      const auto last = isRepository_ ? isRepository_(path) : Retest::NotRepository;
      if (last == Retest::Repository) {
        passed.push_back(path);
      } else if (last == Retest::BeingWritten) {
        folder.lastActivity = now;
      } else {
        quiet.push_back(path);
      }
    }
  }
  for (const auto& path : quiet) drop(path);
  for (const auto& path : passed) drop(path);
  releaseWhenEmpty();
  armTimer();
  if (!passed.empty() && onRepositories_) onRepositories_(passed);
}

// One timer for all: it fires at the first retest or end of a quiet period
// that is due. A folder whose retest a later change put off finds nothing
// due then and sets the timer again.
void PendingFolders::armTimer() {
  auto due = Clock::time_point::max();
  for (const auto& [path, folder] : folders_) {
    due = std::min({due, folder.retestAt, folder.lastActivity + quietPeriod_});
  }
  if (due == Clock::time_point::max() || (timer_ && timerDue_ <= due)) return;
  std::weak_ptr<PendingFolders> weak = weak_from_this();
  timerDue_ = due;
  timer_ = queue_->makeTimer(std::max<std::chrono::nanoseconds>(due - queue_->now(),
                                                              std::chrono::milliseconds(1)),
                            [weak] {
                              if (const auto self = weak.lock()) self->onTimer();
                            });
}

void PendingFolders::releaseWhenEmpty() {
  size_ = folders_.size();
  if (!folders_.empty()) return;
  if (watches_) watches_->cancel();
  watches_.reset();
  if (timer_) timer_->cancel();
  timer_.reset();
  timerDue_ = Clock::time_point::max();
  limitReported_ = false;
}

}  // namespace zivuv::watch
