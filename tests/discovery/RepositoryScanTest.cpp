// The scan on real folders, real repositories and real settings files.

#include <set>

#include "discovery/RepositoryScan.h"
#include "fakes/TestSupport.h"
#include "platform/scope/SecurityScope.h"

namespace zivuv::discovery {
namespace {

using testing::gitInit;

struct FakeNotices final : NoticeCenter {
  void postDistributedNotification(const NotificationName& name, const std::string& object) override {
    calls.push_back("post " + name.text() + " " + object);
  }
  void deliverNotification(const std::string& title, const std::string& text) override {
    calls.push_back("notice " + title + " / " + text);
  }
  std::vector<std::string> calls;
};

class ScanTest : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    ::setenv("ZIVUV_LOG", "stderr", 1);
    watched_ = makeFolder("watched");
  }
  std::string repo(const std::string& name, bool bare = false) {
    const std::string path = name.starts_with('/') ? name : watched_ + "/" + name;
    EXPECT_TRUE(gitInit(path, bare)) << path;
    return path;
  }
  // One scan; security-scoped access must be balanced whatever happened.
  ScanOutcome scan(std::optional<FileURL> url) {
    const auto before = platform::SecurityScope::totalOpenCount();
    ::testing::internal::CaptureStderr();
    ScanOutcome outcome;
    printed_ = testing::printed([&] { outcome = scanForNewRepositories(url, notices_); });
    log_ = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(platform::SecurityScope::totalOpenCount(), before) << "unbalanced access";
    return outcome;
  }
  ScanOutcome scan() { return scan(FileURL::fromPath(watched_, true).withSecurityScope()); }
  bool logged(const std::string& line) const { return log_.find(line + "\n") != std::string::npos; }
  // The paths of the stored entries that resolve, in stored order.
  static std::vector<std::string> listed() {
    std::vector<std::string> paths;
    const auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
    for (const auto& d : store->dataArray("kSandboxKey").value_or(std::vector<Data>{})) {
      const auto url = platform::resolveBookmark(d, platform::BookmarkKind::Transport).url;
      if (url) paths.push_back(url->path());
    }
    return paths;
  }
  std::vector<std::string> inListingOrder(const std::set<std::string>& names) const {
    std::vector<std::string> paths;
    for (const auto& url : listSubfolders(FileURL::fromPath(watched_, true))) {
      if (names.contains(url.lastPathComponent())) paths.push_back(url.path());
    }
    return paths;
  }

  std::string watched_, printed_, log_;
  FakeNotices notices_;
};

TEST_F(ScanTest, RegistersVisibleImmediateRepositoriesOnceInListingOrder) {
  for (const char* name : {"alpha", "beta", "gamma", ".hidden", "plain/inner"}) repo(name);
  testing::writeFile(watched_ + "/notes.txt", "not a folder");
  fs::create_directory_symlink(repo(root_ + "/elsewhere"), watched_ + "/link");

  const auto first = scan();
  EXPECT_EQ(first.registered, 3);
  EXPECT_EQ(first.notRepositories, std::vector<std::string>{watched_ + "/plain"});
  const auto expected = inListingOrder({"alpha", "beta", "gamma"});
  EXPECT_EQ(listed(), expected);
  EXPECT_EQ(notices_.calls,
            (std::vector<std::string>{
                "post com.rudirideva.Zivuv.DefaultsChanged com.dozezeza.Zivuv",
                "notice 3 Repositories Added / Zivuv is now monitoring 3 more repositories"}));
  EXPECT_TRUE(logged("info Failed to create repo for " + watched_ + "/plain"));
  EXPECT_TRUE(logged("info Checked and have more than one new repos"));
  for (const char* unseen : {".hidden", "notes.txt", "link", "inner"}) {
    EXPECT_EQ(log_.find(unseen), std::string::npos) << unseen;
  }

  notices_.calls.clear();
  EXPECT_EQ(scan().registered, 0);
  for (const auto& path : expected) EXPECT_TRUE(logged("info Existing or blocked folder: " + path));
  EXPECT_TRUE(logged("info Checked and no new repos"));
  EXPECT_TRUE(notices_.calls.empty());
}

