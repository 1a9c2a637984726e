// Runs the built zivuv-monitorctl as a person would and checks what it
// prints and how it exits. The round trip with the real service is covered by
// the integration tests; here the bus has no service, or there is no bus.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/bookmark/BookmarkRecord.h"
#include "platform/defaults/DefaultsStore.h"
#include "support/BusLoop.h"
#include "support/PrivateBus.h"

namespace zivuv::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::Data;
using Args = std::vector<std::string>;

const char* const kSuite = "VO9ZE47VOD.com.dozezeza";
const char* const kPath = "/VO9ZE47VOD/com/dozezeza/FolderMonitor";

struct Result {
  int status;
  std::string out, err;
};

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
  return *platform::createBookmark(path, platform::BookmarkKind::Transport).data;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class MonitorctlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.ok());
    root_ = fs::canonical(dir_.path());
    // The children inherit it, and the store used here reads the same files.
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1), 0);
    suiteFile_ = (root_ / "config/Zivuv" / (std::string(kSuite) + ".plist")).string();
  }

  std::unique_ptr<Process> start(Args args) {
    args.insert(args.begin(), ZIVUV_MONITORCTL);
    return std::make_unique<Process>(args, Environment{{"DBUS_SESSION_BUS_ADDRESS", busAddress_}});
  }
  Result run(Args args) {
    const auto child = start(std::move(args));
    const auto status = child->waitExit(deadlineIn(60s));
    return {status.value_or(-100), child->text(Stream::Out), child->text(Stream::Err)};
  }
  // A private bus with no service on it; it becomes the children's bus.
  std::string startBus() {
    bus_ = std::make_unique<PrivateBus>();
    EXPECT_TRUE(bus_->ok()) << bus_->error();
    return busAddress_ = bus_->address();
  }
  std::string folder(const std::string& name) {
    fs::create_directories(root_ / name);
    return (root_ / name).string();
  }
  void writeSuite(const std::string& text) {
    fs::create_directories(root_ / "config/Zivuv");
    ASSERT_TRUE(writeFile(suiteFile_, text));
  }

  TempDir dir_{"zivuv-ctl"};
  fs::path root_;
  std::string suiteFile_;
  std::string busAddress_ = "unix:path=" + (dir_ / "no-bus").string();
  std::unique_ptr<PrivateBus> bus_;
};

TEST_F(MonitorctlTest, UsageErrorsExitTwoWithAHintAndNoData) {
  for (const Args& args :
       {Args{}, Args{"frobnicate"}, Args{"--frob"}, Args{"watch"}, Args{"block"}, Args{"bookmark"},
        Args{"status", "x"}, Args{"watch", "/", "/"}, Args{"--help", "x"}}) {
    const Result r = run(args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(contains(r.err, "--help")) << r.err;
  }
  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.out.starts_with("Usage: zivuv-monitorctl COMMAND [DIR]\n")) << help.out;
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
  ASSERT_TRUE(writeFile(root_ / "file", "x"));
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
    auto lock = platform::DefaultsLock::acquire(kSuite);
    auto store = platform::DefaultsStore::openSuite(kSuite);
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
  const std::string before = readFile(suiteFile_);
  const Result r = run({"repos"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(run({"unblock", a}).status, 0);
  EXPECT_EQ(readFile(suiteFile_), before);  // left as it was
  EXPECT_EQ(run({"block", a}).status, 0);
  EXPECT_EQ(run({"repos"}).out, "blocked " + a + "\n");

  writeSuite("not a property list");
  for (const auto& args : {Args{"repos"}, Args{"block", a}, Args{"unblock", a}}) {
    const Result failed = run(args);
    EXPECT_EQ(failed.status, 1) << args[0];
    EXPECT_EQ(failed.out, "");
    EXPECT_EQ(failed.err, "zivuv-monitorctl: cannot read the shared settings " + suiteFile_ + "\n");
  }
  EXPECT_EQ(readFile(suiteFile_), "not a property list");  // the app's file is never replaced
}

TEST_F(MonitorctlTest, EveryBusCommandFailsWhenTheServiceIsNotThere) {
  const std::string a = folder("a");
  const std::string noBus = busAddress_;
  for (const std::string& bus : {startBus(), noBus}) {
    busAddress_ = bus;
    for (const auto& args : {Args{"status"}, Args{"scan"}, Args{"reset"}, Args{"watch", a}}) {
      const Result r = run(args);
      EXPECT_EQ(r.status, 1) << args[0] << " on " << bus;
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(contains(r.err, "the folder monitor is not running on the session bus")) << r.err;
    }
  }
}

TEST_F(MonitorctlTest, ListenPrintsEachDefaultsChangedUntilStoppedOrTheBusGoes) {
  const std::string address = startBus();
  auto listening = [](Process& p) {
    return p.waitForLines(Stream::Err, [](const std::string& l) { return contains(l, "listening"); },
                          1, deadlineIn(20s));
  };
  const auto listen = start({"listen"});
  ASSERT_TRUE(listening(*listen)) << listen->transcript();

  std::string error;
  const detail::BusPtr bus = detail::connect(address, error);
  ASSERT_TRUE(bus) << error;
  const auto emit = [&](const char* member, const char* text) {
    return sd_bus_emit_signal(bus.get(), kPath, "com.rudirideva.Zivuv", member, "s", text);
  };
  // In order from one sender: had the other member got through, it would
  // show before ours.
  ASSERT_GE(emit("Other", "no"), 0);
  ASSERT_GE(emit("DefaultsChanged", "com.dozezeza.Zivuv"), 0);
  ASSERT_GE(emit("DefaultsChanged", "a\nb"), 0);
  ASSERT_GE(sd_bus_flush(bus.get()), 0);
  ASSERT_TRUE(listen->waitForLines(Stream::Out, [](const std::string&) { return true; }, 2,
                                   deadlineIn(20s)))
      << listen->transcript();
  EXPECT_EQ(listen->text(Stream::Out), "com.dozezeza.Zivuv\na\\x0Ab\n");
  listen->signal(SIGTERM);
  EXPECT_EQ(listen->waitExit(deadlineIn(60s)), 0);

  const auto second = start({"listen"});
  ASSERT_TRUE(listening(*second)) << second->transcript();
  bus_.reset();
  EXPECT_EQ(second->waitExit(deadlineIn(60s)), 1);
  EXPECT_TRUE(contains(second->text(Stream::Err), "connection to the session bus was lost"));
}

}  // namespace
}  // namespace zivuv::testing
