// Runs the built zivuv-monitorctl as a person would and checks what it
// prints and how it exits. The round trip with the real service is covered by
// the integration tests; here the bus has no service, or there is no bus.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/bookmark/BookmarkRecord.h"
#include "platform/bus/BusLoop.h"
#include "platform/defaults/DefaultsStore.h"
#include "platform/fd/UniqueFd.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using zivuv::platform::Data;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

const char* const kSuite = "VO9ZE47VOD.com.dozezeza";
const char* const kPath = "/VO9ZE47VOD/com/dozezeza/FolderMonitor";

// A child with its standard output and error on pipes, in the environment of
// this process; killed and reaped when it goes.
class Child {
 public:
  explicit Child(std::vector<std::string> argv) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    fds_[0].reset(out[0]);
    const zivuv::platform::UniqueFd outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) != 0) return;
    fds_[1].reset(err[0]);
    const zivuv::platform::UniqueFd errWrite(err[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Child() {
    if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, nullptr, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Reads until the stream (0 out, 1 err) holds text; false at the deadline
  // or when both streams closed first.
  bool waitFor(int stream, const std::string& text, Clock::duration limit = 20s) {
    const auto deadline = Clock::now() + limit;
    while (text_[stream].find(text) == std::string::npos) {
      if (!readSome(deadline)) return false;
    }
    return true;
  }
  // Reads both streams to their end, then reaps: the exit status, -1 for a
  // signal, -2 when it did not end in time.
  int finish(Clock::duration limit = 60s) {
    const auto deadline = Clock::now() + limit;
    while (readSome(deadline)) {
    }
    int status = 0;
    if (pid_ <= 0 || fds_[0] || fds_[1] || ::waitpid(pid_, &status, 0) != pid_) return -2;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) { ::kill(pid_, sig); }
  const std::string& out() const { return text_[0]; }
  const std::string& err() const { return text_[1]; }

 private:
  bool readSome(Clock::time_point deadline) {
    if (!fds_[0] && !fds_[1]) return false;
    pollfd polled[2] = {{fds_[0].get(), POLLIN, 0}, {fds_[1].get(), POLLIN, 0}};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left <= 0ms || ::poll(polled, 2, static_cast<int>(left.count())) <= 0) return false;
    for (int i = 0; i < 2; ++i) {
      if (polled[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(polled[i].fd, buffer, sizeof buffer);
      if (n > 0) text_[i].append(buffer, static_cast<std::size_t>(n));
      if (n <= 0) fds_[i].reset();
    }
    return true;
  }
  pid_t pid_ = -1;
  zivuv::platform::UniqueFd fds_[2];
  std::string text_[2];
};

struct Result {
  int status;
  std::string out, err;
};

Result run(std::vector<std::string> args) {
  args.insert(args.begin(), ZIVUV_MONITORCTL);
  Child child(std::move(args));
  const int status = child.finish();
  return {status, child.out(), child.err()};
}

Data decodeBase64(const std::string& text) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Data bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text.substr(0, text.find('='))) {
    bits = (bits << 6) | static_cast<std::uint32_t>(alphabet.find(c));
    if ((count += 6) >= 8) bytes.push_back(static_cast<std::uint8_t>(bits >> (count -= 8)));
  }
  return bytes;
}

Data transport(const std::string& path) {
  return *zivuv::platform::createBookmark(path, zivuv::platform::BookmarkKind::Transport).data;
}

class MonitorctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zivuv-ctl-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = fs::canonical(pattern);
    // The children inherit it, and the store used here reads the same files.
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1), 0);
    setBus("unix:path=" + (root_ / "no-bus").string());
    suiteFile_ = (root_ / "config/Zivuv" / (std::string(kSuite) + ".plist")).string();
  }
  void TearDown() override {
    daemon_.reset();
    fs::remove_all(root_);
  }

  static void setBus(const std::string& address) {
    ASSERT_EQ(::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1), 0);
  }
  std::string folder(const std::string& name) {
    fs::create_directories(root_ / name);
    return (root_ / name).string();
  }
  void writeSuite(const std::string& text) {
    fs::create_directories(root_ / "config/Zivuv");
    std::ofstream(suiteFile_, std::ios::trunc) << text;
  }
  std::string suiteBytes() const {
    std::ifstream in(suiteFile_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // A private session bus that lists no service folders, so nothing can be
  // started on it; its address.
  std::string startBus() {
    fs::create_directories(root_ / "bus");
    std::ofstream(root_ / "bus.conf")
        << "<busconfig><type>session</type><listen>unix:dir=" << (root_ / "bus").string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
           "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
           "own=\"*\"/></policy></busconfig>";
    daemon_ = std::make_unique<Child>(Args{"/usr/bin/dbus-daemon",
                                           "--config-file=" + (root_ / "bus.conf").string(),
                                           "--nofork", "--print-address"});
    EXPECT_TRUE(daemon_->waitFor(0, "\n")) << daemon_->err();
    return daemon_->out().substr(0, daemon_->out().find('\n'));
  }

  fs::path root_;
  std::string suiteFile_;
  std::unique_ptr<Child> daemon_;
};

TEST_F(MonitorctlTest, UsageErrorsExitTwoWithAHintAndNoData) {
  for (const Args& args :
       {Args{}, Args{"frobnicate"}, Args{"--frob"}, Args{"watch"}, Args{"block"}, Args{"bookmark"},
        Args{"status", "x"}, Args{"watch", "/", "/"}, Args{"--help", "x"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
  }
  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: zivuv-monitorctl COMMAND [DIR]\n", 0), 0u) << help.out;
  const Result version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("zivuv-monitorctl ") + ZIVUV_VERSION + "\n");
}

TEST_F(MonitorctlTest, BookmarkIsPaddedBase64OfTheRealPathAndABadFolderFailsFirst) {
  // Three name lengths cover every padding; a link is recorded as its target.
  for (const std::string name : {"a", "ab", "abc"}) {
    fs::create_directory_symlink(folder(name), root_ / (name + "-link"));
    const Result r = run({"bookmark", (root_ / (name + "-link")).string()});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string line = r.out.substr(0, r.out.find('\n'));
    EXPECT_EQ(line + "\n", r.out);
    EXPECT_EQ(line.size() % 4, 0u) << line;
    EXPECT_EQ(decodeBase64(line), transport(folder(name)));
  }
  std::ofstream(root_ / "file") << "x";
  for (const std::string command : {"bookmark", "watch", "block", "unblock"}) {
    for (const std::string& path : {(root_ / "file").string(), (root_ / "missing").string()}) {
      // Checked before the bus (none here) is looked for.
      const Result r = run({command, path});
      EXPECT_EQ(r.status, 1) << command;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "zivuv-monitorctl: not a folder: " + path + "\n");
    }
  }
  EXPECT_FALSE(fs::exists(suiteFile_));
}

TEST_F(MonitorctlTest, BlockAndUnblockEditOnlyTheBlockedList) {
  const std::string a = folder("a"), b = folder("b"), odd = folder("odd\nname");
  const Data gone = transport(folder("gone"));
  fs::remove(root_ / "gone");
  {
    auto lock = zivuv::platform::DefaultsLock::acquire(kSuite);
    auto store = zivuv::platform::DefaultsStore::openSuite(kSuite);
    ASSERT_TRUE(lock && store);
    store->setDataArray("kSandboxKey", {transport(b), gone});
    store->setDataArray("kBlockedKey", {gone});
    ASSERT_TRUE(store->write(*lock));
  }
  fs::create_directory_symlink(a, root_ / "a-link");
  const std::string listed = "listed " + b + "\nlisted (unresolvable)\nblocked (unresolvable)\n";

  EXPECT_EQ(run({"block", a}).status, 0);
  const Result again = run({"block", (root_ / "a-link").string()});  // the same folder
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out + again.err, "");
  EXPECT_EQ(run({"block", odd}).status, 0);
  Result r = run({"repos"});
  EXPECT_EQ(r.status, 0) << r.err;
  // One line per entry, none of the store's own, control bytes escaped.
  EXPECT_EQ(r.out, listed + "blocked " + a + "\nblocked " + root_.string() + "/odd\\x0Aname\n");
  EXPECT_EQ(r.err, "");

  EXPECT_EQ(run({"unblock", (root_ / "a-link").string()}).status, 0);
  EXPECT_EQ(run({"unblock", b}).status, 0);  // never blocked: nothing changes
  EXPECT_EQ(run({"repos"}).out, listed + "blocked " + root_.string() + "/odd\\x0Aname\n");
}

