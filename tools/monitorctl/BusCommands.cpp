// The commands that talk to the folder monitor over the session bus. Every
// call has a time-out; a service that is not running yet may be started by
// the bus (activation) on the first call.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "bookmarks/BookmarkUtils.h"
#include "monitorctl/Commands.h"
#include "monitorctl/Output.h"
#include "names/Names.h"
#include "platform/bookmark/BookmarkRecord.h"
#include "platform/bus/BusLoop.h"
#include "platform/fd/UniqueFd.h"
#include "platform/text/Text.h"

namespace zivuv::monitorctl {

namespace {

using platform::SdBusMessagePtr;
using platform::SdBusPtr;
using platform::SdBusSlotPtr;

using names::kBusName;
using names::kObjectPath;
using names::kProtocolInterface;

constexpr std::uint64_t kSecond = 1000000;
// Long enough for the bus to start the service on the first call.
constexpr std::uint64_t kCallTimeout = 10 * kSecond;
// A scan of a large folder, possibly queued behind one that the watch began.
constexpr std::uint64_t kScanTimeout = 120 * kSecond;

constexpr const char* kNotRunning = "the folder monitor is not running on the session bus";

class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError&) = delete;
  BusError& operator=(const BusError&) = delete;
  sd_bus_error* get() { return &error_; }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

std::string errnoText(int r) { return std::strerror(r < 0 ? -r : r); }

// The address of the user's session bus, as the desktop's own programs find
// it; empty when there is none to try.
std::string sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
      address != nullptr && *address != '\0') {
    return address;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime == '/') {
    return std::string("unix:path=") + runtime + "/bus";
  }
  return {};
}

// The user's session bus, connected and greeted; null with the reason.
SdBusPtr openSession(std::string& reason) {
  const std::string address = sessionBusAddress();
  sd_bus* raw = nullptr;
  int r = address.empty() ? -ENOMEDIUM : sd_bus_new(&raw);
  SdBusPtr bus(raw);
  // The time-out is set before the start, so that it bounds the wait for
  // the bus's greeting too.
  if (r >= 0) r = sd_bus_set_address(raw, address.c_str());
  if (r >= 0) r = sd_bus_set_bus_client(raw, 1);
  if (r >= 0) r = sd_bus_set_method_call_timeout(raw, kCallTimeout);
  if (r >= 0) r = sd_bus_start(raw);
  // The connection completes asynchronously: wait for the greeting so that a
  // bus that is not there shows here.
  const char* unique = nullptr;
  if (r >= 0) r = sd_bus_get_unique_name(raw, &unique);
  if (r >= 0) return bus;
  reason = errnoText(r);
  if (r == -ENOMEDIUM) reason = "neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set";
  return nullptr;
}

// The session bus; null after the reason was reported, when report.
SdBusPtr connectSession(bool report = true) {
  std::string reason;
  auto bus = openSession(reason);
  if (!bus && report) printMessage(std::string(kNotRunning) + " (no session bus: " + reason + ")");
  return bus;
}

