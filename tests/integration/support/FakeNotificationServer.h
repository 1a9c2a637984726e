#pragma once

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/BusLoop.h"
#include "support/Deadline.h"

namespace zivuv::testing {

// One Notify call as the server received it.
struct NotifyCall {
  std::string sender;  // unique name of the caller
  std::string appName;
  uint32_t replacesId = 0;
  std::string appIcon;
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  std::vector<std::string> hintKeys;
  int32_t expireTimeout = 0;
  uint32_t id = 0;  // the id answered; 0 when the call got no reply or an error
};

// A desktop notification server (org.freedesktop.Notifications) on a given
// bus, served from a thread of its own. It records every call and lets the
// test click notifications. All methods may be called from any thread.
class FakeNotificationServer {
 public:
  struct Options {
    uint32_t firstId = 1;  // ids are handed out counting up from here
    std::vector<std::string> capabilities{"actions", "body"};
    // Send ActionInvoked and ActivationToken only to the connection that
    // called Notify for that id, as some servers do, instead of broadcasting.
    bool unicastSignals = false;
  };

  // Claims the name and returns once it is owned (or failed: see ok()).
  explicit FakeNotificationServer(const std::string& busAddress);
  FakeNotificationServer(const std::string& busAddress, Options options);
  ~FakeNotificationServer();
  FakeNotificationServer(const FakeNotificationServer&) = delete;
  FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

  bool ok() const;
  std::string error() const;

  // Behaviour, effective from the next call.
  void setCapabilities(std::vector<std::string> capabilities);
  // Silent: Notify is recorded but never answered; the held calls are
  // dropped (never answered) at stop() or destruction.
  void setSilent(bool silent);
  void setUnicastSignals(bool unicast);
  // Non-empty: Notify is answered with this D-Bus error.
  void setNotifyError(std::string errorName);
  void setNextId(uint32_t id);

  // Clicks: ActionInvoked(id, key), ActivationToken(id, token),
  // NotificationClosed(id, reason). False when the server is stopped.
  bool emitActionInvoked(uint32_t id, const std::string& key);
  bool emitActivationToken(uint32_t id, const std::string& token);
  bool emitNotificationClosed(uint32_t id, uint32_t reason);

  // Disconnects, so the name vanishes from the bus; restart() comes back on
  // a new connection with the same settings, ids counting on.
  void stop();
  bool restart();
  bool running() const;

  bool waitForNotify(std::size_t n, Deadline deadline);
  std::vector<NotifyCall> notifications() const;
  std::size_t notifyCount() const;
  // Unique name of the last Notify caller; empty before the first.
  std::string callerUniqueName() const;
  std::size_t getCapabilitiesCount() const;
  std::vector<uint32_t> closeRequests() const;

 private:
  static const sd_bus_vtable* vtable();
  static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onGetCapabilities(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onGetServerInformation(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onCloseNotification(sd_bus_message* m, void* userdata, sd_bus_error* error);
  bool emit(const char* member, uint32_t id, const std::function<int(sd_bus_message*)>& appendRest);

  std::string address_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string error_;
  Options options_;
  bool silent_ = false;
  std::string notifyError_;
  uint32_t nextId_;
  std::vector<NotifyCall> calls_;
  std::size_t getCapabilitiesCount_ = 0;
  std::vector<uint32_t> closeRequests_;
  bool running_ = false;

  // Bus thread only.
  std::vector<detail::MessagePtr> held_;
  std::vector<detail::SlotPtr> slots_;
  detail::BusLoop loop_;  // last: stopped before the members above go
};

}  // namespace zivuv::testing