TEST_F(MonitorctlTest, KeysOfAnotherShapeAndUnreadableSettings) {
  const std::string a = folder("a");
  writeSuite(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>kSandboxKey</key><string>x"
      "</string><key>kBlockedKey</key><integer>3</integer></dict></plist>");
  const std::string before = suiteBytes();
  const Result r = run({"repos"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(run({"unblock", a}).status, 0);
  EXPECT_EQ(suiteBytes(), before);  // left as it was
  EXPECT_EQ(run({"block", a}).status, 0);
  EXPECT_EQ(run({"repos"}).out, "blocked " + a + "\n");

  writeSuite("not a property list");
  for (const auto& args : {Args{"repos"}, Args{"block", a}, Args{"unblock", a}}) {
    const Result failed = run(args);
    EXPECT_EQ(failed.status, 1) << args[0];
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "zivuv-monitorctl: cannot read the shared settings " + suiteFile_ + "\n");
  }
  EXPECT_EQ(suiteBytes(), "not a property list");  // the app's file is never replaced
}

TEST_F(MonitorctlTest, EveryBusCommandFailsWhenTheServiceIsNotThere) {
  const std::string a = folder("a");
  for (const std::string& bus : {startBus(), "unix:path=" + (root_ / "no-bus").string()}) {
    for (const auto& args : {Args{"status"}, Args{"scan"}, Args{"reset"}, Args{"watch", a}}) {
      setBus(bus);
      const Result r = run(args);
      EXPECT_EQ(r.status, 1) << args[0] << " on " << bus;
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find("the folder monitor is not running on the session bus"),
                std::string::npos)
          << r.err;
    }
  }
}

