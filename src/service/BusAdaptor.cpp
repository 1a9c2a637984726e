#include "service/BusAdaptor.h"

#include <cstdint>

#include "names/Names.h"

namespace zivuv {

using platform::BusLoop;

namespace {

int replied(int r) { return r < 0 ? r : 1; }

int onVerifyAgent(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  int r = 0;
  self->listener().verifyAgentWithCompletion(
      [&](std::optional<Data> data, const std::string& name) {
        sd_bus_message* reply = nullptr;
        r = sd_bus_message_new_method_return(call, &reply);
        const platform::SdBusMessagePtr owned(reply);
        // No data is an empty array; data is an array of one element.
        if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "ay");
        if (r >= 0 && data) r = sd_bus_message_append_array(reply, 'y', data->data(), data->size());
        if (r >= 0) r = sd_bus_message_close_container(reply);
        if (r >= 0) r = sd_bus_message_append(reply, "s", name.c_str());
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
      });
  return replied(r);
}

int onStartMonitoring(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  const void* bytes = nullptr;
  std::size_t size = 0;
  int r = sd_bus_message_read_array(call, 'y', &bytes, &size);
  if (r < 0) return r;
  const auto* begin = static_cast<const std::uint8_t*>(bytes);
  const Data data(begin, begin + size);
  self->listener().startMonitoringWithPath(
      data, [&](bool watching) { r = sd_bus_reply_method_return(call, "b", watching ? 1 : 0); });
  return replied(r);
}

int onCheckFolderNow(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  // The scan runs on monitorQueue; the call waits, referenced, until its
  // count comes back to the loop thread. Only the loop thread touches it.
  sd_bus_message_ref(call);
  BusLoop* loop = &self->loop();
  self->listener().checkFolderNowWithCompletion([loop, call](std::int64_t count) {
    loop->post([call, count] {
      (void)sd_bus_reply_method_return(call, "x", count);
      sd_bus_message_unref(call);
    });
  });
  return 1;
}

int onReset(sd_bus_message* call, void* userdata, sd_bus_error*) {
  auto* self = static_cast<BusAdaptor*>(userdata);
  self->listener().reset();
  // The method is marked NoReply; a caller that waits for a reply anyway
  // gets an empty one at once (sd-bus sends nothing when none is expected).
  return replied(sd_bus_reply_method_return(call, ""));
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
}

BusAdaptor::~BusAdaptor() {
  if (protocolSlot_ != nullptr) sd_bus_slot_unref(protocolSlot_);
  if (signalSlot_ != nullptr) sd_bus_slot_unref(signalSlot_);
}

void BusNoticeCenter::postDistributedNotification(const NotificationName& name,
                                                  const std::string& object) {
  loop_.post([loop = &loop_, name, object] {
    (void)sd_bus_emit_signal(loop->bus(), names::kObjectPath, name.interface, name.member, "s",
                             object.c_str());
  });
}

void BusNoticeCenter::deliverNotification(const std::string& title,
                                          const std::string& informativeText) {
  loop_.post([notifier = &notifier_, title, informativeText] {
    notifier->notify(title, informativeText);
  });
}

}  // namespace zivuv
