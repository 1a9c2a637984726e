#pragma once

#include <cstddef>
#include <string>

#include "platform/url/FileURL.h"

namespace zivuv::platform {

// Security-scoped access to folders. A start succeeds only on a URL that
// carries the security scope (resolved from a secure bookmark) and whose
// folder the process can read and search. Starts and stops are counted per
// folder so that tests can check that every path balances them.
class SecurityScope {
 public:
  static bool startAccessing(const FileURL& url);
  static void stopAccessing(const FileURL& url);

  // Accesses currently open on the folder at path, and on all folders.
  static std::size_t openCount(const std::string& path);
  static std::size_t totalOpenCount();
};

}  // namespace zivuv::platform
