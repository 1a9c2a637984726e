#include "platform/print/Print.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/text/Text.h"

namespace zivuv::platform {

void printLine(std::string_view text, std::string_view variable) {
  std::string line(text);
  line += escapeControlBytes(variable);
  line += '\n';
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed or broken standard output loses the line, nothing else
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace zivuv::platform
