#include "support/BusClient.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zivuv::testing {
namespace {

constexpr const char* kLocalError = "zivuv.testing.Error.Local";
const MethodTarget kBusDaemon{"org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus"};

// The leading string arguments of a signal: all that the tests read.
Arguments stringArguments(sd_bus_message* m) {
  Arguments args;
  const char* text = nullptr;
  while (sd_bus_message_read_basic(m, 's', &text) > 0) args.emplace_back(text);
  return args;
}

int onSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
  static_cast<SignalRecorder*>(userdata)->record(stringArguments(m));
  return 0;
}

// A method call to `target`, filled by `append`; null on failure.
detail::MessagePtr newCall(sd_bus* bus, const MethodTarget& target, const std::string& member,
                           const BusClient::MessageFn& append, int& r) {
  sd_bus_message* raw = nullptr;
  r = bus ? sd_bus_message_new_method_call(bus, &raw, target.destination.c_str(),
                                           target.path.c_str(), target.interface.c_str(),
                                           member.c_str())
          : -ENOTCONN;
  detail::MessagePtr message(raw);
  if (r >= 0 && append) r = append(raw);
  return r < 0 ? nullptr : std::move(message);
}

}  // namespace

std::size_t SignalRecorder::count() const {
  std::lock_guard lock(mutex_);
  return signals_.size();
}

std::vector<std::string> SignalRecorder::firstArguments() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> firsts;
  for (const auto& args : signals_) firsts.push_back(args.empty() ? "" : args[0]);
  return firsts;
}

bool SignalRecorder::waitForSignals(std::size_t n, Deadline deadline) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_until(lock, deadline, [&] { return signals_.size() >= n; });
}

bool SignalRecorder::waitFor(const std::function<bool(const Arguments&)>& match,
                             Deadline deadline) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_until(
      lock, deadline, [&] { return std::any_of(signals_.begin(), signals_.end(), match); });
}

void SignalRecorder::record(Arguments args) {
  std::lock_guard lock(mutex_);
  signals_.push_back(std::move(args));
  arrived_.notify_all();
}

BusClient::BusClient(const std::string& address) {
  detail::BusPtr bus = detail::connect(address, error_);
  if (bus) loop_.call([&] { loop_.setBus(std::move(bus)); });
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
  const auto usec = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(timeout_).count());
  CallOutcome outcome = loop_.call([&] {
    CallOutcome out;
    sd_bus* bus = loop_.bus();
    int r = 0;
    const detail::MessagePtr message = newCall(bus, target, member, append, r);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* rawReply = nullptr;
    if (message) r = sd_bus_call(bus, message.get(), usec, &error, &rawReply);
    const detail::MessagePtr reply(rawReply);
    if (r < 0) {
      out.errorName = error.name ? error.name : kLocalError;
      out.errorMessage = error.message ? error.message : std::strerror(-r);
    } else {
      out.replied = true;
      const char* signature = sd_bus_message_get_signature(reply.get(), 1);
      out.signature = signature ? signature : "";
      if (read && read(reply.get()) < 0) {
        out.errorName = kLocalError;
        out.errorMessage = "unexpected reply (signature '" + out.signature + "')";
      }
    }
    sd_bus_error_free(&error);
    // sd_bus_call queued what came before the reply: record it now.
    while (bus && sd_bus_process(bus, nullptr) > 0) {
    }
    return out;
  });
  if (!outcome.ok()) {
    setLastError(member + ": " + (outcome.errorName.empty() ? "the bus thread has stopped"
                                                            : outcome.errorName + ": " +
                                                                  outcome.errorMessage));
  }
  return outcome;
}

bool BusClient::send(const MethodTarget& target, const std::string& member,
                     const MessageFn& append) {
  const int r = loop_.call([&]() -> int {
    int r = 0;
    const detail::MessagePtr message = newCall(loop_.bus(), target, member, append, r);
    if (message && (r = sd_bus_message_set_expect_reply(message.get(), 0)) >= 0 &&
        (r = sd_bus_send(loop_.bus(), message.get(), nullptr)) >= 0) {
      r = sd_bus_flush(loop_.bus());
    }
    return r < 0 ? r : 1;
  });
  if (r <= 0) setLastError(member + ": " + (r < 0 ? std::strerror(-r) : "stopped"));
  return r > 0;
}

