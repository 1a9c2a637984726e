#include "service/BusAdaptor.h"

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstring>
#include <functional>

#include "names/Names.h"
#include "platform/text/Text.h"

namespace zivuv {

using platform::BusLoop;

namespace {

// A method call answered later, from any thread: the reply is made and sent
// on the loop thread, which alone touches the connection and its messages.
// The call is held from the handler to its one reply; every reply of the
// service object comes exactly once.
class LaterReply {
 public:
  LaterReply(BusLoop& loop, sd_bus_message* call) : loop_(&loop), call_(sd_bus_message_ref(call)) {}

  // append adds the reply's arguments; it runs on the loop thread.
  void send(std::function<int(sd_bus_message*)> append) const {
    loop_->post([call = call_, append = std::move(append)] {
      const platform::SdBusMessagePtr held(call);
      sd_bus_message* raw = nullptr;
      int r = sd_bus_message_new_method_return(call, &raw);
      const platform::SdBusMessagePtr reply(raw);
      if (r >= 0) r = append(reply.get());
      if (r >= 0) (void)sd_bus_send(nullptr, reply.get(), nullptr);
    });
  }

 private:
  BusLoop* loop_;
  sd_bus_message* call_;
};

int onVerifyAgent(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  const LaterReply later(self->loop(), call);
  self->listener().verifyAgentWithCompletion([later](std::optional<Data> data, const std::string& name) {
    later.send([data = std::move(data), name](sd_bus_message* reply) {
      // No data is an empty array; data is an array of one element.
      int r = sd_bus_message_open_container(reply, 'a', "ay");
      if (r >= 0 && data) r = sd_bus_message_append_array(reply, 'y', data->data(), data->size());
      if (r >= 0) r = sd_bus_message_close_container(reply);
      if (r >= 0) r = sd_bus_message_append(reply, "s", name.c_str());
      return r;
    });
  });
  return 1;
}

int onStartMonitoring(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  const void* bytes = nullptr;
  std::size_t size = 0;
  const int r = sd_bus_message_read_array(call, 'y', &bytes, &size);
  if (r < 0) return r;
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  const LaterReply later(self->loop(), call);
  self->listener().startMonitoringWithPath(Data(begin, begin + size), [later](bool watching) {
    later.send([watching](sd_bus_message* reply) {
      return sd_bus_message_append(reply, "b", watching ? 1 : 0);
    });
  });
  return 1;
}

int onCheckFolderNow(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  const LaterReply later(self->loop(), call);
  self->listener().checkFolderNowWithCompletion([later](std::int64_t count) {
    later.send([count](sd_bus_message* reply) { return sd_bus_message_append(reply, "x", count); });
  });
  return 1;
}

int onReset(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
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

// Every property of the status interface, read from one snapshot of the
// service's state.
int onStatusProperty(sd_bus*, const char*, const char*, const char* property,
                     sd_bus_message* reply, void* userdata, sd_bus_error*) {
  const ServiceStatus s = static_cast<BusAdaptor*>(userdata)->listener().status();
  const auto is = [property](const char* name) { return std::strcmp(property, name) == 0; };
  const auto text = [](const std::string& value) { return platform::toValidUtf8(value); };
  if (is("State")) return sd_bus_message_append(reply, "s", std::string(stateName(s.state)).c_str());
  if (is("Folder")) return sd_bus_message_append(reply, "s", text(s.folder).c_str());
  if (is("Watcher")) return sd_bus_message_append(reply, "s", s.watcher.c_str());
  if (is("Watches")) return sd_bus_message_append(reply, "u", s.watches);
  if (is("WatchLimit")) return sd_bus_message_append(reply, "u", s.watchLimit);
  if (is("PendingFolders")) return sd_bus_message_append(reply, "u", s.pendingFolders);
  if (is("ScanDepth")) return sd_bus_message_append(reply, "u", s.scanDepth);
  if (is("LastEvent")) return sd_bus_message_append(reply, "t", s.lastEvent);
  if (is("LastScan")) return sd_bus_message_append(reply, "t", s.lastScan);
  if (is("LastScanDuration")) return sd_bus_message_append(reply, "t", s.lastScanDuration);
  if (is("LastScanCandidates")) return sd_bus_message_append(reply, "u", s.lastScanCandidates);
  if (is("LastScanRegistered")) return sd_bus_message_append(reply, "u", s.lastScanRegistered);
  if (is("Scans")) return sd_bus_message_append(reply, "t", s.scans);
  if (is("Rescans")) return sd_bus_message_append(reply, "t", s.rescans);
  if (is("Overflows")) return sd_bus_message_append(reply, "t", s.overflows);
  if (is("LastError")) {
    return sd_bus_message_append(reply, "(ts)", s.lastErrorTime, text(s.lastError).c_str());
  }
  if (is("LastScanError")) {
    return sd_bus_message_append(reply, "(ts)", s.lastScanErrorTime, text(s.lastScanError).c_str());
  }
  if (is("StartedAt")) return sd_bus_message_append(reply, "t", s.startedAt);
  if (is("Version")) return sd_bus_message_append(reply, "s", s.version.c_str());
  if (is("Confinement")) {
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (const auto& item : s.confinement) {
      if (r >= 0) r = sd_bus_message_append(reply, "s", item.c_str());
    }
    return r >= 0 ? sd_bus_message_close_container(reply) : r;
  }
  return -ENOENT;
}

#define ZIVUV_STATUS_PROPERTY(name, signature)                 \
  SD_BUS_PROPERTY(name, signature, onStatusProperty, 0,        \
                  SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE)

const sd_bus_vtable kStatusVtable[] = {
    SD_BUS_VTABLE_START(0),
    ZIVUV_STATUS_PROPERTY("State", "s"),
    ZIVUV_STATUS_PROPERTY("Folder", "s"),
    ZIVUV_STATUS_PROPERTY("Watcher", "s"),
    ZIVUV_STATUS_PROPERTY("Watches", "u"),
    ZIVUV_STATUS_PROPERTY("WatchLimit", "u"),
    ZIVUV_STATUS_PROPERTY("PendingFolders", "u"),
    ZIVUV_STATUS_PROPERTY("ScanDepth", "u"),
    ZIVUV_STATUS_PROPERTY("LastEvent", "t"),
    ZIVUV_STATUS_PROPERTY("LastScan", "t"),
    ZIVUV_STATUS_PROPERTY("LastScanDuration", "t"),
    ZIVUV_STATUS_PROPERTY("LastScanCandidates", "u"),
    ZIVUV_STATUS_PROPERTY("LastScanRegistered", "u"),
    ZIVUV_STATUS_PROPERTY("Scans", "t"),
    ZIVUV_STATUS_PROPERTY("Rescans", "t"),
    ZIVUV_STATUS_PROPERTY("Overflows", "t"),
    ZIVUV_STATUS_PROPERTY("LastError", "(ts)"),
    ZIVUV_STATUS_PROPERTY("LastScanError", "(ts)"),
    SD_BUS_PROPERTY("StartedAt", "t", onStatusProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Version", "s", onStatusProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Confinement", "as", onStatusProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_VTABLE_END};

#undef ZIVUV_STATUS_PROPERTY

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
}

BusAdaptor::~BusAdaptor() {
  for (sd_bus_slot* slot : {protocolSlot_, signalSlot_, statusSlot_}) {
    if (slot != nullptr) sd_bus_slot_unref(slot);
  }
}

void BusAdaptor::statusChanged(const std::string& statusLine) {
  (void)sd_notify(0, ("STATUS=" + statusLine).c_str());
  if (statusSlot_ != nullptr) {
    (void)sd_bus_emit_properties_changed_strv(loop_.bus(), names::kObjectPath,
                                              names::kStatusInterface, nullptr);
  }
}

}  // namespace zivuv
