// The one executor's shutdown rule and the one reply's single answer; a
// worker whose task stalls leaves it behind and goes on with the rest.

#include <future>
#include <thread>

#include "fakes/TestSupport.h"
#include "platform/thread/Reply.h"
#include "platform/thread/Worker.h"

namespace zivuv::platform {
namespace {

using namespace std::chrono_literals;

TEST(ExecutorTest, RunsWhatCameBeforeItClosedAndAnswersWhatCameAfterWithTheFallback) {
  std::vector<int> answers;
  const auto reply = [&](int fallback) {
    return Reply<int>([&](int value) { answers.push_back(value); }, fallback);
  };
  Executor executor;
  EXPECT_TRUE(executor.post([r = reply(-1)]() mutable { std::move(r)(1); }));
  executor.close();
  EXPECT_FALSE(executor.post([r = reply(-2)]() mutable { std::move(r)(2); }));
  EXPECT_EQ(answers, std::vector<int>{-2}) << "refused, destroyed unrun: its fallback at once";
  for (auto& task : executor.takeAll()) task();
  EXPECT_EQ(answers, (std::vector<int>{-2, 1}));

  // One answer each: a reply moved away answers nothing, one replaced
  // answers its fallback, one answered is spent.
  Reply<int> first = reply(-3);
  Reply<int> moved = std::move(first);
  moved = reply(-4);
  std::move(moved)(4);
  std::move(moved)(5);
  EXPECT_EQ(answers, (std::vector<int>{-2, 1, -3, 4}));
}

TEST(WorkerTest, DestroyedItRunsEveryTaskPostedBefore) {
  std::vector<int> ran;
  std::promise<void> release;
  auto worker = std::make_unique<Worker>("test-worker");
  ASSERT_TRUE(worker->post([&] { release.get_future().wait(); }));
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(worker->post([&ran, i] { ran.push_back(i); }));
  std::thread closing([&] { worker.reset(); });
  std::this_thread::sleep_for(100ms);  // closed, with the first task still running
  release.set_value();
  closing.join();
  EXPECT_EQ(ran.size(), 100u);
}

TEST(WorkerTest, StalledTaskIsLeftToItsThreadAndTheTasksBehindItGoOn) {
  std::mutex mutex;
  std::vector<Task> checks;  // what the scheduler was asked to run
  Worker worker(
      "test-worker",
      [&](std::chrono::milliseconds, Task check) {
        std::lock_guard lock(mutex);
        checks.push_back(std::move(check));
      },
      0ms);
  std::promise<void> started, release;
  std::promise<bool> first, second;
  ASSERT_TRUE(worker.post([&] {
    started.set_value();
    release.get_future().wait();  // a share that does not answer
    first.set_value(Worker::abandoned());
  }));
  started.get_future().wait();
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(checks.empty()) << "nothing waits behind it: no check";
  }
  ASSERT_TRUE(worker.post([&] { second.set_value(Worker::abandoned()); }));
  Task check;
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(checks.size(), 1u);
    check = std::move(checks.front());
  }
  check();  // the stall limit has passed
  auto secondRan = second.get_future();
  ASSERT_EQ(secondRan.wait_for(10s), std::future_status::ready) << "the task behind never ran";
  EXPECT_FALSE(secondRan.get());
  release.set_value();
  EXPECT_TRUE(first.get_future().get()) << "the stalled task knows it was left behind";
}

}  // namespace
}  // namespace zivuv::platform
