#pragma once

#include <string_view>
#include <utility>
#include <vector>

namespace zivuv::platform {

// Writes one line to standard output: the fixed text, then the variable part
// with control bytes escaped, then a line feed, in one write so that lines
// from two threads never mix. Nothing is buffered: the line is out when
// this returns.
void printLine(std::string_view text, std::string_view variable = {});

// Lines as printLine writes them, gathered into as few writes as possible:
// each write holds whole lines only and at most PIPE_BUF bytes unless one
// line alone is longer, so that it stays as indivisible as printLine's.
void printLines(const std::vector<std::pair<std::string_view, std::string_view>>& lines);

}  // namespace zivuv::platform
