#include "discovery/RepositoryScan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bookmarks/BookmarkUtils.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"
#include "platform/text/Text.h"

namespace zivuv::discovery {

using platform::Logger;
using platform::SecurityScope;

namespace {

// When the entry name of the folder open as dirFd last changed status.
std::chrono::system_clock::time_point changeTime(int dirFd, const char* name) {
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_ctim.tv_sec) + std::chrono::nanoseconds(st.st_ctim.tv_nsec)));
}

// A scan that could not run, and why.
ScanOutcome notRun(std::string why) {
  ScanOutcome outcome;
  outcome.scanError = std::move(why);
  return outcome;
}

// Why the folder at path cannot be read and searched, for a person.
std::string unreadableFolder(const std::string& path) {
  const std::string shown = "the monitored folder " + platform::escapeControlBytes(path);
  if (::access(path.c_str(), R_OK | X_OK) != 0) return shown + " cannot be read: " + std::strerror(errno);
  return "access to " + shown + " was refused";
}

std::string unreadableSharedSettings() {
  return "the shared settings " +
         platform::escapeControlBytes(platform::settingsFile(sharedSuiteName())) + " cannot be read";
}

// What a scan and a registration share: access to the monitored folder and
// the shared lists under the suite's lock, the registration of what was
// found in one locked write, and the notices.
template <typename Find>
ScanOutcome withSharedLists(const std::optional<FileURL>& monitoringURL, NoticeCenter& notices,
                            const Find& find) {
  Logger& log = Logger::shared();
  if (!monitoringURL || !SecurityScope::startAccessing(*monitoringURL)) {
    log.error("No monitoring URL to check!");
    return notRun(monitoringURL ? unreadableFolder(monitoringURL->path()) : "no folder is monitored");
  }
  struct AccessGuard {
    const FileURL& url;
    ~AccessGuard() { SecurityScope::stopAccessing(url); }
  } access{*monitoringURL};

  ScanOutcome outcome;
  std::vector<std::string> newNames;
  {
    // Every stored entry and every candidate lies in one of a few folders:
    // take each folder's real path once for the whole scan.
    const platform::RealPathCacheScope realPaths;
    SharedSuiteSession suite(sharedSuiteName());
    const auto blocked = suite.loadURLs(BookmarkKeys::blockKey);
    if (!blocked) {
      log.error("Failed to get current folders!");
      return notRun(unreadableSharedSettings());
    }
    const auto listed = suite.loadURLs(BookmarkKeys::sandboxKey);
    if (!listed) {
      log.error("Failed to get current folders!");
      return notRun(unreadableSharedSettings());
    }
    const KnownFolders known(*blocked, *listed);
    const std::vector<FileURL> repositories = find(known, outcome);
    // All adds of the run go into one locked write; a folder whose add
    // fails is neither counted nor named.
    const auto written = suite.addSandboxURLs(repositories);
    for (std::size_t i = 0; i < repositories.size(); ++i) {
      if (written[i]) newNames.push_back(repositories[i].lastPathComponent());
    }
    if (const std::size_t lost = repositories.size() - newNames.size(); lost > 0) {
      outcome.scanError = std::to_string(lost) + " of the " + std::to_string(repositories.size()) +
                          " repositories found could not be registered in the shared settings";
    }
  }
  if (newNames.empty()) {
    log.info("Checked and no new repos");
    return outcome;
  }
  announceNewRepositories(newNames, notices);
  outcome.registered = static_cast<std::int64_t>(newNames.size());
  return outcome;
}

}  // namespace

ScanOutcome scanForNewRepositories(
    const std::optional<FileURL>& monitoringURL, NoticeCenter& notices, const ScanSettings& settings,
    const std::function<bool(const std::string& path)>& changeTimeWanted) {
  return withSharedLists(monitoringURL, notices, [&](const KnownFolders& known,
                                                     ScanOutcome& outcome) {
    Logger& log = Logger::shared();
    std::vector<FileURL> repositories;
    outcome.walked = walkTree(*monitoringURL, settings, [&](const WalkEntry& entry) {
      ++outcome.candidates;
      const auto judgement = judgeCandidate(entry, known);
      switch (judgement.verdict) {
        case Judgement::Verdict::Blocked:
        case Judgement::Verdict::Listed:
          log.info("Existing or blocked folder: ", entry.url.path());
          break;
        case Judgement::Verdict::Repository:
          repositories.push_back(entry.url);
          break;
        case Judgement::Verdict::NotRepository:
          log.info("Failed to create repo for ", entry.url.path());
          outcome.notRepositories.push_back(
              {entry.url.path(), !changeTimeWanted || changeTimeWanted(entry.url.path())
                                     ? changeTime(entry.dirFd, entry.name)
                                     : std::chrono::system_clock::time_point()});
          break;
      }
      return judgement.descend;
    });
    if (outcome.walked.empty()) outcome.scanError = unreadableFolder(monitoringURL->path());
    return repositories;
  });
}

ScanOutcome registerRepositories(const std::optional<FileURL>& monitoringURL,
                                 const std::vector<FileURL>& folders, NoticeCenter& notices) {
  return withSharedLists(monitoringURL, notices, [&](const KnownFolders& known, ScanOutcome&) {
    std::vector<FileURL> repositories;
    for (const auto& folder : folders) {
      if (known.find(folder)) {
        Logger::shared().info("Existing or blocked folder: ", folder.path());
      } else {
        repositories.push_back(folder);
      }
    }
    return repositories;
  });
}

}  // namespace zivuv::discovery
