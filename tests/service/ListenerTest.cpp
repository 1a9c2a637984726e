// The service object with a manual queue and clock: the debounce, the life
// of the folder watch, coalesced scan requests, and balanced access.

#include "fakes/ManualQueue.h"
#include "fakes/TestSupport.h"
#include "platform/scope/SecurityScope.h"
#include "service/ZivuvFolderMonitorListener.h"

namespace zivuv {
namespace {

using namespace std::chrono_literals;
using platform::SecurityScope;
using testing::ManualQueue;
using watch::FolderEvent;

struct Notices final : discovery::NoticeCenter {
  void postDistributedNotification(const NotificationName&, const std::string&) override {}
  void deliverNotification(const std::string& title, const std::string&) override {
    titles.push_back(title);
  }
  std::vector<std::string> titles;
};

class ListenerTest : public testing::TempConfigTest {
 protected:
  void SetUp() override {
    TempConfigTest::SetUp();
    ::setenv("ZIVUV_LOG", "stderr", 1);
    a_ = makeFolder("a");
    b_ = makeFolder("b");
    baseline_ = SecurityScope::totalOpenCount();
    auto queue = std::make_unique<ManualQueue>();
    queue_ = queue.get();
    ::testing::internal::CaptureStderr();
    listener_ = ZivuvFolderMonitorListener::create(
        {std::move(queue), notices_, nullptr, [this](const std::string& s) { status_.push_back(s); }});
  }
  void TearDown() override {
    listener_.reset();
    (void)log();
    TempConfigTest::TearDown();
  }
  // The log since the last call.
  std::string log() {
    std::string text = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    return text;
  }
  static std::size_t count(const std::string& text, const std::string& line) {
    std::size_t n = 0;
    for (auto at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) ++n;
    return n;
  }
  bool watch(const std::string& path) {
    std::optional<bool> reply;
    listener_->startMonitoringWithPath(
        *BookmarkUtils::createTransportData(FileURL::fromPath(path, true)),
        [&](bool ok) { reply = ok; });
    return reply.value_or(false);
  }

  std::string a_, b_;
  std::size_t baseline_ = 0;
  ManualQueue* queue_ = nullptr;
  std::shared_ptr<Notices> notices_ = std::make_shared<Notices>();
  std::vector<std::string> status_;
  std::shared_ptr<ZivuvFolderMonitorListener> listener_;
};

TEST_F(ListenerTest, BurstOfEventsGivesOneScanThreeSecondsAfterTheLastEvent) {
  ASSERT_TRUE(watch(a_));
  (void)log();
  for (int i = 0; i < 3; ++i) {
    queue_->raise(FolderEvent::Changed);
    queue_->advance(2s);
  }
  queue_->advance(999ms);  // 2.999 s after the last event
  std::string lines = log();
  EXPECT_EQ(count(lines, "debug Checking For New Repositories"), 0u);
  queue_->advance(1ms);
  queue_->advance(60s);
  lines += log();
  EXPECT_EQ(count(lines, "debug File Has Changed, Setting Timer"), 3u);
  EXPECT_EQ(count(lines, "debug Timer event has fired"), 1u);
  EXPECT_EQ(count(lines, "debug Checking For New Repositories"), 1u);
}

TEST_F(ListenerTest, FolderThatGoesAndComesBackIsToldOfAndScanned) {
  ASSERT_TRUE(watch(a_));
  queue_->raise(FolderEvent::Gone);
  queue_->raise(FolderEvent::Back);
  ASSERT_TRUE(testing::gitInit(a_ + "/repo"));
  queue_->advance(3s);
  const std::string lines = log();
  EXPECT_EQ(count(lines, "info Monitored folder moved away or deleted, waiting for it to return: " + a_), 1u);
  EXPECT_EQ(count(lines, "info Monitored folder is back, watching it again: " + a_), 1u);
  EXPECT_EQ(count(lines, "debug Checking For New Repositories"), 1u);
  EXPECT_EQ(notices_->titles, std::vector<std::string>{"Repository Automatically Added"});
  ASSERT_GE(status_.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(status_.begin(), status_.begin() + 4),
            (std::vector<std::string>{"No folder to watch", "Watching " + a_,
                                      "Waiting for " + a_ + " to appear", "Watching " + a_}));
  EXPECT_TRUE(status_.back().starts_with("Watching " + a_ + "; 1 repository added at "));
}

TEST_F(ListenerTest, RequestsMadeBeforeAScanBeginsShareItAndLaterOnesGetTheNext) {
  ASSERT_TRUE(watch(a_));
  ASSERT_TRUE(testing::gitInit(a_ + "/one"));
  std::vector<std::int64_t> replies;
  for (int i = 0; i < 5; ++i) {
    listener_->checkFolderNowWithCompletion([&, i](std::int64_t n) {
      replies.push_back(n);
      // Made while the scan runs: it gets a scan of its own.
      if (i == 0) listener_->checkFolderNowWithCompletion([&](std::int64_t m) { replies.push_back(m); });
    });
  }
  EXPECT_TRUE(replies.empty()) << "the scan runs on the queue";
  queue_->runPending();
  EXPECT_EQ(replies, (std::vector<std::int64_t>{1, 1, 1, 1, 1, 0}));
  EXPECT_EQ(count(log(), "debug Checking For New Repositories"), 2u);
}

TEST_F(ListenerTest, RestartsAndFailuresKeepAccessBalanced) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(watch(a_));
  queue_->runPending();
  EXPECT_EQ(queue_->live(true).size(), 1u);
  EXPECT_EQ(count(log(), "debug Dispatched Source was canceled"), 4u);
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_ + 1) << "only the live watch holds access";

  queue_->failFolderSources = true;
  EXPECT_FALSE(watch(a_));
  queue_->runPending();
  const std::string lines = log();
  EXPECT_EQ(count(lines, "error Failed to open Dir FD"), 1u);
  EXPECT_NE(lines.find("error The limit of inotify watches is used up (fs.inotify.max_user_watches"),
            std::string::npos);
  platform::Faults::setRefuseAccess(a_);
  EXPECT_FALSE(watch(a_));
  listener_ = ZivuvFolderMonitorListener::create({std::make_unique<ManualQueue>(), notices_, nullptr, nullptr});
  EXPECT_EQ(count(log(), "error Unable to access URL For Monitoring"), 1u);  // the saved folder
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_);
}

TEST_F(ListenerTest, TimerArmedBeforeASwitchScansTheNewFolder) {
  ASSERT_TRUE(watch(a_));
  queue_->raise(FolderEvent::Changed);
  listener_->reset();
  ASSERT_TRUE(testing::gitInit(b_ + "/repo"));
  ASSERT_TRUE(watch(b_));
  queue_->advance(3s);
  EXPECT_EQ(notices_->titles, std::vector<std::string>{"Repository Automatically Added"});
}

}  // namespace
}  // namespace zivuv
