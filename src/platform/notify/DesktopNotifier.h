#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/bus/BusLoop.h"

namespace zivuv::platform {

// Desktop notifications over org.freedesktop.Notifications. Notify is
// called without waiting for the server; a missing or silent server costs
// nothing and nothing is retried. A click on one of ours (ActionInvoked with
// "default" for an id we delivered) calls onActivate with the activation
// token the server sent for it, if any. Loop thread only.
class DesktopNotifier {
 public:
  using ActivateHandler = std::function<void(const std::string& activationToken)>;

  DesktopNotifier(sd_bus* bus, ActivateHandler onActivate);
  DesktopNotifier(const DesktopNotifier&) = delete;
  DesktopNotifier& operator=(const DesktopNotifier&) = delete;

  void notify(const std::string& summary, const std::string& body);

  // Ids delivered and not yet closed; for tests and leak checks.
  std::size_t trackedCount() const { return delivered_.size(); }

 private:
  static int onCapabilities(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onNotifyReply(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onActionInvoked(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onActivationToken(sd_bus_message* message, void* userdata, sd_bus_error* error);
  static int onClosed(sd_bus_message* message, void* userdata, sd_bus_error* error);
  void send(const std::string& summary, const std::string& body);

  sd_bus* bus_;
  ActivateHandler onActivate_;
  SdBusSlotPtr actionSlot_;
  SdBusSlotPtr tokenSlot_;
  SdBusSlotPtr closedSlot_;
  enum class Capabilities { Unknown, Asking, Known } capabilities_ = Capabilities::Unknown;
  bool bodyMarkup_ = false;
  std::deque<std::pair<std::string, std::string>> waiting_;  // until capabilities are known
  std::unordered_map<std::uint32_t, std::string> delivered_;  // id -> activation token
};

// Escapes '&', '<' and '>' for a server that reads the body as markup.
std::string escapeMarkup(const std::string& text);

}  // namespace zivuv::platform
