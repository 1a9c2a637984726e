#include "discovery/RepositoryTest.h"

#include <fcntl.h>
#include <git2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace zivuv::discovery {
namespace {

void initGitOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    (void)git_libgit2_init();
    for (const auto level : {GIT_CONFIG_LEVEL_SYSTEM, GIT_CONFIG_LEVEL_XDG,
                             GIT_CONFIG_LEVEL_GLOBAL, GIT_CONFIG_LEVEL_PROGRAMDATA}) {
      (void)git_libgit2_opts(GIT_OPT_SET_SEARCH_PATH, level, "");
    }
  });
}

}  // namespace

bool isGitRepository(const std::string& path, std::string* reason) {
  initGitOnce();
  struct stat st {};
  if (reason == nullptr && ::stat((path + "/.git").c_str(), &st) != 0 &&
      ::stat((path + "/HEAD").c_str(), &st) != 0) {
    return false;
  }
  if (git_repository_open_ext(nullptr, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) == 0) {
    return true;
  }
  if (reason != nullptr) {
    const git_error* error = git_error_last();
    *reason = error != nullptr && error->message != nullptr ? error->message : "not a repository";
  }
  return false;
}

bool isRepositoryAt(int dirFd, const char* name, std::string* reason) {
  if (name[0] == '/') return isGitRepository(name, reason);
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
  char buffer[4097];
  const ssize_t n = ::readlink(link, buffer, sizeof buffer - 1);
  if (n <= 0) return false;
  return isGitRepository(std::string(buffer, static_cast<std::size_t>(n)) + "/" + name, reason);
}

}  // namespace zivuv::discovery