std::optional<std::pair<std::optional<std::vector<uint8_t>>, std::string>> BusClient::verifyAgent() {
  std::vector<std::vector<uint8_t>> elements;
  std::string processName;
  const auto outcome = call(folderMonitorTarget(), "verifyAgentWithCompletion", {},
                            [&](sd_bus_message* m) -> int {
    if (sd_bus_message_has_signature(m, "aays") <= 0) return -EBADMSG;
    int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "ay");
    const void* bytes = nullptr;
    size_t size = 0;
    while (r >= 0 && (r = sd_bus_message_read_array(m, SD_BUS_TYPE_BYTE, &bytes, &size)) > 0) {
      const auto* begin = static_cast<const uint8_t*>(bytes);
      elements.emplace_back(begin, begin + (begin ? size : 0));
    }
    const char* name = nullptr;
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
        (r = sd_bus_message_read(m, "s", &name)) < 0) {
      return r;
    }
    processName = name;
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
        return sd_bus_message_append_array(m, 'y', transportData.data(), transportData.size());
      },
      [&](sd_bus_message* m) {
        return sd_bus_message_has_signature(m, "b") > 0 ? sd_bus_message_read(m, "b", &answer)
                                                         : -EBADMSG;
      });
  return outcome.ok() ? std::optional<bool>(answer != 0) : std::nullopt;
}

std::optional<int64_t> BusClient::checkFolderNow() {
  int64_t count = 0;
  const auto outcome =
      call(folderMonitorTarget(), "checkFolderNowWithCompletion", {}, [&](sd_bus_message* m) {
        return sd_bus_message_has_signature(m, "x") > 0 ? sd_bus_message_read(m, "x", &count)
                                                         : -EBADMSG;
      });
  return outcome.ok() ? std::optional(count) : std::nullopt;
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
  return outcome.ok() ? std::optional<bool>(owned != 0) : std::nullopt;
}

bool BusClient::waitForOwnerChange(const std::string& name, bool owned, Deadline deadline) {
  // Subscribe first, then look: an owner change between the two is recorded.
  auto recorder = subscribe("type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
                            "arg0='" + name + "'");
  if (!recorder) return false;
  const bool reached =
      nameHasOwner(name) == std::optional(owned) ||
      recorder->waitFor(
          [owned](const Arguments& a) { return a.size() == 3 && a[2].empty() != owned; }, deadline);
  unsubscribe(recorder);
  return reached;
}

bool BusClient::waitForName(const std::string& name, Deadline deadline) {
  return waitForOwnerChange(name, true, deadline);
}

bool BusClient::waitForNameGone(const std::string& name, Deadline deadline) {
  return waitForOwnerChange(name, false, deadline);
}

std::shared_ptr<SignalRecorder> BusClient::subscribe(const std::string& rule) {
  auto recorder = std::make_shared<SignalRecorder>();
  const int r = loop_.call([&]() -> int {
    sd_bus_slot* slot = nullptr;
    // Synchronous: returns once the bus daemon confirmed the rule.
    const int r = loop_.bus() ? sd_bus_add_match(loop_.bus(), &slot, rule.c_str(), onSignal,
                                                 recorder.get())
                              : -ENOTCONN;
    if (r >= 0) subscriptions_.emplace_back(recorder, detail::SlotPtr(slot));
    return r < 0 ? r : 1;
  });
  if (r > 0) return recorder;
  setLastError("cannot subscribe to " + rule + ": " + (r < 0 ? std::strerror(-r) : "stopped"));
  return nullptr;
}

std::shared_ptr<SignalRecorder> BusClient::subscribeDefaultsChanged() {
  return subscribe(std::string("type='signal',interface='") + names::kDefaultsChangedInterface +
                   "',member='" + names::kDefaultsChangedMember + "'");
}

void BusClient::unsubscribe(const std::shared_ptr<SignalRecorder>& recorder) {
  loop_.call([&] {
    subscriptions_.remove_if([&](const auto& s) { return s.first == recorder; });
  });
}

}  // namespace zivuv::testing
