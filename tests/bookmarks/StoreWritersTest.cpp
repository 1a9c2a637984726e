// Two processes writing one settings file, and a writer killed in the middle
// of a write: no entry is lost, and the file always reads.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <random>
#include <set>
#include <thread>

#include "bookmarks/BookmarkUtils.h"
#include "fakes/TestSupport.h"

extern char** environ;

namespace zivuv {
namespace {

using namespace std::chrono_literals;

class StoreWriters : public testing::TempConfigTest {
 protected:
  // A writer adding folders; its pid.
  pid_t start(const std::vector<std::string>& folders) {
    std::vector<std::string> args{STORE_WRITER_PATH, sharedSuiteName(), root_ + "/report"};
    args.insert(args.end(), folders.begin(), folders.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }
  static int wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }
  std::vector<std::string> folders(const std::string& prefix, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(makeFolder(prefix + std::to_string(i)));
    return paths;
  }
  // The recorded paths; fails when the file does not parse.
  std::multiset<std::string> listed() {
    std::multiset<std::string> paths;
    const auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
    EXPECT_TRUE(store) << "the settings file does not parse";
    for (const Data& d : store ? store->dataArray("kSandboxKey").value_or(std::vector<Data>{})
                               : std::vector<Data>{}) {
      std::string path;
      EXPECT_EQ(platform::validateBookmark(d, platform::BookmarkKind::Transport, &path), "");
      paths.insert(path);
    }
    return paths;
  }
  std::set<std::string> reported() {
    std::set<std::string> paths;
    std::istringstream lines(testing::readFile(root_ + "/report"));
    for (std::string line; std::getline(lines, line);) paths.insert(line);
    return paths;
  }
};

TEST_F(StoreWriters, TwoProcessesAddingAtOnceLoseNothing) {
  const auto first = folders("p", 200), second = folders("q", 200);
  const pid_t a = start(first), b = start(second);
  EXPECT_EQ(wait(a), 0);
  EXPECT_EQ(wait(b), 0);
  std::multiset<std::string> expected(first.begin(), first.end());
  expected.insert(second.begin(), second.end());
  EXPECT_EQ(listed(), expected);
}

TEST_F(StoreWriters, KilledWriterLeavesAWholeFileWithEveryReturnedAdd) {
  const auto pool = folders("k", 40);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  for (int round = 0; round < 30 && !HasFailure(); ++round) {
    const pid_t writer = start(pool);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
    ::kill(writer, SIGKILL);
    (void)wait(writer);
    const auto present = listed();
    for (const auto& path : reported()) EXPECT_EQ(present.count(path), 1u) << path;
  }
  EXPECT_FALSE(reported().empty());
}

}  // namespace
}  // namespace zivuv
