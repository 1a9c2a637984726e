#pragma once

#include <filesystem>
#include <string>

namespace zivuv::testing {

// Real repositories made with the git command (posix_spawn, no shell),
// isolated from the machine's and the user's git configuration. Each
// returns false (and leaves what it made) when a step fails; `error`, when
// given, receives git's output.

// `git init -q <path>`: a repository with a work tree, no commits.
bool gitInit(const std::filesystem::path& path, std::string* error = nullptr);

// A bare repository at `barePath` holding one empty commit on "main", and a
// linked work tree of it at `worktreePath` (`git worktree add`): a folder
// whose `.git` is a file pointing into the bare repository.
bool gitBareWithWorktree(const std::filesystem::path& barePath,
                         const std::filesystem::path& worktreePath, std::string* error = nullptr);

}  // namespace zivuv::testing
