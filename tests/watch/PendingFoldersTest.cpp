// The pending folders' log: the folders that a scan turns away for want of
// room are told of in one line with their count, and each only once; and a
// folder that became a repository before its watch ran.

#include "watch/PendingFolders.h"

#include "fakes/ManualQueue.h"
#include "fakes/TestSupport.h"
#include "platform/log/Logger.h"

namespace zivuv::watch {
namespace {

struct LimitLines final : platform::LogSink {
  void write(platform::LogLevel, std::string_view message) override {
    if (message.starts_with("Pending folder limit")) lines.emplace_back(message);
  }
  std::vector<std::string> lines;
};

struct AcceptingSet final : FolderSet {
  int add(const std::string&) override { return 0; }
  void remove(const std::string&) override {}
  void cancel() override {}
};

TEST(PendingFoldersTest, FoldersTurnedAwayByOneScanAreOneLineWithTheirCount) {
  const auto sink = std::make_shared<LimitLines>();
  platform::Logger::shared().setSink(sink);
  const auto pending = PendingFolders::create(
      std::make_shared<testing::ManualQueue>(),
      [](FolderSetHandler) { return std::make_shared<AcceptingSet>(); }, {}, {}, {});
  std::vector<PendingFolders::Candidate> failed;
  // The second scan finds the same folders again, the third one more.
  for (const std::size_t count : {4256, 4256, 4257}) {
    while (failed.size() < count) {
      failed.push_back({"/p" + std::to_string(failed.size()), std::chrono::system_clock::now()});
    }
    pending->update(failed);
  }
  platform::Logger::shared().setSink(platform::makeStderrSink());
  EXPECT_EQ(sink->lines, (std::vector<std::string>{
                             "Pending folder limit of 256 reached, not watching: 4000 folders",
                             "Pending folder limit of 256 reached, not watching: 1 folder"}));
  EXPECT_EQ(pending->size(), PendingFolders::kMaxFolders);
}

TEST(PendingFoldersTest, FolderThatPassedBeforeItsWatchRanWaitsTheRetestDelayAsAChangeWould) {
  const auto queue = std::make_shared<testing::ManualQueue>();
  std::vector<std::string> taken;
  const auto pending = PendingFolders::create(
      queue, [](FolderSetHandler) { return std::make_shared<AcceptingSet>(); },
      [&](const std::vector<std::string>& paths) {
        taken.insert(taken.end(), paths.begin(), paths.end());
      },
      [](const std::string&) { return PendingFolders::Retest::Repository; },
      std::chrono::seconds(3));
  pending->update({{"/late", std::chrono::system_clock::now()}});
  queue->advance(std::chrono::milliseconds(2999));
  EXPECT_TRUE(taken.empty());
  queue->advance(std::chrono::milliseconds(1));
  EXPECT_EQ(taken, std::vector<std::string>{"/late"});
  EXPECT_EQ(pending->size(), 0u);
}

}  // namespace
}  // namespace zivuv::watch
