// The service object with a manual queue and clock: the debounce and its
// ceiling, the life of the folder watch, balanced access, a folder that does
// not answer, requests that share a scan, and a scan that fails.

#include "fakes/ManualQueue.h"
#include "fakes/TestSupport.h"
#include "platform/scope/SecurityScope.h"
#include "service/ZivuvFolderMonitorListener.h"
#include "watch/WatchLimits.h"

namespace zivuv {
namespace {

using namespace std::chrono_literals;
using platform::SecurityScope;
using testing::ManualQueue;
using watch::FolderEvent;

struct Notices final : discovery::NoticeCenter {
  void postDistributedNotification(const NotificationName&, const std::string&) override {
    if (fail) throw std::runtime_error("no bus");
  }
  void deliverNotification(const std::string& title, const std::string&) override {
    titles.push_back(title);
  }
  std::vector<std::string> titles;
  bool fail = false;
};

class ListenerTest : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    ::setenv("ZIVUV_LOG", "stderr", 1);
    a_ = makeFolder("a");
    b_ = makeFolder("b");
    baseline_ = SecurityScope::totalOpenCount();
    ::testing::internal::CaptureStderr();
    listener_ = make();
  }
  void TearDown() override {
    listener_.reset();
    (void)log();
    TempConfigTest::TearDown();
  }
  // Each watch's queue shares the clock; the test drives the latest.
  std::shared_ptr<ZivuvFolderMonitorListener> make(Executor probeWork = nullptr) {
    ListenerEnvironment environment;
    environment.makeQueue = [this] {
      auto queue = std::make_unique<ManualQueue>(shared_);
      queue_ = queue.get();
      return queue;
    };
    environment.notices = notices_;
    environment.probeWork = std::move(probeWork);
    environment.after = [this](std::chrono::milliseconds, platform::Task work) {
      later_.push_back(std::move(work));
    };
    return ZivuvFolderMonitorListener::create(std::move(environment));
  }
  // The log since the last call.
  std::string log() {
    std::string text = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    return text;
  }
  std::size_t scans() { return testing::countLines(log(), "debug Checking For New Repositories"); }
  bool watch(const std::string& path) {
    std::optional<bool> reply;
    listener_->startMonitoringWithPath(
        *BookmarkUtils::createTransportData(FileURL::fromPath(path, true)),
        ZivuvFolderMonitorListener::WatchReply([&](bool ok) { reply = ok; }, false));
    return reply.value_or(false);
  }

  std::string a_, b_;
  std::size_t baseline_ = 0;
  std::shared_ptr<ManualQueue::Shared> shared_ = std::make_shared<ManualQueue::Shared>();
  ManualQueue* queue_ = nullptr;
  std::shared_ptr<Notices> notices_ = std::make_shared<Notices>();
  std::vector<platform::Task> later_;
  std::shared_ptr<ZivuvFolderMonitorListener> listener_;
};

TEST_F(ListenerTest, BurstOfEventsGivesOneScanExactlyThreeSecondsAfterTheLastEvent) {
  ASSERT_TRUE(watch(a_));
  (void)log();
  for (int i = 0; i < 3; ++i) {
    queue_->raise(FolderEvent::Changed);
    queue_->advance(2s);
  }
  queue_->advance(999ms);  // 2.999 s after the last event
  EXPECT_EQ(scans(), 0u);
  queue_->advance(1ms);
  EXPECT_EQ(scans(), 1u);
  EXPECT_EQ(listener_->status().state, ServiceState::Idle);

  // A timer armed just before the switch to another folder scans that one.
  queue_->raise(FolderEvent::Changed);
  EXPECT_EQ(listener_->status().state, ServiceState::Settling);
  listener_->reset();
  ASSERT_TRUE(testing::gitInit(b_ + "/repo"));
  ASSERT_TRUE(watch(b_));
  queue_->advance(3s);
  EXPECT_EQ(notices_->titles, std::vector<std::string>{"Repository Automatically Added"});
}

TEST_F(ListenerTest, ChangesThatNeverSettleAreScannedThirtySecondsAfterTheFirst) {
  ASSERT_TRUE(watch(a_));
  (void)log();
  for (int series = 1; series <= 2; ++series) {
    // A change every two seconds, from the first one at 0 s on.
    for (int t = 0; t < 30; t += 2) {
      queue_->raise(FolderEvent::Changed);
      queue_->advance(t < 28 ? 2s : 1999ms);
    }
    EXPECT_EQ(scans(), 0u) << "series " << series << " at 29.999 s";
    queue_->advance(1ms);
    EXPECT_EQ(scans(), 1u) << "series " << series << " at 30 s";
  }
}

TEST_F(ListenerTest, RestartsAndFailuresKeepAccessBalanced) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(watch(a_));
  queue_->runPending();
  EXPECT_EQ(queue_->live(true).size(), 1u);
  EXPECT_EQ(testing::countLines(log(), "debug Dispatched Source was canceled"), 4u);
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_ + 1) << "only the live watch holds access";

  shared_->failFolderSources = true;
  EXPECT_FALSE(watch(a_));
  queue_->runPending();
  const std::string lines = log();
  EXPECT_EQ(testing::countLines(lines, "error Failed to open Dir FD"), 1u);
  EXPECT_NE(lines.find("error The limit of inotify watches is used up (fs.inotify.max_user_watches"),
            std::string::npos);
  EXPECT_EQ(listener_->status().state, ServiceState::CannotWatch);
  platform::Faults::setRefuseAccess(a_);
  EXPECT_FALSE(watch(a_));
  listener_ = make();
  EXPECT_EQ(testing::countLines(log(), "error Unable to access URL For Monitoring"), 1u);  // the saved folder
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_);
}

