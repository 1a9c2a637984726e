#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace zivuv::platform {

// Failures made on purpose, for tests. CI runs as root, which ignores file
// modes, so refused access and failed writes cannot be produced with chmod.
//
// In-process tests call the setters. A test that drives the real binary sets
// ZIVUV_FAULTS to a file that is read afresh at every check; each line is
// "refuse-access <absolute path>", "fail-write <domain or suite name>" or
// "fail-lock <domain or suite name>"; "rescan-period <seconds>" and
// "pending-quiet <seconds>" shorten those two periods, which are minutes
// long, so that a test can wait them out.
// Without the variable and without setters nothing is ever refused.
class Faults {
 public:
  static bool refusesAccess(std::string_view path);
  static bool failsWrite(std::string_view storeName);
  static bool failsLock(std::string_view storeName);
  // The period given in the file for verb, if any.
  static std::optional<std::chrono::seconds> period(std::string_view verb);

  static void setRefuseAccess(std::string path);  // empty: none
  static void setFailWrite(std::string storeName);  // empty: none
  static void setFailLock(std::string storeName);   // empty: none
};

}  // namespace zivuv::platform
