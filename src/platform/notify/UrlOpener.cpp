#include "platform/notify/UrlOpener.h"

#include <chrono>
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

namespace {

void failedToOpen(const std::string& url, const std::string& failure) {
  Logger::shared().error("Failed to open " + url + " with xdg-open: " + failure);
}

}  // namespace

UrlOpener::~UrlOpener() { stopWaiting(); }

void UrlOpener::stopWaiting() {
  for (sd_event_source** source : {&answerSource_, &timeoutSource_}) {
    if (*source != nullptr) *source = sd_event_source_disable_unref(*source);
  }
}

void UrlOpener::openWithXdgOpen(const std::string& url, const std::string& activationToken) {
  if (const std::string failure = xdgOpen_.send(url, activationToken); !failure.empty()) {
    return failedToOpen(url, failure);
  }
  waiting_.push_back(url);
  sd_event* event = sd_bus_get_event(bus_);
  const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(
                           OpenerProcess::kAnswerTimeout)
                           .count();
  // The answer is read when it comes; the time-out runs from the last
  // request.
  if (timeoutSource_ != nullptr) {
    (void)sd_event_source_set_time_relative(timeoutSource_, static_cast<uint64_t>(timeout));
    (void)sd_event_source_set_enabled(timeoutSource_, SD_EVENT_ONESHOT);
  }
  if (answerSource_ != nullptr) return;
  if (sd_event_add_io(event, &answerSource_, xdgOpen_.socket(), EPOLLIN, &UrlOpener::onAnswer,
                      this) < 0 ||
      (timeoutSource_ == nullptr &&
       sd_event_add_time_relative(event, &timeoutSource_, CLOCK_MONOTONIC,
                                  static_cast<uint64_t>(timeout), 1000, &UrlOpener::onNoAnswer,
                                  this) < 0)) {
    stopWaiting();
    waiting_.clear();
    failedToOpen(url, "the opener's answer cannot be waited for");
  }
}

int UrlOpener::onAnswer(sd_event_source*, int, uint32_t, void* userdata) {
  auto* self = static_cast<UrlOpener*>(userdata);
  while (!self->waiting_.empty() || self->lateAnswers_ > 0) {
    const auto answer = self->xdgOpen_.receive();
    if (!answer) return 0;
    if (self->lateAnswers_ > 0) {  // to a request already given up on
      --self->lateAnswers_;
      continue;
    }
    const std::string url = std::move(self->waiting_.front());
    self->waiting_.pop_front();
    if (!answer->empty()) failedToOpen(url, *answer);
    if (*answer == "the opener has ended") {
      for (const auto& other : self->waiting_) failedToOpen(other, *answer);
      self->waiting_.clear();
    }
  }
  self->stopWaiting();
  return 0;
}

int UrlOpener::onNoAnswer(sd_event_source*, uint64_t, void* userdata) {
  auto* self = static_cast<UrlOpener*>(userdata);
  for (const auto& url : self->waiting_) failedToOpen(url, "the opener did not answer");
  self->lateAnswers_ += self->waiting_.size();
  self->waiting_.clear();
  if (self->lateAnswers_ == 0) self->stopWaiting();
  return 0;
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
