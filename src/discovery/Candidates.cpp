#include "discovery/Candidates.h"

#include <dirent.h>
#include <fcntl.h>
#include <git2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>

namespace zivuv::discovery {
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

EntryKind classifyEntry(int dirFd, const char* name, unsigned char type) {
  if (name[0] == '.') return EntryKind::Hidden;  // and "." and ".."
  if (type == DT_DIR) return EntryKind::Candidate;
  if (type == DT_LNK) return EntryKind::SymbolicLink;
  if (type != DT_UNKNOWN) return EntryKind::NotAFolder;
  // Not every file system fills d_type.
  struct stat st {};
  if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return EntryKind::Missing;
  if (S_ISLNK(st.st_mode)) return EntryKind::SymbolicLink;
  return S_ISDIR(st.st_mode) ? EntryKind::Candidate : EntryKind::NotAFolder;
}

std::vector<FileURL> listSubfolders(const FileURL& folder) {
  std::vector<FileURL> entries;
  struct stat st {};
  if (::stat(folder.path().c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return entries;
  std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.path().c_str()));
  if (!dir) return entries;
  const int dirFd = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    if (classifyEntry(dirFd, entry->d_name, entry->d_type) == EntryKind::Candidate) {
      entries.push_back(folder.appending(entry->d_name, true));
    }
  }
  return entries;
}

bool isGitRepository(const std::string& path, std::string* reason) {
  initGitOnce();
  if (reason != nullptr) {
    if (::access(path.c_str(), R_OK | X_OK) != 0) {
      *reason = "unreadable";
      return false;
    }
  } else if (!exists(path + "/.git") && !exists(path + "/HEAD")) {
    // libgit2 can only locate a repository here through a ".git" entry or,
    // for a bare repository, a HEAD file in the folder itself: without
    // either the answer is no, and libgit2 need not be asked.
    return false;
  }
  // Locate only (a NULL repository): no configuration is read, no owner
  // check refuses another user's repository, and NO_SEARCH keeps a plain
  // folder inside a repository from counting. A .git that lacks HEAD,
  // objects or refs, or a .git file that points nowhere, is not located.
  if (git_repository_open_ext(nullptr, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) == 0) {
    return true;
  }
  if (reason != nullptr) {
    const git_error* error = git_error_last();
    *reason = error != nullptr && error->message != nullptr ? error->message : "not a repository";
  }
  return false;
}

KnownFolders::KnownFolders(const std::vector<FileURL>& blocked, const std::vector<FileURL>& listed) {
  // Matching by URL text gives the same answer as comparing with every
  // blocked and then every listed folder, in constant time per candidate.
  byText_.reserve(blocked.size() + listed.size());
  for (const auto& url : blocked) byText_.try_emplace(url.text(), Kind::Blocked);
  for (const auto& url : listed) byText_.try_emplace(url.text(), Kind::Listed);
}

std::optional<KnownFolders::Kind> KnownFolders::find(const FileURL& url) const {
  const auto it = byText_.find(url.text());
  if (it == byText_.end()) return std::nullopt;
  return it->second;
}

}  // namespace zivuv::discovery
