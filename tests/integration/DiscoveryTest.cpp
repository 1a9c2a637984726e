// New repositories end to end: the scan over the bus, DefaultsChanged, the
// desktop notification and its click, translations, hostile folder names,
// and what a failing store or notification server may cost.

#include "ServiceFixture.h"
#include "discovery/RepositoryScan.h"

namespace zivuv::testing {
namespace {

class DiscoveryTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    notifications_ = std::make_unique<FakeNotificationServer>(bus_->address());
    ASSERT_TRUE(notifications_->ok()) << notifications_->error();
    defaultsChanged_ = client_->subscribeDefaultsChanged();
    ASSERT_NE(defaultsChanged_, nullptr);
  }

  std::int64_t scan() { return client_->checkFolderNow().value_or(-1); }

  // One repository registered by a scan of a freshly started service: the
  // notice of it.
  NotifyCall announce(const std::string& name, const Environment& env = {}) {
    makeRepository(name);
    startService(env);
    watchFolder(watched());
    EXPECT_EQ(scan(), 1);
    EXPECT_TRUE(notifications_->waitForCalls(1, deadlineIn(10s)));
    return notifications_->calls().at(0);
  }

  std::unique_ptr<FakeNotificationServer> notifications_;
  std::shared_ptr<SignalRecorder> defaultsChanged_;
};

TEST_F(DiscoveryTest, MixedFolderRegistersOnlyVisibleRepositoriesOnce) {
  for (const char* name : {"alpha", "beta", "gamma", ".hidden"}) makeRepository(name);
  fs::create_directories(watched() / "plain" / "inner");
  ASSERT_TRUE(gitInit(watched() / "plain" / "inner"));
  std::ofstream(watched() / "file.txt") << "x";
  fs::create_directory_symlink(watched() / "alpha", watched() / "link");
  startService();
  watchFolder(watched());

  EXPECT_EQ(scan(), 3);
  std::vector<std::string> expected;
  for (const auto& url : discovery::listSubfolders(FileURL::fromPath(watchedReal().string(), true))) {
    if (url.lastPathComponent() != "plain") expected.push_back(url.path());
  }
  EXPECT_EQ(listedPaths(), expected) << "listing order";
  ASSERT_TRUE(notifications_->waitForCalls(1, deadlineIn(10s)));
  EXPECT_EQ(defaultsChanged_->count(), 1u);
  EXPECT_EQ(defaultsChanged_->firstArguments(), std::vector<std::string>{"com.dozezeza.Zivuv"});
  const auto notice = notifications_->calls().at(0);
  EXPECT_EQ(notice.appName, "Zivuv");
  EXPECT_EQ(notice.summary, "3 Repositories Added");
  EXPECT_EQ(notice.body, "Zivuv is now monitoring 3 more repositories");
  EXPECT_EQ(notice.actions, (std::vector<std::string>{"default", "Open"}));
  EXPECT_EQ(notice.expireTimeout, -1);
  expectLines("info Failed to create repo for " + folderInWatched("plain"), 1u);

  EXPECT_EQ(scan(), 0);
  for (const auto& path : expected) expectLines("info Existing or blocked folder: " + path, 1u);
  expectLines("info Checked and no new repos", 1u);
  ASSERT_TRUE(client_->verifyAgent().has_value());
  EXPECT_EQ(defaultsChanged_->count(), 1u);
  EXPECT_EQ(notifications_->calls().size(), 1u);
}

TEST_F(DiscoveryTest, NewRepositoryIsAnnouncedAndOnlyOurClickOpensTheApp) {
  startService();
  watchFolder(watched());
  makeRepository("new");
  ASSERT_TRUE(defaultsChanged_->waitForSignals(1, deadlineIn(15s)));
  ASSERT_TRUE(notifications_->waitForCalls(1, deadlineIn(10s)));
  const auto notice = notifications_->calls().at(0);
  EXPECT_EQ(notice.summary, "Repository Automatically Added");
  EXPECT_EQ(notice.body, "Zivuv is now monitoring the folder new");
  EXPECT_EQ(listedPaths(), std::vector<std::string>{folderInWatched("new")});

  // Another program's notice, and another action of ours, open nothing.
  ASSERT_TRUE(notifications_->emitActionInvoked(notice.id + 1000, "default"));
  ASSERT_TRUE(notifications_->emitActionInvoked(notice.id, "other"));
  ASSERT_TRUE(notifications_->emitActivationToken(notice.id, "token-1"));
  ASSERT_TRUE(notifications_->emitActionInvoked(notice.id, "default"));
  ASSERT_TRUE(xdgOpen_.waitForCalls(1, deadlineIn(10s)));
  ASSERT_TRUE(client_->verifyAgent().has_value());
  const auto calls = xdgOpen_.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].args, "vizarudavez://");
  EXPECT_EQ(calls[0].token, "token-1");
}

TEST_F(DiscoveryTest, ClickSentOnlyToTheCallerStillOpens) {
  notifications_->setUnicastSignals(true);
  ASSERT_TRUE(notifications_->emitActionInvoked(announce("one").id, "default"));
  ASSERT_TRUE(xdgOpen_.waitForCalls(1, deadlineIn(10s)));
  EXPECT_EQ(xdgOpen_.calls()[0].token, "");
}

