// The service object with a manual queue and clock: the protocol's replies,
// the folder watch's life, the debounce, and balanced access on every path.

#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/ManualQueue.h"
#include "fakes/RecordingLog.h"
#include "fakes/TempConfig.h"
#include "support/Process.h"
#include "platform/scope/SecurityScope.h"
#include "service/ZivuvFolderMonitorListener.h"

namespace zivuv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::SecurityScope;
using testing::ManualQueue;
using testing::RecordingLog;

struct NoticeRecorder final : discovery::NoticeCenter {
  std::vector<std::string> events;
  void postDistributedNotification(const std::string& name, const std::string&) override {
    events.push_back("post " + name);
  }
  void deliverNotification(const std::string& title, const std::string&) override {
    events.push_back("notice " + title);
  }
};

class ListenerTest : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    folderA_ = makeFolder("a");
    folderB_ = makeFolder("b");
    log_ = RecordingLog::install();
    baseline_ = SecurityScope::totalOpenCount();
  }

  void TearDown() override {
    listener_.reset();
    queue_.runPending();
    RecordingLog::uninstall();
    TempConfigTest::TearDown();
  }

  void createListener() {
    listener_ = ZivuvFolderMonitorListener::create(
        {queue_.handle(), notices_, [](const std::string&, const std::string&) {}});
  }

  static Data transportData(const std::string& path) {
    return *BookmarkUtils::createTransportData(FileURL::fromPath(path, true));
  }

  bool watch(const std::string& path) { return watchData(transportData(path)); }

  bool watchData(const Data& data) {
    std::optional<bool> reply;
    listener_->startMonitoringWithPath(data, [&](bool ok) {
      EXPECT_FALSE(reply.has_value()) << "replied twice";
      reply = ok;
    });
    EXPECT_TRUE(reply.has_value()) << "no reply before return";
    return reply.value_or(false);
  }

  std::string monitoredPath() const {
    const auto url = listener_->currentMonitoringURL();
    return url ? url->path() : "";
  }

  std::vector<std::string> watchedPaths() const {
    std::vector<std::string> paths;
    for (const auto& source : queue_.liveFolderSources()) paths.push_back(source->path);
    return paths;
  }

  std::string folderA_;
  std::string folderB_;
  std::shared_ptr<RecordingLog> log_;
  std::size_t baseline_ = 0;
  ManualQueue queue_;
  std::shared_ptr<NoticeRecorder> notices_ = std::make_shared<NoticeRecorder>();
  std::shared_ptr<ZivuvFolderMonitorListener> listener_;
};

// The replies and the log lines themselves are checked against the real
// service on a bus; here, where the work runs.
TEST_F(ListenerTest, StartsWithoutSavedFolderAndScansOnTheQueue) {
  createListener();
  EXPECT_TRUE(watchedPaths().empty());
  std::vector<std::int64_t> counts;
  listener_->checkFolderNowWithCompletion([&](std::int64_t n) { counts.push_back(n); });
  EXPECT_TRUE(counts.empty()) << "the scan runs on the queue, not on the caller's thread";
  queue_.runPending();
  EXPECT_EQ(counts, std::vector<std::int64_t>{0});
  EXPECT_EQ(log_->count("error No monitoring URL to check!"), 1u);
}

TEST_F(ListenerTest, RestoresTheFirstOfSeveralSavedFolders) {
  ASSERT_TRUE(BookmarkUtils::saveSecureBookmark(FileURL::fromPath(folderA_, true)));
  ASSERT_TRUE(BookmarkUtils::saveSecureBookmark(FileURL::fromPath(folderB_, true)));
  createListener();
  EXPECT_EQ(watchedPaths(), std::vector<std::string>{folderA_});
  EXPECT_EQ(monitoredPath(), folderA_);
}

TEST_F(ListenerTest, BadTransportDataLeavesFolderAndWatchAlone) {
  createListener();
  ASSERT_TRUE(watch(folderA_));
  const auto before = queue_.liveFolderSources();
  Data secure = *platform::createBookmark(folderB_, platform::BookmarkKind::Secure).data;
  Data random(64);
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<std::uint8_t>(i * 37 + 11);
  for (const Data& bad : {Data{}, random, secure}) {
    EXPECT_FALSE(watchData(bad));
    EXPECT_EQ(monitoredPath(), folderA_);
    EXPECT_EQ(queue_.liveFolderSources(), before);
  }
}

