#include "support/FakeNotificationServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "support/Names.h"

namespace zivuv::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr auto kClaimTimeout = 10s;

// Reads an "as" argument.
int readStrings(sd_bus_message* m, std::vector<std::string>& out) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "s");
  if (r < 0) return r;
  const char* text = nullptr;
  while ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &text)) > 0) out.emplace_back(text);
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// Reads an "a{sv}" argument, keeping the keys only.
int readHintKeys(sd_bus_message* m, std::vector<std::string>& keys) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &key)) < 0) return r;
    keys.emplace_back(key);
    if ((r = sd_bus_message_skip(m, "v")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress)
    : FakeNotificationServer(busAddress, Options{}) {}

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress, Options options)
    : address_(busAddress), options_(std::move(options)), nextId_(options_.firstId) {
  (void)restart();
}

FakeNotificationServer::~FakeNotificationServer() {
  loop_.stop();
  held_.clear();
  slots_.clear();
}

bool FakeNotificationServer::ok() const {
  std::lock_guard lock(mutex_);
  return running_ && error_.empty();
}

std::string FakeNotificationServer::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool FakeNotificationServer::restart() {
  stop();
  std::string failure;
  const bool served = detail::serveName(
      loop_, address_, names::kNotifications,
      {{names::kNotificationsPath, kInterface, vtable(), this}}, slots_,
      Clock::now() + kClaimTimeout, failure);
  std::lock_guard lock(mutex_);
  error_ = failure;
  running_ = served;
  return served;
}

void FakeNotificationServer::stop() {
  loop_.call([this] {
    held_.clear();  // never answered: the callers see the server vanish
    slots_.clear();
    (void)loop_.takeBus();
  });
  std::lock_guard lock(mutex_);
  running_ = false;
}

bool FakeNotificationServer::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void FakeNotificationServer::setCapabilities(std::vector<std::string> capabilities) {
  std::lock_guard lock(mutex_);
  options_.capabilities = std::move(capabilities);
}

void FakeNotificationServer::setSilent(bool silent) {
  std::lock_guard lock(mutex_);
  silent_ = silent;
}

void FakeNotificationServer::setUnicastSignals(bool unicast) {
  std::lock_guard lock(mutex_);
  options_.unicastSignals = unicast;
}

void FakeNotificationServer::setNotifyError(std::string errorName) {
  std::lock_guard lock(mutex_);
  notifyError_ = std::move(errorName);
}

void FakeNotificationServer::setNextId(uint32_t id) {
  std::lock_guard lock(mutex_);
  nextId_ = id;
}

bool FakeNotificationServer::emit(const char* member, uint32_t id,
                                  const std::function<int(sd_bus_message*)>& appendRest) {
  std::string destination;
  {
    std::lock_guard lock(mutex_);
    if (options_.unicastSignals) {
      const auto it = std::find_if(calls_.rbegin(), calls_.rend(),
                                   [id](const NotifyCall& c) { return c.id == id; });
      if (it != calls_.rend()) {
        destination = it->sender;
      } else if (!calls_.empty()) {
        destination = calls_.back().sender;
      }
    }
  }
  return loop_.call([&]() -> bool {
    sd_bus* bus = loop_.bus();
    if (!bus) return false;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(bus, &raw, names::kNotificationsPath, kInterface, member);
    detail::MessagePtr message(raw);
    if (r < 0) return false;
    if (!destination.empty() &&
        sd_bus_message_set_destination(message.get(), destination.c_str()) < 0) {
      return false;
    }
    if (sd_bus_message_append(message.get(), "u", id) < 0 || appendRest(message.get()) < 0) {
      return false;
    }
    return sd_bus_send(bus, message.get(), nullptr) >= 0;
  });
}

