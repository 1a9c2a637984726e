// The scan on real folders, real repositories and real settings files.

#include <fcntl.h>
#include <plist/plist.h>
#include <sys/file.h>

#include <set>

#include "discovery/RepositoryScan.h"
#include "fakes/TestSupport.h"
#include "platform/fd/UniqueFd.h"
#include "platform/scope/SecurityScope.h"

namespace zivuv::discovery {
namespace {

struct Notices final : NoticeCenter {
  void postDistributedNotification(const NotificationName&, const std::string&) override { ++count; }
  void deliverNotification(const std::string&, const std::string&) override {
    ++count;
    ++delivered;
  }
  int count = 0;
  int delivered = 0;
};

// Transport data recording the folder at real with the path recorded.
platform::Data recordedAs(const std::string& real, const std::string& recorded) {
  auto data = *platform::createBookmark(real, platform::BookmarkKind::Transport).data;
  data.resize(24);
  for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(recorded.size() >> (8 * i)));
  data.insert(data.end(), recorded.begin(), recorded.end());
  return data;
}

class ScanTest : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    ::setenv("ZIVUV_LOG", "stderr", 1);
    watched_ = makeFolder("watched");
  }
  // One scan; security-scoped access must be balanced whatever happened.
  ScanOutcome scan(std::optional<FileURL> url, const WalkOpened& opened = {}) {
    const auto before = platform::SecurityScope::totalOpenCount();
    ::testing::internal::CaptureStderr();
    ScanOutcome outcome;
    printed_ = testing::printed([&] { outcome = scanForNewRepositories(url, notices_, settings_, {}, opened); });
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
    const auto outcome = scan(url);
    EXPECT_EQ(outcome.registered, 0);
    EXPECT_FALSE(outcome.ran);
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

TEST_F(ScanTest, AListedRepositoryIsMovedOnlyWhenGoneFromAFileSystemStillThere) {
  ASSERT_TRUE(testing::gitInit(watched_ + "/now"));
  const std::string kept = makeFolder("kept");
  struct Case {
    std::string recorded;
    bool moved;
  };
  // Gone from its file system; on one that is not there (its nearest
  // parent lies on another device); another folder at its path now.
  for (const Case& c : {Case{root_ + "/was\nhere", true}, Case{"/proc/gone/repository", false}, Case{kept, false}}) {
    const auto entry = recordedAs(watched_ + "/now", c.recorded);
    testing::storeList(sharedSuiteName(), "kSandboxKey", {entry});
    notices_ = {};
    EXPECT_EQ(scan().registered, c.moved ? 0 : 1) << c.recorded;
    const auto stored = platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey").value();
    const auto now = platform::createBookmark(watched_ + "/now", platform::BookmarkKind::Transport).data;
    const auto expected = c.moved ? std::vector<platform::Data>{*now} : std::vector<platform::Data>{entry, *now};
    EXPECT_EQ(stored, expected) << c.recorded;
    EXPECT_EQ(testing::countLines(log_, "info Moved " + root_ + "/was\\x0Ahere to " + watched_ + "/now"), c.moved ? 1u : 0u);
    EXPECT_EQ(notices_.count - notices_.delivered, 1);  // DefaultsChanged, and a notice only for a new one
    EXPECT_EQ(notices_.delivered, c.moved ? 0 : 1);
  }
}

TEST_F(ScanTest, DeepWalkRegistersEachRepositoryOnceAndNeverLooksInsideOne) {
  settings_.depth = 3;
  for (const char* repo : {"host/owner/a", "host/owner/b", "host/top", "host/owner/b/vendor/dep",
                           "host/owner/node_modules/pkg", "blocked/owner/c", ".hidden/owner/d",
                           "host/owner/plain/deeper", "listed", "listed/sub/e"}) {
    ASSERT_TRUE(testing::gitInit(watched_ + "/" + repo));
  }
  fs::create_symlink(watched_ + "/host", watched_ + "/link");
  testing::storeList(sharedSuiteName(), "kBlockedKey",
                     {*platform::createBookmark(watched_ + "/blocked", platform::BookmarkKind::Transport).data});
  testing::storeList(sharedSuiteName(), "kSandboxKey",
                     {*platform::createBookmark(watched_ + "/listed", platform::BookmarkKind::Transport).data});
  const auto outcome = scan();
  EXPECT_EQ(outcome.registered, 3);
  std::set<std::string> listed;
  const auto stored = platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey");
  for (const auto& data : stored.value()) {
    std::string path;
    (void)platform::validateBookmark(data, platform::BookmarkKind::Transport, &path);
    listed.insert(path.substr(watched_.size() + 1));
  }
  EXPECT_EQ(listed, (std::set<std::string>{"listed", "host/owner/a", "host/owner/b", "host/top"}));
  // Walked: the folders whose subfolders are candidates, and nothing else.
  std::set<std::string> walked;
  for (const auto& folder : outcome.walked) walked.insert(folder.path);
  EXPECT_EQ(walked, (std::set<std::string>{watched_, watched_ + "/host", watched_ + "/host/owner"}));
  std::set<std::string> failed;
  for (const auto& candidate : outcome.notRepositories) {
    failed.insert(candidate.path);
    EXPECT_GT(candidate.changed, std::chrono::system_clock::now() - std::chrono::minutes(1));
  }
  EXPECT_EQ(failed, (std::set<std::string>{watched_ + "/host", watched_ + "/host/owner",
                                           watched_ + "/host/owner/plain"}));
}

TEST_F(ScanTest, EachFolderIsHandedOverOpenBeforeTheWalkListsIt) {
  settings_.depth = 2;
  fs::create_directories(watched_ + "/a");
  std::vector<std::string> opened;
  const auto outcome = scan(FileURL::fromPath(watched_, true).withSecurityScope(), [&](const WalkedFolder& folder) {
    opened.push_back(folder.path);
    EXPECT_TRUE(testing::gitInit(folder.path + "/made"));  // the listing that follows sees it
  });
  EXPECT_EQ(opened, std::vector<std::string>{watched_ + "/a"});
  EXPECT_EQ(outcome.registered, 1);
}

TEST_F(ScanTest, WhatTheAppWritesDuringTheWalkIsKeptAndWhatItBlocksIsNotRegistered) {
  settings_.depth = 2;
  fs::create_directories(watched_ + "/plain");
  for (const char* name : {"new", "blocked", "moved"}) ASSERT_TRUE(testing::gitInit(watched_ + "/" + name));
  const auto record = [](const std::string& path) {
    return *platform::createBookmark(path, platform::BookmarkKind::Transport).data;
  };
  // An entry of the folder now at watched/moved, recorded where it was.
  testing::storeList(sharedSuiteName(), "kSandboxKey", {recordedAs(watched_ + "/moved", root_ + "/was")});
  const auto added = record(makeFolder("added"));
  const auto outcome = scan(FileURL::fromPath(watched_, true).withSecurityScope(), [&](const WalkedFolder&) {
    // The walk holds no lock: the app writes as it pleases meanwhile. It
    // lists a folder of its own, drops the entry that was moved and blocks
    // a repository the walk has met.
    const platform::UniqueFd lock(::open((settingsFile(sharedSuiteName()) + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
      ADD_FAILURE() << "the walk holds the shared settings' lock";
      return;
    }
    (void)::flock(lock.get(), LOCK_UN);
    testing::storeList(sharedSuiteName(), "kSandboxKey", {added});
    testing::storeList(sharedSuiteName(), "kBlockedKey", {record(watched_ + "/blocked")});
  });
  EXPECT_EQ(outcome.registered, 1);
  const auto stored = platform::DefaultsStore::openSuite(sharedSuiteName());
  EXPECT_EQ(stored->dataArray("kSandboxKey"), (std::vector<platform::Data>{added, record(watched_ + "/new")}));
  EXPECT_EQ(stored->dataArray("kBlockedKey"), std::vector<platform::Data>{record(watched_ + "/blocked")});
  EXPECT_EQ(testing::countLines(log_, "info Existing or blocked folder: " + watched_ + "/blocked"), 1u);
  EXPECT_EQ(log_.find("info Moved "), std::string::npos) << "its entry is gone: nothing to move";
}

TEST_F(ScanTest, SettingsOfTheWrongTypeOrOutOfRangeReadAsTheDefault) {
  const std::string own = settingsFile(standardDomainName());
  struct Case {
    const char* body;
    int depth;
    std::vector<std::string> ignored;
    std::vector<std::string> invalid;
  };
  const Case cases[] = {
      {"", 1, {"node_modules"}, {}},
      {"<key>scanDepth</key><integer>8</integer><key>ignoredFolders</key><array><string>b*</string></array>",
       8, {"b*"}, {}},
      {"<key>scanDepth</key><integer>9</integer><key>ignoredFolders</key><array/>", 1, {}, {"scanDepth"}},
      {"<key>scanDepth</key><integer>0</integer>", 1, {"node_modules"}, {"scanDepth"}},
      {"<key>scanDepth</key><integer>-1</integer>", 1, {"node_modules"}, {"scanDepth"}},
      {"<key>scanDepth</key><string>3</string><key>ignoredFolders</key><string>x</string>", 1,
       {"node_modules"}, {"scanDepth", "ignoredFolders"}},
      {"<key>ignoredFolders</key><array><string>a</string><integer>1</integer></array>", 1,
       {"node_modules"}, {"ignoredFolders"}},
  };
  for (const auto& c : cases) {
    testing::writeFile(own, std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") + c.body +
                                "</dict></plist>");
    const auto loaded = loadScanSettings();
    EXPECT_EQ(loaded.settings.depth, c.depth) << c.body;
    EXPECT_EQ(loaded.settings.ignoredFolders, c.ignored) << c.body;
    std::vector<std::string> keys;
    for (const auto& bad : loaded.invalid) keys.push_back(bad.key);
    EXPECT_EQ(keys, c.invalid) << c.body;
  }
}

TEST(ScanSettingsTest, PatternsMatchNamesOrRelativePaths) {
  // Each form against git's own reading is FolderPatternTest's; here, the
  // first pattern that matches is the one named.
  ScanSettings deep;
  deep.depth = 2;
  deep.ignoredFolders = {"node_modules", "vendor/*"};
  EXPECT_EQ(deep.ignoredBy("lib", "vendor/lib"), "vendor/*");
  EXPECT_EQ(deep.ignoredBy("node_modules", "vendor/node_modules"), "node_modules");
  EXPECT_EQ(deep.ignoredBy("src", "src"), std::nullopt);
  ScanSettings shallow;  // the default list leaves a scan of depth 1 as it was
  EXPECT_EQ(shallow.ignoredBy("node_modules", "node_modules"), std::nullopt);
  shallow.ignoredFoldersSet = true;
  EXPECT_EQ(shallow.ignoredBy("node_modules", "node_modules"), "node_modules");
}

}  // namespace
}  // namespace zivuv::discovery
