// The real queue against the kernel: order and thread of work, what wakes a
// folder watch and what does not, cancellation from another thread, and
// timers that never fire early.

#include "watch/EpollQueue.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

namespace zivuv::watch {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Counts handler calls and lets the test wait for a count with a deadline.
class Counter {
 public:
  void bump() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  bool waitFor(int n, std::chrono::seconds deadline = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] { return count_ >= n; });
  }
  int value() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

class EpollQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/zivuv-queue-XXXXXX";
    folder_ = fs::path(::mkdtemp(pattern));
  }
  void TearDown() override { fs::remove_all(folder_); }

  // Waits until everything the queue has read so far has been handled, by
  // letting a short timer on the same queue fire behind it.
  void settle(EpollQueue& queue) {
    Counter done;
    auto timer = queue.makeTimer(50ms, 0ms, [&] { done.bump(); });
    ASSERT_TRUE(done.waitFor(1));
  }

  fs::path folder_;
};

TEST_F(EpollQueueTest, WorkRunsInOrderOnOneOtherThread) {
  EpollQueue queue("test-queue");
  std::mutex mutex;
  std::vector<int> order;
  std::set<std::thread::id> threads;
  Counter done;
  for (int i = 0; i < 100; ++i) {
    queue.async([&, i] {
      std::lock_guard lock(mutex);
      order.push_back(i);
      threads.insert(std::this_thread::get_id());
      if (i == 99) done.bump();
    });
  }
  ASSERT_TRUE(done.waitFor(1));
  std::lock_guard lock(mutex);
  ASSERT_EQ(order.size(), 100u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST_F(EpollQueueTest, EntryChangesWakeTheWatchButReadsNever) {
  EpollQueue queue("test-queue");
  Counter events;
  auto source = queue.makeFolderSource(folder_.string(), [&] { events.bump(); }, nullptr);
  ASSERT_NE(source, nullptr);

  // Listing the folder and reading a file in it must not wake the watch:
  // the scan's own listing would otherwise start the next scan.
  std::ofstream(folder_ / "file") << "x";
  ASSERT_TRUE(events.waitFor(1));
  settle(queue);
  const int afterCreate = events.value();
  for (int i = 0; i < 5; ++i) {
    for (const auto& entry : fs::directory_iterator(folder_)) (void)entry;
    std::ifstream(folder_ / "file").get();
  }
  settle(queue);
  EXPECT_EQ(events.value(), afterCreate);

  fs::create_directory(folder_ / "sub");
  ASSERT_TRUE(events.waitFor(afterCreate + 1));
  // Changes deeper down are not the folder's own.
  settle(queue);
  const int afterSub = events.value();
  std::ofstream(folder_ / "sub" / "deep") << "x";
  settle(queue);
  EXPECT_EQ(events.value(), afterSub);
  source->cancel();
}

TEST_F(EpollQueueTest, DeletedFolderReportsOnceAndFallsSilent) {
  EpollQueue queue("test-queue");
  Counter events;
  auto source = queue.makeFolderSource(folder_.string(), [&] { events.bump(); }, nullptr);
  ASSERT_NE(source, nullptr);
  fs::remove_all(folder_);
  ASSERT_TRUE(events.waitFor(1));
  settle(queue);
  settle(queue);
  EXPECT_LE(events.value(), 2) << "a dropped watch must not spin";
  source->cancel();
}

TEST_F(EpollQueueTest, CancelFromAnotherThreadRunsCancelHandlerOnceOnQueue) {
  EpollQueue queue("test-queue");
  Counter events;
  Counter cancels;
  std::thread::id cancelThread;
  auto source = queue.makeFolderSource(
      folder_.string(), [&] { events.bump(); },
      [&] {
        cancelThread = std::this_thread::get_id();
        cancels.bump();
      });
  ASSERT_NE(source, nullptr);
  std::thread([&] {
    source->cancel();
    source->cancel();
  }).join();
  ASSERT_TRUE(cancels.waitFor(1));
  std::ofstream(folder_ / "after") << "x";
  settle(queue);
  EXPECT_EQ(events.value(), 0);
  EXPECT_EQ(cancels.value(), 1);
  EXPECT_NE(cancelThread, std::this_thread::get_id());
}

TEST_F(EpollQueueTest, QueueOverflowCountsAsOneChange) {
  // Tens of thousands of entry changes: on tmpfs, where they are cheap.
  char pattern[] = "/dev/shm/zivuv-overflow-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm here";
  fs::remove_all(folder_);
  folder_ = pattern;
  EpollQueue queue("test-queue");
  Counter events;
  auto source = queue.makeFolderSource(folder_.string(), [&] { events.bump(); }, nullptr);
  ASSERT_NE(source, nullptr);
  // Hold the queue thread so that the kernel's event queue overflows.
  std::mutex gate;
  std::unique_lock hold(gate);
  Counter held;
  queue.async([&] {
    held.bump();
    std::lock_guard wait(gate);
  });
  ASSERT_TRUE(held.waitFor(1));
  std::ifstream limitFile("/proc/sys/fs/inotify/max_queued_events");
  int limit = 16384;
  limitFile >> limit;
  for (int i = 0; i <= limit / 2 + 1; ++i) {
    fs::create_directory(folder_ / std::to_string(i));
    fs::remove(folder_ / std::to_string(i));
  }
  hold.unlock();
  ASSERT_TRUE(events.waitFor(1));
  settle(queue);
  EXPECT_LE(events.value(), 2) << "an overflowed queue is read as one batch";
  source->cancel();
}

TEST_F(EpollQueueTest, MissingFolderGivesNoSource) {
  EpollQueue queue("test-queue");
  EXPECT_EQ(queue.makeFolderSource((folder_ / "absent").string(), [] {}, nullptr), nullptr);
  std::ofstream(folder_ / "plain") << "x";
  EXPECT_EQ(queue.makeFolderSource((folder_ / "plain").string(), [] {}, nullptr), nullptr);
}

TEST_F(EpollQueueTest, TimerNeverFiresEarlyAndCancelledTimerNever) {
  EpollQueue queue("test-queue");
  Counter fired;
  std::chrono::steady_clock::time_point firedAt;
  const auto start = std::chrono::steady_clock::now();
  auto timer = queue.makeTimer(200ms, 100ms, [&] {
    firedAt = std::chrono::steady_clock::now();
    fired.bump();
  });
  Counter never;
  auto cancelled = queue.makeTimer(100ms, 0ms, [&] { never.bump(); });
  cancelled->cancel();
  ASSERT_TRUE(fired.waitFor(1));
  EXPECT_GE(firedAt - start, 200ms);
  settle(queue);
  EXPECT_EQ(never.value(), 0);
}

}  // namespace
}  // namespace zivuv::watch