bool FakeNotificationServer::emitActionInvoked(uint32_t id, const std::string& key) {
  return emit("ActionInvoked", id,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", key.c_str()); });
}

bool FakeNotificationServer::emitActivationToken(uint32_t id, const std::string& token) {
  return emit("ActivationToken", id,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", token.c_str()); });
}

bool FakeNotificationServer::emitNotificationClosed(uint32_t id, uint32_t reason) {
  return emit("NotificationClosed", id,
              [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", reason); });
}

bool FakeNotificationServer::waitForNotify(std::size_t n, Deadline deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [&] { return calls_.size() >= n; });
}

std::vector<NotifyCall> FakeNotificationServer::notifications() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FakeNotificationServer::notifyCount() const {
  std::lock_guard lock(mutex_);
  return calls_.size();
}

std::string FakeNotificationServer::callerUniqueName() const {
  std::lock_guard lock(mutex_);
  return calls_.empty() ? std::string() : calls_.back().sender;
}

std::size_t FakeNotificationServer::getCapabilitiesCount() const {
  std::lock_guard lock(mutex_);
  return getCapabilitiesCount_;
}

std::vector<uint32_t> FakeNotificationServer::closeRequests() const {
  std::lock_guard lock(mutex_);
  return closeRequests_;
}

int FakeNotificationServer::onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeNotificationServer*>(userdata);
  NotifyCall call;
  const char* appName = nullptr;
  const char* appIcon = nullptr;
  const char* summary = nullptr;
  const char* body = nullptr;
  int r = sd_bus_message_read(m, "susss", &appName, &call.replacesId, &appIcon, &summary, &body);
  if (r < 0) return r;
  call.appName = appName;
  call.appIcon = appIcon;
  call.summary = summary;
  call.body = body;
  if ((r = readStrings(m, call.actions)) < 0) return r;
  if ((r = readHintKeys(m, call.hintKeys)) < 0) return r;
  if ((r = sd_bus_message_read(m, "i", &call.expireTimeout)) < 0) return r;
  const char* sender = sd_bus_message_get_sender(m);
  call.sender = sender ? sender : "";

  std::string errorName;
  bool silent = false;
  {
    std::lock_guard lock(self->mutex_);
    silent = self->silent_;
    errorName = self->notifyError_;
    if (!silent && errorName.empty()) call.id = self->nextId_++;
    self->calls_.push_back(call);
    self->changed_.notify_all();
  }
  if (silent) {
    self->held_.emplace_back(sd_bus_message_ref(m));
    return 1;
  }
  if (!errorName.empty()) {
    return sd_bus_reply_method_errorf(m, errorName.c_str(), "Notify refused by the test");
  }
  return sd_bus_reply_method_return(m, "u", call.id);
}

int FakeNotificationServer::onGetCapabilities(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeNotificationServer*>(userdata);
  std::vector<std::string> capabilities;
  {
    std::lock_guard lock(self->mutex_);
    ++self->getCapabilitiesCount_;
    capabilities = self->options_.capabilities;
  }
  std::vector<char*> strv;
  for (auto& capability : capabilities) strv.push_back(capability.data());
  strv.push_back(nullptr);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_return(m, &raw);
  detail::MessagePtr reply(raw);
  if (r < 0) return r;
  if ((r = sd_bus_message_append_strv(reply.get(), strv.data())) < 0) return r;
  return sd_bus_send(nullptr, reply.get(), nullptr);
}

int FakeNotificationServer::onGetServerInformation(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "ssss", "Fake Notifications", "zivuv tests", "1.0", "1.2");
}

int FakeNotificationServer::onCloseNotification(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeNotificationServer*>(userdata);
  uint32_t id = 0;
  const int r = sd_bus_message_read(m, "u", &id);
  if (r < 0) return r;
  {
    std::lock_guard lock(self->mutex_);
    self->closeRequests_.push_back(id);
  }
  const int replied = sd_bus_reply_method_return(m, "");
  // Reason 3: closed by a call to CloseNotification.
  (void)sd_bus_emit_signal(sd_bus_message_get_bus(m), names::kNotificationsPath, kInterface,
                           "NotificationClosed", "uu", id, 3u);
  return replied;
}

const sd_bus_vtable* FakeNotificationServer::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetCapabilities", "", "as", onGetCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetServerInformation", "", "ssss", onGetServerInformation,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("CloseNotification", "u", "", onCloseNotification,
                    SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
      SD_BUS_SIGNAL("ActionInvoked", "us", 0),
      SD_BUS_SIGNAL("ActivationToken", "us", 0),
      SD_BUS_VTABLE_END,
  };
  return table;
}

}  // namespace zivuv::testing