void reportCallFailure(const char* member, std::uint64_t timeout, int r, const sd_bus_error* e) {
  // The texts of an error come from another program: escaped like a path.
  const std::string name = platform::escapeControlBytes(e->name != nullptr ? e->name : "");
  const std::string text = platform::escapeControlBytes(e->message != nullptr ? e->message : "");
  if (sd_bus_error_has_names(e, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
    printMessage(kNotRunning);
  } else if (r == -ETIMEDOUT) {
    printMessage(std::string("the folder monitor did not answer ") + member + " within " +
                 std::to_string(timeout / kSecond) + " s");
  } else if (name.starts_with("org.freedesktop.DBus.Error.Spawn.")) {
    printMessage("the folder monitor could not be started on the session bus: " +
                 (text.empty() ? name : text));
  } else if (r == -ECONNRESET || r == -ENOTCONN) {
    printMessage("the connection to the session bus was lost");
  } else if (!name.empty()) {
    printMessage(std::string(member) + " failed: " + name + (text.empty() ? "" : ": " + text));
  } else {
    printMessage(std::string(member) + " failed: " + errnoText(r));
  }
}

// A method call to the folder monitor, ready for its arguments.
SdBusMessagePtr newCall(sd_bus* bus, const char* interface, const char* member) {
  sd_bus_message* raw = nullptr;
  const int r = sd_bus_message_new_method_call(bus, &raw, kBusName, kObjectPath, interface, member);
  SdBusMessagePtr call(raw);
  if (r < 0) {
    printMessage(std::string("cannot make the call ") + member + ": " + errnoText(r));
    return nullptr;
  }
  return call;
}

// Sends call and waits up to timeout for its reply; null after the failure
// was reported, when report.
SdBusMessagePtr callService(sd_bus* bus, sd_bus_message* call, const char* member,
                            std::uint64_t timeout, bool report = true) {
  BusError error;
  sd_bus_message* raw = nullptr;
  const int r = sd_bus_call(bus, call, timeout, error.get(), &raw);
  SdBusMessagePtr reply(raw);
  if (r < 0) {
    if (report) reportCallFailure(member, timeout, r, error.get());
    return nullptr;
  }
  return reply;
}

SdBusMessagePtr callProtocol(sd_bus* bus, const char* member, std::uint64_t timeout,
                             bool report = true) {
  auto call = newCall(bus, kProtocolInterface, member);
  return call ? callService(bus, call.get(), member, timeout, report) : nullptr;
}

void reportBadReply(const char* member, int r) {
  printMessage(std::string("unexpected reply to ") + member + ": " + errnoText(r));
}

std::optional<Agent> verifyAgent(sd_bus* bus, bool report = true) {
  constexpr const char* kMember = "verifyAgentWithCompletion";
  const auto reply = callProtocol(bus, kMember, kCallTimeout, report);
  if (!reply) return std::nullopt;
  Agent agent;
  int r = sd_bus_message_enter_container(reply.get(), 'a', "ay");
  // An empty array stands for no data, otherwise it holds exactly one
  // element; anything beyond the first is ignored.
  while (r >= 0 && (r = sd_bus_message_at_end(reply.get(), 0)) == 0) {
    const void* bytes = nullptr;
    std::size_t size = 0;
    r = sd_bus_message_read_array(reply.get(), 'y', &bytes, &size);
    if (r >= 0 && !agent.data) {
      const auto* begin = static_cast<const std::uint8_t*>(bytes);
      agent.data.emplace(begin, begin + size);
    }
  }
  if (r >= 0) r = sd_bus_message_exit_container(reply.get());
  const char* name = nullptr;
  if (r >= 0) r = sd_bus_message_read(reply.get(), "s", &name);
  if (r < 0) {
    if (report) reportBadReply(kMember, r);
    return std::nullopt;
  }
  agent.processName = name != nullptr ? name : "";
  return agent;
}

// A round trip to the service; false after the failure was reported.
bool pingService(sd_bus* bus) {
  auto call = newCall(bus, "org.freedesktop.DBus.Peer", "Ping");
  return call && callService(bus, call.get(), "Ping", kCallTimeout) != nullptr;
}

struct ListenState {
  bool outputFailed = false;
};

int onDefaultsChanged(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* state = static_cast<ListenState*>(userdata);
  try {
    const char* object = nullptr;
    // A signal of another signature under the same name is not ours.
    if (sd_bus_message_read(message, "s", &object) < 0 || object == nullptr) return 0;
    if (!printData(platform::escapeControlBytes(object))) state->outputFailed = true;
  } catch (...) {
    state->outputFailed = true;
  }
  return 0;
}

constexpr int kBroken = -2;

// How long poll() may wait before the connection has work of its own (a
// time-out to fire): -1 for no limit, kBroken when the connection is gone.
int pollTimeout(sd_bus* bus) {
  std::uint64_t until = 0;
  if (sd_bus_get_timeout(bus, &until) < 0) return kBroken;
  if (until == UINT64_MAX) return -1;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const std::uint64_t nowUs = static_cast<std::uint64_t>(now.tv_sec) * kSecond +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000;
  if (until <= nowUs) return 0;
  return static_cast<int>(std::min<std::uint64_t>((until - nowUs + 999) / 1000, 60000));
}

// One complete value at the read position of message, as JSON: numbers,
// booleans and text as themselves, arrays and structures as arrays,
// dictionaries as objects, a variant as what it holds.
int readJson(sd_bus_message* message, nlohmann::json& out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r <= 0) return r < 0 ? r : -EBADMSG;
  const auto basic = [&](auto value) {
    r = sd_bus_message_read_basic(message, type, &value);
    out = value;
    return r;
  };
  switch (type) {
    case 's':
    case 'o':
    case 'g': {
      const char* text = nullptr;
      r = sd_bus_message_read_basic(message, type, &text);
      out = text != nullptr ? text : "";
      return r;
    }
    case 'b': {
      int value = 0;
      r = sd_bus_message_read_basic(message, type, &value);
      out = value != 0;
      return r;
    }
    case 'y': return basic(std::uint8_t{});
    case 'n': return basic(std::int16_t{});
    case 'q': return basic(std::uint16_t{});
    case 'i':
    case 'h': return basic(std::int32_t{});
    case 'u': return basic(std::uint32_t{});
    case 'x': return basic(std::int64_t{});
    case 't': return basic(std::uint64_t{});
    case 'd': return basic(double{});
    default: break;
  }
  r = sd_bus_message_enter_container(message, type, contents);
  if (r < 0) return r;
  if (type == 'v') {
    r = readJson(message, out);
  } else if (type == 'a' && contents[0] == '{') {
    out = nlohmann::json::object();
    while (r >= 0 && (r = sd_bus_message_at_end(message, 0)) == 0) {
      nlohmann::json key;
      nlohmann::json value;
      char entry = 0;
      const char* entryContents = nullptr;
      r = sd_bus_message_peek_type(message, &entry, &entryContents);
      if (r >= 0) r = sd_bus_message_enter_container(message, entry, entryContents);
      if (r >= 0) r = readJson(message, key);
      if (r >= 0) r = readJson(message, value);
      if (r >= 0) r = sd_bus_message_exit_container(message);
      if (r >= 0) out[key.is_string() ? key.get<std::string>() : key.dump()] = std::move(value);
    }
  } else {
    out = nlohmann::json::array();
    while (r >= 0 && (r = sd_bus_message_at_end(message, 0)) == 0) {
      nlohmann::json item;
      r = readJson(message, item);
      if (r >= 0) out.push_back(std::move(item));
    }
  }
  if (r >= 0) r = sd_bus_message_exit_container(message);
  return r < 0 ? r : 1;
}

