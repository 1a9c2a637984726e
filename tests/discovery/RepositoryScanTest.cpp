#include <set>

#include "ScanFixture.h"
#include "platform/intl/Localization.h"

namespace zivuv::testing {
namespace {

using Call = FakeNotices::Call;
using namespace std::string_literals;

const char* const kSuiteChanged = "com.rudirideva.Zivuv.DefaultsChanged";
const char* const kSuiteObject = "com.dozezeza.Zivuv";

std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

TEST_F(ScanTest, RegistersOnlyVisibleImmediateRepositoriesOnceInListingOrder) {
  for (const char* name : {"alpha", "beta", "gamma", ".hidden", "plain/inner"}) repo(name);
  std::ofstream(watched_ + "/notes.txt") << "not a folder";
  const std::string elsewhere = repo(root_ + "/elsewhere");
  fs::create_directory_symlink(elsewhere, watched_ + "/link");
  fs::create_directory_symlink(watched_ + "/alpha", watched_ + "/alias");

  std::set<std::string> candidates;
  for (const auto& url : discovery::listSubfolders(monitored())) candidates.insert(url.path());
  EXPECT_EQ(candidates, (std::set<std::string>{watched_ + "/alpha", watched_ + "/beta",
                                               watched_ + "/gamma", watched_ + "/plain"}));

  EXPECT_EQ(scan(), 3);
  const auto expected = inListingOrder({"alpha", "beta", "gamma"});
  EXPECT_EQ(listed(), expected);
  EXPECT_EQ(notices_.calls,
            (std::vector<Call>{{"post", kSuiteChanged, kSuiteObject},
                               {"deliver", "3 Repositories Added",
                                "Zivuv is now monitoring 3 more repositories"}}));
  EXPECT_EQ(log_->count("info Failed to create repo for " + watched_ + "/plain"), 1u);
  EXPECT_EQ(log_->count("info Checked and have more than one new repos"), 1u);
  for (const auto& message : log_->lines()) {
    for (const char* unseen : {"/.hidden", "/notes.txt", "/link", "/alias", "/inner"}) {
      EXPECT_EQ(message.find(unseen), std::string::npos) << message;
    }
  }

  // Unchanged folder: every registered repository is known now.
  log_->clear();
  notices_.calls.clear();
  EXPECT_EQ(scan(), 0);
  for (const auto& path : expected) {
    EXPECT_EQ(log_->count("info Existing or blocked folder: " + path), 1u) << path;
  }
  EXPECT_EQ(log_->count("info Checked and no new repos"), 1u);
  EXPECT_TRUE(notices_.calls.empty());
  EXPECT_EQ(listed(), expected);
}

TEST_F(ScanTest, RepositoryKindsAndBrokenGitFolders) {
  // The monitored folder is itself a repository: its plain subfolder must
  // not count through a search of parent folders.
  repo(watched_);
  folder("plain");
  const std::string main = repo(root_ + "/main");
  ASSERT_TRUE(git({"-C", main, "commit", "-q", "--allow-empty", "-m", "x"}));
  ASSERT_TRUE(git({"-C", main, "worktree", "add", "-q", watched_ + "/linked"}));
  repo("bare", true);
  folder("emptygit/.git");
  std::ofstream(folder("dangling") + "/.git") << "gitdir: " << root_ << "/nowhere\n";
  std::ofstream(folder("headonly") + "/HEAD") << "ref: refs/heads/main\n";

  EXPECT_EQ(scan(), 2);
  const auto registered = listed();
  EXPECT_EQ(std::set<std::string>(registered.begin(), registered.end()),
            (std::set<std::string>{watched_ + "/linked", watched_ + "/bare"}));
  for (const char* name : {"plain", "emptygit", "dangling", "headonly"}) {
    EXPECT_EQ(log_->count("info Failed to create repo for " + watched_ + "/" + name), 1u) << name;
  }
}

TEST_F(ScanTest, RepositoryOwnedByAnotherUserCounts) {
  const std::string theirs = repo("theirs");
  if (std::system(("chown -R 4242:4242 '" + theirs + "'").c_str()) != 0) {
    GTEST_SKIP() << "cannot chown here";
  }
  EXPECT_EQ(scan(), 1);
  EXPECT_EQ(listed(), std::vector<std::string>{theirs});
}

TEST_F(ScanTest, BlockedRepositoryIsNeverRegisteredAndOneNewRepositoryIsNamed) {
  const std::string alpha = repo("alpha"), beta = repo("beta"), gamma = repo("gamma");
  storeShared("kSandboxKey", {transport(beta)});
  storeShared("kBlockedKey", {transport(alpha), transport(beta)});

  EXPECT_EQ(scan(), 1);
  EXPECT_EQ(listed(), (std::vector<std::string>{beta, gamma}));
  EXPECT_EQ(log_->count("info Existing or blocked folder: " + alpha), 1u);
  EXPECT_EQ(log_->count("info Existing or blocked folder: " + beta), 1u);
  EXPECT_EQ(log_->count("info Failed to create repo for " + alpha), 0u);
  EXPECT_EQ(notices_.calls,
            (std::vector<Call>{{"post", kSuiteChanged, kSuiteObject},
                               {"deliver", "Repository Automatically Added",
                                "Zivuv is now monitoring the folder gamma"}}));
  EXPECT_EQ(log_->count("info Checked and have one new repo"), 1u);

  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(listed(), (std::vector<std::string>{beta, gamma}));
}

TEST_F(ScanTest, HostileNamesAreRegisteredOnceAndCannotForgeLogLines) {
  const std::vector<std::string> names{"new\nline", "bad\xff", "%@%i%n%s", "tab\there"};
  for (const auto& name : names) repo(name);

  EXPECT_EQ(scan(), 4);
  EXPECT_EQ(listed(), inListingOrder(names));
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(listed(), inListingOrder(names));

  EXPECT_EQ(log_->count("info Existing or blocked folder: " + watched_ + "/new\\x0Aline"), 1u);
  EXPECT_EQ(log_->count("info Existing or blocked folder: " + watched_ + "/tab\\x09here"), 1u);
  for (const auto& message : log_->lines()) {
    for (const unsigned char c : message) EXPECT_TRUE(c >= 0x20 && c != 0x7F) << message;
  }
}

TEST_F(ScanTest, NoFolderOrRefusedAccessStopsBeforeTheSharedSuite) {
  repo("alpha");
  EXPECT_EQ(scan(std::nullopt), 0);
  platform::Faults::setRefuseAccess(watched_);
  EXPECT_EQ(scan(), 0);
  // A URL that carries no security scope is refused the same way.
  platform::Faults::setRefuseAccess({});
  EXPECT_EQ(scan(FileURL::fromPath(watched_, true)), 0);
  EXPECT_EQ(log_->lines(), std::vector<std::string>(3, "error No monitoring URL to check!"));
  EXPECT_FALSE(fs::exists(fs::path(settingsFile(sharedSuiteName())).parent_path()));
  EXPECT_TRUE(notices_.calls.empty());
}

TEST_F(ScanTest, UnreadableSharedSuiteIsLeftAsItIs) {
  repo("alpha");
  const std::string garbage = "bplist00\xff\x01 not a property list\n"s;
  writeFile(settingsFile(sharedSuiteName()), garbage);

  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(log_->lines(), std::vector<std::string>{"error Failed to get current folders!"});
  EXPECT_TRUE(notices_.calls.empty());
  EXPECT_EQ(readFile(settingsFile(sharedSuiteName())), garbage);
}

TEST_F(ScanTest, FailedWriteOrLockCountsNothingAndTheNextRunRegistersEachOnce) {
  for (const char* name : {"alpha", "beta"}) repo(name);
  for (const auto inject : {&platform::Faults::setFailWrite, &platform::Faults::setFailLock}) {
    inject(sharedSuiteName());
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(occurrences(printed_, "Unable to write defaults for:" + sharedSuiteName() + "\n"), 2u);
    EXPECT_EQ(log_->count("info Checked and no new repos"), 1u);
    EXPECT_TRUE(notices_.calls.empty());
    EXPECT_FALSE(fs::exists(settingsFile(sharedSuiteName())));

    inject({});
    EXPECT_EQ(scan(), 2);
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(listed(), inListingOrder({"alpha", "beta"}));
    fs::remove(settingsFile(sharedSuiteName()));
    log_->clear();
    notices_.calls.clear();
  }
}

TEST_F(ScanTest, LargeFolderKeepsUnresolvableEntriesFirstAndAddsEachRepositoryOnce) {
  std::vector<platform::Data> dead;
  for (int i = 0; i < 5; ++i) {
    const std::string gone = root_ + "/gone" + std::to_string(i);
    fs::create_directory(gone);
    dead.push_back(transport(gone));
    fs::remove(gone);
  }
  storeShared("kSandboxKey", dead);

  // Copies of one real repository: the same thing git init makes, quicker.
  const std::string model = repo(root_ + "/model");
  std::vector<std::string> repoNames;
  for (int i = 0; i < 300; ++i) {
    const std::string name = "sub" + std::to_string(i);
    if (i % 2 == 0) {
      fs::copy(model, watched_ + "/" + name, fs::copy_options::recursive);
      repoNames.push_back(name);
    } else {
      folder(name);
    }
  }

  EXPECT_EQ(scan(), 150);
  EXPECT_EQ(notices_.calls.at(1).first, "150 Repositories Added");
  // The first load and each of the 150 adds report the 5 dead entries.
  EXPECT_EQ(occurrences(printed_, "Error resolving from transport data:"), 5u * 151u);

  const auto stored = platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey");
  ASSERT_TRUE(stored);
  ASSERT_EQ(stored->size(), 155u);
  EXPECT_TRUE(std::equal(dead.begin(), dead.end(), stored->begin()));
  const auto expected = inListingOrder(repoNames);
  EXPECT_EQ(listed(), expected);
  EXPECT_EQ(std::set<std::string>(expected.begin(), expected.end()).size(), 150u);

  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(platform::DefaultsStore::openSuite(sharedSuiteName())->dataArray("kSandboxKey")->size(),
            155u);
}

TEST(FormatText, UnknownOrSurplusDirectivesNeverReadMissingArguments) {
  using platform::formatText;
  const std::vector<platform::FormatArgument> args{std::string("name"), std::int64_t{7}};
  EXPECT_EQ(formatText("%s %d %@ %i %@ %%", args), "%s %d name 7 %@ %");
  EXPECT_EQ(formatText("%i %@ %i", {}), "%i %@ %i");
  EXPECT_EQ(formatText("%@ ends in %", {std::string("%i")}), "%i ends in %");
  EXPECT_EQ(formatText("%i", {std::string("text")}), "text");
}

}  // namespace
}  // namespace zivuv::testing
