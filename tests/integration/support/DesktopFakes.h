#pragma once

// Stand-ins for the desktop around the service: a notification server and
// the portal's OpenURI on a private bus, each served from a thread of its
// own, and an xdg-open that records its runs. Every method may be called
// from any thread.

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/BusLoop.h"
#include "support/Deadline.h"
#include "support/TempDir.h"

namespace zivuv::testing {

// The calls a fake received, in order.
template <typename Call>
class CallLog {
 public:
  bool waitForCalls(std::size_t n, Deadline deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return calls_.size() >= n; });
  }
  std::vector<Call> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 protected:
  void add(Call call) {  // under mutex_
    calls_.push_back(std::move(call));
    changed_.notify_all();
  }
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Call> calls_;
};

struct NotifyCall {
  std::string sender;  // unique name of the caller
  std::string appName;
  std::string summary;
  std::string body;
  std::vector<std::string> actions;
  int32_t expireTimeout = 0;
  uint32_t id = 0;  // the id answered; 0 when the call got no reply
};

// org.freedesktop.Notifications: records each Notify, answers ids counting
// up from 1, and lets the test click notifications.
class FakeNotificationServer : public CallLog<NotifyCall> {
 public:
  // Claims the name and returns once it is owned (or failed: see ok()).
  explicit FakeNotificationServer(const std::string& busAddress);
  ~FakeNotificationServer();

  bool ok() const;
  std::string error() const;

  // Behaviour, effective from the next call. Silent: Notify is recorded but
  // never answered (the held calls are dropped at stop()). Unicast: the
  // click signals go only to the caller of Notify for that id, as some
  // servers send them, instead of to everyone.
  void setCapabilities(std::vector<std::string> capabilities);
  void setSilent(bool silent);
  void setUnicastSignals(bool unicast);

  // Clicks; false when the server is stopped.
  bool emitActionInvoked(uint32_t id, const std::string& key);
  bool emitActivationToken(uint32_t id, const std::string& token);

  // Disconnects, so that the name vanishes; restart() comes back on a new
  // connection, ids counting on.
  void stop();
  bool restart();

 private:
  static int onNotify(sd_bus_message* m, void* userdata, sd_bus_error* error);
  static int onGetCapabilities(sd_bus_message* m, void* userdata, sd_bus_error* error);
  bool emit(const char* member, uint32_t id, const std::string& text);

  std::string address_;
  std::string error_;
  std::vector<std::string> capabilities_{"actions", "body"};
  bool silent_ = false;
  bool unicast_ = false;
  uint32_t nextId_ = 1;
  bool running_ = false;
  std::vector<detail::MessagePtr> held_;  // bus thread only
  detail::BusLoop loop_;  // last: stopped before the members above go
};

struct OpenUriCall {
  std::string sender;
  std::string parentWindow;
  std::string uri;
  std::optional<std::string> activationToken;  // the "activation_token" option
  std::string handle;  // the request object answered
};

// The portal's OpenURI: records each call, answers a request handle and then
// sends that request's Response(0, {}) to the caller, as the real one does.
class FakePortal : public CallLog<OpenUriCall> {
 public:
  explicit FakePortal(const std::string& busAddress);
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  static int onOpenUri(sd_bus_message* m, void* userdata, sd_bus_error* error);

  std::string error_;
  detail::BusLoop loop_;
};

struct XdgOpenCall {
  std::string args;   // its arguments, joined by single spaces
  std::string token;  // XDG_ACTIVATION_TOKEN, empty when unset
};

// An executable `xdg-open` in a folder of its own that appends one line per
// run to a record file and exits 0. Put dir() first on the program's PATH.
class StandInXdgOpen {
 public:
  StandInXdgOpen();
  bool ok() const { return ok_; }
  const std::filesystem::path& dir() const { return dir_.path(); }
  // `dir()` followed by the current PATH.
  std::string pathWithStandIn() const;
  std::vector<XdgOpenCall> calls() const;
  // Waits until at least `n` runs were recorded.
  bool waitForCalls(std::size_t n, Deadline deadline);

 private:
  std::filesystem::path record() const { return dir_ / "calls.log"; }
  TempDir dir_{"zivuv-xdg-open"};
  bool ok_ = false;
};

}  // namespace zivuv::testing
