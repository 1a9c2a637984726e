#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BookmarkStoreFixture.h"
#include "support/Process.h"

namespace zivuv {
namespace {

using namespace std::chrono_literals;
using testing::Process;
using testing::Stream;

// A store_writer process adding `folders` to `suite`; each add that
// returned shows as an "added <path>" line on its standard error.
std::unique_ptr<Process> startWriter(const std::string& suite, std::vector<std::string> folders) {
  folders.insert(folders.begin(), {STORE_WRITER_PATH, suite});
  return std::make_unique<Process>(folders);
}

// The adds that a writer reported as returned.
std::vector<std::string> added(const Process& writer) {
  std::vector<std::string> paths;
  for (const auto& line : writer.lines(Stream::Err)) {
    EXPECT_TRUE(line.starts_with("added ")) << line;
    paths.push_back(line.substr(6));
  }
  return paths;
}

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
  const auto a = startWriter(suite(), first), b = startWriter(suite(), second);
  EXPECT_EQ(a->waitExit(testing::deadlineIn(120s)), 0) << a->transcript();
  EXPECT_EQ(b->waitExit(testing::deadlineIn(120s)), 0) << b->transcript();
  std::multiset<std::string> expected(first.begin(), first.end()), reported;
  expected.insert(second.begin(), second.end());
  for (const auto& path : added(*a)) reported.insert(path);
  for (const auto& path : added(*b)) reported.insert(path);
  EXPECT_EQ(reported, expected);
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
    const auto writer = startWriter(suite(), order);
    // The kill lands after a random number of returned adds, at a random
    // point of the next one.
    const auto before = std::uniform_int_distribution<std::size_t>(0, 8)(random);
    (void)writer->waitForLines(Stream::Err, [](const std::string&) { return true; }, before,
                               testing::deadlineIn(60s));
    for (int spin = std::uniform_int_distribution<int>(0, 3000)(random); spin > 0; --spin)
      ::sched_yield();
    writer->signal(SIGKILL);
    ASSERT_TRUE(writer->waitExit(testing::deadlineIn(60s)));
    for (const auto& path : added(*writer)) returned.insert(path);

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
