#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace zivuv::discovery {

// How long a sign of writing (a lock file, a pack being received) counts
// after it last changed: one older than this was left behind by a git that
// ended without removing it.
constexpr std::chrono::minutes kWriteSignLifetime{10};

// What the repository test makes of a folder.
struct RepositoryTestResult {
  enum class Outcome {
    NotRepository,  // libgit2 does not open it
    Repository,     // libgit2 opens it, and git is not writing it
    BeingWritten,   // libgit2 opens it, but git is writing it: a clone or a fetch
  };
  Outcome outcome = Outcome::NotRepository;
  // A git folder is there that libgit2 locates, whether or not it opens it
  // (another owner, an unknown format): a walk never goes below one.
  bool located = false;
  // Located, and the folder or its git folder belongs to another user than
  // the one this process runs as, which libgit2 refuses.
  bool foreignOwner = false;
  // NotRepository, when asked for: libgit2's own message; when undecided,
  // why libgit2 could not be loaded.
  std::string reason;
  // NotRepository because only libgit2 could tell, and it cannot be
  // loaded: located is then true, so that a walk does not go below it.
  bool undecided = false;
  // The folder's device and inode; set for a repository, or one being written.
  dev_t device = 0;
  ino_t inode = 0;

  bool opens() const { return outcome != Outcome::NotRepository; }
};

// The repository test of every scan: whether libgit2 opens the entry `name`
// of the folder open as dirFd as a git repository of its own (working tree,
// linked worktree, bare; parent folders are never searched), the way the app
// opens one, and whether git is still writing it. path is the same entry's
// absolute path, which libgit2 takes where the layout leaves a doubt and
// names in its messages. dirFd may be AT_FDCWD with path as name. With
// withReason, a folder that is no repository gets libgit2's message. Any
// thread.
RepositoryTestResult testRepositoryAt(int dirFd, const char* name, const std::string& path,
                                      bool withReason = false);
// Whether a git folder is there that libgit2 locates (the `located` of
// the test), found with the least work: what the walk needs to know of a
// folder that it does not register.
bool locatedAt(int dirFd, const char* name, const std::string& path);
// The same test for an absolute path.
RepositoryTestResult testRepository(const std::string& path, bool withReason = false);

// libgit2's answer alone: the open that the app makes (the repository's
// configuration, its format and extensions, its owner). The reference that
// the fast path must agree with.
bool openedByLibgit2(const std::string& path, std::string* reason = nullptr);

}  // namespace zivuv::discovery
