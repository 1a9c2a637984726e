#pragma once

#include <string_view>

namespace zivuv::platform {

// Writes one line to standard output: the fixed text, then the variable part
// with control bytes escaped, then a line feed, in one write so that lines
// from two threads never mix. Nothing is buffered: the line is out when
// this returns.
void printLine(std::string_view text, std::string_view variable = {});

}  // namespace zivuv::platform
