#pragma once

#include <systemd/sd-bus.h>

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "support/Deadline.h"

namespace zivuv::testing {

// The arguments of a message as text, one string per top-level argument:
// numbers in decimal, booleans as true/false, strings as they are, arrays as
// [a,b], dictionaries as {k:v,k:v}, structures as (a,b), variants as their
// content. Reads the message from its start and rewinds it afterwards.
std::vector<std::string> renderArguments(sd_bus_message* message);

// A signal as one client received it.
struct RecordedSignal {
  std::string sender;       // unique name of the emitter
  std::string destination;  // empty for a broadcast
  std::string path;
  std::string interface;
  std::string member;
  std::string signature;
  std::vector<std::string> args;  // see renderArguments()
};

// Signals delivered for one match rule of one client. Filled on the client's
// bus thread, read from any thread.
class SignalRecorder {
 public:
  std::size_t count() const;
  std::vector<RecordedSignal> signals() const;
  // The first argument of each signal (empty when it had none), in order.
  std::vector<std::string> firstArguments() const;
  // Waits until at least `n` signals arrived in all.
  bool waitForSignals(std::size_t n, Deadline deadline);
  // Waits until one recorded signal satisfies `match`.
  bool waitFor(const std::function<bool(const RecordedSignal&)>& match, Deadline deadline);

  // Bus thread: one more signal.
  void record(RecordedSignal signal);

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<RecordedSignal> signals_;
};

// Reads the header fields and the arguments of `message`.
RecordedSignal recordSignal(sd_bus_message* message);

}  // namespace zivuv::testing