TEST_F(ListenerTest, WatchTheKernelRefusedIsAskedForAgainAtEachScanUntilItIsHad) {
  ASSERT_TRUE(watch(a_));
  const auto source = queue_->live(true).front();
  source->refused = ENOSPC;
  queue_->raise(FolderEvent::Changed);
  EXPECT_EQ(listener_->status().watcher, "inotify+rescan 300s");
  queue_->advance(5min + 3s);  // the change's scan, then the periodic one
  EXPECT_EQ(source->rewatches, 2);
  source->refused = 0;
  queue_->raise(FolderEvent::Back);
  queue_->advance(10min);
  EXPECT_EQ(source->rewatches, 3) << "only the scan that the event brought";
  EXPECT_EQ(testing::countLines(log(), watch::inotifyLimitLine({watch::WatchFailure::Call::AddWatch, ENOSPC})), 1u);
}

TEST_F(ListenerTest, VerifyAnswersFromTheWatchUntilTheFolderMayHaveMovedThenLooksOnce) {
  std::vector<platform::Task> probes;
  listener_ = make([&](platform::Task work) { probes.push_back(std::move(work)); });
  ASSERT_TRUE(watch(a_));
  const Data made = *BookmarkUtils::createTransportData(FileURL::fromPath(a_, true));
  std::vector<std::optional<Data>> replies;
  const auto verify = [&] {
    listener_->verifyAgentWithCompletion(ZivuvFolderMonitorListener::AgentReply(
        [&](std::optional<Data> data, std::string) { replies.push_back(std::move(data)); },
        std::nullopt, ""));
  };
  verify();
  EXPECT_EQ(replies, std::vector<std::optional<Data>>{made}) << "at rest: from the watch, at once";
  EXPECT_TRUE(probes.empty());
  replies.clear();

  queue_->raise(FolderEvent::Gone);  // the folder may be elsewhere now
  verify();
  verify();
  EXPECT_EQ(probes.size(), 1u) << "one look at the folder for both callers";
  EXPECT_TRUE(replies.empty());
  for (auto& work : later_) work();  // the folder does not answer in time
  later_.clear();
  EXPECT_EQ(replies, (std::vector<std::optional<Data>>{made, made}));
  EXPECT_EQ(testing::countLines(log(), "info Monitored folder does not answer within 1 s, answering "
                                       "with what it was when its watch began: " + a_), 1u);
  probes.front()();  // it answers at last: nobody is answered twice, and the look is kept
  EXPECT_EQ(replies.size(), 2u);
  verify();
  EXPECT_EQ(probes.size(), 1u);
  EXPECT_EQ(replies.size(), 3u);

  // The look answers before the time-out: the time-out then does nothing.
  later_.clear();
  queue_->raise(FolderEvent::Gone);
  verify();
  ASSERT_EQ(probes.size(), 2u);
  probes.back()();
  EXPECT_EQ(replies.size(), 4u);
  for (auto& work : later_) work();
  later_.clear();
  EXPECT_EQ(replies.size(), 4u);
  EXPECT_EQ(log().find("does not answer"), std::string::npos);

  // A switch whose watch fails leaves nothing of the folder before it.
  shared_->failFolderSources = true;
  EXPECT_FALSE(watch(b_));
  replies.clear();
  verify();
  for (auto& work : later_) work();
  EXPECT_EQ(replies, std::vector<std::optional<Data>>{std::nullopt});
}

TEST_F(ListenerTest, RequestsShareTheScanThatWaitsAndFollowAWatchReplacedBeforeItBegins) {
  ASSERT_TRUE(testing::gitInit(a_ + "/repo"));
  ASSERT_TRUE(watch(a_));
  std::vector<std::int64_t> counts;
  const auto request = [&] {
    listener_->checkFolderNowWithCompletion(
        ZivuvFolderMonitorListener::ScanReply([&](std::int64_t n) { counts.push_back(n); }, 0));
  };
  (void)scans();
  request();
  request();
  // The same folder handed over again before the scan began: the waiting
  // scan moves to the new watch's queue and still runs, once for both.
  ASSERT_TRUE(watch(a_));
  queue_->runPending();
  EXPECT_EQ(counts, (std::vector<std::int64_t>{1, 1}));
  EXPECT_EQ(scans(), 1u);
}

TEST_F(ListenerTest, ScanThatFailsStillAnswersEveryCallerWithZero) {
  ASSERT_TRUE(testing::gitInit(a_ + "/repo"));
  ASSERT_TRUE(watch(a_));
  notices_->fail = true;
  std::vector<std::int64_t> counts;
  for (int i = 0; i < 2; ++i) {
    listener_->checkFolderNowWithCompletion(
        ZivuvFolderMonitorListener::ScanReply([&](std::int64_t n) { counts.push_back(n); }, 0));
  }
  queue_->runPending();
  EXPECT_EQ(counts, (std::vector<std::int64_t>{0, 0}));
}

}  // namespace
}  // namespace zivuv
