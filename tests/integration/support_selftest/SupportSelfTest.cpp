// The harness checked against a bare dbus-daemon: if these fail, the
// integration tests of the service cannot be trusted either way.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <systemd/sd-bus.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <vector>

#include "support/BusClient.h"
#include "support/BusLoop.h"
#include "support/FakeNotificationServer.h"
#include "support/FakePortal.h"
#include "support/Git.h"
#include "support/Names.h"
#include "support/PrivateBus.h"
#include "support/Process.h"
#include "support/StandInXdgOpen.h"
#include "support/TempDir.h"

namespace zivuv::testing {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const MethodTarget kNotifyTarget{names::kNotifications, names::kNotificationsPath,
                                 "org.freedesktop.Notifications"};
const MethodTarget kPortalTarget{names::kPortal, names::kPortalPath, names::kOpenUriInterface};

Deadline soon() { return deadlineIn(5s); }

// Notify as the service sends it, plus one hint so that hint keys show.
CallOutcome notify(BusClient& client, const char* summary) {
  return client.callRawTo(kNotifyTarget, "Notify", "susssasa{sv}i", "Zivuv", 0u, "", summary,
                          "body <b>", 2, "default", "Open", 1, "urgency", "y", 1, -1);
}

MatchRule notificationSignal(const char* member) {
  MatchRule rule;
  rule.interface = "org.freedesktop.Notifications";
  rule.member = member;
  return rule;
}

TEST(PrivateBus, ServesClientsAndLeavesNothingBehind) {
  pid_t daemon = -1;
  std::filesystem::path dir;
  {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    daemon = bus.pid();
    dir = bus.dir();
    BusClient client(bus.address());
    ASSERT_TRUE(client.ok()) << client.error();
    EXPECT_EQ(client.uniqueName().rfind(":1.", 0), 0u) << client.uniqueName();
    EXPECT_EQ(client.nameHasOwner(client.uniqueName()), true);

    // Stopping the bus on purpose closes its clients' connections.
    bus.stop();
    EXPECT_TRUE(client.waitDisconnected(soon()));
    const auto outcome = client.callRaw("checkFolderNowWithCompletion", "");
    EXPECT_FALSE(outcome.ok());
  }
  EXPECT_NE(::kill(daemon, 0), 0);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_FALSE(std::filesystem::exists(dir));

  // Destruction without stop() reaps the daemon too.
  {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    daemon = bus.pid();
  }
  EXPECT_NE(::kill(daemon, 0), 0);
}

TEST(PrivateBus, ActivatesOnlyFromTheGivenServiceFolder) {
  // Without a service folder nothing installed on the machine is started:
  // a notification daemon would otherwise answer in place of the fake.
  {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok()) << bus.error();
    BusClient client(bus.address());
    ASSERT_TRUE(client.ok()) << client.error();
    EXPECT_EQ(client.callRawTo(kNotifyTarget, "GetCapabilities", "").errorName,
              "org.freedesktop.DBus.Error.ServiceUnknown");
  }
  TempDir services;
  ASSERT_TRUE(services.ok());
  const auto marker = services / "started";
  ASSERT_TRUE(writeFile(services / "probe.sh", "#!/bin/sh\necho \"$DBUS_STARTER_BUS_TYPE\" > '" +
                                                  marker.string() + "'\nexit 1\n",
                        std::filesystem::perms::owner_all));
  ASSERT_TRUE(writeServiceFile(services.path(), "org.zivuv.Probe", (services / "probe.sh").string()));
  PrivateBus bus(services.path());
  ASSERT_TRUE(bus.ok()) << bus.error();
  BusClient client(bus.address());
  ASSERT_TRUE(client.ok()) << client.error();
  // The probe fails without taking its name, which fails the call at once
  // (a clean exit would leave the activation pending: it may have forked).
  const auto outcome = client.callRawTo({"org.zivuv.Probe", "/", "org.zivuv.Probe"}, "Ping", "");
  EXPECT_EQ(outcome.errorName, "org.freedesktop.DBus.Error.Spawn.ChildExited");
  EXPECT_EQ(readFile(marker), "session\n");
}

