// The service object with a manual queue and clock: the debounce, the life
// of the folder watch, and balanced access.

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
    listener_ = make(std::move(queue));
  }
  void TearDown() override {
    listener_.reset();
    (void)log();
    TempConfigTest::TearDown();
  }
  std::shared_ptr<ZivuvFolderMonitorListener> make(std::unique_ptr<ManualQueue> queue) {
    ListenerEnvironment environment;
    environment.monitorQueue = std::move(queue);
    environment.notices = notices_;
    return ZivuvFolderMonitorListener::create(std::move(environment));
  }
  // The log since the last call.
  std::string log() {
    std::string text = ::testing::internal::GetCapturedStderr();
    ::testing::internal::CaptureStderr();
    return text;
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
  EXPECT_EQ(testing::countLines(lines, "debug Checking For New Repositories"), 0u);
  queue_->advance(1ms);
  queue_->advance(60s);
  lines += log();
  EXPECT_EQ(testing::countLines(lines, "debug File Has Changed, Setting Timer"), 3u);
  EXPECT_EQ(testing::countLines(lines, "debug Timer event has fired"), 1u);
  EXPECT_EQ(testing::countLines(lines, "debug Checking For New Repositories"), 1u);

  // A timer armed just before the switch to another folder scans that one.
  queue_->raise(FolderEvent::Changed);
  listener_->reset();
  ASSERT_TRUE(testing::gitInit(b_ + "/repo"));
  ASSERT_TRUE(watch(b_));
  queue_->advance(3s);
  EXPECT_EQ(notices_->titles, std::vector<std::string>{"Repository Automatically Added"});
}

TEST_F(ListenerTest, RestartsAndFailuresKeepAccessBalanced) {
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(watch(a_));
  queue_->runPending();
  EXPECT_EQ(queue_->live(true).size(), 1u);
  EXPECT_EQ(testing::countLines(log(), "debug Dispatched Source was canceled"), 4u);
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_ + 1) << "only the live watch holds access";

  queue_->failFolderSources = true;
  EXPECT_FALSE(watch(a_));
  queue_->runPending();
  const std::string lines = log();
  EXPECT_EQ(testing::countLines(lines, "error Failed to open Dir FD"), 1u);
  EXPECT_NE(lines.find("error The limit of inotify watches is used up (fs.inotify.max_user_watches"),
            std::string::npos);
  platform::Faults::setRefuseAccess(a_);
  EXPECT_FALSE(watch(a_));
  listener_ = make(std::make_unique<ManualQueue>());
  EXPECT_EQ(testing::countLines(log(), "error Unable to access URL For Monitoring"), 1u);  // the saved folder
  EXPECT_EQ(SecurityScope::totalOpenCount(), baseline_);
}

}  // namespace
}  // namespace zivuv
