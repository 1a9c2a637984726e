// Adds folders to a shared suite one at a time, as a second writer would.
// Usage: store_writer <suite> <folder>...
// After each add that returned true, writes "added <folder>" on standard
// error; the store's own lines stay on standard output.
#include <unistd.h>

#include <string>

#include "bookmarks/BookmarkUtils.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string suite = argv[1];
  int failures = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    if (!zivuv::BookmarkUtils::addSandboxURL(zivuv::FileURL::fromPath(path, true), suite)) {
      ++failures;
      continue;
    }
    const std::string line = "added " + path + "\n";
    if (::write(STDERR_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      return 3;
  }
  return failures == 0 ? 0 : 1;
}
