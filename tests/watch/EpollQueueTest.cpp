// The real queue against the kernel: order and thread of work, what wakes a
// folder watch and what does not, a watch that follows its path, timers that
// never fire early, and the folders waiting to become repositories.

#include "watch/EpollQueue.h"

#include <dirent.h>

#include <condition_variable>
#include <set>
#include <thread>

#include "fakes/TestSupport.h"
#include "watch/PendingFolders.h"

namespace zivuv::watch {
namespace {

using namespace std::chrono_literals;
using testing::writeFile;

// What handlers reported, with a wait for it that has a deadline.
class Recorder {
 public:
  void add(const std::string& what) {
    std::lock_guard lock(mutex_);
    seen_.push_back(what);
    changed_.notify_all();
  }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return seen_.size() >= n; });
  }
  std::vector<std::string> seen() {
    std::lock_guard lock(mutex_);
    return seen_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> seen_;
};

class EpollQueueTest : public testing::TempConfigTest {
 protected:
  // Waits until the queue has handled what the kernel reported so far.
  void settle() {
    Recorder done;
    auto timer = queue_.makeTimer(50ms, [&] { done.add("settled"); });
    ASSERT_TRUE(done.waitFor(1));
  }
  std::shared_ptr<Source> watch(const std::string& path, Recorder& events) {
    return queue_.makeFolderSource(path, [&](FolderEvent event) {
      events.add(event == FolderEvent::Changed ? "changed" : event == FolderEvent::Gone ? "gone" : "back");
    }, nullptr);
  }
  static std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
    return n;
  }

  EpollQueue queue_{"test-queue"};
};

TEST_F(EpollQueueTest, WorkRunsInOrderOnOneOtherThread) {
  Recorder done;
  std::vector<int> order;
  std::set<std::thread::id> threads;
  for (int i = 0; i < 100; ++i) {
    queue_.async([&, i] {
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
      if (i == 99) done.add("done");
    });
  }
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(order.size(), 100u);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_FALSE(threads.contains(std::this_thread::get_id()));
}

TEST_F(EpollQueueTest, EntryChangesWakeTheWatchButReadsAndDeeperChangesNever) {
  const std::string folder = makeFolder("w");
  Recorder events;
  const auto source = watch(folder, events);
  ASSERT_NE(source, nullptr);
  writeFile(folder + "/sub/deep", "x");
  ASSERT_TRUE(events.waitFor(1));
  settle();
  const auto before = events.seen().size();
  // The scan's own listing must not wake the watch: it would start the
  // next scan, forever.
  for (int i = 0; i < 5; ++i) {
    for (const auto& entry : fs::directory_iterator(folder)) (void)entry;
    (void)testing::readFile(folder + "/sub/deep");
  }
  writeFile(folder + "/sub/deeper", "x");
  settle();
  EXPECT_EQ(events.seen().size(), before);
  source->cancel();
}

TEST_F(EpollQueueTest, WatchFollowsThePathThroughMovesAndDeletions) {
  const std::string folder = makeFolder("parent/w");
  Recorder events;
  const auto source = watch(folder, events);
  ASSERT_NE(source, nullptr);
  fs::rename(folder, root_ + "/moved");
  ASSERT_TRUE(events.waitFor(1));
  writeFile(root_ + "/moved/new", "x");  // the old folder is no longer watched
  fs::create_directory(folder);
  ASSERT_TRUE(events.waitFor(2));
  fs::create_directory(folder + "/new");
  ASSERT_TRUE(events.waitFor(3));
  fs::remove(folder + "/new");
  ASSERT_TRUE(events.waitFor(4));
  fs::remove_all(root_ + "/parent");  // the parent goes too: its parent waits
  ASSERT_TRUE(events.waitFor(5));
  fs::create_directories(folder);
  ASSERT_TRUE(events.waitFor(6));
  settle();
  EXPECT_EQ(events.seen(),
            (std::vector<std::string>{"gone", "back", "changed", "changed", "gone", "back"}));
  EXPECT_EQ(queue_.makeFolderSource(root_ + "/absent", nullptr, nullptr), nullptr);
  source->cancel();
}

