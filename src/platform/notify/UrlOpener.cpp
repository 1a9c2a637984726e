#include "platform/notify/UrlOpener.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/log/Logger.h"

namespace zivuv::platform {
namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kOpenURIInterface = "org.freedesktop.portal.OpenURI";
constexpr std::uint64_t kPortalCallTimeoutUsec = 10'000'000;

}  // namespace

void UrlOpener::openWithXdgOpen(const std::string& url, const std::string& activationToken) {
  if (const std::string failure = xdgOpen_.open(url, activationToken); !failure.empty()) {
    Logger::shared().error("Failed to open " + url + " with xdg-open: " + failure);
  }
}

struct UrlOpener::Request {
  UrlOpener* opener;
  std::string url;
  std::string token;
};

void UrlOpener::open(const std::string& url, const std::string& activationToken) {
  auto request = std::make_unique<Request>(Request{this, url, activationToken});
  const int r = sd_bus_call_method_async(bus_, nullptr, "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "NameHasOwner", &UrlOpener::onNameHasOwner,
                                         request.get(), "s", kPortalName);
  if (r < 0) {
    openWithXdgOpen(url, activationToken);
    return;
  }
  (void)request.release();  // owned by the pending call from here on
}

int UrlOpener::onNameHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  std::unique_ptr<Request> request(static_cast<Request*>(userdata));
  int owned = 0;
  if (!sd_bus_message_is_method_error(reply, nullptr) &&
      sd_bus_message_read(reply, "b", &owned) >= 0 && owned) {
    request->opener->openWithPortal(request.release());
    return 0;
  }
  // Not running: the bus may still start it on demand.
  sd_bus* bus = request->opener->bus_;
  const int r = sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus",
                                         "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                         "ListActivatableNames", &UrlOpener::onActivatableNames,
                                         request.get(), "");
  if (r < 0) {
    request->opener->openWithXdgOpen(request->url, request->token);
    return 0;
  }
  (void)request.release();
  return 0;
}

int UrlOpener::onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  std::unique_ptr<Request> request(static_cast<Request*>(userdata));
  bool activatable = false;
  if (!sd_bus_message_is_method_error(reply, nullptr)) {
    char** names = nullptr;
    if (sd_bus_message_read_strv(reply, &names) >= 0 && names != nullptr) {
      for (char** name = names; *name != nullptr; ++name) {
        if (std::strcmp(*name, kPortalName) == 0) activatable = true;
        std::free(*name);
      }
      std::free(names);
    }
  }
  if (activatable) {
    request->opener->openWithPortal(request.release());
  } else {
    request->opener->openWithXdgOpen(request->url, request->token);
  }
  return 0;
}

void UrlOpener::openWithPortal(Request* raw) {
  std::unique_ptr<Request> request(raw);
  sd_bus_message* message = nullptr;
  int r = sd_bus_message_new_method_call(bus_, &message, kPortalName, kPortalPath,
                                         kOpenURIInterface, "OpenURI");
  const SdBusMessagePtr owned(message);
  if (r >= 0) r = sd_bus_message_append(message, "ss", "", request->url.c_str());
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "{sv}");
  if (r >= 0 && !request->token.empty()) {
    r = sd_bus_message_append(message, "{sv}", "activation_token", "s", request->token.c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) {
    r = sd_bus_call_async(bus_, nullptr, message, &UrlOpener::onOpenURI, request.get(),
                          kPortalCallTimeoutUsec);
  }
  if (r < 0) {
    openWithXdgOpen(request->url, request->token);
    return;
  }
  (void)request.release();
}

int UrlOpener::onOpenURI(sd_bus_message* reply, void* userdata, sd_bus_error* /*error*/) {
  std::unique_ptr<Request> request(static_cast<Request*>(userdata));
  const sd_bus_error* failure = sd_bus_message_get_error(reply);
  // The portal refused or vanished: it has opened nothing, so the URL still
  // goes out once, the other way. A time-out may have opened it: leave it.
  if (failure != nullptr && !sd_bus_error_has_name(failure, SD_BUS_ERROR_NO_REPLY) &&
      !sd_bus_error_has_name(failure, SD_BUS_ERROR_TIMEOUT)) {
    request->opener->openWithXdgOpen(request->url, request->token);
  }
  return 0;
}

}  // namespace zivuv::platform
