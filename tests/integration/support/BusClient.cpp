#include "support/BusClient.h"

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace zivuv::testing {
namespace detail {

struct InstallState {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::string error;
};

// What the callbacks of one match rule see.
struct MatchContext {
  std::shared_ptr<SignalRecorder> recorder;
  std::shared_ptr<InstallState> install;
};

}  // namespace detail

namespace {

using detail::InstallState;
using detail::MatchContext;

using namespace std::chrono_literals;

constexpr auto kConnectTimeout = 10s;
// How long past the call's own timeout the caller still waits for sd-bus to
// report it: the bus thread times calls out itself.
constexpr auto kTimeoutSlack = 5s;
constexpr const char* kLocalError = "zivuv.testing.Error.Local";

const MethodTarget kBusDaemon{"org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus"};

// One call in flight. The caller waits on `finished`; the reply callback
// fills `outcome` and runs the caller's reader under `mutex`, unless the
// caller gave up (`abandoned`), so the reader never touches a stack that is gone.
struct PendingCall {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  const BusClient::MessageFn* read = nullptr;
  CallOutcome outcome;
};

struct ReplyContext {
  std::shared_ptr<PendingCall> pending;
};

int onReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  PendingCall& pending = *static_cast<ReplyContext*>(userdata)->pending;
  std::lock_guard lock(pending.mutex);
  if (pending.abandoned) return 0;
  CallOutcome& outcome = pending.outcome;
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    outcome.errorName = error && error->name ? error->name : "";
    outcome.errorMessage = error && error->message ? error->message : "";
  } else {
    outcome.replied = true;
    const char* signature = sd_bus_message_get_signature(reply, 1);
    outcome.signature = signature ? signature : "";
    if (pending.read && *pending.read) {
      const int r = (*pending.read)(reply);
      if (r < 0) {
        outcome.errorName = kLocalError;
        outcome.errorMessage = "unexpected reply (signature '" + outcome.signature + "')";
      }
    }
    outcome.args = renderArguments(reply);
  }
  pending.done = true;
  pending.finished.notify_all();
  return 0;
}

void destroyReplyContext(void* userdata) { delete static_cast<ReplyContext*>(userdata); }

int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
  static_cast<MatchContext*>(userdata)->recorder->record(recordSignal(message));
  return 0;
}

int onMatchInstalled(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  InstallState& install = *static_cast<MatchContext*>(userdata)->install;
  std::lock_guard lock(install.mutex);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    const sd_bus_error* error = sd_bus_message_get_error(reply);
    install.error = error && error->name ? error->name : "AddMatch failed";
  }
  install.done = true;
  install.finished.notify_all();
  return 0;
}

std::string errnoText(const char* what, int r) { return std::string(what) + ": " + std::strerror(-r); }

}  // namespace

std::string MatchRule::text() const {
  std::string rule = "type='signal'";
  auto add = [&rule](const char* key, const std::string& value) {
    if (!value.empty()) rule += std::string(",") + key + "='" + value + "'";
  };
  add("sender", sender);
  add("path", path);
  add("interface", interface);
  add("member", member);
  add("arg0", arg0);
  return rule;
}

BusClient::BusClient(const std::string& address) {
  std::string failure;
  detail::BusPtr bus = detail::openBus(address, failure);
  if (!bus) {
    error_ = failure;
    return;
  }
  loop_.call([&] { loop_.setBus(std::move(bus)); });
  if (!loop_.waitReady(Clock::now() + kConnectTimeout)) {
    error_ = "the bus at " + address + " did not accept the connection";
    return;
  }
  uniqueName_ = loop_.call([this] {
    const char* name = nullptr;
    return sd_bus_get_unique_name(loop_.bus(), &name) >= 0 && name ? std::string(name)
                                                                    : std::string();
  });
  if (uniqueName_.empty()) error_ = "no unique name";
}

BusClient::~BusClient() {
  loop_.stop();
  subscriptions_.clear();  // the loop thread has ended: freed here
}

std::string BusClient::lastError() const {
  std::lock_guard lock(errorMutex_);
  return lastError_;
}

void BusClient::setLastError(std::string text) const {
  std::lock_guard lock(errorMutex_);
  lastError_ = std::move(text);
}

