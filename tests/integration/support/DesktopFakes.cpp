#include "support/DesktopFakes.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "support/Names.h"

namespace zivuv::testing {
namespace {

constexpr const char* kNotificationsInterface = "org.freedesktop.Notifications";

}  // namespace

FakeNotificationServer::FakeNotificationServer(const std::string& busAddress)
    : address_(busAddress) {
  (void)restart();
}

FakeNotificationServer::~FakeNotificationServer() {
  loop_.stop();
  held_.clear();
}

bool FakeNotificationServer::ok() const {
  std::lock_guard lock(mutex_);
  return running_;
}

std::string FakeNotificationServer::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

bool FakeNotificationServer::restart() {
  stop();
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", onNotify, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_METHOD("GetCapabilities", "", "as", onGetCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_SIGNAL("ActionInvoked", "us", 0),
      SD_BUS_SIGNAL("ActivationToken", "us", 0),
      SD_BUS_VTABLE_END,
  };
  std::string failure;
  const bool served = loop_.serve(address_, names::kNotifications, names::kNotificationsPath,
                                  kNotificationsInterface, table, this, failure);
  std::lock_guard lock(mutex_);
  error_ = failure;
  running_ = served;
  return served;
}

void FakeNotificationServer::stop() {
  loop_.call([this] {
    held_.clear();  // never answered: the callers see the server vanish
    loop_.setBus(nullptr);
  });
  std::lock_guard lock(mutex_);
  running_ = false;
}

void FakeNotificationServer::setCapabilities(std::vector<std::string> capabilities) {
  std::lock_guard lock(mutex_);
  capabilities_ = std::move(capabilities);
}

void FakeNotificationServer::setSilent(bool silent) {
  std::lock_guard lock(mutex_);
  silent_ = silent;
}

void FakeNotificationServer::setUnicastSignals(bool unicast) {
  std::lock_guard lock(mutex_);
  unicast_ = unicast;
}

bool FakeNotificationServer::emitActionInvoked(uint32_t id, const std::string& key) {
  return emit("ActionInvoked", id, key);
}

bool FakeNotificationServer::emitActivationToken(uint32_t id, const std::string& token) {
  return emit("ActivationToken", id, token);
}

bool FakeNotificationServer::emit(const char* member, uint32_t id, const std::string& text) {
  std::string destination;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(calls_.rbegin(), calls_.rend(),
                                 [id](const NotifyCall& c) { return c.id == id; });
    if (unicast_ && !calls_.empty()) destination = (it != calls_.rend() ? *it : calls_.back()).sender;
  }
  return loop_.call([&]() -> bool {
    sd_bus_message* raw = nullptr;
    if (!loop_.bus() || sd_bus_message_new_signal(loop_.bus(), &raw, names::kNotificationsPath,
                                                  kNotificationsInterface, member) < 0) {
      return false;
    }
    const detail::MessagePtr message(raw);
    return (destination.empty() || sd_bus_message_set_destination(raw, destination.c_str()) >= 0) &&
           sd_bus_message_append(raw, "us", id, text.c_str()) >= 0 &&
           sd_bus_send(loop_.bus(), raw, nullptr) >= 0;
  });
}

int FakeNotificationServer::onNotify(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeNotificationServer*>(userdata);
  NotifyCall call;
  const char *appName, *icon, *summary, *body, *action;
  uint32_t replaces = 0;
  int r = sd_bus_message_read(m, "susss", &appName, &replaces, &icon, &summary, &body);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "s");
  while (r >= 0 && (r = sd_bus_message_read(m, "s", &action)) > 0) call.actions.emplace_back(action);
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 ||
      (r = sd_bus_message_skip(m, "a{sv}")) < 0 ||
      (r = sd_bus_message_read(m, "i", &call.expireTimeout)) < 0) {
    return r;
  }
  call.appName = appName;
  call.summary = summary;
  call.body = body;
  call.sender = sd_bus_message_get_sender(m);
  bool silent;
  {
    std::lock_guard lock(self->mutex_);
    silent = self->silent_;
    if (!silent) call.id = self->nextId_++;
    self->add(call);
  }
  if (!silent) return sd_bus_reply_method_return(m, "u", call.id);
  self->held_.emplace_back(sd_bus_message_ref(m));
  return 1;
}

