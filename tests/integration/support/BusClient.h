#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/BusLoop.h"
#include "support/Deadline.h"
#include "support/Names.h"

namespace zivuv::testing {

// Where a method call goes.
struct MethodTarget {
  std::string destination;
  std::string path;
  std::string interface;
};

inline MethodTarget folderMonitorTarget() {
  return {names::kService, names::kObjectPath, names::kInterface};
}

// The leading string arguments of a signal.
using Arguments = std::vector<std::string>;

// What came back from one method call.
struct CallOutcome {
  bool replied = false;   // a method return arrived
  std::string errorName;  // the D-Bus error, or zivuv.testing.Error.Local
  std::string errorMessage;
  std::string signature;  // of the method return
  bool ok() const { return replied && errorName.empty(); }
};

// The signals of one match rule, recorded on the client's bus thread and
// read from any thread.
class SignalRecorder {
 public:
  std::size_t count() const;
  // The first argument of each signal (empty when it had none), in order.
  std::vector<std::string> firstArguments() const;
  bool waitForSignals(std::size_t n, Deadline deadline);
  bool waitFor(const std::function<bool(const Arguments&)>& match, Deadline deadline);
  void record(Arguments args);

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Arguments> signals_;
};

// A client connection to a bus, served by a thread of its own: any method
// may be called from any thread, and signals are recorded while the test
// waits elsewhere. A call times out after setTimeout() (5 s unless changed).
class BusClient {
 public:
  explicit BusClient(const std::string& address);
  ~BusClient();
  BusClient(const BusClient&) = delete;
  BusClient& operator=(const BusClient&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // What the last failed call below went wrong with.
  std::string lastError() const;

  // The service's methods; nullopt when no well-formed reply came.
  // verifyAgentWithCompletion: the folder's transport data (nullopt when
  // the service sent none) and the process name.
  std::optional<std::pair<std::optional<std::vector<uint8_t>>, std::string>> verifyAgent();
  std::optional<bool> startMonitoring(const std::vector<uint8_t>& transportData);
  std::optional<int64_t> checkFolderNow();
  // Sends reset without asking for a reply; true once written.
  bool reset();
  // Sends reset asking for a reply; true when an empty one came in time.
  bool resetExpectingReply();

  // The general form: `append` fills the call and `read` parses the
  // return, both on the bus thread; a negative result is a failure.
  // Signals that arrived before the return are recorded when it returns.
  using MessageFn = std::function<int(sd_bus_message*)>;
  CallOutcome call(const MethodTarget& target, const std::string& member, const MessageFn& append,
                   const MessageFn& read = {});
  // Sends without asking for a reply; true once written to the socket.
  bool send(const MethodTarget& target, const std::string& member, const MessageFn& append);

  // The bus daemon's view of a name.
  std::optional<bool> nameHasOwner(const std::string& name);
  bool waitForName(const std::string& name, Deadline deadline);
  bool waitForNameGone(const std::string& name, Deadline deadline);

  // Records the signals of match rule `rule` from the moment the bus
  // confirmed it; null on failure.
  std::shared_ptr<SignalRecorder> subscribe(const std::string& rule);
  // Every DefaultsChanged, whoever sends it from whatever path.
  std::shared_ptr<SignalRecorder> subscribeDefaultsChanged();
  void unsubscribe(const std::shared_ptr<SignalRecorder>& recorder);

 private:
  void setLastError(std::string text) const;
  bool waitForOwnerChange(const std::string& name, bool owned, Deadline deadline);

  std::string error_;
  std::chrono::milliseconds timeout_{5000};
  mutable std::mutex errorMutex_;
  mutable std::string lastError_;
  // Bus thread only.
  std::list<std::pair<std::shared_ptr<SignalRecorder>, detail::SlotPtr>> subscriptions_;
  detail::BusLoop loop_;  // last: stopped first, before the slots above go
};

}  // namespace zivuv::testing
