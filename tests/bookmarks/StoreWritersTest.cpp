// Two processes writing one settings file at once, one of them killed in the
// middle of a write: no returned add is lost, and the file always reads.

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

class StoreWriters : public testing::TempConfigTest {
 protected:
  // A writer adding folders and reporting each add that returned; its pid.
  pid_t start(const std::string& report, std::vector<std::string> args) {
    args.insert(args.begin(), {STORE_WRITER_PATH, sharedSuiteName(), root_ + "/" + report});
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }
  std::vector<std::string> folders(const std::string& prefix, int count) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) paths.push_back(makeFolder(prefix + std::to_string(i)));
    return paths;
  }
};

TEST_F(StoreWriters, NoReturnedAddIsLostToASecondWriterOrToAKill) {
  const auto steady = folders("p", 200), killed = folders("k", 40);
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const pid_t other = start("steady", steady);
  const auto reported = [&] {
    const std::string text = testing::readFile(root_ + "/killed");
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  };
  for (int round = 0; round < 30 && !HasFailure(); ++round) {
    // Killed after a few returned adds, somewhere in the next one.
    const std::size_t after = reported() + random() % 4;
    const pid_t writer = start("killed", killed);
    for (int wait = 0; wait < 2000 && reported() < after; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    const auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
    ASSERT_TRUE(store) << "the settings file does not parse, round " << round;
  }
  int status = 1;
  ::waitpid(other, &status, 0);
  EXPECT_EQ(status, 0);

  std::multiset<std::string> listed;
  const auto entries = platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey");
  for (const Data& d : entries.value()) {
    std::string path;
    EXPECT_EQ(platform::validateBookmark(d, platform::BookmarkKind::Transport, &path), "");
    listed.insert(path);
  }
  for (const char* report : {"steady", "killed"}) {
    std::istringstream lines(testing::readFile(root_ + "/" + report));
    for (std::string path; std::getline(lines, path);) EXPECT_EQ(listed.count(path), 1u) << path;
  }
  for (const auto& path : steady) EXPECT_EQ(listed.count(path), 1u) << path;
  EXPECT_FALSE(testing::readFile(root_ + "/killed").empty());
}

}  // namespace
}  // namespace zivuv