int FakeNotificationServer::onGetCapabilities(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakeNotificationServer*>(userdata);
  std::vector<std::string> capabilities;
  {
    std::lock_guard lock(self->mutex_);
    capabilities = self->capabilities_;
  }
  std::vector<char*> strv;
  for (auto& capability : capabilities) strv.push_back(capability.data());
  strv.push_back(nullptr);
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_return(m, &raw);
  const detail::MessagePtr reply(raw);
  if (r >= 0) r = sd_bus_message_append_strv(raw, strv.data());
  return r < 0 ? r : sd_bus_send(nullptr, raw, nullptr);
}

FakePortal::FakePortal(const std::string& busAddress) {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("OpenURI", "ssa{sv}", "o", onOpenUri, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  (void)loop_.serve(busAddress, names::kPortal, names::kPortalPath, names::kOpenUriInterface, table,
                    this, error_);
}

int FakePortal::onOpenUri(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakePortal*>(userdata);
  OpenUriCall call;
  const char *parent, *uri, *key;
  std::string handleToken;
  int r = sd_bus_message_read(m, "ss", &parent, &uri);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* value = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    const std::string name = key;
    if ((name == "activation_token" || name == "handle_token") &&
        sd_bus_message_read(m, "v", "s", &value) >= 0) {
      if (name == "activation_token") {
        call.activationToken = value;
      } else {
        handleToken = value;
      }
    } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  call.parentWindow = parent;
  call.uri = uri;
  call.sender = sd_bus_message_get_sender(m);
  {
    std::lock_guard lock(self->mutex_);
    if (handleToken.empty()) handleToken = "t" + std::to_string(self->calls_.size() + 1);
    // The caller's unique name, ":1.42", becomes "1_42" in the path.
    std::string element = call.sender.substr(1);
    std::replace(element.begin(), element.end(), '.', '_');
    call.handle = std::string(names::kPortalPath) + "/request/" + element + "/" + handleToken;
    self->add(call);
  }
  if ((r = sd_bus_reply_method_return(m, "o", call.handle.c_str())) < 0) return r;
  // The user "chose" at once: success, no results.
  sd_bus* bus = sd_bus_message_get_bus(m);
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_signal(bus, &raw, call.handle.c_str(), "org.freedesktop.portal.Request",
                                "Response") >= 0) {
    const detail::MessagePtr response(raw);
    if (sd_bus_message_set_destination(raw, call.sender.c_str()) >= 0 &&
        sd_bus_message_append(raw, "ua{sv}", 0u, 0u) >= 0) {
      (void)sd_bus_send(bus, raw, nullptr);
    }
  }
  return 1;
}

StandInXdgOpen::StandInXdgOpen() {
  // One printf is one write(2) with O_APPEND: concurrent runs never mix lines.
  ok_ = writeFile(dir_ / "xdg-open",
                  "#!/bin/sh\nprintf 'args=%s token=%s\\n' \"$*\" \"${XDG_ACTIVATION_TOKEN-}\" >> '" +
                      record().string() + "'\n",
                  std::filesystem::perms::owner_all) &&
        writeFile(record(), "");
}

std::string StandInXdgOpen::pathWithStandIn() const {
  const char* path = std::getenv("PATH");
  return dir().string() + ":" + (path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
}

std::vector<XdgOpenCall> StandInXdgOpen::calls() const {
  std::vector<XdgOpenCall> calls;
  std::istringstream in(readFile(record()));
  for (std::string line; std::getline(in, line);) {
    // The last " token=" separates: an argument may hold the text itself.
    const auto split = line.rfind(" token=");
    if (line.starts_with("args=") && split != std::string::npos) {
      calls.push_back({line.substr(5, split - 5), line.substr(split + 7)});
    } else {
      calls.push_back({line, "?"});
    }
  }
  return calls;
}

bool StandInXdgOpen::waitForCalls(std::size_t n, Deadline deadline) {
  return waitUntil([&] { return calls().size() >= n; }, deadline);
}

}  // namespace zivuv::testing