TEST_F(ListenerTest, FirstSavedFolderStaysMonitoredUntilReset) {
  createListener();
  ASSERT_TRUE(watch(folderA_));
  EXPECT_TRUE(watch(folderB_));
  EXPECT_EQ(monitoredPath(), folderA_);
  EXPECT_EQ(watchedPaths(), std::vector<std::string>{folderA_});

  listener_->reset();
  EXPECT_EQ(monitoredPath(), folderA_) << "reset only empties the saved list";
  log_->clear();
  EXPECT_TRUE(watch(folderB_));
  EXPECT_EQ(monitoredPath(), folderB_);
  EXPECT_EQ(watchedPaths(), std::vector<std::string>{folderB_});
  const auto lines = log_->lines();
  const auto stop = std::find(lines.begin(), lines.end(), "info Stopping Monitoring");
  ASSERT_NE(stop, lines.end());
  EXPECT_NE(std::find(stop, lines.end(), "info Starting Monitoring"), lines.end());
}

TEST_F(ListenerTest, BurstOfEventsGivesOneScanAfterTheLastEvent) {
  createListener();
  ASSERT_TRUE(watch(folderA_));
  for (int i = 0; i < 3; ++i) {
    queue_.raiseFolderEvent();
    queue_.advance(2s);
  }
  queue_.advance(999ms);  // 2.999 s after the last event
  EXPECT_EQ(log_->count("debug Checking For New Repositories"), 0u);
  queue_.advance(1ms);
  EXPECT_EQ(log_->count("debug Timer event has fired"), 1u);
  EXPECT_EQ(log_->count("debug Checking For New Repositories"), 1u);
  queue_.advance(60s);
  EXPECT_EQ(log_->count("debug Checking For New Repositories"), 1u);
  EXPECT_EQ(queue_.liveTimers(), 0u);
}

TEST_F(ListenerTest, RestartsKeepOneWatchAndBalancedAccess) {
  createListener();
  for (int i = 0; i < 25; ++i) ASSERT_TRUE(watch(folderA_));
  queue_.runPending();
  EXPECT_EQ(queue_.liveFolderSources().size(), 1u);
  EXPECT_EQ(log_->count("debug Dispatched Source was canceled"), 24u);
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_ + 1) << "only the live watch holds access";

  listener_.reset();
  queue_.runPending();
  EXPECT_EQ(log_->count("debug Dispatched Source was canceled"), 25u);
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_);
}

TEST_F(ListenerTest, FailedStartsReleaseWhatTheyTook) {
  ASSERT_TRUE(BookmarkUtils::saveSecureBookmark(FileURL::fromPath(folderA_, true)));
  platform::Faults::setRefuseAccess(folderA_);
  createListener();
  EXPECT_EQ(log_->count("error Unable to access URL For Monitoring"), 1u);
  EXPECT_FALSE(watch(folderA_));
  platform::Faults::setRefuseAccess({});

  queue_.failFolderSources = true;
  EXPECT_FALSE(watch(folderA_));
  EXPECT_EQ(log_->count("error Failed to open Dir FD"), 1u);
  EXPECT_TRUE(watchedPaths().empty());
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_);
}

TEST_F(ListenerTest, TimerArmedBeforeASwitchScansTheNewFolder) {
  createListener();
  ASSERT_TRUE(watch(folderA_));
  queue_.raiseFolderEvent();
  queue_.runPending();
  listener_->reset();
  ASSERT_TRUE(testing::gitInit(folderB_ + "/repo"));
  ASSERT_TRUE(watch(folderB_));
  queue_.advance(3s);
  EXPECT_EQ(notices_->events,
            (std::vector<std::string>{"post com.rudirideva.Zivuv.DefaultsChanged",
                                      "notice Repository Automatically Added"}));
}

TEST_F(ListenerTest, EventForAGoneObjectIsLoggedAndDropped) {
  createListener();
  ASSERT_TRUE(watch(folderA_));
  queue_.raiseFolderEvent();  // queued, not yet run
  listener_.reset();
  queue_.runPending();
  EXPECT_EQ(log_->count("error Self is gone"), 1u);
  EXPECT_EQ(queue_.liveTimers(), 0u);
}

}  // namespace
}  // namespace zivuv