TEST(FakeNotificationServer, RecordsNotifyAndAnswersCountingIds) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  FakeNotificationServer::Options options;
  options.firstId = 7;
  options.capabilities = {"actions", "body", "body-markup"};
  FakeNotificationServer server(bus.address(), options);
  ASSERT_TRUE(server.ok()) << server.error();
  BusClient client(bus.address());
  ASSERT_TRUE(client.ok()) << client.error();

  EXPECT_THAT(notify(client, "first").args, ElementsAre("7"));
  EXPECT_THAT(notify(client, "second").args, ElementsAre("8"));
  const auto caps = client.callRawTo(kNotifyTarget, "GetCapabilities", "");
  EXPECT_THAT(caps.args, ElementsAre("[actions,body,body-markup]"));
  EXPECT_EQ(server.getCapabilitiesCount(), 1u);

  ASSERT_TRUE(server.waitForNotify(2, soon()));
  const auto calls = server.notifications();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].appName, "Zivuv");
  EXPECT_EQ(calls[0].replacesId, 0u);
  EXPECT_EQ(calls[0].appIcon, "");
  EXPECT_EQ(calls[0].summary, "first");
  EXPECT_EQ(calls[0].body, "body <b>");
  EXPECT_THAT(calls[0].actions, ElementsAre("default", "Open"));
  EXPECT_THAT(calls[0].hintKeys, ElementsAre("urgency"));
  EXPECT_EQ(calls[0].expireTimeout, -1);
  EXPECT_EQ(calls[0].id, 7u);
  EXPECT_EQ(calls[1].id, 8u);
  EXPECT_EQ(server.callerUniqueName(), client.uniqueName());

  // Wrong argument types get sd-bus's own error and are not recorded.
  const auto wrong = client.callRawTo(kNotifyTarget, "Notify", "s", "Zivuv");
  EXPECT_FALSE(wrong.replied);
  EXPECT_EQ(wrong.errorName, "org.freedesktop.DBus.Error.InvalidArgs");
  EXPECT_EQ(server.notifyCount(), 2u);

  server.setNotifyError("org.freedesktop.DBus.Error.Failed");
  EXPECT_EQ(notify(client, "refused").errorName, "org.freedesktop.DBus.Error.Failed");
}

TEST(FakeNotificationServer, DeliversClicksBroadcastOrOnlyToTheCaller) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  FakeNotificationServer server(bus.address());
  ASSERT_TRUE(server.ok()) << server.error();
  BusClient caller(bus.address());
  BusClient bystander(bus.address());
  ASSERT_TRUE(caller.ok() && bystander.ok());
  auto callerClicks = caller.subscribe(notificationSignal("ActionInvoked"));
  auto bystanderClicks = bystander.subscribe(notificationSignal("ActionInvoked"));
  auto tokens = caller.subscribe(notificationSignal("ActivationToken"));
  ASSERT_TRUE(callerClicks && bystanderClicks && tokens) << caller.lastError();

  ASSERT_THAT(notify(caller, "one").args, ElementsAre("1"));
  ASSERT_TRUE(server.emitActivationToken(1, "token-1"));
  ASSERT_TRUE(server.emitActionInvoked(1, "default"));
  ASSERT_TRUE(tokens->waitForSignals(1, soon()));
  EXPECT_THAT(tokens->signals()[0].args, ElementsAre("1", "token-1"));
  ASSERT_TRUE(callerClicks->waitForSignals(1, soon()));
  ASSERT_TRUE(bystanderClicks->waitForSignals(1, soon()));
  EXPECT_EQ(callerClicks->signals()[0].destination, "");
  EXPECT_EQ(callerClicks->signals()[0].path, names::kNotificationsPath);

  server.setUnicastSignals(true);
  ASSERT_TRUE(server.emitActionInvoked(1, "unicast"));
  ASSERT_TRUE(callerClicks->waitForSignals(2, soon()));
  EXPECT_EQ(callerClicks->signals()[1].destination, caller.uniqueName());
  // A broadcast sent afterwards reaches the bystander after anything sent
  // before it, so the bystander's list proves the unicast never came.
  server.setUnicastSignals(false);
  ASSERT_TRUE(server.emitActionInvoked(1, "marker"));
  ASSERT_TRUE(bystanderClicks->waitForSignals(2, soon()));
  EXPECT_THAT(bystanderClicks->firstArguments(), ElementsAre("1", "1"));
  std::vector<std::string> keys;
  for (const auto& s : bystanderClicks->signals()) keys.push_back(s.args.at(1));
  EXPECT_THAT(keys, ElementsAre("default", "marker"));
}

