#pragma once

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/BusLoop.h"
#include "support/Deadline.h"

namespace zivuv::testing {

// One OpenURI call as the portal received it.
struct OpenUriCall {
  std::string sender;
  std::string parentWindow;
  std::string uri;
  std::optional<std::string> activationToken;  // the "activation_token" option, when a string
  std::vector<std::string> optionKeys;
  std::string handle;  // the request object answered
};

// The desktop portal's OpenURI (org.freedesktop.portal.Desktop at
// /org/freedesktop/portal/desktop) on a given bus, served from a thread of
// its own. It records each call, answers a request handle and then sends
// that request's Response(0, {}) to the caller, as the real portal does.
// All methods may be called from any thread.
class FakePortal {
 public:
  explicit FakePortal(const std::string& busAddress);
  ~FakePortal();
  FakePortal(const FakePortal&) = delete;
  FakePortal& operator=(const FakePortal&) = delete;

  bool ok() const;
  std::string error() const;

  // Non-empty: OpenURI is answered with this D-Bus error.
  void setOpenUriError(std::string errorName);
  // Disconnects, so the name vanishes from the bus; restart() comes back.
  void stop();
  bool restart();

  bool waitForCalls(std::size_t n, Deadline deadline);
  std::vector<OpenUriCall> calls() const;
  std::size_t callCount() const;

 private:
  static const sd_bus_vtable* vtable();
  static int onOpenUri(sd_bus_message* m, void* userdata, sd_bus_error* error);

  std::string address_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string error_;
  std::string openUriError_;
  std::vector<OpenUriCall> calls_;
  bool running_ = false;

  // Bus thread only.
  std::vector<detail::SlotPtr> slots_;
  detail::BusLoop loop_;  // last: stopped before the members above go
};

}  // namespace zivuv::testing
