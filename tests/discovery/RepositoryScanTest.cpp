// The scan on real folders, real repositories and real settings files.

#include "discovery/RepositoryScan.h"
#include "fakes/TestSupport.h"
#include "platform/scope/SecurityScope.h"

namespace zivuv::discovery {
namespace {

struct Notices final : NoticeCenter {
  void postDistributedNotification(const NotificationName&, const std::string&) override { ++count; }
  void deliverNotification(const std::string&, const std::string&) override { ++count; }
  int count = 0;
};

class ScanTest : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    ::setenv("ZIVUV_LOG", "stderr", 1);
    watched_ = makeFolder("watched");
  }
  // One scan; security-scoped access must be balanced whatever happened.
  ScanOutcome scan(std::optional<FileURL> url) {
    const auto before = platform::SecurityScope::totalOpenCount();
    ::testing::internal::CaptureStderr();
    ScanOutcome outcome;
    printed_ = testing::printed([&] { outcome = scanForNewRepositories(url, notices_, settings_); });
    log_ = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(platform::SecurityScope::totalOpenCount(), before) << "unbalanced access";
    return outcome;
  }
  ScanOutcome scan() { return scan(FileURL::fromPath(watched_, true).withSecurityScope()); }

  std::string watched_, printed_, log_;
  Notices notices_;
  ScanSettings settings_;
};

TEST_F(ScanTest, StopsBeforeTheSharedSuiteWithoutAFolderItMayRead) {
  platform::Faults::setRefuseAccess(watched_);
  const FileURL plain = FileURL::fromPath(watched_, true);
  for (const auto& url : {std::optional<FileURL>(), std::optional(plain), std::optional(plain.withSecurityScope())}) {
    EXPECT_EQ(scan(url).registered, 0);
    EXPECT_EQ(log_, "error No monitoring URL to check!\n");
  }
  EXPECT_FALSE(fs::exists(root_ + "/config"));
}

TEST_F(ScanTest, DeadEntriesAreToldOncePerScanHoweverManyFoldersItAdds) {
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(testing::gitInit(watched_ + "/r" + std::to_string(i)));
  const std::string gone = makeFolder("gone");
  testing::storeList(sharedSuiteName(), "kSandboxKey",
                     {*platform::createBookmark(gone, platform::BookmarkKind::Transport).data});
  fs::remove(gone);
  EXPECT_EQ(scan().registered, 20);
  EXPECT_EQ(testing::countLines(log_, "info Checked and have more than one new repos"), 1u);
  EXPECT_EQ(printed_, "No previous bookmarks\nError resolving from transport data:no folder at " + gone + "\n");
  EXPECT_EQ(platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey")->size(), 21u);
  EXPECT_EQ(notices_.count, 2);
}

}  // namespace
}  // namespace zivuv::discovery
