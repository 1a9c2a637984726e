#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BookmarkStoreFixture.h"

namespace zivuv {
namespace {

namespace fs = std::filesystem;

class SharedSuiteSessionTest : public testing::BookmarkStoreTest {
 protected:
  struct Outcome {
    std::string printed;
    std::vector<bool> added;
    std::optional<std::vector<Data>> listed, blocked;
  };

  // A suite with entries that resolve, one that is gone, one that is a file
  // now and one that is stale; and folders to add, with repeats, a URL
  // without its trailing slash, one through a link and one that is missing.
  void SetUp() override {
    BookmarkStoreTest::SetUp();
    const FileURL gone = folder("gone"), file = folder("file"), stale = folder("stale");
    a_ = folder("a");
    fixture_ = {record(gone), record(a_), record(file), record(stale)};
    blocked_ = {record(gone), record(folder("blocked"))};
    fs::remove(gone.path());
    fs::remove(file.path());
    testing::writeFile(file.path(), "");
    replaceFolder(stale);
    fs::create_directory_symlink(folder("target").path(), root_ + "/link");
    const FileURL c = folder("c"), d = FileURL::fromPath(folder("d").path(), false);
    toAdd_ = {c,          a_, FileURL::fromPath(root_ + "/missing", true), c,
              d,          d,  FileURL::fromPath(root_ + "/link", true),    stale,
              folder("e")};
  }

  // Runs in a settings folder of its own, seeded with the same lists.
  Outcome run(const std::string& configName, const std::function<std::vector<bool>()>& scan) {
    ::setenv("XDG_CONFIG_HOME", (root_ + "/" + configName).c_str(), 1);
    storeList(suite(), "kSandboxKey", fixture_);
    storeList(suite(), "kBlockedKey", blocked_);
    Outcome outcome;
    outcome.printed = printed([&] { outcome.added = scan(); });
    outcome.listed = platform::DefaultsStore::openDomain(suite()).dataArray("kSandboxKey");
    outcome.blocked = platform::DefaultsStore::openDomain(suite()).dataArray("kBlockedKey");
    return outcome;
  }

  Outcome oneAtATime() {
    return run("single", [&] {
      EXPECT_TRUE(BookmarkUtils::loadBlockedURLs(suite()).has_value());
      EXPECT_TRUE(BookmarkUtils::loadSandboxURLs(suite()).has_value());
      std::vector<bool> added;
      for (const FileURL& url : toAdd_) added.push_back(BookmarkUtils::addSandboxURL(url, suite()));
      return added;
    });
  }

  Outcome batch() {
    return run("batch", [&] {
      SharedSuiteSession session(suite());
      EXPECT_TRUE(session.loadURLs(BookmarkKeys::blockKey).has_value());
      EXPECT_TRUE(session.loadURLs(BookmarkKeys::sandboxKey).has_value());
      return session.addSandboxURLs(toAdd_);
    });
  }

  FileURL a_;
  std::vector<Data> fixture_, blocked_;
  std::vector<FileURL> toAdd_;
};

TEST_F(SharedSuiteSessionTest, BatchPrintsAndWritesWhatSingleAddsWould) {
  const Outcome single = oneAtATime();
  const Outcome session = batch();
  EXPECT_EQ(session.printed, single.printed);
  EXPECT_EQ(session.added, single.added);
  EXPECT_EQ(session.listed, single.listed);
  EXPECT_EQ(session.blocked, blocked_);
  EXPECT_EQ(single.added,
            (std::vector<bool>{true, true, false, true, true, true, true, true, true}));
  ASSERT_TRUE(single.listed.has_value());
  EXPECT_EQ(single.listed->size(), fixture_.size() + 5);  // c, d twice, the link's target, e
}

TEST_F(SharedSuiteSessionTest, FailedWriteFailsEveryAddOfTheBatch) {
  const std::string line = "Unable to write defaults for:" + suite() + "\n";
  for (const auto inject : {&platform::Faults::setFailWrite, &platform::Faults::setFailLock}) {
    inject(suite());
    const Outcome session = batch();
    EXPECT_EQ(session.added, std::vector<bool>(toAdd_.size(), false));
    EXPECT_EQ(session.listed, fixture_);
    // One line per add that got as far as the write: all but the missing folder.
    std::size_t failures = 0;
    for (std::size_t at = 0; (at = session.printed.find(line, at)) != std::string::npos;
         at += line.size())
      ++failures;
    EXPECT_EQ(failures, toAdd_.size() - 1);
    EXPECT_EQ(session.printed.substr(session.printed.size() - line.size()), line);
    inject({});
  }
}

}  // namespace
}  // namespace zivuv
