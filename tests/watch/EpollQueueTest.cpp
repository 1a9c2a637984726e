// The real queue against the kernel: a watch that follows its path and its
// parents, a tree of folders on one watch, lost events, descriptors closed
// by the cancel itself, timers that never fire early or after their cancel,
// and a queue ended by its own work.

#include "watch/EpollQueue.h"

#include <dirent.h>
#include <sys/stat.h>

#include <condition_variable>
#include <thread>

#include "discovery/RepositoryTest.h"
#include "fakes/TestSupport.h"
#include "watch/WatchLimits.h"

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
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return seen.size() >= n; });
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(seen, {});
  }
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> seen;
};

std::size_t openDescriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

TreeFolder treeFolder(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return {path, st.st_dev, st.st_ino};
}

class EpollQueueTest : public testing::TempConfigTest {
 protected:
  // Waits until the queue has handled what the kernel reported so far.
  void settle() {
    Recorder done;
    auto timer = queue_.makeTimer(50ms, [&] { done.add("settled"); });
    ASSERT_TRUE(done.waitFor(1));
  }
  std::shared_ptr<FolderSource> watch(const std::string& path) {
    return queue_.makeFolderSource(path, [this](FolderEvent event) {
      static const char* const kNames[] = {"changed", "overflow", "gone", "back", "replaced"};
      events_.add(kNames[static_cast<int>(event)]);
    }, nullptr);
  }

  Recorder events_;
  EpollQueue queue_{"test-queue"};
};

TEST_F(EpollQueueTest, WatchFollowsThePathThroughMovesOfItselfAndItsParents) {
  const std::string folder = makeFolder("parent/w");
  const auto source = watch(folder);
  fs::rename(folder, root_ + "/moved");
  ASSERT_TRUE(events_.waitFor(1));
  writeFile(root_ + "/moved/new", "x");  // the old folder is no longer watched
  fs::create_directory(folder);
  ASSERT_TRUE(events_.waitFor(2));
  fs::create_directory(folder + "/new");
  ASSERT_TRUE(events_.waitFor(3));
  fs::rename(root_ + "/parent", root_ + "/parent.old");  // a parent moves: the path leads nowhere
  ASSERT_TRUE(events_.waitFor(4));
  fs::create_directory(root_ + "/parent.old/w/other");  // nor is the folder it took along
  fs::create_directories(folder);
  ASSERT_TRUE(events_.waitFor(5));
  fs::remove_all(root_ + "/parent");  // the parent goes: its parent waits
  ASSERT_TRUE(events_.waitFor(6));
  fs::create_directories(folder);
  ASSERT_TRUE(events_.waitFor(7));
  settle();
  EXPECT_EQ(events_.take(),
            (std::vector<std::string>{"gone", "back", "changed", "gone", "back", "gone", "back"}));
  EXPECT_EQ(queue_.makeFolderSource(root_ + "/absent", nullptr, nullptr), nullptr);
}

TEST_F(EpollQueueTest, ListingTheFolderAndTestingItsRepositoriesWakesNothing) {
  const std::string folder = makeFolder("w");
  ASSERT_TRUE(testing::gitInit(folder + "/repo"));
  const auto source = watch(folder);
  ASSERT_EQ(source->watchTree({treeFolder(folder + "/repo")}, 10).watched, 1u);
  // What a scan does: list the folders, test each entry, read settings.
  for (const std::string& listed : {folder, folder + "/repo"}) {
    DIR* dir = ::opendir(listed.c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.' && listed == folder) {
        EXPECT_TRUE(discovery::testRepositoryAt(::dirfd(dir), entry->d_name, listed + "/" + entry->d_name).opens());
      }
    }
    ::closedir(dir);
  }
  EXPECT_FALSE(testing::readFile(folder + "/repo/.git/HEAD").empty());
  settle();
  EXPECT_EQ(events_.take(), std::vector<std::string>{});
}

