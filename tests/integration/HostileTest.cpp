// Conditions broken on purpose: the watched folder deleted, moved or
// replaced; the service killed in the middle of a batch, again and again.

#include <random>
#include <set>
#include <thread>

#include "ServiceFixture.h"

namespace zivuv::testing {
namespace {

class HostileTest : public ServiceFixture {};

TEST_F(HostileTest, DeletedWatchedFolderFallsSilentAndANewOneCanBeWatched) {
  startService();
  watchFolder(watched());
  fs::remove_all(watched());
  ASSERT_TRUE(waitForLog("debug Timer event has fired", 1, deadlineIn(30s)));
  ASSERT_TRUE(waitForLog("error No monitoring URL to check!"));
  // The kernel dropped the watch: no further events, no busy loop.
  ASSERT_TRUE(client_->verifyAgent().has_value());
  EXPECT_LE(logCount("debug File Has Changed, Setting Timer"), 2u);
  EXPECT_EQ(logCount("debug Checking For New Repositories"), 1u);

  const fs::path next = dir_ / "next";
  fs::create_directories(next);
  ASSERT_TRUE(client_->reset());
  watchFolder(next);
  ASSERT_TRUE(gitInit(next / "repo"));
  ASSERT_TRUE(waitForLog("info Checked and have one new repo", 1, deadlineIn(30s)));
}

TEST_F(HostileTest, FolderReplacedUnderTheSameNameIsScannedByName) {
  startService();
  watchFolder(watched());
  fs::rename(watched(), dir_ / "moved-away");
  fs::create_directories(watched());
  makeRepository("fresh");
  ASSERT_TRUE(waitForLog("debug Timer event has fired", 1, deadlineIn(30s)));
  ASSERT_TRUE(waitForLog("info Checked and have one new repo"));
  EXPECT_EQ(listedPaths(), std::vector<std::string>{folderInWatched("fresh")});
  // Watching it again puts the watch on the new folder.
  watchFolder(watched());
  makeRepository("later");
  ASSERT_TRUE(waitForLog("info Checked and have one new repo", 2, deadlineIn(30s)));
}

TEST_F(HostileTest, KilledDuringBatchesTheSuiteStaysWholeAndEachRepositoryLandsOnce) {
#ifdef ZIVUV_SANITIZED
  constexpr int kRepositories = 300;
  constexpr int kKills = 15;
#else
  constexpr int kRepositories = 1000;
  constexpr int kKills = 50;
#endif
  for (int i = 0; i < kRepositories; ++i) makeBareBonesRepository("r" + std::to_string(i));
  std::mt19937 random(20261206);
  startService();
  watchFolder(watched());
  for (int round = 0; round < kKills; ++round) {
    if (round > 0) startService();  // restores the watched folder by itself
    // New repositories appear between rounds, so each batch has work.
    makeBareBonesRepository("late" + std::to_string(round));
    ASSERT_TRUE(client_->send(folderMonitorTarget(), "checkFolderNowWithCompletion",
                              [](sd_bus_message*) { return 0; }));
    ASSERT_TRUE(waitForLog("debug Checking For New Repositories"));
    // Kill somewhere in the batch: anywhere from before the first load to
    // after the write.
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 60000));
    stopService();
    if (fs::exists(suiteFile())) {
      ASSERT_TRUE(platform::DefaultsStore::openSuite(sharedSuiteName()).has_value())
          << "round " << round << ": the suite no longer parses";
    }
  }
  startService();
  (void)client_->checkFolderNow();
  const auto listed = listedPaths();
  std::set<std::string> unique(listed.begin(), listed.end());
  EXPECT_EQ(unique.size(), listed.size()) << "a repository registered twice";
  EXPECT_EQ(listed.size(), static_cast<std::size_t>(kRepositories + kKills));
  EXPECT_EQ(client_->checkFolderNow(), std::optional<std::int64_t>(0));
}

}  // namespace
}  // namespace zivuv::testing
