#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bookmarks/BookmarkUtils.h"
#include "discovery/RepositoryScan.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/faults/Faults.h"
#include "platform/log/Logger.h"
#include "platform/scope/SecurityScope.h"

extern char** environ;

namespace zivuv::testing {

namespace fs = std::filesystem;
using platform::FileURL;

// Every log entry, in order.
class RecordingSink final : public platform::LogSink {
 public:
  void write(platform::LogLevel level, std::string_view message) override {
    std::lock_guard lock(mutex_);
    entries_.push_back({level, std::string(message)});
  }
  std::vector<std::pair<platform::LogLevel, std::string>> entries() {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<platform::LogLevel, std::string>> entries_;
};

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
class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zivuv-scan-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = fs::canonical(pattern).string();
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1), 0);
    watched_ = root_ + "/watched";
    fs::create_directory(watched_);
    platform::Logger::shared().setSink(sink_);
  }

  void TearDown() override {
    platform::Faults::setFailWrite({});
    platform::Faults::setFailLock({});
    platform::Faults::setRefuseAccess({});
    platform::Logger::shared().setSink(platform::makeStderrSink());
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  // Runs git quietly; true on exit status 0.
  static bool git(std::vector<std::string> args) {
    args.insert(args.begin(), {"git", "-c", "user.name=Test", "-c", "user.email=test@example.org",
                               "-c", "init.defaultBranch=main"});
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, "git", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return rc == 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }

  // A working tree at path (absolute, or relative to the monitored folder).
  std::string repo(const std::string& name, bool bare = false) {
    const std::string path = name.starts_with('/') ? name : watched_ + "/" + name;
    // No template: no sample hooks, which only cost time here.
    std::vector<std::string> args{"init", "-q", "--template="};
    if (bare) args.push_back("--bare");
    args.push_back(path);
    EXPECT_TRUE(git(args)) << path;
    return path;
  }
  std::string folder(const std::string& name) {
    fs::create_directories(watched_ + "/" + name);
    return watched_ + "/" + name;
  }

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
    ASSERT_TRUE(lock);
    auto store = platform::DefaultsStore::openSuite(sharedSuiteName());
    ASSERT_TRUE(store);
    store->setDataArray(key, entries);
    ASSERT_TRUE(store->write(*lock));
  }
  static platform::Data transport(const std::string& path) {
    return BookmarkUtils::createTransportData(FileURL::fromPath(path, true)).value();
  }
  static void block(const std::vector<std::string>& paths) {
    std::vector<platform::Data> entries;
    for (const auto& path : paths) entries.push_back(transport(path));
    storeShared("kBlockedKey", entries);
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

  std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto& [level, message] : sink_->entries()) out.push_back(message);
    return out;
  }
  std::size_t logged(const std::string& message) {
    const auto all = messages();
    return static_cast<std::size_t>(std::count(all.begin(), all.end(), message));
  }
  std::size_t loggedAt(platform::LogLevel level, const std::string& message) {
    std::size_t n = 0;
    for (const auto& entry : sink_->entries()) n += entry == std::pair{level, message};
    return n;
  }
  void clearLog() {
    sink_ = std::make_shared<RecordingSink>();
    platform::Logger::shared().setSink(sink_);
  }

  static std::string sharedFile() {
    return std::string(std::getenv("XDG_CONFIG_HOME")) + "/Zivuv/" + sharedSuiteName() + ".plist";
  }

  std::string root_;
  std::string watched_;
  std::string printed_;
  FakeNotices notices_;
  std::shared_ptr<RecordingSink> sink_ = std::make_shared<RecordingSink>();
};

}  // namespace zivuv::testing
