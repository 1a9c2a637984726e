#pragma once

#include <string>
#include <string_view>

namespace zivuv::platform {

// Writes every byte below 0x20 and 0x7F as "\xNN" (upper-case hex), so that a
// folder name cannot start a new line or forge one in a printed or logged line.
std::string escapeControlBytes(std::string_view text);

// Returns the text with each byte that is not part of a well-formed UTF-8
// sequence replaced by U+FFFD. D-Bus refuses strings that are not UTF-8.
std::string toValidUtf8(std::string_view text);

}  // namespace zivuv::platform
