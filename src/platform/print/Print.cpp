#include "platform/print/Print.h"

#include <limits.h>
#include <unistd.h>

#include <string>

#include "platform/fd/UniqueFd.h"
#include "platform/text/Text.h"

namespace zivuv::platform {

void printLine(std::string_view text, std::string_view variable) {
  std::string line(text);
  line += escapeControlBytes(variable);
  line += '\n';
  // A closed or broken standard output loses the line, nothing else.
  (void)writeAll(STDOUT_FILENO, line);
}

void printLines(const std::vector<std::pair<std::string_view, std::string_view>>& lines) {
  std::string block;
  for (const auto& [text, variable] : lines) {
    std::string line(text);
    line += escapeControlBytes(variable);
    line += '\n';
    if (!block.empty() && block.size() + line.size() > PIPE_BUF) {
      (void)writeAll(STDOUT_FILENO, block);
      block.clear();
    }
    block += line;
  }
  if (!block.empty()) (void)writeAll(STDOUT_FILENO, block);
}

}  // namespace zivuv::platform
