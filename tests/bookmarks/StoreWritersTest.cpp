#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BookmarkStoreFixture.h"

extern char** environ;

namespace zivuv {
namespace {

// A store_writer process: its "added <path>" lines come through a pipe.
class Writer {
 public:
  Writer(const std::string& suite, const std::vector<std::string>& folders) {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    std::vector<std::string> args{STORE_WRITER_PATH, suite};
    args.insert(args.end(), folders.begin(), folders.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    EXPECT_EQ(::posix_spawn(&pid_, STORE_WRITER_PATH, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = ::fdopen(fds[0], "r");
  }
  ~Writer() {
    if (pid_ > 0) {
      kill();
      wait();
    }
    std::fclose(out_);
  }

  // The path of the next "added" line; nullopt once the writer is gone.
  std::optional<std::string> nextAdded() {
    char* line = nullptr;
    std::size_t size = 0;
    const ssize_t n = ::getline(&line, &size, out_);
    std::optional<std::string> path;
    if (n > 0) path = std::string(line, static_cast<std::size_t>(n));
    std::free(line);
    if (!path) return std::nullopt;
    EXPECT_TRUE(path->starts_with("added ") && path->ends_with("\n")) << *path;
    return path->substr(6, path->size() - 7);
  }

  void kill() { ::kill(pid_, SIGKILL); }

  int wait() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

class StoreWriters : public testing::BookmarkStoreTest {
 protected:
  std::vector<std::string> makeFolders(const std::string& prefix, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(folder(prefix + std::to_string(i)).path());
    return paths;
  }

  // The paths recorded in the suite's list; fails when the file does not parse.
  std::multiset<std::string> listedPaths() {
    std::multiset<std::string> paths;
    const auto store = platform::DefaultsStore::openSuite(suite());
    EXPECT_TRUE(store.has_value()) << "the settings file does not parse";
    if (!store) return paths;
    for (const Data& d : store->dataArray("kSandboxKey").value_or(std::vector<Data>{})) {
      std::string path;
      EXPECT_EQ(platform::validateBookmark(d, platform::BookmarkKind::Transport, &path), "");
      paths.insert(path);
    }
    return paths;
  }
};

TEST_F(StoreWriters, TwoProcessesAddingAtOnceLoseNothing) {
  const auto first = makeFolders("p", 300), second = makeFolders("q", 300);
  std::multiset<std::string> added;
  {
    Writer a(suite(), first), b(suite(), second);
    while (auto path = a.nextAdded()) added.insert(*path);
    while (auto path = b.nextAdded()) added.insert(*path);
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
  }
  std::multiset<std::string> expected(first.begin(), first.end());
  expected.insert(second.begin(), second.end());
  EXPECT_EQ(added, expected);
  EXPECT_EQ(listedPaths(), expected);
}

TEST_F(StoreWriters, KilledWriterLeavesEveryReturnedAdd) {
  const auto pool = makeFolders("k", 40);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::set<std::string> returned;
  for (int round = 0; round < 30; ++round) {
    std::vector<std::string> order = pool;
    std::shuffle(order.begin(), order.end(), random);
    Writer writer(suite(), order);
    // The kill lands after a random number of returned adds, at a random
    // point of the next one.
    const int before = std::uniform_int_distribution<int>(0, 8)(random);
    for (int i = 0; i < before; ++i) {
      if (auto path = writer.nextAdded()) returned.insert(*path);
    }
    for (int spin = std::uniform_int_distribution<int>(0, 3000)(random); spin > 0; --spin)
      ::sched_yield();
    writer.kill();
    while (auto path = writer.nextAdded()) returned.insert(*path);
    writer.wait();

    const std::multiset<std::string> listed = listedPaths();
    for (const auto& path : returned)
      EXPECT_EQ(listed.count(path), 1u) << "round " << round << ": " << path;
    for (const auto& path : listed) EXPECT_TRUE(std::count(pool.begin(), pool.end(), path)) << path;
    if (HasFailure()) break;
  }
  EXPECT_FALSE(returned.empty());
}

}  // namespace
}  // namespace zivuv
