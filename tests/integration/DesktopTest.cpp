// The service among real desktop programs: started by the bus on the first
// call, and a notice shown by a real notification daemon whose default action
// opens the app.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include "ServiceFixture.h"

namespace zivuv::testing {
namespace {

// While it lives, processes orphaned below this one (a service whose
// dbus-daemon ended) become its children, so they can be reaped here instead
// of lingering as zombies of an init that may never wait for them.
class AdoptOrphans {
 public:
  AdoptOrphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }
  ~AdoptOrphans() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) (void)::waitpid(pid_, nullptr, 0);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  AdoptOrphans(const AdoptOrphans&) = delete;
  AdoptOrphans& operator=(const AdoptOrphans&) = delete;

  // Kills `pid` at the end, should it outlive the test.
  void watch(pid_t pid) { pid_ = pid; }

  // Waits until the process ended and reaps it when it became ours. True
  // once nothing of it is left in /proc.
  bool waitGone(Deadline deadline) {
    const bool gone = waitUntil(
        [this] {
          (void)::waitpid(pid_, nullptr, WNOHANG);
          return !fs::exists("/proc/" + std::to_string(pid_));
        },
        deadline);
    if (gone) pid_ = -1;
    return gone;
  }

 private:
  pid_t pid_ = -1;
};

class BusActivationTest : public ServiceFixture {};

TEST_F(BusActivationTest, FirstCallStartsTheServiceAndIsAnswered) {
  AdoptOrphans orphans;
  TempDir services("zivuv-services");
  ASSERT_TRUE(writeServiceFile(services.path(), names::kService,
                               binaryPath("zivuv-folder-monitor").string()));
  // The bus alone must tell the service where it is.
  auto env = serviceEnvironment();
  env.erase("DBUS_SESSION_BUS_ADDRESS");
  PrivateBus bus(services.path(), env);
  ASSERT_TRUE(bus.ok()) << bus.error();
  BusClient client(bus.address());
  ASSERT_TRUE(client.ok()) << client.error();
  client.setTimeout(30s);
  ASSERT_EQ(client.nameHasOwner(names::kService), std::optional<bool>(false));

  const auto verified = client.verifyAgent();
  ASSERT_TRUE(verified.has_value()) << client.lastError() << "\n" << bus.daemonLog();
  EXPECT_EQ(verified->first, std::nullopt);
  EXPECT_EQ(verified->second, "zivuv-folder-monitor");

  uint32_t pid = 0;
  const auto owner = client.call(
      {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus"},
      "GetConnectionUnixProcessID",
      [](sd_bus_message* m) { return sd_bus_message_append(m, "s", names::kService); },
      [&](sd_bus_message* m) { return sd_bus_message_read(m, "u", &pid); });
  ASSERT_TRUE(owner.ok()) << client.lastError();
  orphans.watch(static_cast<pid_t>(pid));
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"),
            fs::canonical(binaryPath("zivuv-folder-monitor")));

  bus.stop();
  EXPECT_TRUE(orphans.waitGone(deadlineIn(20s)))
      << "the activated service outlived its bus\n" << bus.daemonLog();
}

// The "data" of each `"<key>" : {` object in dunstctl's pretty JSON (plain
// text values only: no escapes).
std::vector<std::string> jsonValues(const std::vector<std::string>& lines, const std::string& key) {
  std::vector<std::string> values;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    if (lines[i].find("\"" + key + "\" : {") == std::string::npos) continue;
    for (const auto& line : {lines[i + 1], lines[i + 2]}) {
      const auto at = line.find("\"data\" : \"");
      if (at != std::string::npos && line.ends_with("\"")) {
        values.push_back(line.substr(at + 10, line.size() - at - 11));
      }
    }
  }
  return values;
}

