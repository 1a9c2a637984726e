// Registers folders in a shared suite one at a time, as a second writer
// would. Usage: store_writer <suite> <report file> <folder>...
// After each add that was written, appends "<folder>\n" to the report file.
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "bookmarks/BookmarkUtils.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const int report = ::open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  for (int i = 3; i < argc; ++i) {
    zivuv::SharedSuiteSession session(argv[1]);
    if (session.addSandboxURLs({zivuv::FileURL::fromPath(argv[i], true)}).front() !=
        zivuv::SharedSuiteSession::Added::Written) {
      return 1;
    }
    const std::string line = std::string(argv[i]) + "\n";
    if (::write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 3;
  }
  return 0;
}