TEST(FakeNotificationServer, SilentModeHoldsTheCallUntilTheServerVanishes) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  FakeNotificationServer server(bus.address());
  ASSERT_TRUE(server.ok()) << server.error();
  BusClient client(bus.address());
  BusClient observer(bus.address());
  ASSERT_TRUE(client.ok() && observer.ok());

  server.setSilent(true);
  auto pending = std::async(std::launch::async, [&] { return notify(client, "held"); });
  ASSERT_TRUE(server.waitForNotify(1, soon()));
  EXPECT_EQ(pending.wait_for(50ms), std::future_status::timeout);
  EXPECT_EQ(server.notifications()[0].id, 0u);

  server.stop();
  const auto outcome = pending.get();
  EXPECT_FALSE(outcome.replied);
  EXPECT_EQ(outcome.errorName, "org.freedesktop.DBus.Error.NoReply");
  EXPECT_TRUE(observer.waitForNameGone(names::kNotifications, soon()));
  EXPECT_FALSE(server.emitActionInvoked(1, "default"));

  ASSERT_TRUE(server.restart()) << server.error();
  EXPECT_TRUE(observer.waitForName(names::kNotifications, soon()));
  server.setSilent(false);
  EXPECT_THAT(notify(client, "again").args, ElementsAre("1"));
}

TEST(FakePortal, RecordsOpenUriAndAnswersWithARequest) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  FakePortal portal(bus.address());
  ASSERT_TRUE(portal.ok()) << portal.error();
  BusClient client(bus.address());
  ASSERT_TRUE(client.ok()) << client.error();
  MatchRule responses;
  responses.interface = "org.freedesktop.portal.Request";
  responses.member = "Response";
  auto recorder = client.subscribe(responses);
  ASSERT_TRUE(recorder) << client.lastError();

  const auto withToken = client.callRawTo(kPortalTarget, "OpenURI", "ssa{sv}", "",
                                          "vizarudavez://", 1, "activation_token", "s", "tok-1");
  ASSERT_TRUE(withToken.ok()) << withToken.errorName << " " << withToken.errorMessage;
  const auto without =
      client.callRawTo(kPortalTarget, "OpenURI", "ssa{sv}", "x11:1", "vizarudavez://", 0);
  ASSERT_TRUE(without.ok());

  ASSERT_TRUE(portal.waitForCalls(2, soon()));
  const auto calls = portal.calls();
  EXPECT_EQ(calls[0].parentWindow, "");
  EXPECT_EQ(calls[0].uri, "vizarudavez://");
  EXPECT_EQ(calls[0].activationToken, "tok-1");
  EXPECT_EQ(calls[0].sender, client.uniqueName());
  EXPECT_EQ(calls[1].parentWindow, "x11:1");
  EXPECT_EQ(calls[1].activationToken, std::nullopt);
  EXPECT_THAT(withToken.args, ElementsAre(calls[0].handle));

  ASSERT_TRUE(recorder->waitForSignals(2, soon()));
  EXPECT_EQ(recorder->signals()[0].path, calls[0].handle);
  EXPECT_THAT(recorder->signals()[0].args, ElementsAre("0", "{}"));
}

