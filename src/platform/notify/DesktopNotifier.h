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

// Desktop notifications over org.freedesktop.Notifications, sent as appName
// and grouped under the desktop entry desktopEntry. Notify is called without
// waiting for the server; a missing or silent server costs nothing and
// nothing is retried. A click on one of ours (ActionInvoked with "default",
// from the connection that answered our Notify, for the id it gave) calls
// onActivate with the activation token that connection sent for it, if any.
// When the server's name changes owner, every id is forgotten: a new server
// hands out the same ids again. Loop thread only.
class DesktopNotifier {
 public:
  using ActivateHandler = std::function<void(const std::string& activationToken)>;

  DesktopNotifier(sd_bus* bus, std::string appName, std::string desktopEntry,
                  ActivateHandler onActivate);
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
  static int onOwnerChanged(sd_bus_message* message, void* userdata, sd_bus_error* error);
  void send(const std::string& summary, const std::string& body);
  // Our notice that message, a signal of the server's, is about; null for
  // another program's notice or a sender that is not the server.
  struct Delivered {
    std::string server;  // unique bus name of the connection that answered Notify
    std::string token;
  };
  Delivered* ours(sd_bus_message* message, std::uint32_t id);

  sd_bus* bus_;
  std::string appName_;
  std::string desktopEntry_;
  ActivateHandler onActivate_;
  SdBusSlotPtr actionSlot_;
  SdBusSlotPtr tokenSlot_;
  SdBusSlotPtr closedSlot_;
  SdBusSlotPtr ownerSlot_;
  enum class Capabilities { Unknown, Asking, Known } capabilities_ = Capabilities::Unknown;
  bool bodyMarkup_ = false;
  std::deque<std::pair<std::string, std::string>> waiting_;  // until capabilities are known
  std::unordered_map<std::uint32_t, Delivered> delivered_;
};

// Escapes '&', '<' and '>' for a server that reads the body as markup.
std::string escapeMarkup(const std::string& text);

}  // namespace zivuv::platform