CallOutcome BusClient::call(const MethodTarget& target, const std::string& member,
                            const MessageFn& append, const MessageFn& read) {
  auto pending = std::make_shared<PendingCall>();
  pending->read = &read;
  const auto timeout = timeout_;
  struct Sent {
    bool ok = false;
    std::string error = "the bus thread has stopped";
  };
  const Sent sent = loop_.call([&]() -> Sent {
    sd_bus* bus = loop_.bus();
    if (!bus) return {false, "not connected"};
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, target.destination.c_str(),
                                           target.path.c_str(), target.interface.c_str(),
                                           member.c_str());
    detail::MessagePtr message(raw);
    if (r < 0) return {false, errnoText("cannot make the call", r)};
    if (append && (r = append(message.get())) < 0) return {false, errnoText("cannot append", r)};
    auto context = std::make_unique<ReplyContext>(ReplyContext{pending});
    sd_bus_slot* slot = nullptr;
    const uint64_t usec =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    r = sd_bus_call_async(bus, &slot, message.get(), onReply, context.get(), usec);
    if (r < 0) return {false, errnoText("cannot send", r)};
    // The bus owns the slot from here; it frees the context with the slot,
    // whether the reply came or the connection went first.
    (void)sd_bus_slot_set_destroy_callback(slot, destroyReplyContext);
    (void)context.release();
    (void)sd_bus_slot_set_floating(slot, 1);
    (void)sd_bus_slot_unref(slot);
    return {true, {}};
  });
  if (!sent.ok) {
    CallOutcome outcome;
    outcome.errorName = kLocalError;
    outcome.errorMessage = sent.error;
    setLastError(member + ": " + sent.error);
    return outcome;
  }
  std::unique_lock lock(pending->mutex);
  if (!pending->finished.wait_until(lock, Clock::now() + timeout + kTimeoutSlack,
                                    [&] { return pending->done; })) {
    pending->abandoned = true;
    CallOutcome outcome;
    outcome.errorName = kLocalError;
    outcome.errorMessage = "the bus thread never reported the call";
    setLastError(member + ": " + outcome.errorMessage);
    return outcome;
  }
  if (!pending->outcome.ok()) {
    setLastError(member + ": " + pending->outcome.errorName + ": " + pending->outcome.errorMessage);
  }
  return pending->outcome;
}

bool BusClient::send(const MethodTarget& target, const std::string& member,
                     const MessageFn& append) {
  const int r = loop_.call([&]() -> int {
    sd_bus* bus = loop_.bus();
    if (!bus) return -ENOTCONN;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, target.destination.c_str(),
                                           target.path.c_str(), target.interface.c_str(),
                                           member.c_str());
    detail::MessagePtr message(raw);
    if (r < 0) return r;
    if ((r = sd_bus_message_set_expect_reply(message.get(), 0)) < 0) return r;
    if (append && (r = append(message.get())) < 0) return r;
    if ((r = sd_bus_send(bus, message.get(), nullptr)) < 0) return r;
    return sd_bus_flush(bus);
  });
  if (r < 0) {
    setLastError(member + ": " + std::strerror(-r));
    return false;
  }
  return true;
}

