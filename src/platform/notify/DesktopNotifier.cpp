#include "platform/notify/DesktopNotifier.h"

#include <cstring>

#include "platform/intl/Localization.h"
#include "platform/text/Text.h"

namespace zivuv::platform {
namespace {

constexpr const char* kName = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

}  // namespace

std::string escapeMarkup(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

DesktopNotifier::DesktopNotifier(sd_bus* bus, std::string appName, std::string desktopEntry,
                                 ActivateHandler onActivate)
    : bus_(bus),
      appName_(std::move(appName)),
      desktopEntry_(std::move(desktopEntry)),
      onActivate_(std::move(onActivate)) {
  // Some servers send the click only to the connection that called Notify,
  // others broadcast it: listen on this connection, and match on the sender
  // and the ids (a signal sent to us directly can come from anyone).
  sd_bus_slot* slot = nullptr;
  if (sd_bus_match_signal_async(bus_, &slot, kName, kPath, kInterface, "ActionInvoked",
                                &DesktopNotifier::onActionInvoked, nullptr, this) >= 0) {
    actionSlot_.reset(slot);
  }
  slot = nullptr;
  if (sd_bus_match_signal_async(bus_, &slot, kName, kPath, kInterface, "ActivationToken",
                                &DesktopNotifier::onActivationToken, nullptr, this) >= 0) {
    tokenSlot_.reset(slot);
  }
  slot = nullptr;
  if (sd_bus_match_signal_async(bus_, &slot, kName, kPath, kInterface, "NotificationClosed",
                                &DesktopNotifier::onClosed, nullptr, this) >= 0) {
    closedSlot_.reset(slot);
  }
  slot = nullptr;
  if (sd_bus_add_match_async(bus_, &slot,
                             "type='signal',sender='org.freedesktop.DBus',"
                             "interface='org.freedesktop.DBus',member='NameOwnerChanged',"
                             "arg0='org.freedesktop.Notifications'",
                             &DesktopNotifier::onOwnerChanged, nullptr, this) >= 0) {
    ownerSlot_.reset(slot);
  }
}

void DesktopNotifier::notify(const std::string& summary, const std::string& body) {
  if (capabilities_ == Capabilities::Known) {
    send(summary, body);
    return;
  }
  waiting_.emplace_back(summary, body);
  if (capabilities_ == Capabilities::Asking) return;
  capabilities_ = Capabilities::Asking;
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &message, kName, kPath, kInterface,
                                         "GetCapabilities");
  const SdBusMessagePtr owned(message);
  // A desktop whose notification server is started on demand by the bus
  // gets it started by this first question.
  if (r >= 0) {
    r = sd_bus_call_async(bus_, nullptr, message, &DesktopNotifier::onCapabilities, this,
                          kCallTimeoutUsec);
  }
  if (r < 0) onCapabilities(nullptr, this, nullptr);
}

int DesktopNotifier::onCapabilities(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DesktopNotifier*>(userdata);
  bool answered = false;
  self->bodyMarkup_ = false;
  if (reply != nullptr && !sd_bus_message_is_method_error(reply, nullptr)) {
    char** capabilities = nullptr;
    if (sd_bus_message_read_strv(reply, &capabilities) >= 0) {
      answered = true;
      for (char** c = capabilities; c != nullptr && *c != nullptr; ++c) {
        if (std::strcmp(*c, "body-markup") == 0) self->bodyMarkup_ = true;
        std::free(*c);
      }
      std::free(capabilities);
    }
  }
  // A server that did not answer is asked again with the next notice.
  self->capabilities_ = answered ? Capabilities::Known : Capabilities::Unknown;
  auto waiting = std::move(self->waiting_);
  self->waiting_.clear();
  for (const auto& [summary, body] : waiting) self->send(summary, body);
  return 0;
}

void DesktopNotifier::send(const std::string& summary, const std::string& body) {
  const std::string title = toValidUtf8(summary);
  std::string text = toValidUtf8(body);
  if (bodyMarkup_) text = escapeMarkup(text);
  const std::string openLabel = toValidUtf8(localizedString("Open"));

  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &message, kName, kPath, kInterface, "Notify");
  const SdBusMessagePtr owned(message);
  if (r >= 0) {
    r = sd_bus_message_append(message, "susssas", appName_.c_str(), std::uint32_t{0}, "",
                              title.c_str(), text.c_str(), 2, "default", openLabel.c_str());
  }
  // Desktop shells group the notice under the app, and let people mute it.
  if (r >= 0) {
    r = sd_bus_message_append(message, "a{sv}", 1, "desktop-entry", "s", desktopEntry_.c_str());
  }
  if (r >= 0) r = sd_bus_message_append(message, "i", std::int32_t{-1});
  if (r >= 0) {
    // Floating call: the slot belongs to the bus and goes with the reply.
    r = sd_bus_call_async(bus_, nullptr, message, &DesktopNotifier::onNotifyReply, this,
                          kCallTimeoutUsec);
  }
  (void)r;  // a notice that cannot be sent is dropped, as a missing server is
}

int DesktopNotifier::onNotifyReply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DesktopNotifier*>(userdata);
  std::uint32_t id = 0;
  const char* server = sd_bus_message_get_sender(reply);
  if (!sd_bus_message_is_method_error(reply, nullptr) && server != nullptr &&
      sd_bus_message_read(reply, "u", &id) >= 0) {
    self->delivered_[id] = Delivered{server, {}};
  }
  return 0;
}

DesktopNotifier::Delivered* DesktopNotifier::ours(sd_bus_message* message, std::uint32_t id) {
  const auto it = delivered_.find(id);
  const char* sender = sd_bus_message_get_sender(message);
  if (it == delivered_.end() || sender == nullptr || it->second.server != sender) return nullptr;
  return &it->second;
}

int DesktopNotifier::onActivationToken(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DesktopNotifier*>(userdata);
  std::uint32_t id = 0;
  const char* token = nullptr;
  if (sd_bus_message_read(message, "us", &id, &token) < 0 || token == nullptr) return 0;
  if (Delivered* notice = self->ours(message, id)) notice->token = token;
  return 0;
}

int DesktopNotifier::onActionInvoked(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DesktopNotifier*>(userdata);
  std::uint32_t id = 0;
  const char* action = nullptr;
  if (sd_bus_message_read(message, "us", &id, &action) < 0) return 0;
  Delivered* notice = self->ours(message, id);
  if (notice == nullptr || action == nullptr || std::strcmp(action, "default") != 0) {
    return 0;  // another program's notice, a forged click, or another action
  }
  std::string token = std::exchange(notice->token, std::string());
  if (self->onActivate_) self->onActivate_(token);
  return 0;
}

int DesktopNotifier::onClosed(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DesktopNotifier*>(userdata);
  std::uint32_t id = 0;
  std::uint32_t reason = 0;
  if (sd_bus_message_read(message, "uu", &id, &reason) >= 0 && self->ours(message, id)) {
    self->delivered_.erase(id);
  }
  return 0;
}

int DesktopNotifier::onOwnerChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
  auto* self = static_cast<DesktopNotifier*>(userdata);
  self->delivered_.clear();
  // Another server may read the body otherwise: ask it with the next notice.
  if (self->capabilities_ == Capabilities::Known) self->capabilities_ = Capabilities::Unknown;
  return 0;
}

}  // namespace zivuv::platform
