#include "service/BusAdaptor.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "names/Names.h"
#include "platform/text/Text.h"

namespace zivuv {

using platform::BusLoop;

namespace {

// A method call's one answer, as a Reply: the call is held from its handler
// until then; the answer is made and sent, and the call let go, on the loop
// thread, which alone touches the connection and its messages (at once when
// the answer is given there). append adds the reply's arguments. When the
// loop has ended, the answer goes nowhere and the call is left as it is:
// its connection is gone, and no other thread may touch it.
//
// The fallback, answered when the Reply is dropped unanswered, is the
// protocol's own failure (no data, NO, 0), never a D-Bus error: the caller
// always gets the reply its method declares, and a dropped one can only
// mean that the work did not happen.
template <typename... Args>
platform::Reply<Args...> methodReply(BusLoop& loop, sd_bus_message* call,
                                     int (*append)(sd_bus_message*, const Args&...),
                                     Args... fallback) {
  sd_bus_message* held = sd_bus_message_ref(call);
  return platform::Reply<Args...>(
      [&loop, held, append](Args... args) {
        platform::Task send = [held, append, values = std::make_tuple(std::move(args)...)] {
          const platform::SdBusMessagePtr owned(held);
          sd_bus_message* raw = nullptr;
          int r = sd_bus_message_new_method_return(owned.get(), &raw);
          const platform::SdBusMessagePtr reply(raw);
          if (r >= 0) {
            r = std::apply([&](const Args&... value) { return append(reply.get(), value...); },
                           values);
          }
          if (r >= 0) (void)sd_bus_send(nullptr, reply.get(), nullptr);
        };
        if (loop.onLoopThread()) {
          send();
        } else {
          (void)loop.post(std::move(send));
        }
      },
      std::move(fallback)...);
}

// No data is an empty array; data is an array of one element.
int appendAgent(sd_bus_message* reply, const std::optional<Data>& data, const std::string& name) {
  int r = sd_bus_message_open_container(reply, 'a', "ay");
  if (r >= 0 && data) r = sd_bus_message_append_array(reply, 'y', data->data(), data->size());
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_message_append(reply, "s", name.c_str());
  return r;
}

int appendBool(sd_bus_message* reply, const bool& value) {
  return sd_bus_message_append(reply, "b", value ? 1 : 0);
}

int appendCount(sd_bus_message* reply, const std::int64_t& count) {
  return sd_bus_message_append(reply, "x", count);
}

int onVerifyAgent(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  self->listener().verifyAgentWithCompletion(
      methodReply(self->loop(), call, &appendAgent, std::optional<Data>(), processName()));
  return 1;
}

int onStartMonitoring(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  const void* bytes = nullptr;
  std::size_t size = 0;
  const int r = sd_bus_message_read_array(call, 'y', &bytes, &size);
  if (r < 0) return r;
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  self->listener().startMonitoringWithPath(Data(begin, begin + size),
                                           methodReply(self->loop(), call, &appendBool, false));
  return 1;
}

int onCheckFolderNow(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  self->listener().checkFolderNowWithCompletion(
      methodReply(self->loop(), call, &appendCount, std::int64_t{0}));
  return 1;
}

int onReset(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  // Handed to the folder work: the write waits for the settings' lock.
  self->listener().reset();
  // The method is marked NoReply; a caller that waits for a reply anyway
  // gets an empty one at once (sd-bus sends nothing when none is expected).
  const int r = sd_bus_reply_method_return(call, "");
  return r < 0 ? r : 1;
}

const sd_bus_vtable kProtocolVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD_WITH_NAMES("verifyAgentWithCompletion", "", , "aays",
                             SD_BUS_PARAM(data) SD_BUS_PARAM(processName), onVerifyAgent,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("startMonitoringWithPath", "ay", SD_BUS_PARAM(transportData), "b",
                             SD_BUS_PARAM(watching), onStartMonitoring, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD_WITH_NAMES("checkFolderNowWithCompletion", "", , "x",
                             SD_BUS_PARAM(newRepositories), onCheckFolderNow,
                             SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("reset", "", "", onReset,
                  SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kSignalVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_SIGNAL_WITH_NAMES(names::kDefaultsChangedMember, "s", SD_BUS_PARAM(object), 0),
    SD_BUS_VTABLE_END};

// One property of the status interface: how it is read from a snapshot,
// and whether two snapshots differ in it.
struct StatusProperty {
  const char* name;
  bool signals;  // introspected as emits-change
  int (*append)(sd_bus_message*, const ServiceStatus&);
  bool (*same)(const ServiceStatus&, const ServiceStatus&);
};

std::string text(const std::string& value) { return platform::toValidUtf8(value); }

#define ZIVUV_FIELD(name, signals, signature, field, convert)                                  \
  StatusProperty {                                                                             \
    name, signals,                                                                             \
        [](sd_bus_message* m, const ServiceStatus& s) {                                        \
          return sd_bus_message_append(m, signature, convert(s.field));                        \
        },                                                                                     \
        [](const ServiceStatus& a, const ServiceStatus& b) { return a.field == b.field; }      \
  }
#define ZIVUV_AS_IS(value) (value)
#define ZIVUV_TEXT(value) text(value).c_str()
#define ZIVUV_STATE(value) std::string(stateName(value)).c_str()

// Watches and PendingFolders change with each folder the tree or the
// pending set gains or loses, thousands of times in a large scan: they send
// no signal and are read when wanted. Everything else signals its changes.
const StatusProperty kStatusProperties[] = {
    ZIVUV_FIELD("State", true, "s", state, ZIVUV_STATE),
    ZIVUV_FIELD("Folder", true, "s", folder, ZIVUV_TEXT),
    ZIVUV_FIELD("Watcher", true, "s", watcher, ZIVUV_TEXT),
    ZIVUV_FIELD("Watches", false, "u", watches, ZIVUV_AS_IS),
    ZIVUV_FIELD("WatchLimit", true, "u", watchLimit, ZIVUV_AS_IS),
    ZIVUV_FIELD("PendingFolders", false, "u", pendingFolders, ZIVUV_AS_IS),
    ZIVUV_FIELD("ScanDepth", true, "u", scanDepth, ZIVUV_AS_IS),
    ZIVUV_FIELD("LastEvent", true, "t", lastEvent, ZIVUV_AS_IS),
    ZIVUV_FIELD("LastScan", true, "t", lastScan, ZIVUV_AS_IS),
    ZIVUV_FIELD("LastScanDuration", true, "t", lastScanDuration, ZIVUV_AS_IS),
    ZIVUV_FIELD("LastScanCandidates", true, "u", lastScanCandidates, ZIVUV_AS_IS),
    ZIVUV_FIELD("LastScanRegistered", true, "u", lastScanRegistered, ZIVUV_AS_IS),
    ZIVUV_FIELD("Scans", true, "t", scans, ZIVUV_AS_IS),
    ZIVUV_FIELD("Rescans", true, "t", rescans, ZIVUV_AS_IS),
    ZIVUV_FIELD("Overflows", true, "t", overflows, ZIVUV_AS_IS),
    StatusProperty{
        "LastError", true,
        [](sd_bus_message* m, const ServiceStatus& s) {
          return sd_bus_message_append(m, "(ts)", s.lastErrorTime, text(s.lastError).c_str());
        },
        [](const ServiceStatus& a, const ServiceStatus& b) {
          return a.lastErrorTime == b.lastErrorTime && a.lastError == b.lastError;
        }},
    StatusProperty{
        "LastScanError", true,
        [](sd_bus_message* m, const ServiceStatus& s) {
          return sd_bus_message_append(m, "(ts)", s.lastScanErrorTime,
                                       text(s.lastScanError).c_str());
        },
        [](const ServiceStatus& a, const ServiceStatus& b) {
          return a.lastScanErrorTime == b.lastScanErrorTime && a.lastScanError == b.lastScanError;
        }},
    ZIVUV_FIELD("StartedAt", false, "t", startedAt, ZIVUV_AS_IS),
    ZIVUV_FIELD("Version", false, "s", version, ZIVUV_TEXT),
    StatusProperty{"Confinement", false,
                   [](sd_bus_message* m, const ServiceStatus& s) {
                     int r = sd_bus_message_open_container(m, 'a', "s");
                     for (const auto& item : s.confinement) {
                       if (r >= 0) r = sd_bus_message_append(m, "s", item.c_str());
                     }
                     return r >= 0 ? sd_bus_message_close_container(m) : r;
                   },
                   [](const ServiceStatus& a, const ServiceStatus& b) {
                     return a.confinement == b.confinement;
                   }},
};

#undef ZIVUV_FIELD
#undef ZIVUV_AS_IS
#undef ZIVUV_TEXT
#undef ZIVUV_STATE

int onStatusProperty(sd_bus*, const char*, const char*, const char* property,
                     sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const ServiceStatus& s = static_cast<BusAdaptor*>(userdata)->snapshot();
  for (const auto& p : kStatusProperties) {
    if (std::strcmp(property, p.name) == 0) return p.append(reply, s);
  }
  return -ENOENT;
}

#define ZIVUV_SIGNALLED(name, signature)                 \
  SD_BUS_PROPERTY(name, signature, onStatusProperty, 0,  \
                  SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE)
// Introspected with EmitsChangedSignal "false": no signal, read when wanted.
#define ZIVUV_UNSIGNALLED(name, signature) \
  SD_BUS_PROPERTY(name, signature, onStatusProperty, 0, 0)
#define ZIVUV_CONSTANT(name, signature) \
  SD_BUS_PROPERTY(name, signature, onStatusProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST)

const sd_bus_vtable kStatusVtable[] = {
    SD_BUS_VTABLE_START(0),
    ZIVUV_SIGNALLED("State", "s"),
    ZIVUV_SIGNALLED("Folder", "s"),
    ZIVUV_SIGNALLED("Watcher", "s"),
    ZIVUV_UNSIGNALLED("Watches", "u"),
    ZIVUV_SIGNALLED("WatchLimit", "u"),
    ZIVUV_UNSIGNALLED("PendingFolders", "u"),
    ZIVUV_SIGNALLED("ScanDepth", "u"),
    ZIVUV_SIGNALLED("LastEvent", "t"),
    ZIVUV_SIGNALLED("LastScan", "t"),
    ZIVUV_SIGNALLED("LastScanDuration", "t"),
    ZIVUV_SIGNALLED("LastScanCandidates", "u"),
    ZIVUV_SIGNALLED("LastScanRegistered", "u"),
    ZIVUV_SIGNALLED("Scans", "t"),
    ZIVUV_SIGNALLED("Rescans", "t"),
    ZIVUV_SIGNALLED("Overflows", "t"),
    ZIVUV_SIGNALLED("LastError", "(ts)"),
    ZIVUV_SIGNALLED("LastScanError", "(ts)"),
    ZIVUV_CONSTANT("StartedAt", "t"),
    ZIVUV_CONSTANT("Version", "s"),
    ZIVUV_CONSTANT("Confinement", "as"),
    SD_BUS_VTABLE_END};

#undef ZIVUV_SIGNALLED
#undef ZIVUV_UNSIGNALLED
#undef ZIVUV_CONSTANT

}  // namespace

BusAdaptor::BusAdaptor(BusLoop& loop, std::shared_ptr<ZivuvFolderMonitorListener> listener)
    : loop_(loop), listener_(std::move(listener)) {
  if (sd_bus_add_object_vtable(loop_.bus(), &protocolSlot_, names::kObjectPath,
                               names::kProtocolInterface, kProtocolVtable, this) < 0) {
    protocolSlot_ = nullptr;
  }
  (void)sd_bus_add_object_vtable(loop_.bus(), &signalSlot_, names::kObjectPath,
                                 NotificationName::DefaultsChanged().interface, kSignalVtable,
                                 this);
  (void)sd_bus_add_object_vtable(loop_.bus(), &statusSlot_, names::kObjectPath,
                                 names::kStatusInterface, kStatusVtable, this);
  // Counts the messages the bus hands over, before each is dispatched.
  (void)sd_bus_add_filter(
      loop_.bus(), &filterSlot_,
      [](sd_bus_message*, void* userdata, sd_bus_error*) {
        ++static_cast<BusAdaptor*>(userdata)->incoming_;
        return 0;
      },
      this);
  // What a caller sees from now on is told as it changes.
  told_ = listener_->status();
  statusLine_ = statusLine(told_);
  (void)sd_notify(0, ("STATUS=" + statusLine_).c_str());
}

BusAdaptor::~BusAdaptor() {
  for (sd_bus_slot* slot : {protocolSlot_, signalSlot_, statusSlot_, filterSlot_}) {
    if (slot != nullptr) sd_bus_slot_unref(slot);
  }
}

const ServiceStatus& BusAdaptor::snapshot() {
  if (signalling_ && snapshot_) return *snapshot_;
  // Every getter of one incoming message (a GetAll calls each) reads the
  // snapshot taken for that message.
  if (!snapshot_ || snapshotFor_ != incoming_) {
    snapshot_ = listener_->status();
    snapshotFor_ = incoming_;
  }
  return *snapshot_;
}

void BusAdaptor::statusMayHaveChanged() {
  // One hand-over to the loop for any number of changes until it looks.
  if (lookAsked_.exchange(true)) return;
  (void)loop_.post([this] { lookAtStatus(); });
}

void BusAdaptor::lookAtStatus() {
  if (tellArmed_) return;  // the armed look takes this change in too
  const auto due = lastSignal_ + kSignalGap;
  const auto now = Clock::now();
  if (now >= due) return tellChanges();
  tellArmed_ = true;
  loop_.postAfter(std::chrono::duration_cast<std::chrono::microseconds>(due - now), [this] {
    tellArmed_ = false;
    tellChanges();
  });
}

void BusAdaptor::tellChanges() {
  // A change from here on asks for another look.
  lookAsked_.store(false);
  const ServiceStatus now = listener_->status();
  if (const std::string line = statusLine(now); line != statusLine_) {
    statusLine_ = line;
    (void)sd_notify(0, ("STATUS=" + statusLine_).c_str());
  }
  std::vector<const char*> changed;
  for (const auto& p : kStatusProperties) {
    if (p.signals && !p.same(told_, now)) changed.push_back(p.name);
  }
  if (changed.empty() || statusSlot_ == nullptr) return;
  changed.push_back(nullptr);
  snapshot_ = now;
  signalling_ = true;
  (void)sd_bus_emit_properties_changed_strv(loop_.bus(), names::kObjectPath,
                                            names::kStatusInterface,
                                            const_cast<char**>(changed.data()));
  signalling_ = false;
  snapshot_.reset();
  told_ = now;
  lastSignal_ = Clock::now();
}

}  // namespace zivuv