// Every property of the status interface, by name, with one GetAll;
// nullopt after the failure was reported.
std::optional<nlohmann::json> readStatusProperties(sd_bus* bus) {
  constexpr const char* kMember = "GetAll";
  const auto call = newCall(bus, "org.freedesktop.DBus.Properties", kMember);
  if (!call) return std::nullopt;
  int r = sd_bus_message_append(call.get(), "s", names::kStatusInterface);
  if (r < 0) {
    printMessage(std::string("cannot make the call ") + kMember + ": " + errnoText(r));
    return std::nullopt;
  }
  const auto reply = callService(bus, call.get(), kMember, kCallTimeout);
  if (!reply) return std::nullopt;
  nlohmann::json properties;
  r = readJson(reply.get(), properties);
  if (r < 0 || !properties.is_object()) {
    reportBadReply(kMember, r < 0 ? r : -EBADMSG);
    return std::nullopt;
  }
  return properties;
}

// Asks for a scan now and waits for its count; nullopt after the failure
// was reported.
std::optional<std::int64_t> requestScanOn(sd_bus* bus) {
  constexpr const char* kMember = "checkFolderNowWithCompletion";
  const auto reply = callProtocol(bus, kMember, kScanTimeout);
  if (!reply) return std::nullopt;
  std::int64_t count = 0;
  const int r = sd_bus_message_read(reply.get(), "x", &count);
  if (r < 0) {
    reportBadReply(kMember, r);
    return std::nullopt;
  }
  return count;
}

