#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zivuv::platform {

// The file named by ZIVUV_FAULTS, read afresh at every call: the value of the
// first line "<verb> <value>" (of the first whose value is wanted, if given).
// nullopt without the variable, the file or such a line.
std::optional<std::string> faultFileValue(std::string_view verb,
                                          std::optional<std::string_view> wanted = {});

}  // namespace zivuv::platform