class NotificationDaemonTest : public ServiceFixture {
 protected:
  void SetUp() override {
    ServiceFixture::SetUp();
    if (HasFatalFailure()) return;
    xvfb_ = std::make_unique<Process>(
        std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten", "tcp"});
    if (!xvfb_->ok()) GTEST_SKIP() << "Xvfb cannot start: " << xvfb_->error();
    // With -displayfd, Xvfb prints the display number it took once it listens.
    if (!xvfb_->waitForLines(Stream::Out, [](const std::string&) { return true; }, 1,
                             deadlineIn(20s))) {
      GTEST_SKIP() << "Xvfb cannot start:\n" << xvfb_->transcript();
    }
    const std::string display = ":" + xvfb_->lines(Stream::Out).at(0);

    const fs::path home = dir_ / "dunst-home";
    fs::create_directories(home);
    // A notice expires never: the test acts on it however long it takes.
    ASSERT_TRUE(writeFile(home / "dunstrc",
                          "[global]\n"
                          "    follow = none\n"
                          "[urgency_low]\n    timeout = 0\n"
                          "[urgency_normal]\n    timeout = 0\n"
                          "[urgency_critical]\n    timeout = 0\n"));
    dunst_ = std::make_unique<Process>(
        std::vector<std::string>{"dunst", "-config", (home / "dunstrc").string()},
        Environment{
            {"DBUS_SESSION_BUS_ADDRESS", bus_->address()},
            {"DISPLAY", display},
            {"WAYLAND_DISPLAY", std::nullopt},
            {"HOME", home.string()},
            {"XDG_CONFIG_HOME", (home / ".config").string()}});
    if (!dunst_->ok()) GTEST_SKIP() << "dunst is not installed: " << dunst_->error();
    ASSERT_TRUE(client_->waitForName(names::kNotifications, deadlineIn(20s)))
        << dunst_->transcript();
  }

  void TearDown() override {
    if (HasFailure() && dunst_) std::cerr << "--- dunst output ---\n" << dunst_->transcript();
    ServiceFixture::TearDown();
    dunst_.reset();
    // Ended gently, Xvfb removes its lock file and socket.
    if (xvfb_ && xvfb_->signal(SIGTERM)) (void)xvfb_->waitExit(deadlineIn(10s));
    xvfb_.reset();
  }

  // dunstctl on the private bus; nullopt when it did not end in time.
  std::optional<CommandResult> dunstctl(std::vector<std::string> args) {
    args.insert(args.begin(), "dunstctl");
    return runCommand(std::move(args), {{"DBUS_SESSION_BUS_ADDRESS", bus_->address()}},
                      deadlineIn(10s));
  }
  bool dunstctlSucceeds(std::vector<std::string> args) {
    const auto result = dunstctl(std::move(args));
    return result && result->status == 0;
  }

  std::unique_ptr<Process> xvfb_;
  std::unique_ptr<Process> dunst_;
};

TEST_F(NotificationDaemonTest, NoticeIsShownAndItsDefaultActionOpensTheApp) {
  makeRepository("one");
  startService();
  watchFolder(watched());
  ASSERT_EQ(client_->checkFolderNow(), std::optional<std::int64_t>(1));
  ASSERT_TRUE(waitUntil(
      [&] {
        const auto count = dunstctl({"count", "displayed"});
        return count && count->out == std::vector<std::string>{"1"};
      },
      deadlineIn(10s)))
      << "dunst shows no notice";

  ASSERT_TRUE(dunstctlSucceeds({"action", "0"}));
  ASSERT_TRUE(xdgOpen_.waitForCalls(1, deadlineIn(10s)));
  EXPECT_EQ(xdgOpen_.calls().at(0).args, "vizarudavez://");

  // The history lists closed notices only.
  ASSERT_TRUE(dunstctlSucceeds({"close"}));
  const auto history = dunstctl({"history"});
  ASSERT_TRUE(history && history->status == 0);
  EXPECT_EQ(jsonValues(history->out, "appname"), std::vector<std::string>{"Zivuv"});
  EXPECT_EQ(jsonValues(history->out, "summary"),
            std::vector<std::string>{"Repository Automatically Added"});
  EXPECT_EQ(jsonValues(history->out, "body"),
            std::vector<std::string>{"Zivuv is now monitoring the folder one"});
}

}  // namespace
}  // namespace zivuv::testing
