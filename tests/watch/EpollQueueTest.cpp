// The real queue against the kernel: a watch that follows its path, lost
// events, timers that never fire early, and a queue ended by its own work.

#include "watch/EpollQueue.h"

#include <condition_variable>
#include <thread>

#include "fakes/TestSupport.h"

namespace zivuv::watch {
namespace {

using namespace std::chrono_literals;
using testing::writeFile;

// What handlers reported, on any thread; waitFor has a deadline.
struct Recorder {
  void add(const std::string& what) {
    std::lock_guard lock(mutex);
    seen.push_back(what);
    changed.notify_all();
  }
  // Read under the lock: the folder's removal after a test still reports,
  // through the kernel, which a race detector cannot see.
  std::vector<std::string> snapshot() { std::lock_guard lock(mutex); return seen; }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return seen.size() >= n; });
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> seen;
};

class EpollQueueTest : public testing::TempConfigTest {
 protected:
  // Waits until the queue has handled what the kernel reported so far.
  void settle() {
    Recorder done;
    auto timer = queue_.makeTimer(50ms, [&] { done.add("settled"); });
    ASSERT_TRUE(done.waitFor(1));
  }
  std::shared_ptr<Source> watch(const std::string& path) {
    return queue_.makeFolderSource(path, [this](FolderEvent event) {
      events_.add(event == FolderEvent::Changed ? "changed" : event == FolderEvent::Gone ? "gone" : "back");
    }, nullptr);
  }

  Recorder events_;
  EpollQueue queue_{"test-queue"};
};

TEST_F(EpollQueueTest, WatchFollowsThePathThroughMovesAndDeletions) {
  const std::string folder = makeFolder("parent/w");
  const auto source = watch(folder);
  fs::rename(folder, root_ + "/moved");
  ASSERT_TRUE(events_.waitFor(1));
  writeFile(root_ + "/moved/new", "x");  // the old folder is no longer watched
  fs::create_directory(folder);
  ASSERT_TRUE(events_.waitFor(2));
  fs::create_directory(folder + "/new");
  ASSERT_TRUE(events_.waitFor(3));
  fs::remove(folder + "/new");
  ASSERT_TRUE(events_.waitFor(4));
  fs::remove_all(root_ + "/parent");  // the parent goes too: its parent waits
  ASSERT_TRUE(events_.waitFor(5));
  fs::create_directories(folder);
  ASSERT_TRUE(events_.waitFor(6));
  settle();
  EXPECT_EQ(events_.snapshot(), (std::vector<std::string>{"gone", "back", "changed", "changed", "gone", "back"}));
  EXPECT_EQ(queue_.makeFolderSource(root_ + "/absent", nullptr, nullptr), nullptr);
}

TEST_F(EpollQueueTest, QueueOverflowCountsAsOneChange) {
  // Tens of thousands of entry changes: on tmpfs, where they are cheap.
  char pattern[] = "/dev/shm/zivuv-overflow-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm here";
  const auto source = watch(pattern);
  // Hold the queue thread so that the kernel's event queue overflows.
  std::mutex gate;
  std::unique_lock hold(gate);
  Recorder held;
  queue_.async([&] { held.add("held"), std::lock_guard(gate); });
  ASSERT_TRUE(held.waitFor(1));
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  for (int i = 0; i <= limit / 2 + 1; ++i) {
    fs::create_directory(std::string(pattern) + "/" + std::to_string(i));
    fs::remove(std::string(pattern) + "/" + std::to_string(i));
  }
  hold.unlock();
  ASSERT_TRUE(events_.waitFor(1));
  settle();
  EXPECT_EQ(events_.snapshot(), std::vector<std::string>{"changed"});
  fs::remove_all(pattern);
}

TEST_F(EpollQueueTest, TimersNeverFireEarlyAndNeverAfterTheirCancel) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::chrono::steady_clock::duration> at;
  auto timer = queue_.makeTimer(200ms, [&] { at.push_back(std::chrono::steady_clock::now() - start), events_.add("tick"); }, 100ms);
  auto cancelled = queue_.makeTimer(100ms, [&] { events_.add("cancelled"); });
  std::thread([&] { cancelled->cancel(); }).join();
  ASSERT_TRUE(events_.waitFor(3));
  timer->cancel();
  settle();
  EXPECT_EQ(events_.snapshot(), std::vector<std::string>(3, "tick"));
  EXPECT_GE(at[0], 200ms);
  EXPECT_GE(at[2], 400ms);
}

TEST(EpollQueueLife, DestroyedByItsOwnHandlerTheWorkerEndsByItself) {
  auto* queue = new EpollQueue("test-queue");
  Recorder done;
  queue->async([&] { delete queue, done.add("deleted"); });
  EXPECT_TRUE(done.waitFor(1));
}

}  // namespace
}  // namespace zivuv::watch
