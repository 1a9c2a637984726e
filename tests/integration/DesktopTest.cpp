// The service among real desktop programs: started by the bus on the first
// call, and a notice shown by a real notification daemon whose default action
// opens the app.

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ServiceFixture.h"
#include "support/Names.h"
#include "support/UniqueFd.h"

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
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    if (pidfd) {
      pollfd pfd{pidfd.get(), POLLIN, 0};
      const timespec ts = remainingTimespec(deadline);
      if (::ppoll(&pfd, 1, &ts, nullptr) <= 0) return false;
    }
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

  const auto owner = client.callRawTo(
      {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus"},
      "GetConnectionUnixProcessID", "s", names::kService);
  ASSERT_TRUE(owner.ok() && owner.args.size() == 1) << owner.errorName << owner.errorMessage;
  const pid_t pid = static_cast<pid_t>(std::stol(owner.args[0]));
  orphans.watch(pid);
  EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/exe"),
            fs::canonical(binaryPath("zivuv-folder-monitor")));

  bus.stop();
  EXPECT_TRUE(orphans.waitGone(deadlineIn(20s)))
      << "the activated service outlived its bus\n" << bus.daemonLog();
}

// The "data" of every `"<key>" : {` object in busctl's pretty JSON.
std::vector<std::string> jsonValues(const std::vector<std::string>& lines, const std::string& key) {
  const std::string opening = "\"" + key + "\" : {";
  const std::string dataPrefix = "\"data\" : \"";
  std::vector<std::string> values;
  auto trimmed = [](const std::string& line) {
    const auto first = line.find_first_not_of(" \t");
    return first == std::string::npos ? std::string() : line.substr(first);
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (trimmed(lines[i]) != opening) continue;
    for (std::size_t j = i + 1; j < lines.size() && j < i + 3; ++j) {
      const std::string data = trimmed(lines[j]);
      if (!data.starts_with(dataPrefix) || !data.ends_with("\"")) continue;
      std::string value;
      for (std::size_t k = dataPrefix.size(); k + 1 < data.size(); ++k) {
        if (data[k] == '\\' && k + 2 < data.size()) {
          const char escaped = data[++k];
          value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
        } else {
          value += data[k];
        }
      }
      values.push_back(value);
      break;
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
    if (!xvfb_->waitForLine(Stream::Out, [](const std::string&) { return true; },
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
        std::map<std::string, std::optional<std::string>>{
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