// A stand-in for the service's object, to check the typed helpers' encoding
// and decoding without the service.
class EchoService {
 public:
  explicit EchoService(const std::string& address) {
    ok_ = detail::serveName(loop_, address, names::kService,
                            {{names::kObjectPath, names::kInterface, vtable(), this}}, slots_,
                            soon(), error_);
  }
  ~EchoService() {
    loop_.stop();
    slots_.clear();
  }
  bool ok_ = false;
  std::string error_;
  std::atomic<int> dataElements{1};
  std::atomic<int> resets{0};
  std::atomic<int> resetsExpectingReply{0};

 private:
  static int verify(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<EchoService*>(userdata);
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(m, &raw);
    detail::MessagePtr reply(raw);
    if (r < 0) return r;
    const uint8_t bytes[] = {'Z', 'V', 0};
    r = sd_bus_message_open_container(reply.get(), 'a', "ay");
    for (int i = 0; r >= 0 && i < self->dataElements; ++i) {
      r = sd_bus_message_append_array(reply.get(), 'y', bytes, sizeof bytes);
    }
    if (r < 0 || (r = sd_bus_message_close_container(reply.get())) < 0 ||
        (r = sd_bus_message_append(reply.get(), "s", "echo-service")) < 0) {
      return r;
    }
    return sd_bus_send(nullptr, reply.get(), nullptr);
  }
  static int start(sd_bus_message* m, void*, sd_bus_error*) {
    const void* data = nullptr;
    size_t size = 0;
    const int r = sd_bus_message_read_array(m, 'y', &data, &size);
    if (r < 0) return r;
    return sd_bus_reply_method_return(m, "b", size == 3);
  }
  static int check(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<EchoService*>(userdata);
    return sd_bus_reply_method_return(m, "x", int64_t{1000} * self->resets);
  }
  static int reset(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<EchoService*>(userdata);
    ++(sd_bus_message_get_expect_reply(m) ? self->resetsExpectingReply : self->resets);
    return sd_bus_reply_method_return(m, "");
  }
  static const sd_bus_vtable* vtable() {
    static const sd_bus_vtable table[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("verifyAgentWithCompletion", "", "aays", verify, 0),
        SD_BUS_METHOD("startMonitoringWithPath", "ay", "b", start, 0),
        SD_BUS_METHOD("checkFolderNowWithCompletion", "", "x", check, 0),
        SD_BUS_METHOD("reset", "", "", reset, SD_BUS_VTABLE_METHOD_NO_REPLY),
        SD_BUS_VTABLE_END,
    };
    return table;
  }

  std::vector<detail::SlotPtr> slots_;
  detail::BusLoop loop_;
};

TEST(BusClient, TypedHelpersEncodeAndDecodeTheProtocol) {
  PrivateBus bus;
  ASSERT_TRUE(bus.ok()) << bus.error();
  BusClient client(bus.address());
  ASSERT_TRUE(client.ok()) << client.error();
  EXPECT_EQ(client.verifyAgent(), std::nullopt);  // nobody owns the name yet
  EXPECT_EQ(client.lastError().find("ServiceUnknown") != std::string::npos, true)
      << client.lastError();

  EchoService service(bus.address());
  ASSERT_TRUE(service.ok_) << service.error_;
  ASSERT_TRUE(client.waitForName(names::kService, soon()));

  auto agent = client.verifyAgent();
  ASSERT_TRUE(agent) << client.lastError();
  EXPECT_EQ(agent->first, (std::vector<uint8_t>{'Z', 'V', 0}));
  EXPECT_EQ(agent->second, "echo-service");
  service.dataElements = 0;
  agent = client.verifyAgent();
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->first, std::nullopt);
  service.dataElements = 2;  // more than one element breaks the protocol
  EXPECT_EQ(client.verifyAgent(), std::nullopt);

  EXPECT_EQ(client.startMonitoring({1, 2, 3}), true);
  EXPECT_EQ(client.startMonitoring({}), false);

  // reset without a reply is flagged so; the next call on the same
  // connection is handled after it.
  ASSERT_TRUE(client.reset());
  EXPECT_EQ(client.checkFolderNow(), 1000);
  EXPECT_TRUE(client.resetExpectingReply());
  EXPECT_EQ(service.resets, 1);
  EXPECT_EQ(service.resetsExpectingReply, 1);

  const auto wrong = client.callRaw("startMonitoringWithPath", "s", "not bytes");
  EXPECT_EQ(wrong.errorName, "org.freedesktop.DBus.Error.InvalidArgs");
}