TEST_F(DiscoveryTest, PortalOpensTheAppWhenItIsOnTheBus) {
  FakePortal portal(bus_->address());
  ASSERT_TRUE(portal.ok()) << portal.error();
  const auto id = announce("one").id;
  ASSERT_TRUE(notifications_->emitActivationToken(id, "portal-token"));
  ASSERT_TRUE(notifications_->emitActionInvoked(id, "default"));
  ASSERT_TRUE(portal.waitForCalls(1, deadlineIn(10s)));
  const auto call = portal.calls().at(0);
  EXPECT_EQ(call.uri, "vizarudavez://");
  EXPECT_EQ(call.parentWindow, "");
  EXPECT_EQ(call.activationToken, std::optional<std::string>("portal-token"));
  ASSERT_TRUE(client_->verifyAgent().has_value());
  EXPECT_TRUE(xdgOpen_.calls().empty()) << "the portal opened it; xdg-open must not as well";
}

TEST_F(DiscoveryTest, GermanCatalogueTranslatesTheNotice) {
  const auto notice = announce("alpha", {{"LANGUAGE", "de"}});
  EXPECT_EQ(notice.summary, "Repository automatisch hinzugefügt");
  EXPECT_EQ(notice.body, "Zivuv überwacht jetzt den Ordner alpha");
  EXPECT_EQ(notice.actions, (std::vector<std::string>{"default", "Öffnen"}));
}

TEST_F(DiscoveryTest, HostileNamesAreRegisteredAndShownSafely) {
  notifications_->setCapabilities({"actions", "body", "body-markup"});
  startService();
  watchFolder(watched());
  const std::vector<std::string> names = {"new\nline", "bad\xff", "%@%i%n%s", "<b>"};
  const std::vector<std::string> bodies = {
      "Zivuv is now monitoring the folder new\nline",
      "Zivuv is now monitoring the folder bad\xEF\xBF\xBD",
      "Zivuv is now monitoring the folder %@%i%n%s",
      "Zivuv is now monitoring the folder &lt;b&gt;"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    makeRepository(names[i]);
    ASSERT_EQ(scan(), 1) << i;
    ASSERT_TRUE(notifications_->waitForCalls(i + 1, deadlineIn(10s)));
    EXPECT_EQ(notifications_->calls()[i].body, bodies[i]);
  }
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(listedPaths().size(), names.size());
  // Registered by the first scan, then seen as existing by each later one.
  expectLines("info Existing or blocked folder: " + folderInWatched("new\\x0Aline"), names.size());
  // Every stderr line of the service is one whole log entry.
  for (const auto& line : service_->lines(Stream::Err)) {
    EXPECT_TRUE(line.starts_with("info ") || line.starts_with("debug ") ||
                line.starts_with("error "))
        << "forged or broken log line: " << line;
  }
}

TEST_F(DiscoveryTest, BlockedRepositoryIsNeverRegistered) {
  makeRepository("kept");
  makeRepository("blocked");
  const auto blocked = runCommand({binaryPath("zivuv-monitorctl").string(), "block",
                                   (watched() / "blocked").string()},
                                  serviceEnvironment(), deadlineIn(20s));
  ASSERT_TRUE(blocked && blocked->status == 0);
  startService();
  watchFolder(watched());
  EXPECT_EQ(scan(), 1);
  EXPECT_EQ(listedPaths(), std::vector<std::string>{folderInWatched("kept")});
  expectLines("info Existing or blocked folder: " + folderInWatched("blocked"), 1u);
}

TEST_F(DiscoveryTest, FailedWriteCountsNothingAndTheNextRunRegistersOnce) {
  for (const char* name : {"a", "b", "c"}) makeRepository(name);
  startService();
  watchFolder(watched());
  writeFaults("fail-write VO9ZE47VOD.com.dozezeza\n");
  EXPECT_EQ(scan(), 0);
  expectLines("Unable to write defaults for:VO9ZE47VOD.com.dozezeza", 3, Stream::Out);
  EXPECT_FALSE(fs::exists(suiteFile()));
  expectLines("info Checked and no new repos", 1u);

  writeFaults("");
  EXPECT_EQ(scan(), 3);
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(listedPaths().size(), 3u);
  EXPECT_EQ(defaultsChanged_->count(), 1u);
}

TEST_F(DiscoveryTest, GarbageSuiteStopsTheScanAndIsNeverReplaced) {
  makeRepository("a");
  fs::create_directories(suiteFile().parent_path());
  std::ofstream(suiteFile()) << "this is not a property list";
  startService();
  watchFolder(watched());
  EXPECT_EQ(scan(), 0);
  expectLines("error Failed to get current folders!", 1u);
  EXPECT_EQ(readFile(suiteFile()), "this is not a property list");

  fs::remove(suiteFile());  // the app repairs its file
  EXPECT_EQ(scan(), 1);
  EXPECT_EQ(scan(), 0);
}

TEST_F(DiscoveryTest, SilentOrVanishedNotificationServerCostsNothing) {
  client_->setTimeout(4s);  // a scan that waited for the server would time out
  startService();
  watchFolder(watched());
  notifications_->setSilent(true);
  makeRepository("one");
  EXPECT_EQ(scan(), 1);
  ASSERT_TRUE(notifications_->waitForCalls(1, deadlineIn(10s)));  // held, never answered
  notifications_->stop();
  makeRepository("two");
  EXPECT_EQ(scan(), 1);
  ASSERT_TRUE(notifications_->restart());
  notifications_->setSilent(false);
  makeRepository("three");
  EXPECT_EQ(scan(), 1);
  // The silent server held the first notice; the second found no server.
  ASSERT_TRUE(notifications_->waitForCalls(2, deadlineIn(15s)));
  EXPECT_EQ(notifications_->calls().back().body, "Zivuv is now monitoring the folder three");
  EXPECT_EQ(defaultsChanged_->count(), 3u);
}

}  // namespace
}  // namespace zivuv::testing
