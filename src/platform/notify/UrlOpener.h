#pragma once

#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include "platform/bus/BusLoop.h"
#include "platform/notify/OpenerProcess.h"

#include <deque>
#include <string>

namespace zivuv::platform {

// Hands a URL to the desktop, result ignored. Through the desktop portal when
// org.freedesktop.portal.Desktop is owned or activatable on the bus, since a
// child of a sandboxed service would inherit the sandbox; otherwise through
// the opener process's xdg-open, whose answer the loop waits for without
// blocking (at most OpenerProcess::kAnswerTimeout); a failure to start it
// is logged. Loop thread only.
class UrlOpener {
 public:
  UrlOpener(sd_bus* bus, OpenerProcess& xdgOpen) : bus_(bus), xdgOpen_(xdgOpen) {}
  ~UrlOpener();
  UrlOpener(const UrlOpener&) = delete;
  UrlOpener& operator=(const UrlOpener&) = delete;
  // activationToken may be empty.
  void open(const std::string& url, const std::string& activationToken);

 private:
  struct Request;
  static int onNameHasOwner(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onActivatableNames(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  static int onOpenURI(sd_bus_message* reply, void* userdata, sd_bus_error* error);
  void openWithPortal(Request* request);
  void openWithXdgOpen(const std::string& url, const std::string& activationToken);
  static int onAnswer(sd_event_source* source, int fd, uint32_t revents, void* userdata);
  static int onNoAnswer(sd_event_source* source, uint64_t usec, void* userdata);
  void stopWaiting();

  sd_bus* bus_;
  OpenerProcess& xdgOpen_;
  // The URLs whose answers the opener owes, in order, while the loop waits.
  std::deque<std::string> waiting_;
  std::size_t lateAnswers_ = 0;  // answers to requests given up on
  sd_event_source* answerSource_ = nullptr;
  sd_event_source* timeoutSource_ = nullptr;
};

}  // namespace zivuv::platform