// A scan's count, and why it failed (empty when it did its work).
struct ScanResult {
  std::int64_t count = 0;
  std::string error;
};

// A scan now, and what the status interface tells of it: the service sets
// LastScanError before it replies, so the read that follows sees this
// scan's (or that of a scan begun since). nullopt after the failure was
// reported.
std::optional<ScanResult> scanOn(sd_bus* bus) {
  const auto count = requestScanOn(bus);
  if (!count) return std::nullopt;
  const auto properties = readStatusProperties(bus);
  if (!properties) return std::nullopt;
  ScanResult result{*count, {}};
  // (when, why), (0, "") after a scan that ran.
  if (const auto error = properties->value("LastScanError", nlohmann::json::array());
      error.size() == 2 && error[1].is_string()) {
    result.error = platform::escapeControlBytes(error[1].get<std::string>());
  }
  return result;
}

// Sends reset, which has no reply, so a missing service would go
// unnoticed. A ping after it tells: the bus keeps the order of one sender's
// messages to one receiver, and the service handles them in turn, so once
// the ping is answered the reset has been handled too, and a call made next
// sees its effect. Without a service the ping fails as every other call
// does. False after the failure was reported.
bool resetOn(sd_bus* bus) {
  const auto call = newCall(bus, kProtocolInterface, "reset");
  if (!call) return false;
  int r = sd_bus_message_set_expect_reply(call.get(), 0);
  if (r >= 0) r = sd_bus_send(bus, call.get(), nullptr);
  if (r >= 0) r = sd_bus_flush(bus);
  if (r < 0) {
    printMessage("cannot send reset: " + errnoText(r));
    return false;
  }
  return pingService(bus);
}

}  // namespace

std::string shownFolder(const Agent& agent) {
  return agent.data ? shownResolution(*agent.data) : std::string("none");
}

int runWatch(const std::string& dir, bool replace) {
  constexpr const char* kMember = "startMonitoringWithPath";
  const auto folder = folderArgument(dir);
  if (!folder) return kFailure;
  const auto bus = connectSession();
  if (!bus) return kFailure;
  if (replace && !resetOn(bus.get())) return kFailure;
  const auto call = newCall(bus.get(), kProtocolInterface, kMember);
  if (!call) return kFailure;
  int r = sd_bus_message_append_array(call.get(), 'y', folder->transportData.data(),
                                      folder->transportData.size());
  if (r < 0) {
    printMessage(std::string("cannot make the call ") + kMember + ": " + errnoText(r));
    return kFailure;
  }
  const auto reply = callService(bus.get(), call.get(), kMember, kCallTimeout);
  if (!reply) return kFailure;
  int watching = 0;
  r = sd_bus_message_read(reply.get(), "b", &watching);
  if (r < 0) {
    reportBadReply(kMember, r);
    return kFailure;
  }
  if (!watching) {
    printMessage("the folder monitor refused to watch " + shownPath(folder->url));
    return kFailure;
  }

  // The service watches the first folder it remembers, which is DIR only
  // when no other was remembered before.
  const auto agent = verifyAgent(bus.get());
  if (!agent) return kFailure;
  std::optional<platform::FileURL> monitored;
  if (agent->data) {
    monitored = platform::resolveBookmark(*agent->data, platform::BookmarkKind::Transport).url;
  }
  if (!monitored || !(*monitored == folder->url)) {
    printMessage("the folder monitor keeps watching " + shownFolder(*agent) +
                 ", the first folder it remembers; 'zivuv-monitorctl watch --replace " +
                 platform::escapeControlBytes(dir) + "' forgets it and watches " +
                 shownPath(folder->url) + " instead");
    return kFailure;
  }
  // What the folder holds already is registered now, not at its first change.
  const auto scan = scanOn(bus.get());
  if (!scan) return kFailure;
  if (!scan->error.empty()) {
    printMessage("watching " + shownPath(*monitored) + ", but its first scan failed: " +
                 scan->error);
    return kFailure;
  }
  return printData("watching " + shownPath(*monitored) + "; " + std::to_string(scan->count) +
                   " repositories registered")
             ? kSuccess
             : kFailure;
}

