#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/BusLoop.h"
#include "support/BusMessage.h"
#include "support/Deadline.h"
#include "support/Names.h"

namespace zivuv::testing {
namespace detail {
struct MatchContext;
}

// Where a method call goes.
struct MethodTarget {
  std::string destination;
  std::string path;
  std::string interface;
};

// The service's own object.
inline MethodTarget folderMonitorTarget() {
  return {names::kService, names::kObjectPath, names::kInterface};
}

// What came back from one method call.
struct CallOutcome {
  bool replied = false;          // a method return arrived (not an error)
  std::string errorName;         // the D-Bus error, or zivuv.testing.* for local failures
  std::string errorMessage;
  std::string signature;         // of the method return
  std::vector<std::string> args; // the return's arguments, see renderArguments()
  bool ok() const { return replied && errorName.empty(); }
};

// Which signals a subscription records; empty fields match anything.
struct MatchRule {
  std::string sender;
  std::string path;
  std::string interface;
  std::string member;
  std::string arg0;
  std::string text() const;
};

// A client connection to a bus, served by a thread of its own: every method
// may be called from any thread, and signals are recorded while the test
// waits elsewhere. Each call carries a timeout (setTimeout(), 5 s unless
// changed); a call that times out reports org.freedesktop.DBus.Error.NoReply.
class BusClient {
 public:
  // Connects and waits (up to 10 s) for the bus to accept the connection.
  explicit BusClient(const std::string& address);
  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  bool ok() const { return !uniqueName_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& uniqueName() const { return uniqueName_; }
  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // Description of the last failure of a typed helper below.
  std::string lastError() const;

  // The service's methods. Nullopt when no well-formed reply arrived (an
  // error, a time-out, or a reply of the wrong shape); see lastError().
  // verifyAgentWithCompletion: the folder's transport data (nullopt when the
  // service sent none) and the process name.
  std::optional<std::pair<std::optional<std::vector<uint8_t>>, std::string>> verifyAgent();
  std::optional<bool> startMonitoring(const std::vector<uint8_t>& transportData);
  std::optional<int64_t> checkFolderNow();
  // Sends reset without asking for a reply; true once it was written.
  bool reset();
  // Sends reset asking for a reply; true when an empty reply arrived in time.
  bool resetExpectingReply();

  // Escape hatch: a call to the service's `member` with whatever arguments
  // `signature` and `args` make (sd_bus_message_append, so C types only:
  // const char*, integers, array counts), e.g. wrong types on purpose.
  template <typename... Args>
  CallOutcome callRaw(const std::string& member, const std::string& signature, Args... args) {
    return callRawTo(folderMonitorTarget(), member, signature, args...);
  }
  template <typename... Args>
  CallOutcome callRawTo(const MethodTarget& target, const std::string& member,
                        const std::string& signature, Args... args) {
    return call(target, member, [&](sd_bus_message* m) {
      return signature.empty() ? 0 : sd_bus_message_append(m, signature.c_str(), args...);
    });
  }

  // The general form: `append` fills the call and `read` parses the return,
  // both on the bus thread; a negative result from either is a failure.
  using MessageFn = std::function<int(sd_bus_message*)>;
  CallOutcome call(const MethodTarget& target, const std::string& member, const MessageFn& append,
                   const MessageFn& read = {});
  // Sends without asking for a reply; true once written to the socket.
  bool send(const MethodTarget& target, const std::string& member, const MessageFn& append);

  // The bus daemon's view of a name.
  std::optional<bool> nameHasOwner(const std::string& name);
  bool waitForName(const std::string& name, Deadline deadline);
  bool waitForNameGone(const std::string& name, Deadline deadline);
  // Waits until this connection was closed (the bus went away).
  bool waitDisconnected(Deadline deadline);

  // Starts recording the signals that `rule` matches; returns once the bus
  // confirmed the match, so that no later signal is missed. Null on failure.
  std::shared_ptr<SignalRecorder> subscribe(const MatchRule& rule);
  // Every DefaultsChanged signal, whoever sends it from whatever path.
  std::shared_ptr<SignalRecorder> subscribeDefaultsChanged();
  void unsubscribe(const std::shared_ptr<SignalRecorder>& recorder);

 private:
  // The context outlives its slot: members go in reverse order.
  struct Subscription {
    std::unique_ptr<detail::MatchContext> context;
    detail::SlotPtr slot;
    Subscription(std::unique_ptr<detail::MatchContext> c, detail::SlotPtr s);
    Subscription(Subscription&&) noexcept;
    ~Subscription();
  };
  void setLastError(std::string text) const;
  bool waitForOwnerChange(const std::string& name, bool owned, Deadline deadline);

  std::string error_;
  std::string uniqueName_;
  std::chrono::milliseconds timeout_{5000};
  mutable std::mutex errorMutex_;
  mutable std::string lastError_;
  std::list<Subscription> subscriptions_;  // bus thread only
  detail::BusLoop loop_;  // last: stopped first, before the slots above go
};

}  // namespace zivuv::testing
