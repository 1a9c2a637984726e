#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/RepositoryScan.h"
#include "fakes/RecordingLog.h"
#include "fakes/TempConfig.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/scope/SecurityScope.h"
#include "support/Process.h"

namespace zivuv::testing {

namespace fs = std::filesystem;
using platform::FileURL;

// Both kinds of notice in one list, so that their order shows.
struct FakeNotices final : discovery::NoticeCenter {
  struct Call {
    std::string kind, first, second;
    bool operator==(const Call&) const = default;
  };
  void postDistributedNotification(const std::string& name, const std::string& object) override {
    calls.push_back({"post", name, object});
  }
  void deliverNotification(const std::string& title, const std::string& text) override {
    calls.push_back({"deliver", title, text});
  }
  std::vector<Call> calls;
};

inline void PrintTo(const FakeNotices::Call& c, std::ostream* os) {
  *os << c.kind << "(\"" << c.first << "\", \"" << c.second << "\")";
}

// A real monitored folder, fresh settings and a recording log per test.
class ScanTest : public TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    watched_ = makeFolder("watched");
  }
  void TearDown() override {
    RecordingLog::uninstall();
    TempConfigTest::TearDown();
  }

  // Runs git; true on exit status 0.
  static bool git(std::vector<std::string> args) {
    args.insert(args.begin(), {"git", "-c", "user.name=Test", "-c", "user.email=test@example.org"});
    const auto result = runCommand(args, {}, deadlineIn(std::chrono::seconds(60)));
    return result && result->status == 0;
  }

  // A working tree (or bare repository) at path: absolute, or relative to
  // the monitored folder. No template: sample hooks only cost time here.
  std::string repo(const std::string& name, bool bare = false) {
    const std::string path = name.starts_with('/') ? name : watched_ + "/" + name;
    EXPECT_TRUE(git(bare ? std::vector<std::string>{"init", "-q", "--template=", "--bare", path}
                         : std::vector<std::string>{"init", "-q", "--template=", path}))
        << path;
    return path;
  }
  std::string folder(const std::string& name) { return makeFolder("watched/" + name); }

  FileURL monitored() const { return FileURL::fromPath(watched_, true).withSecurityScope(); }

  // One scan; security-scoped access must be balanced whatever happened.
  std::int64_t scan(std::optional<FileURL> url) {
    const auto before = platform::SecurityScope::totalOpenCount();
    ::testing::internal::CaptureStdout();
    const auto result = discovery::scanForNewRepositories(url, notices_);
    printed_ = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(platform::SecurityScope::totalOpenCount(), before) << "unbalanced access";
    return result;
  }
  std::int64_t scan() { return scan(monitored()); }

  // Paths of the shared list's resolvable entries, in stored order.
  static std::vector<std::string> listed() {
    ::testing::internal::CaptureStdout();
    const auto urls = BookmarkUtils::loadSandboxURLs(sharedSuiteName());
    (void)::testing::internal::GetCapturedStdout();
    std::vector<std::string> paths;
    for (const auto& url : urls.value_or(std::vector<FileURL>{})) paths.push_back(url.path());
    return paths;
  }

  // Stores raw transport data under key in the shared suite, as the app would.
  static void storeShared(std::string_view key, const std::vector<platform::Data>& entries) {
    const auto lock = platform::DefaultsLock::acquire(sharedSuiteName());
    auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
    ASSERT_TRUE(lock && store);
    store->setDataArray(key, entries);
    ASSERT_TRUE(store->write(*lock));
  }
  static platform::Data transport(const std::string& path) {
    return BookmarkUtils::createTransportData(FileURL::fromPath(path, true)).value();
  }

  // The subfolders among names, in the order the listing gives them.
  std::vector<std::string> inListingOrder(const std::vector<std::string>& names) const {
    std::vector<std::string> paths;
    for (const auto& url : discovery::listSubfolders(monitored())) {
      if (std::find(names.begin(), names.end(), url.lastPathComponent()) != names.end()) {
        paths.push_back(url.path());
      }
    }
    return paths;
  }

  std::string watched_;
  std::string printed_;
  FakeNotices notices_;
  std::shared_ptr<RecordingLog> log_ = RecordingLog::install();
};

}  // namespace zivuv::testing
