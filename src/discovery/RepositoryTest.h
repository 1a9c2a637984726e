#pragma once

#include <string>

namespace zivuv::discovery {

// The repository test of every scan: whether the entry `name` of the folder
// open as dirFd is itself a git repository (working tree, linked worktree,
// bare); parent folders are never searched. path is the same entry's
// absolute path, which libgit2 takes where the layout leaves a doubt and
// names in its messages. dirFd may be AT_FDCWD with path as name. With
// reason, a folder that is not one gets libgit2's own message. Any thread.
bool isRepositoryAt(int dirFd, const char* name, const std::string& path,
                    std::string* reason = nullptr);
// The same test for an absolute path.
bool isGitRepository(const std::string& path, std::string* reason = nullptr);
// libgit2's answer alone (the locate-only call); the reference that the
// fast path must agree with.
bool locatedByLibgit2(const std::string& path, std::string* reason = nullptr);

}  // namespace zivuv::discovery
