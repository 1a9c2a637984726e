// The real service on a private bus: start-up, the protocol's replies, a
// second instance, a lost bus, many clients at once and the real debounce.

#include <thread>

#include "ServiceFixture.h"

namespace zivuv::testing {
namespace {

class ServiceTest : public ServiceFixture {};

TEST_F(ServiceTest, StartsWithoutSavedFolderAndAnswers) {
  Process& service = startService();
  ASSERT_TRUE(waitForLog("error No URL For Monitoring"));
  const auto lines = service.lines(Stream::Err);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
            (std::vector<std::string>{"info Starting Folder Monitor XPC Service",
                                      "info Launched Folder Monitor", "info Stopping Monitoring",
                                      "info Starting Monitoring", "error No URL For Monitoring"}));
  const auto verify = client_->verifyAgent();
  ASSERT_TRUE(verify.has_value()) << client_->lastError();
  EXPECT_FALSE(verify->first.has_value());
  EXPECT_EQ(verify->second, "zivuv-folder-monitor");
  EXPECT_EQ(client_->checkFolderNow(), std::optional<std::int64_t>(0));
}

TEST_F(ServiceTest, RejectsBadDataAndKeepsTheMonitoredFolder) {
  startService();
  watchFolder(watched());
  const auto secure = platform::createBookmark(watchedReal().string(), platform::BookmarkKind::Secure);
  std::vector<std::uint8_t> random(100);
  for (std::size_t i = 0; i < random.size(); ++i) random[i] = static_cast<std::uint8_t>(i * 131 + 7);
  for (const auto& bad : {std::vector<std::uint8_t>{}, random, *secure.data}) {
    EXPECT_EQ(client_->startMonitoring(bad), std::optional<bool>(false));
  }
  const auto verify = client_->verifyAgent();
  ASSERT_TRUE(verify && verify->first);
  const auto url = BookmarkUtils::resolveTransportData(*verify->first);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->path(), watchedReal().string());

  // Wrong argument types get the bus library's error; reset never leaves a
  // waiting caller hanging.
  const auto wrong = client_->call(folderMonitorTarget(), "startMonitoringWithPath",
                                   [](sd_bus_message* m) { return sd_bus_message_append(m, "s", "x"); });
  EXPECT_EQ(wrong.errorName, "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_TRUE(client_->resetExpectingReply());
}

TEST_F(ServiceTest, FirstSavedFolderWinsAcrossRestartsUntilReset) {
  const fs::path other = dir_ / "other";
  fs::create_directories(other);
  startService();
  watchFolder(watched());
  watchFolder(other);  // YES, but the first saved folder stays monitored
  auto monitored = [&] {
    const auto verify = client_->verifyAgent();
    if (!verify || !verify->first) return std::string("none");
    const auto url = BookmarkUtils::resolveTransportData(*verify->first);
    return url ? url->path() : std::string("?");
  };
  EXPECT_EQ(monitored(), watchedReal().string());

  stopService();
  startService();
  EXPECT_EQ(monitored(), watchedReal().string()) << "the first of several saved folders wins";

  ASSERT_TRUE(client_->reset());
  EXPECT_EQ(monitored(), watchedReal().string()) << "reset keeps the current folder";
  stopService();
  startService();
  EXPECT_EQ(monitored(), "none");
  ASSERT_TRUE(waitForLog("error No URL For Monitoring"));
}

TEST_F(ServiceTest, SecondInstanceExitsWithOneAndFirstKeepsServing) {
  startService();
  Process second({binaryPath("zivuv-folder-monitor").string()}, serviceEnvironment());
  const auto status = second.waitExit(deadlineIn(20s));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(second.countLines(Stream::Err, "already owned"), 1u) << second.transcript();
  EXPECT_TRUE(client_->verifyAgent().has_value());
}

TEST_F(ServiceTest, NoSessionBusIsOneLineAndStatusOne) {
  auto env = serviceEnvironment();
  env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (dir_ / "no-bus-here").string();
  Process service({binaryPath("zivuv-folder-monitor").string()}, env);
  const auto status = service.waitExit(deadlineIn(20s));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(*status, 1);
  EXPECT_EQ(service.countLines(Stream::Err, "zivuv-folder-monitor: cannot connect to the session bus"), 1u)
      << service.transcript();
}

TEST_F(ServiceTest, LostBusEndsTheRunLoopWithStatusZero) {
  Process& service = startService();
  watchFolder(watched());
  bus_->stop();
  const auto status = service.waitExit(deadlineIn(20s));
  ASSERT_TRUE(status.has_value()) << "the service must not keep running without its bus";
  EXPECT_EQ(*status, 0);
  const auto lines = service.lines(Stream::Err);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "info Finished Folder Monitor XPC Service");
}

TEST_F(ServiceTest, ManyClientsAtOnceEachGetOneReplyAndNothingLeaks) {
  Process& service = startService();
  watchFolder(watched());
  for (int i = 0; i < 20; ++i) makeRepository("repo" + std::to_string(i));
  constexpr int kClients = 8;
#ifdef ZIVUV_SANITIZED
  constexpr int kCalls = 150;
#else
  constexpr int kCalls = 1250;  // 10,000 calls in all
#endif
  std::atomic<int> answered{0};
  std::atomic<std::int64_t> registered{0};
  auto load = [&](int calls) {
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
      threads.emplace_back([&, c] {
        BusClient client(bus_->address());
        client.setTimeout(60s);
        for (int i = 0; i < calls; ++i) {
          if ((i + c) % 10 == 0) {
            if (const auto n = client.checkFolderNow()) {
              registered += *n;
              ++answered;
            }
          } else if (client.verifyAgent()) {
            ++answered;
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
  };
  // A first, smaller load brings the heap and the bus buffers to their
  // working size; the measured load must then not grow them.
  load(kCalls / 5);
  const auto fdsBefore = service.openFdCount();
  [[maybe_unused]] const auto rssBefore = service.rssKiB();
  answered = 0;
  load(kCalls);
  EXPECT_EQ(answered.load(), kClients * kCalls);
  EXPECT_EQ(registered.load(), 20) << "scans never overlap, so each folder counts once";
  EXPECT_EQ(listedPaths().size(), 20u);
  ASSERT_TRUE(client_->verifyAgent().has_value());
  const auto fdsAfter = service.openFdCount();
  ASSERT_TRUE(fdsBefore && fdsAfter);
  EXPECT_LE(*fdsAfter, *fdsBefore + 3);
#ifndef ZIVUV_SANITIZED
  const auto rssAfter = service.rssKiB();
  ASSERT_TRUE(rssBefore && rssAfter);
  EXPECT_LE(*rssAfter, *rssBefore + 1024) << "KiB";
#endif
}

TEST_F(ServiceTest, OneChangeGivesOneScanNoEarlierThanThreeSeconds) {
  startService();
  watchFolder(watched());
  const auto changed = Clock::now();
  makeRepository("new");
  ASSERT_TRUE(waitForLog("debug Timer event has fired", 1, deadlineIn(30s)));
  EXPECT_GE(Clock::now() - changed, 3s);
  ASSERT_TRUE(waitForLog("info Checked and have one new repo"));
  EXPECT_EQ(listedPaths(), std::vector<std::string>{folderInWatched("new")});
  // The scan's own listing does not wake the watch: one scan, then quiet.
  ASSERT_TRUE(client_->verifyAgent().has_value());
  EXPECT_EQ(logCount("debug Checking For New Repositories"), 1u);
}

}  // namespace
}  // namespace zivuv::testing
