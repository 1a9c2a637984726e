#include "support/FakePortal.h"

#include <chrono>

#include "support/Names.h"

namespace zivuv::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kClaimTimeout = 10s;

// Turns a unique name (":1.42") into an object path element ("1_42").
std::string pathElement(const std::string& sender) {
  std::string element;
  for (char c : sender) {
    if (c == ':') continue;
    element += (c == '.') ? '_' : c;
  }
  return element.empty() ? "unknown" : element;
}

// Reads OpenURI's a{sv} options into `call`.
int readOptions(sd_bus_message* m, OpenUriCall& call, std::string& handleToken) {
  int r = sd_bus_message_enter_container(m, SD_BUS_TYPE_ARRAY, "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, SD_BUS_TYPE_DICT_ENTRY, "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(m, SD_BUS_TYPE_STRING, &key)) < 0) return r;
    call.optionKeys.emplace_back(key);
    const std::string name = key;
    char type = 0;
    const char* contents = nullptr;
    if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0) return r;
    const bool isString = contents && std::string(contents) == "s";
    if (isString && (name == "activation_token" || name == "handle_token")) {
      const char* value = nullptr;
      if ((r = sd_bus_message_read(m, "v", "s", &value)) < 0) return r;
      if (name == "activation_token") {
        call.activationToken = value;
      } else {
        handleToken = value;
      }
    } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

FakePortal::FakePortal(const std::string& busAddress) : address_(busAddress) { (void)restart(); }

FakePortal::~FakePortal() {
  loop_.stop();
  slots_.clear();
}

bool FakePortal::ok() const {
  std::lock_guard lock(mutex_);
  return running_ && error_.empty();
}

std::string FakePortal::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void FakePortal::setOpenUriError(std::string errorName) {
  std::lock_guard lock(mutex_);
  openUriError_ = std::move(errorName);
}

bool FakePortal::restart() {
  stop();
  std::string failure;
  const bool served = detail::serveName(
      loop_, address_, names::kPortal,
      {{names::kPortalPath, names::kOpenUriInterface, vtable(), this}}, slots_,
      Clock::now() + kClaimTimeout, failure);
  std::lock_guard lock(mutex_);
  error_ = failure;
  running_ = served;
  return served;
}

void FakePortal::stop() {
  loop_.call([this] {
    slots_.clear();
    (void)loop_.takeBus();
  });
  std::lock_guard lock(mutex_);
  running_ = false;
}

bool FakePortal::waitForCalls(std::size_t n, Deadline deadline) {
  std::unique_lock lock(mutex_);
  return changed_.wait_until(lock, deadline, [&] { return calls_.size() >= n; });
}

std::vector<OpenUriCall> FakePortal::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::size_t FakePortal::callCount() const {
  std::lock_guard lock(mutex_);
  return calls_.size();
}

int FakePortal::onOpenUri(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* self = static_cast<FakePortal*>(userdata);
  OpenUriCall call;
  const char* parent = nullptr;
  const char* uri = nullptr;
  int r = sd_bus_message_read(m, "ss", &parent, &uri);
  if (r < 0) return r;
  call.parentWindow = parent;
  call.uri = uri;
  std::string handleToken;
  if ((r = readOptions(m, call, handleToken)) < 0) return r;
  const char* sender = sd_bus_message_get_sender(m);
  call.sender = sender ? sender : "";

  std::string errorName;
  {
    std::lock_guard lock(self->mutex_);
    errorName = self->openUriError_;
    if (handleToken.empty()) handleToken = "t" + std::to_string(self->calls_.size() + 1);
    call.handle = std::string(names::kPortalPath) + "/request/" + pathElement(call.sender) + "/" +
                  handleToken;
    if (!errorName.empty()) call.handle.clear();
    self->calls_.push_back(call);
    self->changed_.notify_all();
  }
  if (!errorName.empty()) {
    return sd_bus_reply_method_errorf(m, errorName.c_str(), "OpenURI refused by the test");
  }
  if ((r = sd_bus_reply_method_return(m, "o", call.handle.c_str())) < 0) return r;

  // The user "chose" at once: success, no results.
  sd_bus* bus = sd_bus_message_get_bus(m);
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_new_signal(bus, &raw, call.handle.c_str(), "org.freedesktop.portal.Request",
                                "Response") >= 0) {
    detail::MessagePtr response(raw);
    if (!call.sender.empty() &&
        sd_bus_message_set_destination(response.get(), call.sender.c_str()) >= 0 &&
        sd_bus_message_append(response.get(), "ua{sv}", 0u, 0u) >= 0) {
      (void)sd_bus_send(bus, response.get(), nullptr);
    }
  }
  return 1;
}

const sd_bus_vtable* FakePortal::vtable() {
  static const sd_bus_vtable table[] = {
      SD_BUS_VTABLE_START(0),
      SD_BUS_METHOD("OpenURI", "ssa{sv}", "o", onOpenUri, SD_BUS_VTABLE_UNPRIVILEGED),
      SD_BUS_VTABLE_END,
  };
  return table;
}

}  // namespace zivuv::testing