TEST_F(EpollQueueTest, TreeWatchKeepsTheShallowestFoldersUpToItsCapAndDropsWhatLeft) {
  const std::string folder = makeFolder("w");
  std::vector<TreeFolder> tree;
  for (const char* name : {"a", "b", "c", "a/x"}) tree.push_back(treeFolder(makeFolder(std::string("w/") + name)));
  const auto source = watch(folder);
  const auto full = source->watchCount();
  // As a depth-first walk opens them, a/x comes before b and c and takes the cap.
  for (const auto& opened : {tree[0], tree[3], tree[1]}) source->watchTreeFolder(opened, 2);
  EXPECT_EQ(source->watchCount(), full + 2);
  const auto capped = source->watchTree(tree, 2);  // after the walk: the shallowest
  EXPECT_TRUE(capped.capped);
  EXPECT_EQ(capped.watched, 2u);
  EXPECT_EQ(source->watchCount(), full + 2);
  writeFile(folder + "/a/file", "x");  // files below come and go unseen
  fs::create_directory(folder + "/a/x/sub");  // dropped for b
  fs::create_directory(folder + "/c/sub");  // past the cap
  settle();
  EXPECT_EQ(events_.take(), std::vector<std::string>{});
  fs::create_directory(folder + "/b/sub");
  ASSERT_TRUE(events_.waitFor(1));
  settle();
  EXPECT_EQ(events_.take(), std::vector<std::string>{"changed"});

  tree.erase(tree.begin() + 1);  // b is no longer walked: c takes its place
  EXPECT_EQ(source->watchTree(tree, 2).watched, 2u);
  fs::create_directory(folder + "/b/sub2");
  settle();
  EXPECT_EQ(events_.take(), std::vector<std::string>{});
  fs::create_directory(folder + "/c/sub2");
  ASSERT_TRUE(events_.waitFor(1));
}

TEST(WatchLimits, TreeWatchCapIsHalfTheUsersLimitAndNeverAbove65536) {
  const std::pair<std::size_t, std::size_t> limitsAndCaps[] = {
      {8192, 4096}, {131072, 65536}, {131074, 65536}, {1048576, 65536}, {0, 65536}};
  for (const auto& [limit, cap] : limitsAndCaps) EXPECT_EQ(treeWatchCap(limit), cap) << limit;
  // This machine's own limit, with no override.
  EXPECT_EQ(treeWatchCap(), treeWatchCap(maxUserWatches()));
}

TEST_F(EpollQueueTest, WatchesOfTheFolderAndItsParentsThatTheKernelRefusesAreTriedAgain) {
  const std::string folder = makeFolder("p/w");
  platform::Faults::setRefuseWatch(root_ + "/p");
  const auto source = watch(folder);
  const auto without = source->watchCount();
  const auto triedAgain = [&] {
    EXPECT_EQ(source->refusedWatch(), ENOSPC);
    platform::Faults::setRefuseWatch({});
    queue_.async([&] { source->rewatch(); });
    settle();
    EXPECT_EQ(source->refusedWatch(), 0);
    EXPECT_EQ(source->watchCount(), without + 1);
  };
  triedAgain();  // the parent
  fs::rename(folder, root_ + "/p/old");
  ASSERT_TRUE(events_.waitFor(1));
  platform::Faults::setRefuseWatch(folder);
  fs::create_directory(folder);  // back, and refused
  settle();
  triedAgain();  // the folder
  EXPECT_EQ(events_.take(), (std::vector<std::string>{"gone", "back"}));
}

TEST_F(EpollQueueTest, QueueOverflowIsToldAndCountsAsAChange) {
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
  ASSERT_TRUE(events_.waitFor(2));
  settle();
  EXPECT_EQ(events_.take(), (std::vector<std::string>{"overflow", "changed"}));
  fs::remove_all(pattern);
}

TEST_F(EpollQueueTest, CancelClosesDescriptorsAtOnceAndTimersNeverFireEarlyOrAfterIt) {
  const std::size_t before = openDescriptors();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::chrono::steady_clock::duration> at;
  auto timer = queue_.makeTimer(200ms, [&] { at.push_back(std::chrono::steady_clock::now() - start), events_.add("tick"); }, 100ms);
  auto cancelled = queue_.makeTimer(100ms, [&] { events_.add("cancelled"); });
  const auto folder = watch(makeFolder("w"));
  EXPECT_EQ(openDescriptors(), before + 3);
  std::thread([&] { cancelled->cancel(), folder->cancel(); }).join();
  EXPECT_EQ(openDescriptors(), before + 1) << "closed by the cancel, not later by the queue";
  ASSERT_TRUE(events_.waitFor(3));
  timer->cancel();
  std::this_thread::sleep_for(250ms);  // past two more periods of the cancelled timer
  settle();
  EXPECT_EQ(events_.take(), std::vector<std::string>(3, "tick"));
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