TEST_F(MonitorctlTest, ListenPrintsEachDefaultsChangedUntilStoppedOrTheBusGoes) {
  const std::string address = startBus();
  setBus(address);
  Child listen({ZIVUV_MONITORCTL, "listen"});
  ASSERT_TRUE(listen.waitFor(1, "listening")) << listen.err();

  sd_bus* raw = nullptr;
  ASSERT_GE(sd_bus_new(&raw), 0);
  const zivuv::platform::SdBusPtr bus(raw);
  ASSERT_GE(sd_bus_set_address(raw, address.c_str()), 0);
  ASSERT_GE(sd_bus_set_bus_client(raw, 1), 0);
  ASSERT_GE(sd_bus_start(raw), 0);
  const auto emit = [&](const char* member, const char* text) {
    return sd_bus_emit_signal(raw, kPath, "com.rudirideva.Zivuv", member, "s", text);
  };
  // In order from one sender: had the other member got through, it would
  // show before ours.
  ASSERT_GE(emit("Other", "no"), 0);
  ASSERT_GE(emit("DefaultsChanged", "com.dozezeza.Zivuv"), 0);
  ASSERT_GE(emit("DefaultsChanged", "a\nb"), 0);
  ASSERT_GE(sd_bus_flush(raw), 0);
  ASSERT_TRUE(listen.waitFor(0, "a\\x0Ab\n")) << listen.out();
  EXPECT_EQ(listen.out(), "com.dozezeza.Zivuv\na\\x0Ab\n");
  listen.signal(SIGTERM);
  EXPECT_EQ(listen.finish(), 0);

  Child second({ZIVUV_MONITORCTL, "listen"});
  ASSERT_TRUE(second.waitFor(1, "listening")) << second.err();
  daemon_.reset();
  EXPECT_EQ(second.finish(), 1);
  EXPECT_NE(second.err().find("connection to the session bus was lost"), std::string::npos);
}

}  // namespace