TEST_F(EpollQueueTest, QueueOverflowCountsAsOneChange) {
  // Tens of thousands of entry changes: on tmpfs, where they are cheap.
  char pattern[] = "/dev/shm/zivuv-overflow-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm here";
  Recorder events;
  const auto source = watch(pattern, events);
  ASSERT_NE(source, nullptr);
  // Hold the queue thread so that the kernel's event queue overflows.
  std::mutex gate;
  std::unique_lock hold(gate);
  Recorder held;
  queue_.async([&] {
    held.add("held");
    std::lock_guard wait(gate);
  });
  ASSERT_TRUE(held.waitFor(1));
  int limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> limit;
  for (int i = 0; i <= limit / 2 + 1; ++i) {
    fs::create_directory(std::string(pattern) + "/" + std::to_string(i));
    fs::remove(std::string(pattern) + "/" + std::to_string(i));
  }
  hold.unlock();
  ASSERT_TRUE(events.waitFor(1));
  settle();
  EXPECT_EQ(events.seen(), std::vector<std::string>{"changed"});
  source->cancel();
  fs::remove_all(pattern);
}

TEST_F(EpollQueueTest, TimersNeverFireEarlyAndNeverAfterTheirCancel) {
  Recorder fired;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::chrono::steady_clock::duration> at;
  auto timer = queue_.makeTimer(
      200ms, [&] { at.push_back(std::chrono::steady_clock::now() - start), fired.add("tick"); },
      100ms);
  auto cancelled = queue_.makeTimer(100ms, [&] { fired.add("cancelled"); });
  std::thread([&] { cancelled->cancel(); }).join();
  ASSERT_TRUE(fired.waitFor(3));
  timer->cancel();
  settle();
  EXPECT_EQ(fired.seen(), std::vector<std::string>(3, "tick"));
  EXPECT_GE(at[0], 200ms);
  EXPECT_GE(at[2], 400ms);
}

TEST(EpollQueueLife, DestroyedByItsOwnHandlerTheWorkerEndsByItself) {
  auto* queue = new EpollQueue("test-queue");
  Recorder done;
  queue->async([&] {
    delete queue;
    done.add("deleted");
  });
  EXPECT_TRUE(done.waitFor(1));
}

TEST_F(EpollQueueTest, PendingFoldersWatchRecentFoldersUntilQuietAndLeaveNoDescriptor) {
  const std::string fresh = makeFolder("w/fresh"), old = makeFolder("w/old");
  const auto baseline = openDescriptors();
  Recorder changes;
  std::shared_ptr<PendingFolders> pending;
  const auto onQueue = [&](std::function<void()> work) {
    Recorder done;
    queue_.async([&] { work(), done.add("ran"); });
    ASSERT_TRUE(done.waitFor(1));
  };
  onQueue([&] {
    pending = PendingFolders::create(queue_, [&] { changes.add("change"); },
                                     [](const std::string& path) { return fs::exists(path + "/.git/HEAD"); },
                                     1s);
    pending->update({fresh});
  });
  EXPECT_EQ(pending->size(), 1u);
  makeFolder("w/fresh/.git");  // seen by the folder's watch, and .git is watched from then on
  ASSERT_TRUE(changes.waitFor(1));
  writeFile(fresh + "/.git/HEAD", "ref: refs/heads/main\n");
  ASSERT_TRUE(changes.waitFor(2));

  // A folder quiet for the period goes, and with the last one goes every
  // descriptor and timer.
  std::this_thread::sleep_for(1500ms);
  settle();
  onQueue([&] { EXPECT_EQ(pending->size(), 0u); });
  EXPECT_EQ(openDescriptors(), baseline);
  std::this_thread::sleep_for(1100ms);  // old is older than the period now
  onQueue([&] { pending->update({old, fresh}); });
  onQueue([&] { EXPECT_EQ(pending->size(), 0u); });
}

}  // namespace
}  // namespace zivuv::watch