std::optional<std::pair<std::optional<std::vector<uint8_t>>, std::string>> BusClient::verifyAgent() {
  std::vector<std::vector<uint8_t>> elements;
  std::string processName;
  const auto outcome = call(folderMonitorTarget(), "verifyAgentWithCompletion", {},
                            [&](sd_bus_message* m) -> int {
    if (sd_bus_message_has_signature(m, "aays") <= 0) return -EBADMSG;
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "ay");
    if (r < 0) return r;
    for (;;) {
      const void* bytes = nullptr;
      size_t size = 0;
      r = sd_bus_message_read_array(m, SD_BUS_TYPE_BYTE, &bytes, &size);
      if (r < 0) return r;
      if (r == 0) break;
      const auto* begin = static_cast<const uint8_t*>(bytes);
      elements.emplace_back(begin, begin + (begin ? size : 0));
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    const char* name = nullptr;
    if ((r = sd_bus_message_read(m, "s", &name)) < 0) return r;
    processName = name ? name : "";
    return 0;
  });
  if (!outcome.ok()) return std::nullopt;
  if (elements.size() > 1) {
    setLastError("verifyAgentWithCompletion: " + std::to_string(elements.size()) +
                 " data elements, at most one expected");
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> data;
  if (!elements.empty()) data = std::move(elements.front());
  return std::make_pair(std::move(data), std::move(processName));
}

std::optional<bool> BusClient::startMonitoring(const std::vector<uint8_t>& transportData) {
  int answer = 0;
  const auto outcome = call(
      folderMonitorTarget(), "startMonitoringWithPath",
      [&](sd_bus_message* m) {
        return sd_bus_message_append_array(m, SD_BUS_TYPE_BYTE, transportData.data(),
                                           transportData.size());
      },
      [&](sd_bus_message* m) -> int {
        if (sd_bus_message_has_signature(m, "b") <= 0) return -EBADMSG;
        return sd_bus_message_read(m, "b", &answer);
      });
  if (!outcome.ok()) return std::nullopt;
  return answer != 0;
}

std::optional<int64_t> BusClient::checkFolderNow() {
  int64_t count = 0;
  const auto outcome =
      call(folderMonitorTarget(), "checkFolderNowWithCompletion", {}, [&](sd_bus_message* m) -> int {
        if (sd_bus_message_has_signature(m, "x") <= 0) return -EBADMSG;
        return sd_bus_message_read(m, "x", &count);
      });
  if (!outcome.ok()) return std::nullopt;
  return count;
}

bool BusClient::reset() { return send(folderMonitorTarget(), "reset", {}); }

bool BusClient::resetExpectingReply() {
  const auto outcome = call(folderMonitorTarget(), "reset", {});
  if (outcome.ok() && !outcome.signature.empty()) {
    setLastError("reset: reply carries '" + outcome.signature + "'");
    return false;
  }
  return outcome.ok();
}

std::optional<bool> BusClient::nameHasOwner(const std::string& name) {
  int owned = 0;
  const auto outcome = call(
      kBusDaemon, "NameHasOwner",
      [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", name.c_str()); },
      [&](sd_bus_message* m) { return sd_bus_message_read(m, "b", &owned); });
  if (!outcome.ok()) return std::nullopt;
  return owned != 0;
}

bool BusClient::waitForOwnerChange(const std::string& name, bool owned, Deadline deadline) {
  // Subscribe first, then look: an owner change between the two is recorded.
  auto recorder = subscribe({"org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "NameOwnerChanged", name});
  if (!recorder) return false;
  const auto has = nameHasOwner(name);
  bool reached = has && *has == owned;
  if (!reached) {
    reached = recorder->waitFor(
        [owned](const RecordedSignal& s) { return s.args.size() == 3 && s.args[2].empty() != owned; },
        deadline);
  }
  unsubscribe(recorder);
  return reached;
}

bool BusClient::waitForName(const std::string& name, Deadline deadline) {
  return waitForOwnerChange(name, true, deadline);
}

bool BusClient::waitForNameGone(const std::string& name, Deadline deadline) {
  return waitForOwnerChange(name, false, deadline);
}

bool BusClient::waitDisconnected(Deadline deadline) { return loop_.waitClosed(deadline); }

std::shared_ptr<SignalRecorder> BusClient::subscribe(const MatchRule& rule) {
  auto recorder = std::make_shared<SignalRecorder>();
  auto install = std::make_shared<InstallState>();
  const std::string text = rule.text();
  const int r = loop_.call([&]() -> int {
    sd_bus* bus = loop_.bus();
    if (!bus) return -ENOTCONN;
    auto context = std::make_unique<MatchContext>(MatchContext{recorder, install});
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_add_match_async(bus, &slot, text.c_str(), onSignal, onMatchInstalled,
                                         context.get());
    if (r < 0) return r;
    subscriptions_.emplace_back(std::move(context), detail::SlotPtr(slot));
    return 1;
  });
  if (r <= 0) {
    setLastError("cannot subscribe to " + text + ": " + (r < 0 ? std::strerror(-r) : "stopped"));
    return nullptr;
  }
  std::unique_lock lock(install->mutex);
  if (!install->finished.wait_until(lock, Clock::now() + timeout_ + kTimeoutSlack,
                                    [&] { return install->done; }) ||
      !install->error.empty()) {
    const std::string why = install->done ? install->error : "no answer";
    lock.unlock();
    unsubscribe(recorder);
    setLastError("cannot subscribe to " + text + ": " + why);
    return nullptr;
  }
  return recorder;
}

std::shared_ptr<SignalRecorder> BusClient::subscribeDefaultsChanged() {
  MatchRule rule;
  rule.interface = names::kDefaultsChangedInterface;
  rule.member = names::kDefaultsChangedMember;
  return subscribe(rule);
}

void BusClient::unsubscribe(const std::shared_ptr<SignalRecorder>& recorder) {
  loop_.call([&] {
    subscriptions_.remove_if(
        [&](const Subscription& s) { return s.context->recorder == recorder; });
  });
}

BusClient::Subscription::Subscription(std::unique_ptr<detail::MatchContext> c, detail::SlotPtr s)
    : context(std::move(c)), slot(std::move(s)) {}
BusClient::Subscription::Subscription(Subscription&&) noexcept = default;
BusClient::Subscription::~Subscription() = default;

}  // namespace zivuv::testing
