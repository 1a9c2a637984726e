#include "support/Git.h"

#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "support/Process.h"

namespace zivuv::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kGitTimeout = 30s;

// Only what the tests pass decides what git does.
const std::map<std::string, std::optional<std::string>>& gitEnvironment() {
  static const std::map<std::string, std::optional<std::string>> env{
      {"GIT_CONFIG_NOSYSTEM", "1"},
      {"GIT_CONFIG_GLOBAL", "/dev/null"},
      {"GIT_AUTHOR_NAME", "Zivuv Tests"},
      {"GIT_AUTHOR_EMAIL", "tests@zivuv.invalid"},
      {"GIT_COMMITTER_NAME", "Zivuv Tests"},
      {"GIT_COMMITTER_EMAIL", "tests@zivuv.invalid"},
      {"GIT_DIR", std::nullopt},
      {"GIT_WORK_TREE", std::nullopt},
      {"GIT_INDEX_FILE", std::nullopt},
      {"LC_ALL", "C"},
  };
  return env;
}

// Runs git with `args`; its first line of output, or nullopt on failure.
std::optional<std::string> git(std::vector<std::string> args, std::string* error) {
  args.insert(args.begin(), "git");
  const auto result = runCommand(args, gitEnvironment(), Clock::now() + kGitTimeout);
  if (!result || result->status != 0) {
    if (error) {
      *error = "failed:";
      for (const auto& arg : args) *error += " " + arg;
      if (result) {
        for (const auto& line : result->err) *error += "\n" + line;
      }
    }
    return std::nullopt;
  }
  return result->out.empty() ? std::string() : result->out.front();
}

}  // namespace

bool gitInit(const std::filesystem::path& path, std::string* error) {
  return git({"init", "-q", path.string()}, error).has_value();
}

bool gitBareWithWorktree(const std::filesystem::path& barePath,
                         const std::filesystem::path& worktreePath, std::string* error) {
  const std::string bare = barePath.string();
  if (!git({"init", "-q", "--bare", "--initial-branch=main", bare}, error)) return false;
  // A work tree needs a commit to check out: one empty commit, made with
  // plumbing because a bare repository has no index to commit from.
  const auto tree = git({"-C", bare, "hash-object", "-t", "tree", "-w", "/dev/null"}, error);
  if (!tree || tree->empty()) return false;
  const auto commit = git({"-C", bare, "commit-tree", *tree, "-m", "initial"}, error);
  if (!commit || commit->empty()) return false;
  if (!git({"-C", bare, "update-ref", "refs/heads/main", *commit}, error)) return false;
  return git({"-C", bare, "worktree", "add", "-q", worktreePath.string(), "main"}, error)
      .has_value();
}

}  // namespace zivuv::testing
