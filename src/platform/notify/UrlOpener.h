#pragma once

#include <systemd/sd-bus.h>

#include "platform/bus/BusLoop.h"
#include "platform/notify/OpenerProcess.h"

#include <string>

namespace zivuv::platform {

// Hands a URL to the desktop, result ignored. Through the desktop portal when
// org.freedesktop.portal.Desktop is owned or activatable on the bus, since a
// child of a sandboxed service would inherit the sandbox; otherwise through
// the opener process's xdg-open; a failure to start it is logged. Loop
// thread only.
class UrlOpener {
 public:
  UrlOpener(sd_bus* bus, OpenerProcess& xdgOpen) : bus_(bus), xdgOpen_(xdgOpen) {}
  // activationToken may be empty.
  void open(const std::string& url, const std::string& activationToken);

 private:
  struct Request;
  static int onNameHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onOpenURI(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void openWithPortal(Request* request);
  void openWithXdgOpen(const std::string& url, const std::string& activationToken);

  sd_bus* bus_;
  OpenerProcess& xdgOpen_;
};

}  // namespace zivuv::platform
