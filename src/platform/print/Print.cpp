#include "platform/print/Print.h"

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

}  // namespace zivuv::platform
