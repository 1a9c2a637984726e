#include "discovery/RepositoryScan.h"

#include <dirent.h>
#include <fcntl.h>
#include <git2.h>
#include <sys/stat.h>

#include <memory>
#include <mutex>
#include <unordered_set>

#include "bookmarks/BookmarkUtils.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"

namespace zivuv::discovery {

using platform::Logger;
using platform::SecurityScope;

namespace {

void initGitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)git_libgit2_init();
    // Nothing the test needs lives in the git configuration: keep libgit2
    // from ever looking for the global, XDG or system files.
    for (const auto level : {GIT_CONFIG_LEVEL_SYSTEM, GIT_CONFIG_LEVEL_XDG,
                             GIT_CONFIG_LEVEL_GLOBAL, GIT_CONFIG_LEVEL_PROGRAMDATA}) {
      (void)git_libgit2_opts(GIT_OPT_SET_SEARCH_PATH, level, "");
    }
  });
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

struct DirCloser {
  void operator()(DIR* dir) const noexcept { (void)::closedir(dir); }
};

}  // namespace

std::vector<FileURL> listSubfolders(const FileURL& folder) {
  std::vector<FileURL> entries;
  struct stat st {};
  if (::stat(folder.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return entries;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.path().c_str()));
  if (!dir) return entries;
  const int dirFd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    const char* name = entry->d_name;
    if (name[0] == '.') continue;  // hidden, and "." and ".."
    bool isFolder = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      // Not every file system fills d_type; a symbolic link is no folder here.
      struct stat entryStat {};
      isFolder = ::fstatat(dirFd, name, &entryStat, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(entryStat.st_mode);
    }
    if (isFolder) entries.push_back(folder.appending(name, true));
  }
  return entries;
}

bool isGitRepository(const std::string& path) {
  initGitOnce();
  // libgit2 can only locate a repository here through a ".git" entry or, for
  // a bare repository, a HEAD file in the folder itself: without either the
  // answer is no, and libgit2 need not be asked.
  if (!exists(path + "/.git") && !exists(path + "/HEAD")) return false;
  // Locate only (a NULL repository): no configuration is read, no owner
  // check refuses another user's repository, and NO_SEARCH keeps a plain
  // folder inside a repository from counting. A .git that lacks HEAD,
  // objects or refs, or a .git file that points nowhere, is not located.
  return git_repository_open_ext(nullptr, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) ==
         0;
}

std::int64_t scanForNewRepositories(const std::optional<FileURL>& monitoringURL,
                                    NoticeCenter& notices) {
  Logger& log = Logger::shared();
  if (!monitoringURL) {
    log.error("No monitoring URL to check!");
    return 0;
  }
  if (!SecurityScope::startAccessing(*monitoringURL)) {
    log.error("No monitoring URL to check!");
    return 0;
  }
  struct AccessGuard {
    const FileURL& url;
    ~AccessGuard() { SecurityScope::stopAccessing(url); }
  } access{*monitoringURL};

  std::vector<std::string> newNames;
  {
    // Every stored entry and every candidate lies in one of a few folders:
    // take each folder's real path once for the whole scan.
    const platform::RealPathCacheScope realPaths;
    SharedSuiteSession suite(sharedSuiteName());
    const auto blocked = suite.loadURLs(BookmarkKeys::blockKey);
    if (!blocked) {
      log.error("Failed to get current folders!");
      return 0;
    }
    const auto listed = suite.loadURLs(BookmarkKeys::sandboxKey);
    if (!listed) {
      log.error("Failed to get current folders!");
      return 0;
    }
    // Matching by URL text gives the same answer as comparing with every
    // blocked and then every listed folder, in constant time per candidate.
    std::unordered_set<std::string> known;
    known.reserve(blocked->size() + listed->size());
    for (const auto& url : *blocked) known.insert(url.text());
    for (const auto& url : *listed) known.insert(url.text());

    std::vector<FileURL> repositories;
    for (auto& candidate : listSubfolders(*monitoringURL)) {
      if (known.contains(candidate.text())) {
        log.info("Existing or blocked folder: ", candidate.path());
        continue;
      }
      if (!isGitRepository(candidate.path())) {
        log.info("Failed to create repo for ", candidate.path());
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
    return 0;
  }
  announceNewRepositories(newNames, notices);
  return static_cast<std::int64_t>(newNames.size());
}

}  // namespace zivuv::discovery
