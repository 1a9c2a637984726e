#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zivuv::platform {

// The file named by ZIVUV_FAULTS, read once, by the first call of either
// function below (the service makes that call at start): a file written
// later changes nothing in a running process.
void loadFaultFile();

// The value of the first line "<verb> <value>" of that file (of the first
// whose value is wanted, if given); nullopt without the variable, the file
// or such a line. Reads nothing: the lines are held in memory.
std::optional<std::string> faultFileValue(std::string_view verb,
                                          std::optional<std::string_view> wanted = {});

}  // namespace zivuv::platform
