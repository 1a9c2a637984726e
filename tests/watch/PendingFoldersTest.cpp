// The pending folders' log: the folders that a scan turns away for want of
// room are told of in one line with their count, and each only once.

#include "watch/PendingFolders.h"

#include "fakes/ManualQueue.h"
#include "fakes/TestSupport.h"
#include "platform/log/Logger.h"

namespace zivuv::watch {
namespace {

struct LinesSink final : platform::LogSink {
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
  auto sink = std::make_shared<LinesSink>();
  platform::Logger::shared().setSink(sink);
  const auto queue = std::make_shared<testing::ManualQueue>();
  const auto pending = PendingFolders::create(
      queue, [](FolderSetHandler) { return std::make_shared<AcceptingSet>(); }, {}, {},
      std::chrono::seconds(3));
  const auto now = std::chrono::system_clock::now();
  std::vector<PendingFolders::Candidate> failed;
  const auto scan = [&](std::size_t count) {
    for (std::size_t i = failed.size(); i < count; ++i) {
      failed.push_back({"/nowhere/plain-" + std::to_string(i), now});
    }
    pending->update(failed);
  };
  scan(PendingFolders::kMaxFolders + 4000);
  scan(PendingFolders::kMaxFolders + 4000);  // the same folders: told already
  scan(PendingFolders::kMaxFolders + 4001);
  platform::Logger::shared().setSink(platform::makeStderrSink());
  EXPECT_EQ(sink->lines, (std::vector<std::string>{
                             "Pending folder limit of 256 reached, not watching: 4000 folders",
                             "Pending folder limit of 256 reached, not watching: 1 folder"}));
  EXPECT_EQ(pending->size(), PendingFolders::kMaxFolders);
  EXPECT_EQ(pending->tracked().size(), failed.size());
}

}  // namespace
}  // namespace zivuv::watch