TEST_F(ScanTest, RepositoryKindsAndBrokenGitFolders) {
  repo(watched_);  // its plain subfolder must not count through a parent search
  makeFolder("watched/plain");
  repo("bare", true);
  const std::string main = repo(root_ + "/main");
  ASSERT_EQ(std::system(("git -C '" + main + "' -c user.name=t -c user.email=t@t commit -q "
                         "--allow-empty -m x && git -C '" + main + "' worktree add -q '" +
                         watched_ + "/linked'").c_str()),
            0);
  makeFolder("watched/emptygit/.git");
  testing::writeFile(watched_ + "/dangling/.git", "gitdir: " + root_ + "/nowhere\n");
  testing::writeFile(watched_ + "/headonly/HEAD", "ref: refs/heads/main\n");

  const auto outcome = scan();
  EXPECT_EQ(outcome.registered, 2);
  const auto registered = listed();
  EXPECT_EQ(std::set<std::string>(registered.begin(), registered.end()),
            (std::set<std::string>{watched_ + "/linked", watched_ + "/bare"}));
  EXPECT_EQ(outcome.notRepositories.size(), 4u);
}

TEST_F(ScanTest, BlockedAndListedFoldersAreSkippedAndOneNewRepositoryIsNamed) {
  const std::string alpha = repo("alpha"), beta = repo("beta"), gamma = repo("gamma");
  auto record = [](const std::string& p) {
    return *platform::createBookmark(p, platform::BookmarkKind::Transport).data;
  };
  {
    const auto lock = platform::DefaultsLock::acquire(sharedSuiteName());
    auto store = platform::DefaultsStore::openDomain(sharedSuiteName());
    store.setDataArray("kSandboxKey", {record(beta)});
    store.setDataArray("kBlockedKey", {record(alpha), record(beta)});
    ASSERT_TRUE(store.write(*lock));
  }
  EXPECT_EQ(scan().registered, 1);
  EXPECT_EQ(listed(), (std::vector<std::string>{beta, gamma}));
  EXPECT_TRUE(logged("info Existing or blocked folder: " + alpha));
  EXPECT_TRUE(logged("info Checked and have one new repo"));
  EXPECT_EQ(notices_.calls.at(1),
            "notice Repository Automatically Added / Zivuv is now monitoring the folder gamma");
}

TEST_F(ScanTest, StopsBeforeTheSharedSuiteWithoutAFolderOrWithAnUnreadableSuite) {
  repo("alpha");
  platform::Faults::setRefuseAccess(watched_);
  const FileURL plain = FileURL::fromPath(watched_, true);
  for (const auto& url : {std::optional<FileURL>(), std::optional(plain),
                          std::optional(plain.withSecurityScope())}) {
    EXPECT_EQ(scan(url).registered, 0);
    EXPECT_EQ(log_, "error No monitoring URL to check!\n");
  }
  EXPECT_FALSE(fs::exists(root_ + "/config"));
  platform::Faults::setRefuseAccess({});

  testing::writeFile(settingsFile(sharedSuiteName()), "bplist00 garbage");
  EXPECT_EQ(scan().registered, 0);
  EXPECT_EQ(log_, "error Failed to get current folders!\n");
  EXPECT_EQ(testing::readFile(settingsFile(sharedSuiteName())), "bplist00 garbage");
  EXPECT_TRUE(notices_.calls.empty());
}

TEST_F(ScanTest, FailedWriteCountsNothingAndDeadEntriesAreToldOncePerScan) {
  for (int i = 0; i < 20; ++i) repo("r" + std::to_string(i));
  const std::string gone = makeFolder("gone");
  {
    const auto lock = platform::DefaultsLock::acquire(sharedSuiteName());
    auto store = platform::DefaultsStore::openDomain(sharedSuiteName());
    store.setDataArray("kSandboxKey",
                       {*platform::createBookmark(gone, platform::BookmarkKind::Transport).data});
    ASSERT_TRUE(store.write(*lock));
  }
  fs::remove(gone);
  const std::string dead = "Error resolving from transport data:no folder at " + gone + "\n";
  platform::Faults::setFailWrite(sharedSuiteName());
  EXPECT_EQ(scan().registered, 0);
  EXPECT_TRUE(logged("info Checked and no new repos"));
  EXPECT_TRUE(notices_.calls.empty());
  platform::Faults::setFailWrite({});

  EXPECT_EQ(scan().registered, 20);
  EXPECT_EQ(printed_, "No previous bookmarks\n" + dead);
  EXPECT_EQ(listed().size(), 20u);
  EXPECT_EQ(platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey")->size(),
            21u);
}

}  // namespace
}  // namespace zivuv::discovery
