#include "discovery/RepositoryScan.h"

#include "bookmarks/BookmarkUtils.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"

namespace zivuv::discovery {

using platform::Logger;
using platform::SecurityScope;

ScanOutcome scanForNewRepositories(const std::optional<FileURL>& monitoringURL,
                                   NoticeCenter& notices) {
  Logger& log = Logger::shared();
  if (!monitoringURL) {
    log.error("No monitoring URL to check!");
    return {};
  }
  if (!SecurityScope::startAccessing(*monitoringURL)) {
    log.error("No monitoring URL to check!");
    return {};
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
      return {};
    }
    const auto listed = suite.loadURLs(BookmarkKeys::sandboxKey);
    if (!listed) {
      log.error("Failed to get current folders!");
      return {};
    }
    const KnownFolders known(*blocked, *listed);
    std::vector<FileURL> repositories;
    for (auto& candidate : listSubfolders(*monitoringURL)) {
      if (known.find(candidate)) {
        log.info("Existing or blocked folder: ", candidate.path());
        continue;
      }
      if (!isGitRepository(candidate.path())) {
        log.info("Failed to create repo for ", candidate.path());
        outcome.notRepositories.push_back(candidate.path());
        continue;
      }
      repositories.push_back(std::move(candidate));
    }
    // All adds of the run go into one locked write; a folder whose add
    // fails is neither counted nor named.
    const auto written = suite.addSandboxURLs(repositories);
    for (std::size_t i = 0; i < repositories.size(); ++i) {
      if (written[i]) newNames.push_back(repositories[i].lastPathComponent());
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

}  // namespace zivuv::discovery
