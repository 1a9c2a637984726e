#include "platform/timing/Overrides.h"

#include <charconv>
#include <string>
#include <string_view>

#include "platform/faults/FaultFile.h"

namespace zivuv::platform {
namespace {

// The number on the line of verb, when there is one that is a whole number.
std::optional<unsigned long long> number(std::string_view verb) {
  const auto value = faultFileValue(verb);
  if (!value) return std::nullopt;
  unsigned long long n = 0;
  const auto [end, error] = std::from_chars(value->data(), value->data() + value->size(), n);
  if (error != std::errc() || end != value->data() + value->size()) return std::nullopt;
  return n;
}

std::chrono::nanoseconds seconds(std::string_view verb, std::chrono::nanoseconds normal) {
  const auto n = number(verb);
  return n ? std::chrono::seconds(*n) : normal;
}

}  // namespace

std::chrono::nanoseconds Overrides::rescanPeriod(std::chrono::nanoseconds normal) {
  return seconds("rescan-period", normal);
}

std::chrono::nanoseconds Overrides::pendingQuiet(std::chrono::nanoseconds normal) {
  return seconds("pending-quiet", normal);
}

std::size_t Overrides::watchCap(std::size_t normal) {
  const auto n = number("watch-cap");
  return n ? static_cast<std::size_t>(*n) : normal;
}

}  // namespace zivuv::platform