std::optional<Agent> askAgent(bool report) {
  const auto bus = connectSession(report);
  if (!bus) return std::nullopt;
  return verifyAgent(bus.get(), report);
}

std::optional<ServiceReport> askStatus() {
  const auto bus = connectSession();
  if (!bus) return std::nullopt;
  auto agent = verifyAgent(bus.get());
  if (!agent) return std::nullopt;
  auto properties = readStatusProperties(bus.get());
  if (!properties) return std::nullopt;
  return ServiceReport{std::move(*agent), std::move(*properties)};
}

std::optional<std::int64_t> requestScan() {
  const auto bus = connectSession();
  if (!bus) return std::nullopt;
  return requestScanOn(bus.get());
}

bool broadcastDefaultsChanged(std::string& reason) {
  const auto bus = openSession(reason);
  if (!bus) return false;
  const NotificationName& notice = NotificationName::DefaultsChanged();
  int r = sd_bus_emit_signal(bus.get(), kObjectPath, notice.interface, notice.member, "s",
                             names::kAppId);
  // Out of this process before the connection closes.
  if (r >= 0) r = sd_bus_flush(bus.get());
  if (r < 0) reason = errnoText(r);
  return r >= 0;
}

int runScan() {
  const auto bus = connectSession();
  if (!bus) return kFailure;
  const auto scan = scanOn(bus.get());
  if (!scan) return kFailure;
  if (!scan->error.empty()) {
    printMessage("the scan failed: " + scan->error);
    return kFailure;
  }
  return printData(std::to_string(scan->count)) ? kSuccess : kFailure;
}

int runReset() {
  const auto bus = connectSession();
  return bus && resetOn(bus.get()) ? kSuccess : kFailure;
}

int runListen() {
  const auto bus = connectSession();
  if (!bus) return kFailure;

  // SIGINT and SIGTERM end the loop through a descriptor, so the connection
  // is closed in order and the status is 0.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0) {
    printMessage("cannot block the stop signals: " + errnoText(errno));
    return kFailure;
  }
  const platform::UniqueFd stop(::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!stop) {
    printMessage("cannot wait for the stop signals: " + errnoText(errno));
    return kFailure;
  }

  ListenState state;
  sd_bus_slot* rawSlot = nullptr;
  const NotificationName& notice = NotificationName::DefaultsChanged();
  // Installed synchronously: once this returns, no signal is missed.
  int r = sd_bus_match_signal(bus.get(), &rawSlot, nullptr, kObjectPath, notice.interface,
                              notice.member, onDefaultsChanged, &state);
  const SdBusSlotPtr slot(rawSlot);
  if (r < 0) {
    printMessage("cannot subscribe to " + notice.text() + ": " + errnoText(r));
    return kFailure;
  }
  printMessage("listening for " + notice.text());

  for (;;) {
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) {
      printMessage("the connection to the session bus was lost");
      return kFailure;
    }
    if (state.outputFailed) return kFailure;
    if (r > 0) continue;

    const int events = sd_bus_get_events(bus.get());
    const int waitMs = pollTimeout(bus.get());
    if (events < 0 || waitMs == kBroken) {
      printMessage("the connection to the session bus was lost");
      return kFailure;
    }
    pollfd fds[2] = {{sd_bus_get_fd(bus.get()), static_cast<short>(events), 0},
                     {stop.get(), POLLIN, 0}};
    if (::poll(fds, 2, waitMs) < 0 && errno != EINTR) {
      printMessage("cannot wait for the session bus: " + errnoText(errno));
      return kFailure;
    }
    if (fds[1].revents != 0) return kSuccess;
  }
}

}  // namespace zivuv::monitorctl
