#pragma once

#include <systemd/sd-bus.h>

#include "platform/bus/BusLoop.h"

#include <string>

namespace zivuv::platform {

// Hands a URL to the desktop, result ignored. Through the desktop portal when
// org.freedesktop.portal.Desktop is owned or activatable on the bus, since a
// child of a sandboxed service would inherit the sandbox; otherwise through
// xdg-open from PATH, started without a shell; a failure to start it is
// logged. Loop thread only.
class UrlOpener {
 public:
  explicit UrlOpener(sd_bus* bus) : bus_(bus) {}
  // activationToken may be empty.
  void open(const std::string& url, const std::string& activationToken);

 private:
  struct Request;
  static int onNameHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onOpenURI(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void openWithPortal(Request* request);

  sd_bus* bus_;
};

// Starts xdg-open (found on PATH) with url, XDG_ACTIVATION_TOKEN set when a
// token is given, in the service's environment less what the service manager
// handed to the service alone; does not wait for it. Empty when it started,
// else why not.
std::string spawnXdgOpen(const std::string& url, const std::string& activationToken);

}  // namespace zivuv::platform