TEST(Process, CapturesOutputStatusAndDescriptors) {
  Process shell({"sh", "-c", "echo one; echo two >&2; printf tail; exit 3"});
  ASSERT_TRUE(shell.ok()) << shell.error();
  EXPECT_EQ(shell.waitExit(soon()), 3);
  EXPECT_THAT(shell.lines(Stream::Out), ElementsAre("one", "tail"));
  EXPECT_THAT(shell.lines(Stream::Err), ElementsAre("two"));
  // A closed stream ends the wait at once.
  EXPECT_FALSE(shell.waitForLine(Stream::Out, "never", deadlineIn(60s)));

  Process sleeper({"sleep", "30"}, {{"ZIVUV_PROBE", "1"}});
  ASSERT_TRUE(sleeper.ok()) << sleeper.error();
  // Only standard input, output and error reach the child.
  EXPECT_TRUE(waitUntil([&] { return sleeper.openFdCount() == 3u; }, soon()))
      << sleeper.openFdCount().value_or(0);
  EXPECT_GT(sleeper.rssKiB().value_or(0), 0);
  EXPECT_EQ(sleeper.waitExit(deadlineIn(20ms)), std::nullopt);
  EXPECT_TRUE(sleeper.signal(SIGTERM));
  EXPECT_EQ(sleeper.waitExit(soon()), -SIGTERM);
  EXPECT_FALSE(sleeper.signal(SIGTERM));

  ProcessOptions clean;
  clean.argv = {"/usr/bin/env"};
  clean.cleanEnvironment = true;
  clean.env = {{"ONLY", "this"}};
  Process env(clean);
  EXPECT_EQ(env.waitExit(soon()), 0);
  EXPECT_THAT(env.lines(Stream::Out), ElementsAre("ONLY=this"));

  Process missing({"zivuv-no-such-program"});
  EXPECT_FALSE(missing.ok());
}

TEST(StandInXdgOpen, RecordsArgumentsAndActivationToken) {
  StandInXdgOpen xdgOpen;
  ASSERT_TRUE(xdgOpen.ok());
  EXPECT_THAT(xdgOpen.calls(), IsEmpty());
  Process withToken({"xdg-open", "vizarudavez://"},
                    {{"PATH", xdgOpen.pathWithStandIn()}, {"XDG_ACTIVATION_TOKEN", "tok-9"}});
  ASSERT_TRUE(withToken.ok()) << withToken.error();
  ASSERT_TRUE(xdgOpen.waitForCalls(1, soon()));
  Process without({"xdg-open", "a b"},
                  {{"PATH", xdgOpen.pathWithStandIn()}, {"XDG_ACTIVATION_TOKEN", std::nullopt}});
  ASSERT_TRUE(xdgOpen.waitForCalls(2, soon()));
  const auto calls = xdgOpen.calls();
  EXPECT_EQ(calls[0].args, "vizarudavez://");
  EXPECT_EQ(calls[0].token, "tok-9");
  EXPECT_EQ(calls[1].args, "a b");
  EXPECT_EQ(calls[1].token, "");
  EXPECT_FALSE(xdgOpen.waitForCalls(3, deadlineIn(20ms)));
}

TEST(Git, MakesRepositoriesAndLinkedWorktrees) {
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  std::string error;
  ASSERT_TRUE(gitInit(dir / "plain", &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(dir / "plain" / ".git"));
  ASSERT_TRUE(gitBareWithWorktree(dir / "bare.git", dir / "linked", &error)) << error;
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "bare.git" / "HEAD"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir / "linked" / ".git"));
  const auto inside = runCommand({"git", "-C", (dir / "linked").string(), "rev-parse",
                                  "--is-inside-work-tree"},
                                 {}, soon());
  ASSERT_TRUE(inside);
  EXPECT_THAT(inside->out, ElementsAre("true"));
}

}  // namespace
}  // namespace zivuv::testing
