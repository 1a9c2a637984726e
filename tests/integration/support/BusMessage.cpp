#include "support/BusMessage.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace zivuv::testing {
namespace {

std::string orEmpty(const char* text) { return text ? text : ""; }

// Appends the next complete value of `message` to `out`; false at the end of
// the current container or on a read failure.
bool renderNext(sd_bus_message* message, std::string& out) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(message, &type, &contents) <= 0) return false;

  if (type == SD_BUS_TYPE_ARRAY || type == SD_BUS_TYPE_VARIANT || type == SD_BUS_TYPE_STRUCT ||
      type == SD_BUS_TYPE_DICT_ENTRY) {
    const bool dictionary = type == SD_BUS_TYPE_ARRAY && contents && contents[0] == '{';
    if (sd_bus_message_enter_container(message, type, contents) < 0) return false;
    const char* open = "";
    const char* close = "";
    const char* separator = ",";
    switch (type) {
      case SD_BUS_TYPE_ARRAY:
        open = dictionary ? "{" : "[";
        close = dictionary ? "}" : "]";
        break;
      case SD_BUS_TYPE_STRUCT:
        open = "(";
        close = ")";
        break;
      case SD_BUS_TYPE_DICT_ENTRY:
        separator = ":";
        break;
      default:
        break;
    }
    out += open;
    bool first = true;
    for (;;) {
      std::string element;
      if (!renderNext(message, element)) break;
      if (!first) out += separator;
      out += element;
      first = false;
    }
    out += close;
    return sd_bus_message_exit_container(message) >= 0;
  }

  union {
    uint8_t y;
    int b;
    int16_t n;
    uint16_t q;
    int32_t i;
    uint32_t u;
    int64_t x;
    uint64_t t;
    double d;
    const char* s;
    int h;
  } value{};
  if (sd_bus_message_read_basic(message, type, &value) < 0) return false;
  char number[64];
  switch (type) {
    case SD_BUS_TYPE_BYTE: std::snprintf(number, sizeof number, "%u", value.y); break;
    case SD_BUS_TYPE_BOOLEAN: std::snprintf(number, sizeof number, "%s", value.b ? "true" : "false"); break;
    case SD_BUS_TYPE_INT16: std::snprintf(number, sizeof number, "%d", value.n); break;
    case SD_BUS_TYPE_UINT16: std::snprintf(number, sizeof number, "%u", value.q); break;
    case SD_BUS_TYPE_INT32: std::snprintf(number, sizeof number, "%" PRId32, value.i); break;
    case SD_BUS_TYPE_UINT32: std::snprintf(number, sizeof number, "%" PRIu32, value.u); break;
    case SD_BUS_TYPE_INT64: std::snprintf(number, sizeof number, "%" PRId64, value.x); break;
    case SD_BUS_TYPE_UINT64: std::snprintf(number, sizeof number, "%" PRIu64, value.t); break;
    case SD_BUS_TYPE_DOUBLE: std::snprintf(number, sizeof number, "%g", value.d); break;
    case SD_BUS_TYPE_UNIX_FD: std::snprintf(number, sizeof number, "fd:%d", value.h); break;
    default:  // string, object path, signature
      out += orEmpty(value.s);
      return true;
  }
  out += number;
  return true;
}

}  // namespace

std::vector<std::string> renderArguments(sd_bus_message* message) {
  std::vector<std::string> args;
  if (sd_bus_message_rewind(message, 1) < 0) return args;
  for (;;) {
    std::string arg;
    if (!renderNext(message, arg)) break;
    args.push_back(std::move(arg));
  }
  (void)sd_bus_message_rewind(message, 1);
  return args;
}

RecordedSignal recordSignal(sd_bus_message* message) {
  RecordedSignal signal;
  signal.sender = orEmpty(sd_bus_message_get_sender(message));
  signal.destination = orEmpty(sd_bus_message_get_destination(message));
  signal.path = orEmpty(sd_bus_message_get_path(message));
  signal.interface = orEmpty(sd_bus_message_get_interface(message));
  signal.member = orEmpty(sd_bus_message_get_member(message));
  signal.signature = orEmpty(sd_bus_message_get_signature(message, 1));
  signal.args = renderArguments(message);
  return signal;
}

std::size_t SignalRecorder::count() const {
  std::lock_guard lock(mutex_);
  return signals_.size();
}

std::vector<RecordedSignal> SignalRecorder::signals() const {
  std::lock_guard lock(mutex_);
  return signals_;
}

std::vector<std::string> SignalRecorder::firstArguments() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> firsts;
  for (const auto& signal : signals_) firsts.push_back(signal.args.empty() ? "" : signal.args[0]);
  return firsts;
}

bool SignalRecorder::waitForSignals(std::size_t n, Deadline deadline) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_until(lock, deadline, [&] { return signals_.size() >= n; });
}

bool SignalRecorder::waitFor(const std::function<bool(const RecordedSignal&)>& match,
                             Deadline deadline) {
  std::unique_lock lock(mutex_);
  return arrived_.wait_until(lock, deadline, [&] {
    return std::any_of(signals_.begin(), signals_.end(), match);
  });
}

void SignalRecorder::record(RecordedSignal signal) {
  std::lock_guard lock(mutex_);
  signals_.push_back(std::move(signal));
  arrived_.notify_all();
}

}  // namespace zivuv::testing
