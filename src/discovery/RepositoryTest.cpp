#include "discovery/RepositoryTest.h"

#include <fcntl.h>
#include <git2.h>
#include <sys/stat.h>

#include <cerrno>
#include <mutex>

namespace zivuv::discovery {
namespace {

constexpr const char* kNotARepository = "not a repository";

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

enum class Verdict { Repository, NotRepository, AskLibgit2 };

// errno of fstatat relative to dirFd, or 0. It follows symbolic links, as
// the stat of libgit2 does.
int statAt(int dirFd, const std::string& path, struct stat& st) {
  return ::fstatat(dirFd, path.c_str(), &st, 0) == 0 ? 0 : errno;
}

// The answer of libgit2's locate-only call, without libgit2 where the
// layout leaves no doubt. libgit2 (find_repo with NO_SEARCH) looks at
// name/.git first: a directory there is the git folder when it holds a
// regular HEAD and the directories objects and refs, a regular file there
// is read as a link to the git folder, anything else is passed over. Then
// it tests name itself as a bare git folder, which needs a HEAD file too.
Verdict fastVerdict(int dirFd, const char* name) {
  std::string path(name);
  const std::size_t nameEnd = path.size();
  struct stat st {};
  path += "/.git/HEAD";
  const int head = statAt(dirFd, path, st);
  if (head == 0) {
    if (!S_ISREG(st.st_mode)) return Verdict::AskLibgit2;
    // A HEAD under name/.git/ proves name/.git a directory (or a link to
    // one): two more looks complete the common case of a working tree.
    for (const char* item : {"objects", "refs"}) {
      path.replace(nameEnd + 6, std::string::npos, item);  // after "/.git/"
      if (statAt(dirFd, path, st) != 0 || !S_ISDIR(st.st_mode)) return Verdict::AskLibgit2;
    }
    return Verdict::Repository;
  }
  // ENOENT: nothing at name/.git, a dangling link, or a .git folder without
  // HEAD; libgit2 finds no git folder there in any of them and goes on to
  // name itself. ENOTDIR: name/.git is there but no folder, e.g. the .git
  // file of a linked worktree or a submodule, which only libgit2 reads. Any
  // other error (EACCES, ELOOP) is left to libgit2 too.
  if (head != ENOENT) return Verdict::AskLibgit2;
  path.replace(nameEnd, std::string::npos, "/HEAD");
  // Without a HEAD of its own, name is no bare git folder either.
  return statAt(dirFd, path, st) == ENOENT ? Verdict::NotRepository : Verdict::AskLibgit2;
}

}  // namespace

bool isRepositoryAt(int dirFd, const char* name, const std::string& path, std::string* reason) {
  // What a scan pays per candidate: a plain folder two fstatat calls
  // (name/.git/HEAD, name/HEAD), a working tree three (name/.git/HEAD,
  // objects, refs), each relative to the open folder, so no path is
  // resolved from the root, and libgit2 is not asked. Only what might be a
  // repository in another layout (a .git file, a bare repository, a .git
  // folder that lacks one of the three) asks libgit2, by path.
  // One layout gets another answer than libgit2's: a .git folder with HEAD,
  // objects and refs that also holds a "commondir" file, which libgit2
  // follows to look for objects and refs elsewhere. git writes that file
  // only into the git folders of linked worktrees (.git/worktrees/<name>),
  // never into a .git folder; here such a folder is a repository.
  const Verdict verdict = fastVerdict(dirFd, name);
  if (verdict == Verdict::Repository) return true;
  if (verdict == Verdict::NotRepository && reason == nullptr) return false;
  const bool located = locatedByLibgit2(path, reason);
  if (verdict == Verdict::AskLibgit2) return located;
  // Asked for libgit2's message only: the answer stays the scan's own, even
  // when the folder changed in between.
  if (located && reason != nullptr) *reason = kNotARepository;
  return false;
}

bool isGitRepository(const std::string& path, std::string* reason) {
  return isRepositoryAt(AT_FDCWD, path.c_str(), path, reason);
}

bool locatedByLibgit2(const std::string& path, std::string* reason) {
  initGitOnce();
  // Locate only (a NULL repository): no configuration is read, no owner
  // check refuses another user's repository, and NO_SEARCH keeps a plain
  // folder inside a repository from counting. A .git that lacks HEAD,
  // objects or refs, or a .git file that points nowhere, is not located.
  if (git_repository_open_ext(nullptr, path.c_str(), GIT_REPOSITORY_OPEN_NO_SEARCH, nullptr) == 0) {
    return true;
  }
  if (reason != nullptr) {
    const git_error* error = git_error_last();
    *reason = error != nullptr && error->message != nullptr ? error->message : kNotARepository;
  }
  return false;
}

}  // namespace zivuv::discovery
