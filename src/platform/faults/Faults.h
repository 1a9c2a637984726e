#pragma once

#include <string>
#include <string_view>

namespace zivuv::platform {

// Failures made on purpose, for tests. CI runs as root, which ignores file
// modes, so refused access and failed writes cannot be produced with chmod.
//
// In-process tests call the setters. A test that drives the real binary sets
// ZIVUV_FAULTS to a file that is read once, when the process starts (see
// FaultFile.h), so it is written before the process starts; each line is
// "refuse-access <absolute path>", "fail-write <domain or suite name>",
// "fail-lock <domain or suite name>" or "refuse-watch <absolute path>" (the
// kernel refuses an inotify watch on that folder as if the user's watches
// were used up). The same file carries the timings
// that tests shorten (Overrides.h).
// Without the variable and without setters nothing is ever refused.
class Faults {
 public:
  static bool refusesAccess(std::string_view path);
  static bool failsWrite(std::string_view storeName);
  static bool failsLock(std::string_view storeName);
  static bool refusesWatch(std::string_view path);

  static void setRefuseAccess(std::string path);  // empty: none
  static void setFailWrite(std::string storeName);  // empty: none
  static void setFailLock(std::string storeName);   // empty: none
  static void setRefuseWatch(std::string path);     // empty: none
};

}  // namespace zivuv::platform
